#include "core/text.hpp"

#include <charconv>
#include <climits>
#include <cstring>

namespace zolt {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool is_lead(unsigned char c) { return c >= 0x80; }
unsigned char byte_at(std::string_view t, std::size_t i) {
    return static_cast<unsigned char>(t[i]);
}
unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Size of the character that starts at i: 2 for a lead byte, even when it is the last byte
// (the caller stops at the end), else 1.
std::size_t char_size(std::string_view t, std::size_t i) { return is_lead(byte_at(t, i)) ? 2 : 1; }

int to_position(std::size_t index) {
    return index >= static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(index) + 1;
}

int clamp_len(std::size_t n) {
    return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// Finds matches that start on a character boundary. Candidates come from a raw byte search
// (memchr speed on ASCII text); whether a candidate is a boundary is decided by walking back
// over the run of bytes >= 0x80 before it, never further back than the last boundary already
// known. Every byte after a byte < 0x80 starts a character, so only that run's parity
// matters, and since the known boundary only moves forward the whole scan stays linear.
class BoundaryScanner {
  public:
    BoundaryScanner(std::string_view text, std::string_view sought, bool ignore_case)
        : t_(text), s_(sought), fold_(ignore_case) {
        if (fold_ && !s_.empty()) {
            first_lower_ = fold(byte_at(s_, 0));
            first_upper_ = (first_lower_ >= 'a' && first_lower_ <= 'z')
                               ? static_cast<unsigned char>(first_lower_ - ('a' - 'A'))
                               : first_lower_;
        }
    }

    // First match at or after from, where from must be a character boundary; npos if none.
    std::size_t next(std::size_t from) {
        known_ = from;
        while (from <= t_.size()) {
            const std::size_t p = candidate(from);
            if (p == npos) return npos;
            if (on_boundary(p)) return p;
            // p is a second byte, so the byte after it starts a character.
            known_ = p + 1;
            from = p + 1;
        }
        return npos;
    }

  private:
    bool on_boundary(std::size_t p) {
        std::size_t j = p;
        while (j > known_ && is_lead(byte_at(t_, j - 1))) --j;
        if ((p - j) % 2 != 0) return false;
        known_ = p;
        return true;
    }

    std::size_t candidate(std::size_t from) {
        if (!fold_) return t_.find(s_, from);
        const std::size_t m = s_.size();
        while (from + m <= t_.size()) {
            const std::size_t p = next_first_byte(from);
            if (p == npos || p + m > t_.size()) return npos;
            if (folded_equal(p)) return p;
            from = p + 1;
        }
        return npos;
    }

    bool folded_equal(std::size_t p) const {
        for (std::size_t k = 1; k < s_.size(); ++k)
            if (fold(byte_at(t_, p + k)) != fold(byte_at(s_, k))) return false;
        return true;
    }

    // The next byte equal to the sought text's first byte in either case. Each case keeps its
    // own look-ahead so no stretch of text is searched twice.
    std::size_t next_first_byte(std::size_t from) {
        lower_at_ = refresh(lower_at_, first_lower_, from);
        if (first_upper_ == first_lower_) return lower_at_;
        upper_at_ = refresh(upper_at_, first_upper_, from);
        return lower_at_ < upper_at_ ? lower_at_ : upper_at_;
    }

    std::size_t refresh(std::size_t cached, unsigned char c, std::size_t from) const {
        if (cached != unset && (cached == npos || cached >= from)) return cached;
        if (from >= t_.size()) return npos;
        const void* hit = std::memchr(t_.data() + from, c, t_.size() - from);
        return hit == nullptr ? npos : static_cast<const char*>(hit) - t_.data();
    }

    static constexpr std::size_t unset = npos - 1;

    std::string_view t_;
    std::string_view s_;
    bool fold_;
    unsigned char first_lower_ = 0;
    unsigned char first_upper_ = 0;
    std::size_t lower_at_ = unset;
    std::size_t upper_at_ = unset;
    std::size_t known_ = 0;
};

// Length of the blank at a character start i, or 0.
std::size_t blank_at(std::string_view t, std::size_t i) {
    const unsigned char c = byte_at(t, i);
    if (c == ' ') return 1;
    if (c == 0xA1 && i + 1 < t.size() && byte_at(t, i + 1) == 0xA1) return 2;
    return 0;
}

Text join(std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (std::string_view p : parts) total += p.size();
    Text out;
    out.reserve(total);
    for (std::string_view p : parts) out.append(p);
    return out;
}

Text head(std::string_view t, int n) {
    if (n <= 0) return {};
    return Text(t.substr(0, static_cast<std::size_t>(n)));
}

}  // namespace

int text_len(std::string_view t) { return clamp_len(t.size()); }

bool text_equal(std::string_view a, std::string_view b) { return a == b; }

Text text_concat(std::initializer_list<std::string_view> parts) { return join(parts); }

int text_find(std::string_view t, std::string_view sought, int start, bool ignore_case) {
    const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
    if (from >= t.size()) return -1;
    if (sought.empty()) return 1;
    const std::size_t p = BoundaryScanner(t, sought, ignore_case).next(from);
    return p == npos ? -1 : to_position(p);
}

int text_find_last(std::string_view t, std::string_view sought, bool ignore_case) {
    if (t.empty()) return -1;
    if (sought.empty()) return 1;
    BoundaryScanner scanner(t, sought, ignore_case);
    std::size_t last = npos;
    std::size_t from = 0;
    for (;;) {
        const std::size_t p = scanner.next(from);
        if (p == npos) break;
        last = p;
        // Matches may overlap: the next try is the next character.
        from = p + char_size(t, p);
    }
    return last == npos ? -1 : to_position(last);
}

Text text_head(std::string_view t, int n) { return head(t, n); }

Text text_tail(std::string_view t, int n) {
    if (n <= 0) return {};
    const std::size_t k = std::min(static_cast<std::size_t>(n), t.size());
    return Text(t.substr(t.size() - k));
}

Text text_slice(std::string_view t, int start, int n) {
    if (start < 1 || static_cast<std::size_t>(start) > t.size() || n <= 0) return {};
    return Text(t.substr(static_cast<std::size_t>(start) - 1, static_cast<std::size_t>(n)));
}

Text text_trim(std::string_view t) {
    const std::size_t n = t.size();
    std::size_t begin = 0;
    while (begin < n) {
        const std::size_t b = blank_at(t, begin);
        if (b == 0) break;
        begin += b;
    }
    std::size_t run_start = npos;
    std::size_t i = begin;
    while (i < n) {
        if (is_lead(byte_at(t, i)) && i + 1 == n) {
            // A lone lead byte at the end is dropped on its own; blanks before it stay.
            return Text(t.substr(begin, n - 1 - begin));
        }
        const std::size_t b = blank_at(t, i);
        if (b != 0) {
            if (run_start == npos) run_start = i;
            i += b;
        } else {
            run_start = npos;
            i += char_size(t, i);
        }
    }
    const std::size_t end = run_start == npos ? n : run_start;
    return Text(t.substr(begin, end - begin));
}

Text text_drop_blanks(std::string_view t) {
    Text out;
    out.reserve(t.size());
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t b = blank_at(t, i);
        if (b != 0) {
            i += b;
            continue;
        }
        const std::size_t k = char_size(t, i);
        if (i + k > n) break;  // incomplete character
        out.append(t.substr(i, k));
        i += k;
    }
    return out;
}

