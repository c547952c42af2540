#include <set>
#include <thread>

#include "batch/engine.hpp"
#include "platform/threads.hpp"
#include "tests/batch/batch_fixture.hpp"

namespace zolt::testing {
namespace {

using DispatcherTest = BatchTest;

TEST_F(DispatcherTest, ConvertsEveryRowOnceWithItsOwnWorker) {
    struct Case {
        int rows;
        Text cap;
    };
    for (const Case& c : {Case{3, "10"}, Case{25, "10"}, Case{40, "7"}}) {
        SCOPED_TRACE(c.rows);
        MemoryWindow local_window;
        Engine local_engine(local_window, kPollMs);
        gateway.reset();
        gateway.server().set_delay_ms(5);
        std::vector<Text> sources;
        for (int i = 1; i <= c.rows; ++i) sources.push_back(source_of(i));
        local_window.add_rows(sources);
        local_window.set_cap_text(c.cap);

        start_command(local_engine);
        ASSERT_TRUE(local_window.wait_for_messages(1, std::chrono::seconds(10)));
        ASSERT_TRUE(eventually([&] { return local_engine.state().active_workers.load() == 0; }));

        EXPECT_EQ(local_window.messages(), std::vector<Text>{kAllDone});
        EXPECT_EQ(local_engine.state().rows_dispatched.load(), c.rows);
        EXPECT_LE(gateway.max_in_flight(), text_to_int(c.cap));
        std::map<std::string, int> per_address = requests_per_address();
        ASSERT_EQ(per_address.size(), static_cast<std::size_t>(c.rows));
        for (int i = 1; i <= c.rows; ++i) {
            EXPECT_EQ(per_address[source_of(i)], 1) << i;
            EXPECT_EQ(local_window.data_list().read_cell(i - 1, kColumnResult),
                      "S:" + source_of(i));
            EXPECT_EQ(local_window.data_list().read_cell(i - 1, kColumnStatus), kDone);
        }
    }
}

TEST_F(DispatcherTest, FillsTheCapAtOnceThenHandsOutAsSlotsFree) {
    add_rows(25);
    gateway.close_valve();
    start_command(engine);

    ASSERT_TRUE(gateway.server().wait_for_requests(10, 10000));
    settle();
    EXPECT_EQ(gateway.server().request_count(), 10u);
    EXPECT_EQ(engine.state().rows_dispatched.load(), 10);
    EXPECT_EQ(engine.state().active_workers.load(), 10);
    std::set<long long> handles;
    for (int i = 1; i <= 10; ++i) {
        const long long handle = busy_handle(cell(i, kColumnStatus));
        EXPECT_GT(handle, 0) << "row " << i;
        handles.insert(handle);
    }
    EXPECT_EQ(handles.size(), 10u) << "a handle shown twice";
    EXPECT_EQ(cell(11, kColumnStatus), "");
    EXPECT_TRUE(window.messages().empty());

    gateway.open_valve();
    ASSERT_TRUE(window.wait_for_messages(1, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(gateway.server().request_count(), 25u);
    for (int i = 1; i <= 25; ++i) EXPECT_EQ(cell(i, kColumnStatus), kDone) << i;
}

// The cap is whatever number the box's text starts with; nothing is handed out until that
// number is positive, and then the dispatcher picks the new text up by itself.
TEST_F(DispatcherTest, CapIsReadFromTheBoxInEveryPass) {
    struct Case {
        Text text;
        int workers_at_once;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 0},
        {"0", 0},
        {"-3", 0},
        {"12ab", 12},
        {" 5", 5},
        {"\xA3\xB1\xA3\xB0", 10},  // full-width 1 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("cap text '" + c.text + "'");
        MemoryWindow local_window;
        Engine local_engine(local_window, kPollMs);
        gateway.reset();
        std::vector<Text> sources;
        for (int i = 1; i <= 20; ++i) sources.push_back(source_of(i));
        local_window.add_rows(sources);
        local_window.set_cap_text(c.text);
        gateway.close_valve();

        start_command(local_engine);
        if (c.workers_at_once > 0) {
            ASSERT_TRUE(gateway.server().wait_for_requests(c.workers_at_once, 10000));
        }
        settle();
        EXPECT_EQ(gateway.server().request_count(), static_cast<std::size_t>(c.workers_at_once));
        EXPECT_EQ(local_engine.state().rows_dispatched.load(), c.workers_at_once);

        if (c.workers_at_once == 0) local_window.set_cap_text("3");
        gateway.open_valve();
        ASSERT_TRUE(local_window.wait_for_messages(1, std::chrono::seconds(10)));
        ASSERT_TRUE(eventually([&] { return local_engine.state().active_workers.load() == 0; }));
        EXPECT_EQ(gateway.server().request_count(), 20u);
    }
}

TEST_F(DispatcherTest, TwoDispatchersShareTheRowsWithoutDuplicates) {
    add_rows(30);
    gateway.server().set_delay_ms(2);
    start_command(engine);
    start_command(engine);

    ASSERT_TRUE(window.wait_for_messages(2, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(window.messages(), (std::vector<Text>{kAllDone, kAllDone}));
    EXPECT_EQ(engine.state().rows_dispatched.load(), 30);
    // Each dispatcher keeps to the cap on its own, so together they may pass it by one.
    EXPECT_LE(gateway.max_in_flight(), 11);
    const auto per_address = requests_per_address();
    EXPECT_EQ(per_address.size(), 30u);
    for (const auto& [address, count] : per_address) EXPECT_EQ(count, 1) << address;
    for (int i = 1; i <= 30; ++i) EXPECT_EQ(cell(i, kColumnStatus), kDone) << i;
}

// Many dispatchers racing for the last rows with a cap that never holds them back: the
// end test and the increment must be one step, or a number is handed out twice or past
// the end.
TEST_F(DispatcherTest, RacingDispatchersNeverHandOutANumberTwiceOrPastTheEnd) {
    add_rows(120);
    window.set_cap_text("1000");
    std::vector<std::thread> dispatchers;
    for (int i = 0; i < 4; ++i) dispatchers.emplace_back([&] { dispatch_rows(engine, 0); });
    for (auto& t : dispatchers) t.join();
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));

    EXPECT_EQ(engine.state().rows_dispatched.load(), 120);
    EXPECT_EQ(count_messages(kAllDone), 4);
    const auto per_address = requests_per_address();
    EXPECT_EQ(per_address.size(), 120u);
    for (const auto& [address, count] : per_address) EXPECT_EQ(count, 1) << address;
    for (int i = 1; i <= 120; ++i) EXPECT_EQ(cell(i, kColumnStatus), kDone) << i;
}

TEST_F(DispatcherTest, EmptyListEndsAtOnceAndACompleteRunIsNotRepeatedUntilRewound) {
    start_command(engine);
    ASSERT_TRUE(window.wait_for_messages(1, std::chrono::seconds(10)));
    EXPECT_EQ(gateway.server().request_count(), 0u);

    add_rows(3);
    start_command(engine);
    ASSERT_TRUE(window.wait_for_messages(2, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(gateway.server().request_count(), 3u);

    // Nothing new: the final message at once, no request.
    start_command(engine);
    ASSERT_TRUE(window.wait_for_messages(3, std::chrono::seconds(10)));
    EXPECT_EQ(gateway.server().request_count(), 3u);

    // Rows appended after a run are the only ones the next run hands out.
    window.add_rows({"http://example.com/page/4"});
    start_command(engine);
    ASSERT_TRUE(window.wait_for_messages(4, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(gateway.server().request_count(), 4u);

    select_service(engine, 3);
    start_command(engine);
    ASSERT_TRUE(window.wait_for_messages(5, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(gateway.server().request_count(), 8u);
    EXPECT_EQ(window.messages(), std::vector<Text>(5, kAllDone));
}

TEST_F(DispatcherTest, RewindDuringARunHandsEveryRowOutAgainThroughTheNewService) {
    add_rows(4);
    window.set_cap_text("2");
    gateway.set_handler([](const RecordedRequest& r) {
        return ScriptedReply::text(r.target.find("by=dwz126") != std::string::npos ? "new" : "old");
    });
    gateway.close_valve();
    start_command(engine);
    ASSERT_TRUE(gateway.server().wait_for_requests(2, 10000));

    select_service(engine, 3);
    EXPECT_EQ(engine.state().rows_dispatched.load(), 0);
    gateway.open_valve();
    ASSERT_TRUE(window.wait_for_messages(1, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));

    std::multiset<std::string> old_service;
    std::multiset<std::string> new_service;
    for (const auto& r : gateway.server().requests()) {
        if (r.target.rfind("/_app.php?type=text&url=", 0) == 0) {
            old_service.insert(Gateway::address_of(r));
        } else if (r.target.rfind("/api/dwzapi.php?by=dwz126&long=", 0) == 0) {
            new_service.insert(Gateway::address_of(r));
        } else {
            ADD_FAILURE() << r.target;
        }
    }
    // The two workers already running finish with the prefix they copied.
    EXPECT_EQ(old_service, (std::multiset<std::string>{source_of(1), source_of(2)}));
    EXPECT_EQ(new_service,
              (std::multiset<std::string>{source_of(1), source_of(2), source_of(3), source_of(4)}));
    EXPECT_EQ(cell(3, kColumnResult), "new");
    EXPECT_EQ(cell(4, kColumnResult), "new");
    EXPECT_EQ(window.messages(), std::vector<Text>{kAllDone});
}

// A worker thread that cannot be started is not counted (or the cap would fill up for
// good) and its row is not skipped: the row is handed out again in a later pass.
TEST_F(DispatcherTest, RowWhoseWorkerCannotStartIsRetried) {
    add_rows(5);
    window.set_cap_text("2");
    testing_hooks::fail_next_thread_starts(3);
    dispatch_rows(engine, 0);
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    testing_hooks::fail_next_thread_starts(0);

    EXPECT_EQ(window.messages(), std::vector<Text>{kAllDone});
    const auto per_address = requests_per_address();
    EXPECT_EQ(per_address.size(), 5u);
    for (const auto& [address, count] : per_address) EXPECT_EQ(count, 1) << address;
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(cell(i, kColumnStatus), kDone) << i;
    EXPECT_EQ(engine.state().active_workers.load(), 0);
}

TEST_F(DispatcherTest, ListCutShortDuringARunEndsTheRun) {
    add_rows(6);
    window.set_cap_text("2");
    gateway.close_valve();
    start_command(engine);
    ASSERT_TRUE(gateway.server().wait_for_requests(2, 10000));
    window.data_list().clear_rows();
    gateway.open_valve();
    ASSERT_TRUE(window.wait_for_messages(1, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(gateway.server().request_count(), 2u);
    // The workers' writes to rows that are gone do nothing.
    EXPECT_EQ(window.data_list().row_count(), 0);
}

}  // namespace
}  // namespace zolt::testing
