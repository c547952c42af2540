#include "gateway/sqlite_store.hpp"

#include <sqlite3.h>

#include <utility>

namespace zolt::gateway {

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr std::size_t kMaxBatch = 4096;
constexpr int kCheckpointPages = 1000;

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    // Runs a one-text-in, one-text-out query; nullopt when there is no row or on error.
    std::optional<std::string> lookup(std::string_view key) {
        if (stmt_ == nullptr) return std::nullopt;
        sqlite3_reset(stmt_);
        sqlite3_bind_text(stmt_, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        std::optional<std::string> result;
        if (sqlite3_step(stmt_) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, 0));
            result.emplace(text != nullptr ? text : "",
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, 0)));
        }
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        return result;
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

constexpr const char* kSelectAddress = "SELECT address FROM links WHERE code = ?1";
constexpr const char* kSelectCode = "SELECT code FROM links WHERE address = ?1";

}  // namespace

struct SqliteStore::Reader {
    sqlite3* db = nullptr;
    std::unique_ptr<Statement> by_code;
    std::unique_ptr<Statement> by_address;
    ~Reader() {
        by_code.reset();
        by_address.reset();
        sqlite3_close_v2(db);
    }
};

std::unique_ptr<SqliteStore> SqliteStore::open(const std::string& path, std::string& error,
                                               SqliteStoreOptions options) {
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    auto fail = [&](std::string_view what) -> std::unique_ptr<SqliteStore> {
        error = "cannot open database " + path + ": " + std::string(what) + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    };
    if (rc != SQLITE_OK) return fail("open");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);

    // journal_mode answers with the mode in force; anything but "wal" means the file is not
    // usable the way the writer needs it (read-only, not a database, locked elsewhere).
    {
        Statement wal(db, "PRAGMA journal_mode=WAL");
        if (!wal.ok()) return fail("journal");
        const std::optional<std::string> mode = wal.lookup("");
        if (!mode || *mode != "wal") return fail("journal mode");
    }
    if (!exec(db, "PRAGMA synchronous=FULL")) return fail("synchronous");
    // Checkpoints run on a thread of their own, so their syncs never lengthen a commit.
    if (!exec(db, "PRAGMA wal_autocheckpoint=0")) return fail("checkpoint");
    if (!exec(db,
              "CREATE TABLE IF NOT EXISTS links ("
              " code TEXT PRIMARY KEY NOT NULL,"
              " address TEXT NOT NULL UNIQUE,"
              " created INTEGER NOT NULL DEFAULT (strftime('%s','now')))")) {
        return fail("schema");
    }
    {
        Statement probe(db, "SELECT count(*) FROM (SELECT 1 FROM links LIMIT 1)");
        if (!probe.ok() || sqlite3_step(probe.get()) != SQLITE_ROW) return fail("read");
    }
    return std::unique_ptr<SqliteStore>(new SqliteStore(path, db, std::move(options)));
}

SqliteStore::SqliteStore(std::string path, sqlite3* writer, SqliteStoreOptions options)
    : path_(std::move(path)),
      writer_(writer),
      options_(std::move(options)),
      codes_(options_.cache_bytes / 2),
      addresses_(options_.cache_bytes / 2) {
    sqlite3_wal_hook(
        writer_,
        [](void* self, sqlite3*, const char*, int pages) {
            if (pages >= kCheckpointPages)
                static_cast<SqliteStore*>(self)->checkpoint_wake_.notify_one();
            return SQLITE_OK;
        },
        this);
    writer_thread_ = std::thread([this] { write_loop(); });
    checkpoint_thread_ = std::thread([this] { checkpoint_loop(); });
}

void SqliteStore::checkpoint_loop() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(db);
        return;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    std::unique_lock lock(queue_mutex_);
    while (!stopping_) {
        checkpoint_wake_.wait_for(lock, std::chrono::seconds(1));
        if (stopping_) break;
        lock.unlock();
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
    }
    lock.unlock();
    sqlite3_close_v2(db);
}

SqliteStore::~SqliteStore() { close(); }

void SqliteStore::close() {
    {
        std::lock_guard lock(queue_mutex_);
        if (writer_ == nullptr) return;
        stopping_ = true;
    }
    queue_ready_.notify_all();
    checkpoint_wake_.notify_all();
    if (checkpoint_thread_.joinable()) checkpoint_thread_.join();
    if (writer_thread_.joinable()) writer_thread_.join();
    sqlite3_close_v2(writer_);
    std::lock_guard lock(queue_mutex_);
    writer_ = nullptr;
    std::lock_guard readers_lock(readers_mutex_);
    readers_.clear();
}

