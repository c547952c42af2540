// Every text operation on arbitrary bytes: no crash, no sanitizer report, and the
// invariants that tie the operations together hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/charset.hpp"
#include "core/text.hpp"

namespace {

using namespace zolt;

void check(bool ok) {
    if (!ok) std::abort();
}

bool lead(unsigned char c) { return c >= 0x80; }

// Walks the characters of t from its first byte; calls f(position, size) for each.
template <typename F>
void each_char(const std::string& t, F&& f) {
    for (std::size_t i = 0; i < t.size();) {
        const std::size_t k = lead(static_cast<unsigned char>(t[i])) && i + 1 < t.size() ? 2 : 1;
        f(i, k);
        i += k;
    }
}

bool blank_char(const std::string& t, std::size_t i, std::size_t k) {
    return (k == 1 && t[i] == ' ') || (k == 2 && t.compare(i, 2, "\xA1\xA1") == 0);
}

bool ends_incomplete(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size()) {
        if (lead(static_cast<unsigned char>(t[i])) && i + 1 == t.size()) return true;
        i += lead(static_cast<unsigned char>(t[i])) ? 2 : 1;
    }
    return false;
}

std::string join(const TextList& pieces, const std::string& sep) {
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) out += sep;
        out += pieces[i];
    }
    return out;
}

unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int start = in.ConsumeIntegralInRange<int>(-4, 300);
    const int count = in.ConsumeIntegralInRange<int>(-4, 300);
    const bool ignore_case = in.ConsumeBool();
    const std::string sought = in.ConsumeRandomLengthString(8);
    const std::string other = in.ConsumeRandomLengthString(8);
    const std::string raw = in.ConsumeRemainingBytesAsString();

    const Text t = bytes_to_text(raw);
    check(t.find('\0') == std::string::npos);
    check(raw.compare(0, t.size(), t) == 0);
    check(text_len(t) == static_cast<int>(t.size()));
    check(bytes_len(raw) == static_cast<int>(raw.size()));

    const int found = text_find(t, sought, start, ignore_case);
    check(found == -1 || (found >= 1 && found <= text_len(t)));
    if (found > 0 && !sought.empty()) {
        for (std::size_t k = 0; k < sought.size(); ++k) {
            const auto a = static_cast<unsigned char>(t[found - 1 + k]);
            const auto b = static_cast<unsigned char>(sought[k]);
            check(ignore_case ? fold(a) == fold(b) : a == b);
        }
    }
    const int first = text_find(t, sought, 0, ignore_case);
    const int last = text_find_last(t, sought, ignore_case);
    check((first == -1) == (last == -1));
    check(last >= first);

    const int raw_found = bytes_find(raw, sought);
    check(raw_found == -1 || raw.compare(raw_found - 1, sought.size(), sought) == 0);

    if (!sought.empty() && !t.empty()) {
        const TextList pieces = text_split(t, sought);
        const std::string joined = join(pieces, sought);
        const bool trailing = joined != t;
        // The only difference allowed: a separator at the very end leaves no empty piece.
        check(!trailing || joined + sought == t);
        check((first == -1) == (pieces.size() == 1 && pieces[0] == t) || ignore_case);
        const std::string replaced = text_replace(t, sought, other);
        check(replaced == join(pieces, other) + (trailing ? other : ""));
    }
    check(text_replace(t, sought, sought) == t);

    const Text trimmed = text_trim(t);
    check(t.find(trimmed) != std::string::npos);
    if (!trimmed.empty()) {
        bool first_char = true;
        std::size_t last_i = 0;
        std::size_t last_k = 0;
        each_char(trimmed, [&](std::size_t i, std::size_t k) {
            if (first_char) check(!blank_char(trimmed, i, k));
            first_char = false;
            last_i = i;
            last_k = k;
        });
        // Blanks before an incomplete last character are kept on purpose.
        if (!ends_incomplete(t)) check(!blank_char(trimmed, last_i, last_k));
    }

    const Text dropped = text_drop_blanks(t);
    check(dropped.size() <= t.size());
    each_char(dropped, [&](std::size_t i, std::size_t k) { check(!blank_char(dropped, i, k)); });

    const Text lowered = text_lower(t);
    check(lowered.size() == t.size());
    each_char(lowered, [&](std::size_t i, std::size_t k) {
        check(k == 2 || !(lowered[i] >= 'A' && lowered[i] <= 'Z'));
    });

    const std::int32_t n = text_to_int(t);
    check(text_to_int(int_to_text(n)) == n);

    check(text_head(t, count).size() <= t.size());
    check(text_tail(t, count).size() <= t.size());
    check(text_slice(t, start, count).size() <= static_cast<std::size_t>(count < 0 ? 0 : count));
    check(bytes_head(raw, count).size() <= raw.size());
    check(text_of_spaces(count).size() == static_cast<std::size_t>(count < 0 ? 0 : count));
    check(bytes_of_zeros(count).size() == static_cast<std::size_t>(count < 0 ? 0 : count));
    check(text_concat({t, sought}) == t + sought);

    const Text between = extract_between(t, sought, other, start, !ignore_case);
    check(between.size() < t.size() || between.empty());
    check(t.find(between) != std::string::npos);
    const Text after = text_after_colon(t);
    check(after.size() < t.size() || after.empty());

    const Bytes gbk = convert_charset(raw);
    check(gbk.find('\0') == std::string::npos);
    const std::string utf8 = utf8_from_gbk(t);
    check(utf8.find('\0') == std::string::npos);
    return 0;
}