Text text_replace(std::string_view t, std::string_view old_text, std::string_view new_text) {
    if (t.empty() || old_text.empty()) return Text(t);
    BoundaryScanner scanner(t, old_text, false);
    Text out;
    out.reserve(t.size());
    std::size_t from = 0;
    for (;;) {
        const std::size_t p = scanner.next(from);
        if (p == npos) break;
        out.append(t.substr(from, p - from));
        out.append(new_text);
        from = p + old_text.size();
    }
    out.append(t.substr(from));
    return out;
}

TextList text_split(std::string_view t, std::string_view separator) {
    TextList out;
    if (t.empty()) return out;
    // An empty separator would match everywhere without moving on; keep the text whole.
    if (separator.empty()) {
        out.emplace_back(t);
        return out;
    }
    BoundaryScanner scanner(t, separator, false);
    std::size_t from = 0;
    for (;;) {
        const std::size_t p = scanner.next(from);
        if (p == npos) break;
        out.emplace_back(t.substr(from, p - from));
        from = p + separator.size();
    }
    if (from < t.size()) out.emplace_back(t.substr(from));
    return out;
}

Text text_lower(std::string_view t) {
    Text out(t);
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (is_lead(c)) {
            i += 2;
        } else {
            out[i] = static_cast<char>(fold(c));
            ++i;
        }
    }
    return out;
}

