// Whole batch runs through a local gateway that answers after 20 ms, with the program's
// own 2000 ms dispatcher wait.
//
// Figures (each against a baseline measured in the same run):
//   rows per second of 500 rows at cap 50 and of 2,000 rows at cap 500, against the bound
//     of the design: a full cap of workers at once, then a full cap again each time the
//     dispatcher looks (every 2 s, or once the answers are in when they take longer);
//   CPU time per converted row (engine, workers and HTTP) against a bare libcurl GET
//     loop to the same gateway, both on one processor as the program runs, with the
//     program's request routine alone beside it, and the same pair on every processor;
//   peak memory of a run against a process that only holds the same rows with their
//     results, for 500 and 5,000 rows at the same cap (short wait): what a run adds stays
//     flat when it keeps nothing per row.
//
// Every run is a process of its own, forked before any thread exists, so its CPU time and
// peak memory are its own; the gateway is another process.
#include <curl/curl.h>

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include "platform/threads.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch/engine.hpp"
#include "core/services.hpp"
#include "core/web_fetch.hpp"
#include "tests/support/http_server.hpp"

namespace zolt {
namespace {

constexpr int kLatencyMs = 20;
constexpr int kProgramWaitMs = 2000;

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class BenchWindow : public WindowPort {
  public:
    explicit BenchWindow(int cap) : cap_(std::to_string(cap)) {}
    DataList& data_list() override { return list_; }
    Text cap_text() override { return cap_; }
    void set_button_enabled(Button, bool) override {}
    int selected_service() override { return 0; }
    void set_selected_service(int) override {}
    void show_message(const Text&) override {
        std::lock_guard lock(mutex_);
        ++messages_;
        shown_.notify_all();
    }
    FileDialog& file_dialog() override { std::abort(); }

    void wait_for_message() {
        std::unique_lock lock(mutex_);
        shown_.wait(lock, [this] { return messages_ > 0; });
    }

  private:
    DataList list_;
    Text cap_;
    std::mutex mutex_;
    std::condition_variable shown_;
    int messages_ = 0;
};

struct Outcome {
    double wall_s = 0;
    double cpu_s = 0;
    long peak_kb = 0;
    int converted = 0;
};

Text source(int i) { return "http://example.com/some/long/address/" + std::to_string(i); }

Outcome run_batch(int rows, int cap, int wait_ms) {
    BenchWindow window(cap);
    DataList& list = window.data_list();
    for (int i = 1; i <= rows; ++i) list.write_cell(list.append_row(), kColumnSource, source(i));
    set_request_prefix(0);

    Outcome out;
    const double cpu0 = cpu_seconds();
    const auto t0 = Clock::now();
    {
        Engine engine(window, wait_ms);
        start_command(engine);
        window.wait_for_message();
        while (engine.state().active_workers.load() != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        out.wall_s = std::chrono::duration<double>(Clock::now() - t0).count();
    }
    out.cpu_s = cpu_seconds() - cpu0;
    out.peak_kb = peak_rss_kb();
    const Text prefix = "S:" + Text("http://example.com/");
    for (int i = 0; i < rows; ++i) {
        if (list.read_cell(i, kColumnResult).rfind(prefix, 0) == 0) ++out.converted;
    }
    return out;
}

// The same rows holding what a run leaves in them, with no run: what memory the rows
// themselves take.
Outcome hold_rows(int rows) {
    DataList list;
    const Text done = "\xB4\xA6\xC0\xED\xCD\xEA\xB3\xC9";
    for (int i = 1; i <= rows; ++i) {
        const int row = list.append_row();
        list.write_cell(row, kColumnSource, source(i));
        list.write_cell(row, kColumnResult, "S:" + source(i));
        list.write_cell(row, kColumnStatus, done);
    }
    Outcome out;
    out.peak_kb = peak_rss_kb();
    out.converted = list.row_count();
    return out;
}

std::size_t drop(char*, std::size_t size, std::size_t n, void*) { return size * n; }

// The same GETs through the program's request routine: what the batch adds on top of it is
// the rest of the engine's figure.
Outcome run_web_fetch_loop(int threads, int per_thread) {
    Outcome out;
    std::atomic<int> ok{0};
    const Text prefix = service_prefix(0);
    const double cpu0 = cpu_seconds();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                if (!web_fetch(prefix + source(t * per_thread + i)).empty()) ++ok;
            }
        });
    }
    for (auto& thread : pool) thread.join();
    out.cpu_s = cpu_seconds() - cpu0;
    out.converted = ok.load();
    return out;
}

// One fresh handle and connection per GET, as the workers have: nothing shared.
Outcome run_bare_loop(int threads, int per_thread) {
    Outcome out;
    std::atomic<int> ok{0};
    const std::string base = "http://" + gateway_host() + "/_app.php?type=text&url=";
    const double cpu0 = cpu_seconds();
    const auto t0 = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                CURL* curl = curl_easy_init();
                const std::string url = base + source(t * per_thread + i);
                curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
                curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, drop);
                curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
                if (curl_easy_perform(curl) == CURLE_OK) ++ok;
                curl_easy_cleanup(curl);
            }
        });
    }
    for (auto& thread : pool) thread.join();
    out.wall_s = std::chrono::duration<double>(Clock::now() - t0).count();
    out.cpu_s = cpu_seconds() - cpu0;
    out.converted = ok.load();
    return out;
}

