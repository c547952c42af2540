// UTF-8 to GBK conversion, the one the program makes on every UTF-8 answer.
//
// Figures (ratios against bare ICU runs of the same process, same bytes):
//   convert_charset against ucnv_convert, which opens and closes its two converters
//   itself, as a one-off conversion does (target: within 1.5x);
//   convert_charset against ucnv_convertEx on two converters opened once beforehand, the
//   cheapest ICU can do.
// Sizes: a short-link answer (100 bytes), a web page (16 KiB) and a large body (4 MiB).
#include <unicode/ucnv.h>

#include <string>
#include <vector>

#include "bench/ratio_report.hpp"
#include "core/charset.hpp"
#include "platform/code_page.hpp"

namespace zolt {
namespace {

// Chinese text, ASCII markup and an emoji that GBK lacks, repeated to size.
std::string utf8_sample(std::size_t size) {
    const std::string unit =
        "<a href=\"http://t.cn/A6x\">\xE7\x9F\xAD\xE7\xBD\x91\xE5\x9D\x80</a>"
        "\xE5\xA4\x9A\xE7\xBA\xBF\xE7\xA8\x8B \xF0\x9F\x98\x80\n";
    std::string out;
    while (out.size() < size) out += unit;
    // Cut back to a whole unit boundary no further than size.
    out.resize(size - size % unit.size() + (size < unit.size() ? size : 0));
    return out;
}

std::string icu_one_off(const std::string& in) {
    std::string out(in.size() * 2 + 16, '\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n =
        ucnv_convert(kGbkCodePage.data(), "UTF-8", out.data(), static_cast<int32_t>(out.size()),
                     in.data(), static_cast<int32_t>(in.size()), &status);
    out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(n) : 0);
    return out;
}

struct OpenPair {
    OpenPair() {
        UErrorCode status = U_ZERO_ERROR;
        from = ucnv_open("UTF-8", &status);
        to = ucnv_open(kGbkCodePage.data(), &status);
        ucnv_setSubstChars(to, "?", 1, &status);
    }
    ~OpenPair() {
        ucnv_close(from);
        ucnv_close(to);
    }
    std::string convert(const std::string& in) {
        std::string out(in.size() * 2 + 16, '\0');
        UErrorCode status = U_ZERO_ERROR;
        char* target = out.data();
        const char* source = in.data();
        ucnv_convertEx(to, from, &target, out.data() + out.size(), &source, in.data() + in.size(),
                       nullptr, nullptr, nullptr, nullptr, true, true, &status);
        out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(target - out.data()) : 0);
        return out;
    }
    UConverter* from;
    UConverter* to;
};

std::vector<bench::Ratio> register_all() {
    std::vector<bench::Ratio> ratios;
    for (std::size_t size : {std::size_t{100}, std::size_t{16} << 10, std::size_t{4} << 20}) {
        const std::string tag = "/" + std::to_string(size) + "B";
        const std::string sample = utf8_sample(size);
        if (convert_charset(sample) != icu_one_off(sample)) {
            std::fprintf(stderr, "convert_charset differs from ICU at %zu bytes\n", size);
        }
        benchmark::RegisterBenchmark(("convert_charset" + tag).c_str(), [sample](
                                                                            benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(convert_charset(sample));
        })->Repetitions(3);
        benchmark::RegisterBenchmark(("icu_one_off" + tag).c_str(), [sample](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(icu_one_off(sample));
        })->Repetitions(3);
        benchmark::RegisterBenchmark(("icu_opened" + tag).c_str(), [sample](benchmark::State& st) {
            OpenPair pair;
            for (auto _ : st) benchmark::DoNotOptimize(pair.convert(sample));
        })->Repetitions(3);
        ratios.push_back(
            {"convert_charset / ucnv_convert" + tag, "convert_charset" + tag, "icu_one_off" + tag});
        ratios.push_back({"convert_charset / ucnv_convertEx, converters open" + tag,
                          "convert_charset" + tag, "icu_opened" + tag});
    }
    return ratios;
}

}  // namespace
}  // namespace zolt

int main(int argc, char** argv) {
    const auto ratios = zolt::register_all();
    return zolt::bench::run_with_ratios(argc, argv, ratios);
}
