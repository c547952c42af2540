#include <utility>

#include "batch/engine_impl.hpp"
#include "core/charset.hpp"
#include "core/services.hpp"

namespace zolt {

Engine::Engine(WindowPort& window, int poll_wait_ms)
    : impl_(new Impl(*this, window, poll_wait_ms)) {}

Engine::~Engine() {
    // A paused dispatcher would otherwise wait for ever: end them all, then let the
    // workers finish their rows, so no thread outlives what it refers to.
    {
        std::lock_guard lock(impl_->registry_mutex);
        for (auto& [handle, control] : impl_->dispatchers) {
            std::lock_guard control_lock(control->mutex);
            control->stopped = true;
            control->changed.notify_all();
        }
    }
    {
        std::unique_lock lock(impl_->live_mutex);
        impl_->live_changed.wait(lock, [this] { return impl_->live_threads == 0; });
    }
    delete impl_;
}

WindowPort& Engine::window() { return impl_->window; }
BatchState& Engine::state() { return impl_->state; }
int Engine::poll_wait_ms() const { return impl_->poll_wait_ms; }
Engine::Impl& Engine::impl() { return *impl_; }

ThreadHandle Engine::Impl::start_tracked(std::function<void()> routine) {
    {
        std::lock_guard lock(live_mutex);
        ++live_threads;
    }
    const ThreadHandle handle = start_thread([this, routine = std::move(routine)] {
        routine();
        thread_ended();
    });
    if (handle == 0) thread_ended();
    return handle;
}

void Engine::Impl::thread_ended() {
    // Notified under the lock: once the destructor sees zero it may free this object, and
    // by then this thread no longer touches it.
    std::lock_guard lock(live_mutex);
    --live_threads;
    live_changed.notify_all();
}

std::shared_ptr<DispatcherControl> Engine::Impl::find_dispatcher(ThreadHandle handle) {
    std::lock_guard lock(registry_mutex);
    auto found = dispatchers.find(handle);
    return found == dispatchers.end() ? nullptr : found->second;
}

void Engine::Impl::give_back(std::int32_t row_number, std::uint64_t rewind) {
    std::lock_guard lock(retry_mutex);
    retry_rows.push_back({row_number, rewind});
}

std::optional<Engine::Impl::RetryRow> Engine::Impl::retry_row(std::int32_t row_count, bool take) {
    std::lock_guard lock(retry_mutex);
    const std::uint64_t current = rewinds.load();
    std::erase_if(retry_rows, [&](const RetryRow& r) {
        return r.rewind != current || r.row_number > row_count;
    });
    if (retry_rows.empty()) return std::nullopt;
    const RetryRow row = retry_rows.back();
    if (take) retry_rows.pop_back();
    return row;
}

void select_service(Engine& engine, int index) {
    // The rewind count moves first: a row given back by a dispatcher that raced with this
    // rewind is then at worst converted twice, never lost.
    engine.impl().rewinds.fetch_add(1);
    engine.state().rows_dispatched.store(0);
    set_request_prefix(index);
}

const Text& status_busy_head() {
    static const Text text = gbk_from_utf8("由线程：");
    return text;
}

const Text& status_busy_tail() {
    static const Text text = gbk_from_utf8("正在处理");
    return text;
}

const Text& status_done() {
    static const Text text = gbk_from_utf8("处理完成");
    return text;
}

}  // namespace zolt
