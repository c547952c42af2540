// The engine's private state: what its dispatchers and workers share beyond BatchState.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "batch/engine.hpp"
#include "core/text.hpp"

namespace zolt {

// How Pause and Stop reach one dispatcher. The dispatcher looks at these flags only where
// it holds nothing other threads need: at the top of a pass and in its wait.
struct DispatcherControl {
    std::mutex mutex;
    std::condition_variable changed;
    bool paused = false;
    bool stopped = false;
    bool finished = false;
};

struct Engine::Impl {
    Impl(Engine& owner, WindowPort& window, int poll_wait_ms)
        : owner(owner), window(window), poll_wait_ms(poll_wait_ms) {}

    Engine& owner;
    WindowPort& window;
    BatchState state;
    const int poll_wait_ms;

    // Starts routine on a thread the engine waits for before it is destroyed; 0 when the
    // thread could not be started.
    ThreadHandle start_tracked(std::function<void()> routine);

    // Dispatchers started by Start, by handle. Finished ones are pruned at the next Start.
    std::mutex registry_mutex;
    std::map<ThreadHandle, std::shared_ptr<DispatcherControl>> dispatchers;
    std::shared_ptr<DispatcherControl> find_dispatcher(ThreadHandle handle);

    // Rows whose worker thread could not be started, handed out again before any new row.
    // Each carries the rewind it belongs to; a later rewind makes it stale, since the rows
    // are handed out again from the first anyway.
    std::atomic<std::uint64_t> rewinds{0};
    std::mutex retry_mutex;
    struct RetryRow {
        std::int32_t row_number;
        std::uint64_t rewind;
    };
    std::vector<RetryRow> retry_rows;
    void give_back(std::int32_t row_number, std::uint64_t rewind);
    // A row waiting for a retry with a number up to row_count; taken when take is set.
    std::optional<RetryRow> retry_row(std::int32_t row_count, bool take);

    std::mutex live_mutex;
    std::condition_variable live_changed;
    int live_threads = 0;
    void thread_ended();
};

// Runs one dispatcher until every row is handed out (then the final message) or until it
// is stopped (then silently).
void run_dispatcher(Engine& engine, DispatcherControl& control);

// The program's own texts, as GBK.
const Text& status_busy_head();  // "由线程："
const Text& status_busy_tail();  // "正在处理"
const Text& status_done();       // "处理完成"

}  // namespace zolt
