// Import of a large list and export of many results, at engine level over a bare data list.
//
// Figures (each against a baseline measured in the same run):
//   import_list of 1,000,000 lines (~60 MB): time against reading the file alone, the
//     longest any data-list operation of the window had to wait meanwhile, and peak memory
//     of a process doing only the import against the file's size;
//   export_results of 250k, 500k and 1M results: time against writing the same bytes with
//     no rows to read, and time per row, which stays flat when the export is linear.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "exchange/exchange.hpp"

namespace zolt {
namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class FixedDialog : public FileDialog {
  public:
    bool show() override { return true; }  // confirms whatever file_name holds
};

class BareWindow : public WindowPort {
  public:
    explicit BareWindow(const Path& chosen) { dialog_.file_name = chosen; }
    DataList& data_list() override { return list_; }
    Text cap_text() override { return "10"; }
    void set_button_enabled(Button, bool) override {}
    int selected_service() override { return 0; }
    void set_selected_service(int) override {}
    void show_message(const Text& text) override { last_message = text; }
    FileDialog& file_dialog() override { return dialog_; }

    Text last_message;

  private:
    DataList list_;
    FixedDialog dialog_;
};

const std::filesystem::path& work_dir() {
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() /
                    ("zolt-exchange-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

Path write_bench_file(const char* name, const std::string& piece, int copies) {
    const Path file = (work_dir() / name).string();
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < copies; ++i) out << piece;
    return file;
}

// 1,000,000 addresses of 58 bytes and CR LF: 60,000,000 bytes.
const Path& million_line_file() {
    static const Path path = [] {
        std::string lines;
        char line[64];
        for (int i = 0; i < 1'000'000; ++i) {
            std::snprintf(line, sizeof line,
                          "http://www.example.com/articles/2024/long-title?id=%07d\r\n", i);
            lines += line;
        }
        return write_bench_file("million.txt", lines, 1);
    }();
    return path;
}

// One line of 200 MB and no line break: the worst case for a single cell.
const Path& one_line_file() {
    static const Path path = write_bench_file("one-line.txt", std::string(1 << 20, 'a'), 200);
    return path;
}

// Stands in for the window's thread: every millisecond it pulls changes and reads a cell,
// as the list model does, and keeps the longest time one of those steps had to wait. It
// reads the short ID cell: copying a 200 MB address cell would measure the copy, not the
// import.
class WindowPoller {
  public:
    explicit WindowPoller(DataList& list)
        : thread_([this, &list] {
              while (!done_.load()) {
                  const auto start = Clock::now();
                  list.take_changes();
                  const int rows = list.row_count();
                  benchmark::DoNotOptimize(list.read_cell(rows - 1, kColumnId));
                  worst_ms_ = std::max(worst_ms_, ms_since(start));
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    double stop() {
        done_ = true;
        thread_.join();
        return worst_ms_;
    }

  private:
    std::atomic<bool> done_{false};
    double worst_ms_ = 0;
    std::thread thread_;
};

void import_file(benchmark::State& state, const Path& file) {
    const double bytes = static_cast<double>(std::filesystem::file_size(file));
    double worst_wait = 0, import_ms = 0, read_ms = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        std::string content;
        read_whole_file(file, content);
        benchmark::DoNotOptimize(std::count(content.begin(), content.end(), '\n'));
        content = {};
        read_ms += ms_since(start);

        BareWindow window(file);
        WindowPoller poller(window.data_list());
        start = Clock::now();
        import_list(window, 0);
        const double took = ms_since(start);
        state.SetIterationTime(took / 1000);
        import_ms += took;
        worst_wait = std::max(worst_wait, poller.stop());
        if (window.last_message.empty()) state.SkipWithError("the import said nothing");
        state.PauseTiming();
        window.data_list().clear_rows();
        state.ResumeTiming();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["import_ms"] = import_ms / runs;
    state.counters["read_only_ms"] = read_ms / runs;
    state.counters["x_read_only"] = import_ms / read_ms;
    state.counters["window_wait_max_ms"] = worst_wait;
    state.counters["file_MB"] = bytes / 1e6;
}

void BM_import_million_lines(benchmark::State& state) { import_file(state, million_line_file()); }
void BM_import_one_200MB_line(benchmark::State& state) { import_file(state, one_line_file()); }

// Peak resident memory of a child process: importing the file, against doing nothing.
long peak_kb_of_child(const Path* file) {
    malloc_trim(0);
    const pid_t child = fork();
    if (child == 0) {
        if (file != nullptr) {
            BareWindow window(*file);
            import_list(window, 0);
        }
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss;
}

void import_memory(benchmark::State& state, const Path& file) {
    const double bytes = static_cast<double>(std::filesystem::file_size(file));
    long idle_kb = 0, import_kb = 0;
    for (auto _ : state) {
        idle_kb = peak_kb_of_child(nullptr);
        import_kb = peak_kb_of_child(&file);
    }
    state.counters["peak_MB"] = static_cast<double>(import_kb) / 1024;
    state.counters["idle_MB"] = static_cast<double>(idle_kb) / 1024;
    state.counters["x_file_size"] = static_cast<double>(import_kb - idle_kb) * 1024 / bytes;
}

void BM_import_million_lines_memory(benchmark::State& state) {
    import_memory(state, million_line_file());
}
void BM_import_one_200MB_line_memory(benchmark::State& state) {
    import_memory(state, one_line_file());
}

void BM_export_results(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const Path chosen = (work_dir() / "results").string();
    BareWindow window(chosen);
    DataList& list = window.data_list();
    std::string expected;
    char cell[40];
    for (int i = 0; i < rows; ++i) {
        const int row = list.append_row();
        std::snprintf(cell, sizeof cell, "http://zo.lt/%07d", i);
        list.write_cell(row, kColumnResult, cell);
        expected += cell;
        expected += "\r\n";
    }
    double export_ms = 0, write_ms = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        write_whole_file(chosen + "-baseline", expected);
        write_ms += ms_since(start);

        start = Clock::now();
        export_results(window, 0);
        const double took = ms_since(start);
        state.SetIterationTime(took / 1000);
        export_ms += took;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["export_ms"] = export_ms / runs;
    state.counters["write_only_ms"] = write_ms / runs;
    state.counters["x_write_only"] = export_ms / write_ms;
    state.counters["ns_per_row"] = export_ms * 1e6 / runs / rows;
}

BENCHMARK(BM_import_million_lines)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_import_million_lines_memory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_import_one_200MB_line)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_import_one_200MB_line_memory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_export_results)
    ->Arg(250'000)
    ->Arg(500'000)
    ->Arg(1'000'000)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zolt

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(zolt::work_dir(), ignored);
    return 0;
}
