// Text primitives at scale.
//
// Figures (ratios against runs of the same process):
//   text_find and text_split on 64 MiB of ASCII address lines, against the same search and
//   the same split done with std::string_view::find (target: within 2x);
//   every operation on N and 2N bytes of three hostile inputs (two-byte characters whose
//   second bytes look like the sought text, a separator every third byte, a text of
//   blanks): time(2N) / time(N), which stays near 2 when the operation is linear.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ratio_report.hpp"
#include "core/text.hpp"

namespace zolt {
namespace {

constexpr std::size_t kLarge = 64u << 20;
constexpr std::size_t kSmall = 4u << 20;

std::string repeat_to(std::string_view unit, std::size_t size) {
    std::string out;
    out.reserve(size + unit.size());
    while (out.size() < size) out.append(unit);
    out.resize(size);
    return out;
}

const std::string& address_lines() {
    static const std::string text = [] {
        std::string out;
        out.reserve(kLarge + 128);
        char line[80];
        for (int i = 0; out.size() < kLarge; ++i) {
            const int n =
                std::snprintf(line, sizeof line,
                              "http://www.example.com/articles/2024/long-title?id=%07d\r\n", i);
            out.append(line, static_cast<std::size_t>(n));
        }
        out.resize(kLarge - 2);
        out.append("\r\n");
        return out;
    }();
    return text;
}

TextList baseline_split(std::string_view t, std::string_view sep) {
    TextList out;
    std::size_t from = 0;
    for (std::size_t p; (p = t.find(sep, from)) != std::string_view::npos; from = p + sep.size())
        out.emplace_back(t.substr(from, p - from));
    if (from < t.size()) out.emplace_back(t.substr(from));
    return out;
}

// A hostile input, a search text it never holds at a character start (though its bytes
// may stand there raw), and the separator that makes split and replace work hardest.
struct Hostile {
    const char* name;
    std::string unit;
    std::string absent;
    std::string separator;
};

const std::vector<Hostile>& hostile_inputs() {
    static const std::vector<Hostile> inputs = {
        // "\xA1\xB0" stands raw at every second byte, never at a character start.
        {"two-byte", "\xB0\xA1", "\xA1\xB0", "\xA1\xB0"},
        {"separators", "ab,", ",,", ","},
        // "\xA1 " stands raw inside every full-width space followed by a space.
        {"blanks", " \xA1\xA1", "\xA1 ", " "},
    };
    return inputs;
}

using Op = std::function<void(const std::string&, const Hostile&)>;

// text_to_int stops at the first byte that is no blank, sign or digit, so only a text of
// blanks makes it read far.
const std::vector<std::pair<const char*, Op>>& operations() {
    static const std::vector<std::pair<const char*, Op>> ops = {
        {"find", [](auto& t, auto& h) { benchmark::DoNotOptimize(text_find(t, h.absent)); }},
        {"find_ignore_case",
         [](auto& t, auto& h) { benchmark::DoNotOptimize(text_find(t, h.absent, 0, true)); }},
        {"find_last",
         [](auto& t, auto& h) { benchmark::DoNotOptimize(text_find_last(t, h.absent)); }},
        {"split", [](auto& t, auto& h) { benchmark::DoNotOptimize(text_split(t, h.separator)); }},
        {"replace",
         [](auto& t, auto& h) { benchmark::DoNotOptimize(text_replace(t, h.separator, "--")); }},
        {"trim", [](auto& t, auto&) { benchmark::DoNotOptimize(text_trim(t)); }},
        {"drop_blanks", [](auto& t, auto&) { benchmark::DoNotOptimize(text_drop_blanks(t)); }},
        {"lower", [](auto& t, auto&) { benchmark::DoNotOptimize(text_lower(t)); }},
        {"to_int", [](auto& t, auto&) { benchmark::DoNotOptimize(text_to_int(t)); }},
    };
    return ops;
}

std::string sized_name(const char* op, const char* input, std::size_t size) {
    return std::string(op) + "/" + input + "/" + std::to_string(size >> 20) + "MiB";
}

std::vector<bench::Ratio> register_all() {
    std::vector<bench::Ratio> ratios;
    const std::string sought = "charset=utf-8";
    benchmark::RegisterBenchmark("baseline_find/ascii/64MiB",
                                 [sought](benchmark::State& st) {
                                     const std::string_view t = address_lines();
                                     for (auto _ : st) benchmark::DoNotOptimize(t.find(sought));
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(
        "text_find/ascii/64MiB",
        [sought](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(text_find(address_lines(), sought));
        })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(
        "baseline_split/ascii/64MiB",
        [](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(baseline_split(address_lines(), "\r\n"));
        })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(
        "text_split/ascii/64MiB",
        [](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(text_split(address_lines(), "\r\n"));
        })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3);
    ratios.push_back({"text_find / string_view::find, 64 MiB ASCII", "text_find/ascii/64MiB",
                      "baseline_find/ascii/64MiB"});
    ratios.push_back({"text_split / split by string_view::find, 64 MiB ASCII",
                      "text_split/ascii/64MiB", "baseline_split/ascii/64MiB"});

    for (const Hostile& input : hostile_inputs()) {
        for (const auto& [op_name, op] : operations()) {
            if (std::string_view(op_name) == "to_int" && std::string_view(input.name) != "blanks")
                continue;
            for (std::size_t size : {kSmall, 2 * kSmall}) {
                auto run = [&input, op = op, size](benchmark::State& st) {
                    const std::string text = repeat_to(input.unit, size);
                    for (auto _ : st) op(text, input);
                };
                benchmark::RegisterBenchmark(sized_name(op_name, input.name, size).c_str(), run)
                    ->Unit(benchmark::kMillisecond)
                    ->MinTime(0.1)
                    ->Repetitions(3);
            }
            ratios.push_back(
                {std::string("linearity ") + op_name + " on " + input.name + ": time(2N)/time(N)",
                 sized_name(op_name, input.name, 2 * kSmall),
                 sized_name(op_name, input.name, kSmall)});
        }
    }
    return ratios;
}

}  // namespace
}  // namespace zolt

int main(int argc, char** argv) {
    const auto ratios = zolt::register_all();
    return zolt::bench::run_with_ratios(argc, argv, ratios);
}
