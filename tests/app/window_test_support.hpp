// Helpers for driving the window from a test on the window's thread.
#pragma once

#include <QApplication>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>

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

}  // namespace zolt::testing
