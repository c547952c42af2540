// Placeholder until the batch lands: the commands do nothing visible.
#include "batch/engine.hpp"
#include "core/services.hpp"

namespace zolt {

struct Engine::Impl {
    WindowPort& window;
    BatchState state;
    int poll_wait_ms;
};

Engine::Engine(WindowPort& window, int poll_wait_ms)
    : impl_(new Impl{window, {}, poll_wait_ms}) {}
Engine::~Engine() { delete impl_; }
WindowPort& Engine::window() { return impl_->window; }
BatchState& Engine::state() { return impl_->state; }
int Engine::poll_wait_ms() const { return impl_->poll_wait_ms; }
Engine::Impl& Engine::impl() { return *impl_; }

void select_service(Engine& engine, int index) {
    engine.state().rows_dispatched.store(0);
    set_request_prefix(index);
}
void convert_row(Engine&, std::int32_t) {}
void dispatch_rows(Engine&, std::int32_t) {}
void start_command(Engine&) {}
void pause_command(Engine&) {}
void resume_command(Engine&) {}
void stop_command(Engine&) {}

}  // namespace zolt
