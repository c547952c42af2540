// Links in an SQLite database: one writer thread commits waiting creations together, so an
// answered link is on disk while throughput stays high; lookups go through a bounded cache
// and a pool of read connections.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/code.hpp"
#include "gateway/link_cache.hpp"
#include "gateway/link_store.hpp"

struct sqlite3;

namespace zolt::gateway {

struct SqliteStoreOptions {
    CodeGenerator next_code = random_code;
    int collision_retries = 16;
    std::size_t cache_bytes = 32u << 20;
    std::size_t max_waiting = 100000;  // creations queued beyond this fail at once
};

class SqliteStore final : public LinkStore {
  public:
    // Opens or creates the database; on failure returns null and a one-line reason.
    static std::unique_ptr<SqliteStore> open(const std::string& path, std::string& error,
                                             SqliteStoreOptions options = {});
    ~SqliteStore() override;

    std::optional<std::string> find_address(std::string_view code) override;
    std::optional<std::string> find_code(std::string_view address) override;
    void create(std::string address, std::function<void(std::string code)> done) override;

    // Commits what is waiting, stops the writer and closes every connection.
    void close();

  private:
    struct Pending {
        std::string address;
        std::function<void(std::string)> done;
    };
    struct Reader;
    struct WriterStatements;

    SqliteStore(std::string path, sqlite3* writer, SqliteStoreOptions options);
    void write_loop();
    void checkpoint_loop();
    void commit_batch(WriterStatements& st, std::vector<Pending>& batch);
    std::string store_one(WriterStatements& st, const std::string& address);
    template <typename Query>
    std::optional<std::string> read(BoundedCache& cache, Query query, std::string_view key);
    std::unique_ptr<Reader> take_reader();
    void give_back(std::unique_ptr<Reader> reader);

    std::string path_;
    sqlite3* writer_;
    SqliteStoreOptions options_;
    BoundedCache codes_;      // code -> address
    BoundedCache addresses_;  // address -> code

    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::deque<Pending> queue_;
    bool stopping_ = false;
    std::thread writer_thread_;
    std::condition_variable checkpoint_wake_;
    std::thread checkpoint_thread_;

    std::mutex readers_mutex_;
    std::vector<std::unique_ptr<Reader>> readers_;
};

}  // namespace zolt::gateway
