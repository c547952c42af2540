#include "window_test_support.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <future>

#include "app/commands.hpp"

namespace zolt::testing {

bool process_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void WindowFixture::SetUp() {
    window = std::make_unique<MainWindow>();
    port = std::make_unique<QtWindowPort>(*window);
    engine = std::make_unique<Engine>(*port, 10);
    connect_commands(*window, *port, *engine);
    window->show();
    window->run_created_steps();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
}

void WindowFixture::TearDown() {
    auto ended = std::async(std::launch::async, [this] { engine.reset(); });
    ASSERT_TRUE(process_until(
        [&] { return ended.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    port.reset();
    window.reset();
}

}  // namespace zolt::testing