std::unique_ptr<SqliteStore::Reader> SqliteStore::take_reader() {
    {
        std::lock_guard lock(readers_mutex_);
        if (!readers_.empty()) {
            std::unique_ptr<Reader> reader = std::move(readers_.back());
            readers_.pop_back();
            return reader;
        }
    }
    auto reader = std::make_unique<Reader>();
    if (sqlite3_open_v2(path_.c_str(), &reader->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        return nullptr;
    }
    sqlite3_busy_timeout(reader->db, kBusyTimeoutMs);
    exec(reader->db, "PRAGMA query_only=1");
    reader->by_code = std::make_unique<Statement>(reader->db, kSelectAddress);
    reader->by_address = std::make_unique<Statement>(reader->db, kSelectCode);
    return reader;
}

void SqliteStore::give_back(std::unique_ptr<Reader> reader) {
    if (!reader) return;
    std::lock_guard lock(readers_mutex_);
    readers_.push_back(std::move(reader));
}

std::optional<std::string> SqliteStore::find_address(std::string_view code) {
    return read(codes_, &Reader::by_code, code);
}

std::optional<std::string> SqliteStore::find_code(std::string_view address) {
    return read(addresses_, &Reader::by_address, address);
}

template <typename Query>
std::optional<std::string> SqliteStore::read(BoundedCache& cache, Query query,
                                             std::string_view key) {
    if (auto hit = cache.get(key)) return hit;
    std::unique_ptr<Reader> reader = take_reader();
    if (!reader) return std::nullopt;
    std::optional<std::string> value = ((*reader).*query)->lookup(key);
    give_back(std::move(reader));
    if (value) cache.put(std::string(key), *value);
    return value;
}

void SqliteStore::create(std::string address, std::function<void(std::string)> done) {
    {
        std::lock_guard lock(queue_mutex_);
        if (!stopping_ && queue_.size() < options_.max_waiting) {
            queue_.push_back(Pending{std::move(address), std::move(done)});
            queue_ready_.notify_one();
            return;
        }
    }
    done(std::string());
}

struct SqliteStore::WriterStatements {
    Statement select;
    Statement insert;
    explicit WriterStatements(sqlite3* db)
        : select(db, kSelectCode), insert(db, "INSERT INTO links(code, address) VALUES(?1, ?2)") {}
};

void SqliteStore::write_loop() {
    WriterStatements statements(writer_);
    std::vector<Pending> batch;
    for (;;) {
        {
            std::unique_lock lock(queue_mutex_);
            queue_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and nothing left to commit
            while (!queue_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        commit_batch(statements, batch);
        batch.clear();
    }
}

// Returns the code now held by `address` inside the open transaction, or "" on failure.
std::string SqliteStore::store_one(WriterStatements& st, const std::string& address) {
    if (std::optional<std::string> existing = st.select.lookup(address)) return *existing;
    if (!st.insert.ok()) return {};
    for (int attempt = 0; attempt <= options_.collision_retries; ++attempt) {
        const std::string code = options_.next_code();
        sqlite3_stmt* stmt = st.insert.get();
        sqlite3_reset(stmt);
        sqlite3_bind_text(stmt, 1, code.data(), static_cast<int>(code.size()), SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, address.data(), static_cast<int>(address.size()), SQLITE_STATIC);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (rc == SQLITE_DONE) return code;
        // Only a taken code is worth another draw; anything else will fail again.
        if (rc != SQLITE_CONSTRAINT_PRIMARYKEY) return {};
    }
    return {};
}

void SqliteStore::commit_batch(WriterStatements& st, std::vector<Pending>& batch) {
    std::vector<std::string> codes(batch.size());
    bool committed = false;
    if (exec(writer_, "BEGIN IMMEDIATE")) {
        for (std::size_t i = 0; i < batch.size(); ++i) codes[i] = store_one(st, batch[i].address);
        committed = exec(writer_, "COMMIT");
        if (!committed) exec(writer_, "ROLLBACK");
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        std::string code = committed ? std::move(codes[i]) : std::string();
        if (!code.empty()) {
            codes_.put(code, batch[i].address);
            addresses_.put(batch[i].address, code);
        }
        batch[i].done(std::move(code));
    }
}

}  // namespace zolt::gateway
