// Running a piece of work on the window's thread for whichever thread asks.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <type_traits>
#include <utility>

namespace zolt {

inline bool on_thread_of(const QObject* context) {
    return QThread::currentThread() == context->thread();
}

// Runs work on context's thread and waits for it. Called on that thread it runs at once:
// a blocking queued call there would wait for itself for ever.
template <class Work>
auto run_on_thread_of(QObject* context, Work&& work) -> std::invoke_result_t<Work&> {
    using Result = std::invoke_result_t<Work&>;
    if (on_thread_of(context)) return work();
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(
            context, [&work] { work(); }, Qt::BlockingQueuedConnection);
    } else {
        Result result{};
        QMetaObject::invokeMethod(
            context, [&work, &result] { result = work(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

}  // namespace zolt
