#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "batch/engine_impl.hpp"
#include "core/charset.hpp"

namespace zolt {

namespace {

// Holds a new worker back until its row shows the dispatcher's status and it is counted
// in, so its own "done" status is never overwritten and the count never goes below zero.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;

    void wait() {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
    }
    void let_go() {
        std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
};

// Returns false once the dispatcher is stopped; while it is paused, does not return.
bool hold_while_paused(std::unique_lock<std::mutex>& lock, DispatcherControl& control) {
    control.changed.wait(lock, [&] { return !control.paused || control.stopped; });
    return !control.stopped;
}

bool safe_point(DispatcherControl& control) {
    std::unique_lock lock(control.mutex);
    return hold_while_paused(lock, control);
}

// The poll wait, cut short by Pause or Stop.
bool wait_at_safe_point(DispatcherControl& control, int milliseconds) {
    std::unique_lock lock(control.mutex);
    control.changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [&] { return control.paused || control.stopped; });
    return hold_while_paused(lock, control);
}

// The end test and the increment in one compare-and-swap, so two dispatchers never hand
// out the same number, nor one beyond the row count.
std::optional<Engine::Impl::RetryRow> claim_row(Engine::Impl& impl, std::int32_t row_count) {
    if (auto retry = impl.retry_row(row_count, true)) return retry;
    std::int32_t seen = impl.state.rows_dispatched.load();
    while (seen < row_count) {
        if (impl.state.rows_dispatched.compare_exchange_weak(seen, seen + 1)) {
            // Read after the claim: see select_service.
            return Engine::Impl::RetryRow{seen + 1, impl.rewinds.load()};
        }
    }
    return std::nullopt;
}

const Text& final_message() {
    static const Text text = gbk_from_utf8("所有任务处理完毕");
    return text;
}

}  // namespace

void run_dispatcher(Engine& engine, DispatcherControl& control) {
    Engine::Impl& impl = engine.impl();
    BatchState& state = impl.state;
    DataList& list = impl.window.data_list();
    for (;;) {
        if (!safe_point(control)) return;
        const std::int32_t row_count = list.row_count();
        if (state.rows_dispatched.load() >= row_count && !impl.retry_row(row_count, false)) {
            break;
        }
        const std::int32_t cap = text_to_int(impl.window.cap_text());
        if (state.active_workers.load() >= cap) {
            if (!wait_at_safe_point(control, impl.poll_wait_ms)) return;
            continue;
        }
        // The whole hand-out runs under the control lock: a Pause or Stop that comes in
        // meanwhile waits for it to complete, and once it has acted no further row goes.
        std::unique_lock lock(control.mutex);
        if (control.paused || control.stopped) continue;
        const auto claimed = claim_row(impl, row_count);
        if (!claimed) continue;  // another dispatcher took the last row
        auto gate = std::make_shared<Gate>();
        const std::int32_t row_number = claimed->row_number;
        const ThreadHandle handle = impl.start_tracked([&engine, gate, row_number] {
            gate->wait();
            convert_row(engine, row_number);
        });
        if (handle == 0) {
            // No thread, no count: the row waits for the next pass, when threads may be
            // available again.
            impl.give_back(claimed->row_number, claimed->rewind);
            lock.unlock();
            if (!wait_at_safe_point(control, impl.poll_wait_ms)) return;
            continue;
        }
        state.last_worker_handle.store(handle);
        list.write_cell(row_number - 1, kColumnStatus,
                        text_concat({status_busy_head(), int_to_text(handle), status_busy_tail()}));
        state.active_workers.fetch_add(1);
        gate->let_go();
    }
    // A Stop that came after the last hand-out still keeps the message away.
    if (!safe_point(control)) return;
    impl.window.show_message(final_message());
}

void dispatch_rows(Engine& engine, std::int32_t /*ignored*/) {
    DispatcherControl control;
    run_dispatcher(engine, control);
}

}  // namespace zolt
