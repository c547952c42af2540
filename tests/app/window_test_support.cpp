#include "window_test_support.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

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

}  // namespace zolt::testing
