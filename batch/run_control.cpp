#include <memory>
#include <mutex>

#include "batch/engine_impl.hpp"
#include "core/charset.hpp"

namespace zolt {

namespace {

enum class Order { pause, resume, stop };

// Only sets the flag: the dispatcher obeys at its next safe point, or at once when it
// waits. One that has finished, or is unknown, is left alone.
void send(Engine& engine, Order order) {
    const auto control = engine.impl().find_dispatcher(engine.state().dispatcher_handle.load());
    if (!control) return;
    std::lock_guard lock(control->mutex);
    switch (order) {
        case Order::pause:
            control->paused = true;
            break;
        case Order::resume:
            control->paused = false;
            break;
        case Order::stop:
            control->stopped = true;
            break;
    }
    control->changed.notify_all();
}

}  // namespace

void start_command(Engine& engine) {
    WindowPort& window = engine.window();
    window.set_button_enabled(Button::pause, true);
    window.set_button_enabled(Button::stop, true);

    Engine::Impl& impl = engine.impl();
    auto control = std::make_shared<DispatcherControl>();
    const ThreadHandle handle = impl.start_tracked([&engine, control] {
        run_dispatcher(engine, *control);
        std::lock_guard lock(control->mutex);
        control->finished = true;
    });
    // Without a new dispatcher the commands keep reaching the one that exists.
    if (handle == 0) return;
    {
        std::lock_guard lock(impl.registry_mutex);
        std::erase_if(impl.dispatchers, [](const auto& entry) {
            std::lock_guard control_lock(entry.second->mutex);
            return entry.second->finished;
        });
        impl.dispatchers.emplace(handle, std::move(control));
    }
    engine.state().dispatcher_handle.store(handle);
}

void pause_command(Engine& engine) {
    static const Text text = gbk_from_utf8("线程暂停成功！");
    send(engine, Order::pause);
    engine.window().set_button_enabled(Button::pause, false);
    engine.window().set_button_enabled(Button::resume, true);
    engine.window().show_message(text);
}

void resume_command(Engine& engine) {
    static const Text text = gbk_from_utf8("线程恢复成功！");
    send(engine, Order::resume);
    engine.window().set_button_enabled(Button::pause, true);
    engine.window().set_button_enabled(Button::resume, false);
    engine.window().show_message(text);
}

void stop_command(Engine& engine) {
    static const Text text = gbk_from_utf8("线程停止成功！");
    send(engine, Order::stop);
    engine.window().set_button_enabled(Button::pause, false);
    engine.window().set_button_enabled(Button::resume, false);
    engine.window().set_button_enabled(Button::stop, false);
    engine.window().show_message(text);
}

}  // namespace zolt
