#include "core/text.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

namespace zolt {
namespace {

// GBK bytes used below: B0 A1 is a common two-byte character, A1 A1 the full-width space.
const std::string kHanzi = "\xB0\xA1";
const std::string kWideSpace = "\xA1\xA1";

struct FindCase {
    std::string text;
    std::string sought;
    int start;
    bool ignore_case;
    int expected;
};

TEST(TextFind, Table) {
    const std::vector<FindCase> cases = {
        {"hello", "l", 0, false, 3},
        {"hello", "lo", 0, false, 4},
        {"hello", "x", 0, false, -1},
        {"hello", "hello!", 0, false, -1},
        {"", "a", 0, false, -1},
        // Empty sought text: 1 for any non-empty region, whatever the start.
        {"abc", "", 0, false, 1},
        {"abc", "", 3, false, 1},
        {"abc", "", 4, false, -1},
        {"", "", 0, false, -1},
        // Start positions: 0 and negatives search everything; past the end finds nothing.
        {"abcabc", "a", 0, false, 1},
        {"abcabc", "a", -5, false, 1},
        {"abcabc", "a", 1, false, 1},
        {"abcabc", "a", 2, false, 4},
        {"abcabc", "c", 6, false, 6},
        {"abcabc", "a", 7, false, -1},
        // Never a match on a second byte.
        {"\xB0\x41", "A", 0, false, -1},
        {"\xB0\x41\x41", "A", 0, false, 3},
        {"\xB0\xB0\xB0", "\xB0", 2, false, 2},
        {"\xB0\xB0\xB0\xB0", "\xB0\xB0", 0, false, 1},
        {"x\xB0\xB0\xB0\xB0", "\xB0\xB0", 3, false, 3},
        // A start on a second byte makes that byte a character start.
        {"\xB0\x41", "A", 2, false, 2},
        {"\xB0\xB0\x41", "\xB0\x41", 2, false, 2},
        {"\xB0\xB0\x41", "\xB0\x41", 0, false, -1},
        // Odd run of lead bytes before the candidate: the last lead swallows it.
        {"\xB0\xB0\xB0\x41\x41", "A", 0, false, 5},
        // Even run: the candidate starts a character.
        {"\xB0\xB0\x41", "A", 0, false, 3},
        // The incomplete character at the end is the last place tried.
        {"ab\xB0", "\xB0", 0, false, 3},
        // Ignore case, on both sides and on second bytes too.
        {"Content-Type: text/html; charset=UTF-8", "utf-8", 0, true, 34},
        {"Content-Type: text/html; charset=UTF-8", "utf-8", 0, false, -1},
        {"abcDEF", "Cd", 0, true, 3},
        {"x\xB0\x41", "\xB0\x61", 0, true, 2},
        {"x\xB0\x41", "\xB0\x61", 0, false, -1},
        {"\xB0\x61\x41", "a", 0, true, 3},
        {"ZZz", "z", 2, true, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_find(c.text, c.sought, c.start, c.ignore_case), c.expected)
            << "text=" << testing::PrintToString(c.text) << " sought=" << c.sought
            << " start=" << c.start << " ignore_case=" << c.ignore_case;
    }
}

TEST(TextFindLast, Table) {
    const std::vector<FindCase> cases = {
        {"host:80:8080", ":", 0, false, 8},
        {"host", ":", 0, false, -1},
        {"abc", "", 0, false, 1},
        {"", "", 0, false, -1},
        {"aaaa", "aa", 0, false, 3},  // overlapping matches count
        {"\xB0\x41\x41\xB0\x41", "A", 0, false, 3},
        {"AbAB", "ab", 0, true, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_find_last(c.text, c.sought, c.ignore_case), c.expected)
            << testing::PrintToString(c.text) << " / " << c.sought;
    }
}

struct SplitCase {
    std::string text;
    std::string separator;
    std::vector<std::string> expected;
};

TEST(TextSplit, Table) {
    const std::vector<SplitCase> cases = {
        {"A\r\nB\r\n", "\r\n", {"A", "B"}},
        {"A\r\n\r\nB", "\r\n", {"A", "", "B"}},
        {"\r\nA", "\r\n", {"", "A"}},
        {"A\r\n\r\n", "\r\n", {"A", ""}},
        {"A\nB\n", "\r\n", {"A\nB\n"}},
        {"", "\r\n", {}},
        {"\r\n", "\r\n", {""}},
        {"abc", ",", {"abc"}},
        {"a,,b,", ",", {"a", "", "b"}},
        // A CR right after a lead byte belongs to that character: the lines stay one.
        {"a\xB0\r\nb", "\r\n", {"a\xB0\r\nb"}},
        {"a\xB0\xB0\r\nb", "\r\n", {"a\xB0\xB0", "b"}},
        // After a separator the scan restarts on a character boundary.
        {"\xB0x\xB0\x41\x42", "\xB0", {"", "x", "AB"}},
        // A separator that would only fit on the incomplete last byte.
        {"ab\xB0", "\xB0", {"ab"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_split(c.text, c.separator), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(TextSplit, EmptySeparatorKeepsTheTextWhole) {
    EXPECT_EQ(text_split("abc", ""), TextList{"abc"});
    EXPECT_EQ(text_split("", ""), TextList{});
}

struct MapCase {
    std::string in;
    std::string expected;
};

TEST(TextTrim, Table) {
    const std::vector<MapCase> cases = {
        {"  ab  ", "ab"},
        {"a b", "a b"},
        {kWideSpace + "ab " + kWideSpace + " ", "ab"},
        {"\tab\r\n", "\tab\r\n"},  // only the two blanks are trimmed
        {"   ", ""},
        {kWideSpace + " " + kWideSpace, ""},
        {"", ""},
        // An incomplete last character is cut alone; the blanks before it stay.
        {"ab  \xB0", "ab  "},
        {" \xB0", ""},
        // A space that is the second byte of a character is not a blank.
        {"ab\xB0 ", "ab\xB0 "},
        // A1 A1 straddling two characters is not a full-width space.
        {"\xB0\xA1\xA1\xB0", "\xB0\xA1\xA1\xB0"},
        {"x" + kHanzi + " ", "x" + kHanzi},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_trim(c.in), c.expected) << testing::PrintToString(c.in);
    }
}

TEST(TextDropBlanks, Table) {
    const std::vector<MapCase> cases = {
        {" a b  c ", "abc"}, {kWideSpace + "a" + kWideSpace + "b", "ab"},
        {"a\tb", "a\tb"},    {"\xB0 x", "\xB0 x"},  // the space belongs to the character
        {"ab \xB0", "ab"},                          // incomplete character dropped
        {"   ", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_drop_blanks(c.in), c.expected) << testing::PrintToString(c.in);
    }
}

TEST(TextLower, Table) {
    const std::vector<MapCase> cases = {
        {"HeLLo-123", "hello-123"},
        {"\xB0\x41Z", "\xB0\x41z"},  // second byte of a character untouched
        {"\xA3\xC1", "\xA3\xC1"},    // full-width letters have no case
        {"AB\xB0", "ab\xB0"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_lower(c.in), c.expected) << testing::PrintToString(c.in);
    }
}

struct ReplaceCase {
    std::string text;
    std::string old_text;
    std::string new_text;
    std::string expected;
};

TEST(TextReplace, Table) {
    const std::vector<ReplaceCase> cases = {
        {"a-b-c", "-", "+", "a+b+c"},
        {"aaa", "aa", "b", "ba"},  // occurrences never overlap
        {"abc", "", "x", "abc"},
        {"", "a", "x", ""},
        {"abc", "abc", "", ""},
        {"a.b", ".", "...", "a...b"},
        {"\xB0\x41\x41", "A", "z", "\xB0\x41z"},
        {"ab\xB0", "\xB0", "!", "ab!"},
        {"#\xD2\xFD\xBA\xC5x#\xD2\xFD\xBA\xC5", "#\xD2\xFD\xBA\xC5", "\"", "\"x\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_replace(c.text, c.old_text, c.new_text), c.expected)
            << testing::PrintToString(c.text);
    }
}

struct IntCase {
    std::string text;
    std::int32_t expected;
};

TEST(TextToInt, Table) {
    const std::vector<IntCase> cases = {
        {"10", 10},
        {"\xA3\xB1\xA3\xB0", 10},  // full-width digits
        {"", 0},
        {"abc12", 0},
        {" 42abc", 42},
        {"-7", -7},
        {"+7", 7},
        {"3.9", 3},
        {"0x1A", 0},
        {"010", 10},
        {"\t\r\n\v\f 5", 5},
        {kWideSpace + "\xA3\xAD\x38", -8},  // full-width space and minus
        {"\xA3\xAB\xA3\xB9", 9},            // full-width plus
        {"--5", 0},
        {"- 5", 0},
        {"2147483647", 2147483647},
        {"2147483648", INT32_MIN},  // wraps, no overflow check
        {"4294967296", 0},
        {"4294967297", 1},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MAX},
        {"99999999999999999999", static_cast<std::int32_t>(1661992959u)},
        {"12\xB0\xA1\x33", 12},  // another two-byte character ends the digits
        {"12\xA3", 12},          // incomplete character ends the text
        {"\xA3", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_to_int(c.text), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(IntToText, Table) {
    EXPECT_EQ(int_to_text(0), "0");
    EXPECT_EQ(int_to_text(-42), "-42");
    EXPECT_EQ(int_to_text(INT32_MIN), "-2147483648");
    EXPECT_EQ(int_to_text(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(int_to_text(140234567890123), "140234567890123");
}

TEST(TextCuts, CountsBytesAndClampsEveryRange) {
    const std::string t = "a" + kHanzi + "bc";  // 5 bytes
    EXPECT_EQ(text_head(t, 2), "a\xB0");        // may cut a character in half
    EXPECT_EQ(text_head(t, 99), t);
    EXPECT_EQ(text_head(t, 0), "");
    EXPECT_EQ(text_head(t, -2), "");
    EXPECT_EQ(text_tail(t, 2), "bc");
    EXPECT_EQ(text_tail(t, 99), t);
    EXPECT_EQ(text_tail(t, -1), "");
    EXPECT_EQ(text_slice(t, 2, 2), kHanzi);
    EXPECT_EQ(text_slice(t, 4, 99), "bc");
    EXPECT_EQ(text_slice(t, 5, 1), "c");
    EXPECT_EQ(text_slice(t, 6, 1), "");
    EXPECT_EQ(text_slice(t, 0, 3), "");
    EXPECT_EQ(text_slice(t, 1, 0), "");
    EXPECT_EQ(text_slice(t, INT_MAX, INT_MAX), "");
    EXPECT_EQ(bytes_head(std::string("a\0b", 3), 2), std::string("a\0", 2));
    EXPECT_EQ(bytes_head("ab", -1), "");
}

TEST(TextMakers, Table) {
    EXPECT_EQ(text_of_spaces(3), "   ");
    EXPECT_EQ(text_of_spaces(0), "");
    EXPECT_EQ(text_of_spaces(-3), "");
    EXPECT_EQ(bytes_of_zeros(2), std::string(2, '\0'));
    EXPECT_EQ(bytes_of_zeros(-1), "");
    EXPECT_EQ(text_of_char('A'), "A");
    EXPECT_EQ(text_of_char(0xB0), "\xB0");
    EXPECT_EQ(text_of_char(0), "");
    EXPECT_EQ(text_concat({"a", "", kHanzi, "b"}), "a" + kHanzi + "b");
    EXPECT_EQ(text_concat({"", ""}), "");
    EXPECT_EQ(bytes_concat({std::string_view("a\0", 2), "b"}), std::string("a\0b", 3));
}

TEST(Bytes, ZeroBytesAndRawSearch) {
    EXPECT_EQ(bytes_to_text(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(bytes_to_text(std::string("\0ab", 3)), "");
    EXPECT_EQ(bytes_to_text("abc"), "abc");
    EXPECT_EQ(text_to_bytes("abc").size(), 3u);
    EXPECT_EQ(bytes_len(std::string("a\0b", 3)), 3);
    EXPECT_EQ(text_len(kHanzi), 2);

    EXPECT_EQ(bytes_find("\xB0\x41", "A"), 2);  // no character rule
    EXPECT_EQ(bytes_find("abcABC", "AB"), 4);   // no case folding
    EXPECT_EQ(bytes_find(std::string("a\0b", 3), std::string("\0b", 2)), 2);
    EXPECT_EQ(bytes_find("abc", ""), -1);
    EXPECT_EQ(bytes_find("ab", "abc"), -1);
    EXPECT_EQ(bytes_find("", "a"), -1);
    EXPECT_TRUE(text_equal("", std::string_view()));
    EXPECT_FALSE(text_equal("a", "A"));
}

struct ExtractCase {
    std::string text;
    std::string start_marker;
    std::string end_marker;
    bool case_sensitive;
    std::string expected;
};

TEST(ExtractBetween, Table) {
    const std::string quote = "#\xD2\xFD\xBA\xC5";  // the quote word, in GBK
    const std::vector<ExtractCase> cases = {
        {"<a>x</a>", "<a>", "</a>", false, "x"},
        {"<A>x</a>", "<a>", "</A>", false, "x"},
        {"<A>x</a>", "<a>", "</a>", true, ""},
        {"<a></a>", "<a>", "</a>", false, ""},
        {"no markers", "<a>", "</a>", false, ""},
        {"<a>open", "<a>", "</a>", false, ""},
        {"</a> then <a>", "<a>", "</a>", false, ""},
        {"{\"url\":\"http://s.cn/x\"}", "\"url\":" + quote, quote, false, "http://s.cn/x"},
        {"k=\"v\" k2=\"w\"", quote, quote, false, "v"},
        {"abc", "", "c", false, "ab"},
        {"ab", "b", "", false, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(extract_between(c.text, c.start_marker, c.end_marker, 0, c.case_sensitive),
                  c.expected)
            << c.text;
    }
    EXPECT_EQ(extract_between("[1][2]", "[", "]", 3, false), "2");
}

TEST(TextAfterColon, Table) {
    const std::vector<MapCase> cases = {
        {"Location: http://x/y ", "http://x/y"},
        {"no colon", ""},
        {"a:b:c", "b:c"},
        {"end:", ""},
        {"k:\tv\r", "\tv\r"},
        {"k:" + kWideSpace + "v", "v"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_after_colon(c.in), c.expected) << c.in;
    }
}

// Character-by-character reference scans, written straight from the character rule,
// checked against the fast implementations on random texts rich in lead bytes.
int reference_find(const std::string& t, const std::string& s, int start, bool ignore_case) {
    const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
    if (from >= t.size()) return -1;
    if (s.empty()) return 1;
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    for (std::size_t i = from; i + s.size() <= t.size();
         i += static_cast<unsigned char>(t[i]) >= 0x80 ? 2 : 1) {
        bool hit = true;
        for (std::size_t k = 0; k < s.size() && hit; ++k) {
            const auto a = static_cast<unsigned char>(t[i + k]);
            const auto b = static_cast<unsigned char>(s[k]);
            hit = ignore_case ? fold(a) == fold(b) : a == b;
        }
        if (hit) return static_cast<int>(i) + 1;
    }
    return -1;
}

TextList reference_split(const std::string& t, const std::string& sep) {
    TextList out;
    std::size_t seg = 0;
    std::size_t i = 0;
    while (i + sep.size() <= t.size()) {
        if (t.compare(i, sep.size(), sep) == 0) {
            out.push_back(t.substr(seg, i - seg));
            i += sep.size();
            seg = i;
        } else {
            i += static_cast<unsigned char>(t[i]) >= 0x80 ? 2 : 1;
        }
    }
    if (seg < t.size()) out.push_back(t.substr(seg));
    return out;
}

std::string reference_replace(const std::string& t, const std::string& old_text,
                              const std::string& new_text) {
    std::string out;
    std::size_t i = 0;
    while (i < t.size()) {
        if (t.compare(i, old_text.size(), old_text) == 0) {
            out += new_text;
            i += old_text.size();
        } else {
            const std::size_t k = static_cast<unsigned char>(t[i]) >= 0x80 ? 2 : 1;
            out += t.substr(i, k);
            i += k;
        }
    }
    return out;
}

TEST(TextCharacterRule, FastScansAgreeWithAReferenceScan) {
    std::mt19937 rng(20240601);
    const std::string alphabet = "aA:\r\n \xB0\xA1\x80\xFF";
    auto random_text = [&](std::size_t max_len) {
        std::string s(rng() % (max_len + 1), ' ');
        for (char& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string t = random_text(24);
        const std::string s = random_text(3);
        const int start = static_cast<int>(rng() % 30) - 3;
        const bool ic = rng() % 2 == 0;
        ASSERT_EQ(text_find(t, s, start, ic), reference_find(t, s, start, ic))
            << testing::PrintToString(t) << " " << testing::PrintToString(s) << " " << start;
        if (!s.empty()) {
            ASSERT_EQ(text_split(t, s), reference_split(t, s))
                << testing::PrintToString(t) << " " << testing::PrintToString(s);
            ASSERT_EQ(text_replace(t, s, "<>"), reference_replace(t, s, "<>"))
                << testing::PrintToString(t) << " " << testing::PrintToString(s);
        }
    }
}

}  // namespace
}  // namespace zolt