std::int32_t text_to_int(std::string_view t) {
    const std::size_t n = t.size();
    std::size_t i = 0;
    // Yields the next character with full-width forms folded to ASCII; -1 for any other
    // two-byte character (it ends the number), -2 at the end or at an incomplete character.
    auto next = [&]() -> int {
        if (i >= n) return -2;
        const unsigned char c = byte_at(t, i);
        if (!is_lead(c)) {
            ++i;
            return c;
        }
        if (i + 1 >= n) return -2;
        const unsigned char d = byte_at(t, i + 1);
        i += 2;
        if (c == 0xA1) {
            if (d == 0xA1) return ' ';
            if (d == 0xAB) return '~';
            if (d == 0xEE || d == 0xEF) return '*';
        } else if (c == 0xA3 && d >= 0xA1 && d <= 0xFE) {
            return d - 0x80;
        }
        return -1;
    };

    int c = next();
    while (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') c = next();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = next();
    }
    std::uint32_t value = 0;
    while (c >= '0' && c <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(c - '0');
        c = next();
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

Text int_to_text(std::int64_t n) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, n);
    return Text(buf, result.ptr);
}

Text text_of_spaces(int n) { return n <= 0 ? Text() : Text(static_cast<std::size_t>(n), ' '); }

Text text_of_char(unsigned char c) { return c == 0 ? Text() : Text(1, static_cast<char>(c)); }

Bytes text_to_bytes(std::string_view t) { return Bytes(t); }

Text bytes_to_text(std::string_view b) {
    const void* zero = std::memchr(b.data(), 0, b.size());
    if (zero == nullptr) return Text(b);
    return Text(b.data(), static_cast<const char*>(zero));
}

int bytes_len(std::string_view b) { return clamp_len(b.size()); }

Bytes bytes_concat(std::initializer_list<std::string_view> parts) { return join(parts); }

Bytes bytes_of_zeros(int n) { return n <= 0 ? Bytes() : Bytes(static_cast<std::size_t>(n), '\0'); }

Bytes bytes_head(std::string_view b, int n) { return head(b, n); }

int bytes_find(std::string_view b, std::string_view sought) {
    if (sought.empty() || sought.size() > b.size()) return -1;
    const std::size_t p = b.find(sought);
    return p == npos ? -1 : to_position(p);
}

Text extract_between(std::string_view t, std::string_view start_marker, std::string_view end_marker,
                     int start, bool case_sensitive) {
    // "#引号" in GBK: a marker cannot hold a double quote literally where it comes from.
    static constexpr std::string_view quote_word = "#\xD2\xFD\xBA\xC5";
    const Text start_text = text_replace(start_marker, quote_word, "\"");
    const Text end_text = text_replace(end_marker, quote_word, "\"");
    const bool ignore_case = !case_sensitive;

    int s = text_find(t, start_text, start, ignore_case);
    if (s == -1) return {};
    s += text_len(start_text);
    const int e = text_find(t, end_text, s, ignore_case);
    if (e == -1) return {};
    return text_slice(t, s, e - s);
}

Text text_after_colon(std::string_view t) {
    const int p = text_find(t, ":");
    if (p == -1) return {};
    return text_trim(text_tail(t, text_len(t) - p));
}

}  // namespace zolt
