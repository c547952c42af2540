#include <chrono>

#include "batch/engine.hpp"
#include "platform/threads.hpp"
#include "tests/batch/batch_fixture.hpp"

namespace zolt::testing {
namespace {

using RunControlTest = BatchTest;

struct Buttons {
    bool start, pause, resume, stop;
    bool operator==(const Buttons&) const = default;
};

Buttons buttons_of(const MemoryWindow& w) {
    return {w.button_enabled(Button::start), w.button_enabled(Button::pause),
            w.button_enabled(Button::resume), w.button_enabled(Button::stop)};
}

std::ostream& operator<<(std::ostream& out, const Buttons& b) {
    return out << "{start " << b.start << ", pause " << b.pause << ", resume " << b.resume
               << ", stop " << b.stop << "}";
}

TEST_F(RunControlTest, ButtonsAndMessagesFollowEachCommand) {
    add_rows(3);
    window.set_cap_text("0");  // keeps the dispatcher alive and idle throughout
    EXPECT_EQ(buttons_of(window), (Buttons{true, false, false, false}));

    struct Step {
        const char* name;
        void (*command)(Engine&);
        Buttons after;
        Text message;  // empty: none
    };
    const Step steps[] = {
        {"start", start_command, {true, true, false, true}, ""},
        {"pause", pause_command, {true, false, true, true}, kPaused},
        {"resume", resume_command, {true, true, false, true}, kResumed},
        {"stop", stop_command, {true, false, false, false}, kStopped},
        {"start again", start_command, {true, true, false, true}, ""},
        {"stop again", stop_command, {true, false, false, false}, kStopped},
    };
    std::vector<Text> expected_messages;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.command(engine);
        if (!step.message.empty()) expected_messages.push_back(step.message);
        EXPECT_EQ(buttons_of(window), step.after);
        EXPECT_EQ(window.messages(), expected_messages);
    }
    settle();
    EXPECT_EQ(gateway.server().request_count(), 0u);
}

TEST_F(RunControlTest, PauseHoldsTheDispatcherButNotTheWorkers) {
    add_rows(6);
    window.set_cap_text("2");
    gateway.close_valve();
    start_command(engine);
    ASSERT_TRUE(gateway.server().wait_for_requests(2, 10000));

    pause_command(engine);
    gateway.open_valve();
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(cell(1, kColumnStatus), kDone);
    EXPECT_EQ(cell(2, kColumnStatus), kDone);
    settle();
    EXPECT_EQ(engine.state().rows_dispatched.load(), 2);
    EXPECT_EQ(gateway.server().request_count(), 2u);
    EXPECT_EQ(cell(3, kColumnStatus), "");

    resume_command(engine);
    ASSERT_TRUE(window.wait_for_messages(3, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    EXPECT_EQ(window.messages(), (std::vector<Text>{kPaused, kResumed, kAllDone}));
    EXPECT_EQ(gateway.server().request_count(), 6u);
}

TEST_F(RunControlTest, StopAfterFourOfTenThenStartGoesOnFromRowFive) {
    add_rows(10);
    window.set_cap_text("2");
    gateway.close_valve();
    start_command(engine);
    ASSERT_TRUE(gateway.server().wait_for_requests(2, 10000));
    window.set_cap_text("4");
    ASSERT_TRUE(gateway.server().wait_for_requests(4, 10000));

    stop_command(engine);
    EXPECT_EQ(engine.state().rows_dispatched.load(), 4);
    window.set_cap_text("10");
    settle();
    EXPECT_EQ(engine.state().rows_dispatched.load(), 4) << "a stopped dispatcher moved on";
    gateway.open_valve();
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(cell(i, kColumnStatus), kDone) << i;
    for (int i = 5; i <= 10; ++i) EXPECT_EQ(cell(i, kColumnStatus), "") << i;
    EXPECT_EQ(window.messages(), std::vector<Text>{kStopped});

    window.set_cap_text("4");
    gateway.close_valve();
    start_command(engine);
    ASSERT_TRUE(gateway.server().wait_for_requests(8, 10000));
    settle();
    for (int i = 5; i <= 8; ++i) {
        EXPECT_GT(busy_handle(cell(i, kColumnStatus)), 0) << i;
        EXPECT_EQ(cell(i, kColumnResult), "") << i;
    }
    gateway.open_valve();
    ASSERT_TRUE(window.wait_for_messages(2, std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    const auto per_address = requests_per_address();
    EXPECT_EQ(per_address.size(), 10u);
    for (const auto& [address, count] : per_address) EXPECT_EQ(count, 1) << address;
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(cell(i, kColumnResult), "S:" + source_of(i)) << i;
    EXPECT_EQ(window.messages(), (std::vector<Text>{kStopped, kAllDone}));
}

// After Start, Pause, Start the commands reach only the newer dispatcher: the older one
// stays paused for good and never shows its final message.
TEST_F(RunControlTest, SecondStartLeavesTheFirstDispatcherPaused) {
    add_rows(5);
    window.set_cap_text("1");
    gateway.close_valve();
    start_command(engine);
    ASSERT_TRUE(gateway.server().wait_for_requests(1, 10000));
    pause_command(engine);
    start_command(engine);
    EXPECT_EQ(buttons_of(window), (Buttons{true, true, true, true}));

    // The newer one was not held: nothing changes for either.
    resume_command(engine);
    gateway.open_valve();
    ASSERT_TRUE(eventually([&] { return count_messages(kAllDone) == 1; }));
    ASSERT_TRUE(eventually([&] { return all_workers_done(); }));
    settle();
    EXPECT_EQ(window.messages(), (std::vector<Text>{kPaused, kResumed, kAllDone}));
    EXPECT_EQ(gateway.server().request_count(), 5u);
    EXPECT_EQ(buttons_of(window), (Buttons{true, true, false, true}));
}

// Stop reaches a dispatcher sleeping in its wait at once, not when the wait is over.
TEST_F(RunControlTest, StopCutsTheWaitShort) {
    const auto begun = std::chrono::steady_clock::now();
    {
        MemoryWindow local_window;
        Engine slow_engine(local_window, 60000);
        local_window.add_rows({"http://example.com/a"});
        local_window.set_cap_text("0");
        start_command(slow_engine);
        settle();
        stop_command(slow_engine);
        // The engine waits for the dispatcher's thread to end as it is destroyed.
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
}

TEST_F(RunControlTest, StartThatCannotStartADispatcherKeepsTheCommandsOnTheOldOne) {
    add_rows(2);
    window.set_cap_text("0");
    start_command(engine);
    const ThreadHandle first = engine.state().dispatcher_handle.load();
    ASSERT_NE(first, 0);
    testing_hooks::fail_next_thread_starts(1);
    start_command(engine);
    EXPECT_EQ(engine.state().dispatcher_handle.load(), first);

    // Stop still reaches the one that runs: raising the cap afterwards converts nothing.
    stop_command(engine);
    window.set_cap_text("5");
    settle();
    EXPECT_EQ(gateway.server().request_count(), 0u);
}

}  // namespace
}  // namespace zolt::testing
