#include <gtest/gtest.h>
#include <sqlite3.h>

#include <future>
#include <set>
#include <thread>

#include "gateway/code.hpp"
#include "gateway/link_cache.hpp"
#include "gateway/sqlite_store.hpp"
#include "tests/gateway/harness.hpp"

namespace zolt::gateway {
namespace {

using testing::TempDir;

std::string create_now(LinkStore& store, const std::string& address) {
    std::promise<std::string> promise;
    store.create(address, [&](std::string code) { promise.set_value(std::move(code)); });
    return promise.get_future().get();
}

std::unique_ptr<SqliteStore> open_store(const std::string& path, SqliteStoreOptions options = {}) {
    std::string error;
    auto store = SqliteStore::open(path, error, std::move(options));
    EXPECT_TRUE(store) << error;
    return store;
}

// Codes handed out in order, so a test can force collisions.
CodeGenerator scripted(std::vector<std::string> codes) {
    auto next = std::make_shared<std::size_t>(0);
    return [codes = std::move(codes), next] {
        const std::string code = codes[std::min(*next, codes.size() - 1)];
        ++*next;
        return code;
    };
}

TEST(RandomCode, IsSevenBase62CharactersAndVaries) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string code = random_code();
        ASSERT_EQ(code.size(), kCodeLength);
        ASSERT_TRUE(looks_like_code(code)) << code;
        seen.insert(code);
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_FALSE(looks_like_code(""));
    EXPECT_FALSE(looks_like_code("_app.php"));
    EXPECT_FALSE(looks_like_code("abc-def"));
}

TEST(SqliteStore, SameAddressKeepsItsCodeAcrossRestarts) {
    TempDir dir;
    const std::string path = dir.file("links.db");
    std::string first;
    {
        auto store = open_store(path);
        first = create_now(*store, "http://a.com/x?y=1");
        ASSERT_EQ(first.size(), kCodeLength);
        EXPECT_EQ(create_now(*store, "http://a.com/x?y=1"), first);
        EXPECT_NE(create_now(*store, "http://a.com/x?y=2"), first);
    }
    auto store = open_store(path);
    EXPECT_EQ(store->find_address(first), "http://a.com/x?y=1");
    EXPECT_EQ(store->find_code("http://a.com/x?y=1"), first);
    EXPECT_EQ(create_now(*store, "http://a.com/x?y=1"), first);
    EXPECT_FALSE(store->find_address("0000000").has_value());
    EXPECT_FALSE(store->find_code("http://never.example/").has_value());
}

TEST(SqliteStore, TakenCodeIsDrawnAgain) {
    TempDir dir;
    SqliteStoreOptions options;
    options.next_code = scripted({"AAAAAAA", "AAAAAAA", "AAAAAAA", "BBBBBBB"});
    auto store = open_store(dir.file("links.db"), options);
    EXPECT_EQ(create_now(*store, "http://one.example/"), "AAAAAAA");
    EXPECT_EQ(create_now(*store, "http://two.example/"), "BBBBBBB");
    EXPECT_EQ(store->find_address("AAAAAAA"), "http://one.example/");
    EXPECT_EQ(store->find_address("BBBBBBB"), "http://two.example/");
}

TEST(SqliteStore, GivesUpAfterTheRetriesAndStoresNothing) {
    TempDir dir;
    SqliteStoreOptions options;
    options.next_code = [] { return std::string("AAAAAAA"); };
    options.collision_retries = 3;
    auto store = open_store(dir.file("links.db"), options);
    EXPECT_EQ(create_now(*store, "http://one.example/"), "AAAAAAA");
    EXPECT_EQ(create_now(*store, "http://two.example/"), "");
    EXPECT_FALSE(store->find_code("http://two.example/").has_value());
    // The failure is the address's own: the next one is served normally.
    EXPECT_EQ(create_now(*store, "http://one.example/"), "AAAAAAA");
}

TEST(SqliteStore, ConcurrentCreationsAllLandAndAgree) {
    TempDir dir;
    const std::string path = dir.file("links.db");
    constexpr int kThreads = 8;
    constexpr int kEach = 250;
    std::vector<std::vector<std::string>> codes(kThreads, std::vector<std::string>(kEach));
    {
        auto store = open_store(path);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                std::vector<std::future<std::string>> pending;
                for (int i = 0; i < kEach; ++i) {
                    auto promise = std::make_shared<std::promise<std::string>>();
                    pending.push_back(promise->get_future());
                    // Every thread asks for the same addresses: they must get the same codes.
                    store->create("http://a.example/" + std::to_string(i),
                                  [promise](std::string c) { promise->set_value(std::move(c)); });
                }
                for (int i = 0; i < kEach; ++i) codes[t][i] = pending[i].get();
            });
        }
        for (auto& t : threads) t.join();
    }
    std::set<std::string> distinct;
    for (int i = 0; i < kEach; ++i) {
        for (int t = 0; t < kThreads; ++t) ASSERT_EQ(codes[t][i], codes[0][i]);
        ASSERT_EQ(codes[0][i].size(), kCodeLength);
        distinct.insert(codes[0][i]);
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kEach));
    auto store = open_store(path);
    for (int i = 0; i < kEach; ++i) {
        EXPECT_EQ(store->find_address(codes[0][i]), "http://a.example/" + std::to_string(i));
    }
}

TEST(SqliteStore, OpenFailsWithAReasonOnUnusableFiles) {
    TempDir dir;
    const std::string garbage = dir.file("garbage.db");
    {
        std::FILE* f = std::fopen(garbage.c_str(), "wb");
        std::fputs("this is not a database, just some text long enough to look like one", f);
        std::fclose(f);
    }
    const std::string cases[] = {garbage, dir.path().string(), dir.file("missing/dir/x.db")};
    for (const auto& path : cases) {
        std::string error;
        EXPECT_FALSE(SqliteStore::open(path, error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(BoundedCache, StaysWithinItsBudgetAndKeepsRecentEntries) {
    BoundedCache cache(64 * 1024);
    for (int i = 0; i < 100000; ++i) cache.put("key" + std::to_string(i), "value");
    EXPECT_EQ(cache.get("key99999"), "value");
    int kept = 0;
    for (int i = 0; i < 100000; ++i) kept += cache.get("key" + std::to_string(i)).has_value();
    // A 64 KiB budget cannot hold more than ~64 KiB / 100 bytes entries.
    EXPECT_LT(kept, 1000);
    EXPECT_GT(kept, 0);
}

}  // namespace
}  // namespace zolt::gateway