template <typename Job>
// one_cpu: bound to the first processor, as the window binds the program before any run.
Outcome in_child(Job job, bool one_cpu = true) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (one_cpu) bind_process_to_first_cpu();
        const Outcome out = job();
        if (write(fds[1], &out, sizeof out) != static_cast<ssize_t>(sizeof out)) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Outcome out;
    if (read(fds[0], &out, sizeof out) != static_cast<ssize_t>(sizeof out)) out = Outcome{};
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return out;
}

// The gateway in a process of its own, so that its CPU time is in neither figure.
pid_t start_gateway() {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        HttpServer server([](const RecordedRequest& request) {
            return ScriptedReply::text("S:" +
                                       request.target.substr(request.target.find("url=") + 4));
        });
        server.set_delay_ms(kLatencyMs);
        const std::string where = server.host_port();
        if (write(fds[1], where.data(), where.size()) < 0) _exit(1);
        close(fds[1]);
        for (;;) {
            // The record of requests grows; a long bench would otherwise hold them all.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            server.clear_requests();
        }
    }
    close(fds[1]);
    char buffer[64] = {};
    const ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    if (n <= 0) std::exit(1);
    setenv("ZOLT_GATEWAY", buffer, 1);
    return child;
}

// The rate the design promises: a full cap each time the dispatcher looks again, every
// 2 s, or once the answers are in when they take longer.
double bound_rows_per_s(int cap, int wait_ms) {
    return cap / (std::max(wait_ms, kLatencyMs) / 1000.0);
}

}  // namespace
}  // namespace zolt

int main() {
    using namespace zolt;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const pid_t gateway = start_gateway();

    std::printf("%-50s %10s %10s %8s\n", "figure", "measured", "baseline", "ratio");
    struct RateCase {
        int rows;
        int cap;
    };
    double engine_cpu = 0;
    int engine_rows = 0;
    for (const RateCase c : {RateCase{500, 50}, RateCase{2000, 500}}) {
        const Outcome out = in_child([&] { return run_batch(c.rows, c.cap, kProgramWaitMs); });
        const double rate = out.wall_s > 0 ? c.rows / out.wall_s : 0;
        const double bound = bound_rows_per_s(c.cap, kProgramWaitMs);
        char label[80];
        std::snprintf(label, sizeof label, "rows/s, %d rows cap %d, vs design bound", c.rows,
                      c.cap);
        std::printf("%-50s %10.1f %10.1f %8.2f\n", label, rate, bound, rate / bound);
        if (out.converted != c.rows) std::printf("  only %d rows converted\n", out.converted);
        engine_cpu += out.cpu_s;
        engine_rows += c.rows;
    }

    const Outcome bare = in_child([] { return run_bare_loop(10, 100); });
    const Outcome fetch = in_child([] { return run_web_fetch_loop(10, 100); });
    const Outcome spread = in_child([] { return run_batch(2000, 50, 20); }, false);
    const Outcome spread_bare = in_child([] { return run_bare_loop(10, 100); }, false);
    const double bare_us = bare.converted > 0 ? bare.cpu_s / bare.converted * 1e6 : 0;
    const double fetch_us = fetch.converted > 0 ? fetch.cpu_s / fetch.converted * 1e6 : 0;
    const double engine_us = engine_cpu / engine_rows * 1e6;
    const double spread_us = spread.cpu_s / 2000 * 1e6;
    const double spread_bare_us =
        spread_bare.converted > 0 ? spread_bare.cpu_s / spread_bare.converted * 1e6 : 0;
    std::printf("%-50s %8.1fus %8.1fus %8.2f\n", "CPU/row, engine vs bare libcurl GET", engine_us,
                bare_us, engine_us / bare_us);
    std::printf("%-50s %8.1fus %8.1fus %8.2f\n", "  web_fetch loop vs bare libcurl GET", fetch_us,
                bare_us, fetch_us / bare_us);
    std::printf("%-50s %8.1fus %8.1fus %8.2f\n", "  both on every processor, 2000 rows cap 50",
                spread_us, spread_bare_us, spread_us / spread_bare_us);

    struct MemoryCase {
        int rows;
        long over_kb;
    };
    MemoryCase memory[] = {{500, 0}, {5000, 0}};
    for (MemoryCase& m : memory) {
        const Outcome run = in_child([&] { return run_batch(m.rows, 50, 20); });
        const Outcome rows = in_child([&] { return hold_rows(m.rows); });
        m.over_kb = run.peak_kb - rows.peak_kb;
        std::printf("%-50s %8ldKB %8ldKB\n",
                    ("peak RSS, run vs rows alone, " + std::to_string(m.rows) + " rows").c_str(),
                    run.peak_kb, rows.peak_kb);
    }
    std::printf(
        "%-50s %8ldKB %8ldKB %8.2f\n", "  run above the rows, 5000 vs 500 rows", memory[1].over_kb,
        memory[0].over_kb,
        memory[0].over_kb > 0 ? static_cast<double>(memory[1].over_kb) / memory[0].over_kb : 0.0);

    kill(gateway, SIGTERM);
    waitpid(gateway, nullptr, 0);
    return 0;
}
