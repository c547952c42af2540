// The batch: its process-wide state, the conversion worker, the dispatcher and the run
// control commands. The window holds one Engine for the life of the process.
#pragma once

#include <atomic>
#include <cstdint>

#include "batch/window_port.hpp"
#include "platform/threads.hpp"

namespace zolt {

struct BatchState {
    std::atomic<std::int32_t> rows_dispatched{0};
    std::atomic<std::int32_t> active_workers{0};
    std::atomic<ThreadHandle> last_worker_handle{0};
    std::atomic<ThreadHandle> dispatcher_handle{0};
};

class Engine {
  public:
    // poll_wait_ms is the dispatcher's wait when the cap is reached: 2000 in the program,
    // shorter in tests.
    explicit Engine(WindowPort& window, int poll_wait_ms = 2000);
    // Ends every dispatcher it started, paused ones included, then waits for its workers
    // to finish their rows: no thread of the engine outlives it or the window. The program
    // never destroys its engine; tests do.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    WindowPort& window();
    BatchState& state();
    int poll_wait_ms() const;

    struct Impl;
    Impl& impl();

  private:
    Impl* impl_;
};

// Selection event of 组合框_接口: rewinds the batch, then makes row index current (0..11).
void select_service(Engine& engine, int index);

// Thread routines.
void convert_row(Engine& engine, std::int32_t row_number);
void dispatch_rows(Engine& engine, std::int32_t ignored);

// Click handlers of 按钮_开始线程, 按钮_暂停线程, 按钮_恢复线程, 按钮_停止线程; they run on the
// window's thread and never wait for another thread (messages excepted).
void start_command(Engine& engine);
void pause_command(Engine& engine);
void resume_command(Engine& engine);
void stop_command(Engine& engine);

}  // namespace zolt
