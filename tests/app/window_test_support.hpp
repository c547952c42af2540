// Helpers for driving the window from a test on the window's thread.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>

#include "app/main_window.hpp"
#include "app/qt_window_port.hpp"
#include "batch/engine.hpp"

namespace zolt::testing {

// Processes events until done() holds; false when timeout passes first.
bool process_until(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The visible top-level widget of type T with this objectName, or null.
template <class T>
T* visible_top_level(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->objectName() == name) {
            if (auto* typed = qobject_cast<T*>(widget)) return typed;
        }
    }
    return nullptr;
}

// The window as the program builds it: its port, an engine with a short poll wait, every
// command bound, shown, and the window-created steps run.
class WindowFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    // The engine ends every dispatcher and waits for them; one may be asking the window's
    // thread for the cap text meanwhile, so this thread keeps answering until it is done.
    void TearDown() override;

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QtWindowPort> port;
    std::unique_ptr<Engine> engine;
};

}  // namespace zolt::testing
