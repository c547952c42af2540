// How the window keeps up while another thread fills the data list: a million rows
// appended, two cells written in each, with the window shown. Prints the time until every
// row is shown, the peak memory and the longest wait of an event posted to the window,
// each against a baseline measured in the same run.
//
//   QT_QPA_PLATFORM=offscreen window_bench [rows]
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/main_window.hpp"

namespace {

constexpr int kTickMs = 5;

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void fill(zolt::DataList& list, int rows) {
    for (int i = 0; i < rows; ++i) {
        const int row = list.append_row();
        list.write_cell(row, zolt::kColumnId, std::to_string(row + 1));
        list.write_cell(row, zolt::kColumnSource,
                        "http://www.example.com/articles/" + std::to_string(row) + "?from=list");
    }
}

// Runs the event loop until done() holds, ticking every kTickMs; returns the longest time
// a tick came late.
template <class Done>
qint64 run_loop_until(Done done, qint64 limit_ms) {
    QEventLoop loop;
    QElapsedTimer since_tick;
    QElapsedTimer total;
    qint64 worst_ns = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(kTickMs);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worst_ns = std::max(worst_ns, since_tick.nsecsElapsed() - kTickMs * 1000000LL);
        since_tick.restart();
        if (done() || total.elapsed() > limit_ms) loop.quit();
    });
    total.start();
    since_tick.start();
    tick.start();
    loop.exec();
    return worst_ns;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int rows = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;

    zolt::MainWindow window;
    window.show();
    window.run_created_steps();
    QApplication::processEvents();
    // Baseline lateness: the shown window with nothing to do.
    const qint64 idle_late_ns = run_loop_until([] { return false; }, 500);
    const long rss_before = peak_rss_kib();

    std::atomic<bool> filled{false};
    QElapsedTimer clock;
    clock.start();
    std::thread producer([&] {
        fill(window.data_list(), rows);
        filled = true;
    });
    const QAbstractItemModel* shown = window.超级列表框_数据列表->model();
    const qint64 busy_late_ns =
        run_loop_until([&] { return filled && shown->rowCount() == rows; }, 120000);
    const double shown_ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    producer.join();
    const long rss_after = peak_rss_kib();

    // Baseline, after the peak was taken: the same filling into a list no window shows.
    {
        zolt::DataList bare;
        clock.restart();
        fill(bare, rows);
    }
    const double bare_ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;

    const bool complete = shown->rowCount() == rows;
    std::printf("rows appended, 2 cells each:       %d%s\n", rows,
                complete ? "" : " (NOT all shown)");
    std::printf("fill, no window (baseline):        %.0f ms\n", bare_ms);
    std::printf(
        "fill until all shown in window:    %.0f ms   ratio %.2f x baseline   (target < 2000 ms)\n",
        shown_ms, shown_ms / bare_ms);
    std::printf(
        "longest wait of a posted event:    %.1f ms   idle window %.1f ms, ratio %.1f   (target < "
        "50 ms)\n",
        static_cast<double>(busy_late_ns) / 1e6, static_cast<double>(idle_late_ns) / 1e6,
        static_cast<double>(busy_late_ns) / static_cast<double>(std::max<qint64>(idle_late_ns, 1)));
    std::printf(
        "peak memory:                       %.1f MiB   before filling %.1f MiB, ratio %.2f\n",
        static_cast<double>(rss_after) / 1024.0, static_cast<double>(rss_before) / 1024.0,
        static_cast<double>(rss_after) / static_cast<double>(std::max(rss_before, 1L)));
    std::fflush(stdout);
    std::_Exit(complete ? 0 : 1);
}
