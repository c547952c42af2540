#include "core/charset.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zolt {
namespace {

// "中文" and "多线程" in UTF-8 and in GBK.
const std::string kZhongwenUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";
const std::string kZhongwenGbk = "\xD6\xD0\xCE\xC4";
const std::string kDuoUtf8 = "\xE5\xA4\x9A\xE7\xBA\xBF\xE7\xA8\x8B";
const std::string kDuoGbk = "\xB6\xE0\xCF\xDF\xB3\xCC";
const std::string kEmojiUtf8 = "\xF0\x9F\x98\x80";  // U+1F600, not in GBK
const std::string kJamoUtf8 = "\xE1\x84\x80";       // U+1100, not in GBK either

struct ConvertCase {
    const char* name;
    std::string data;
    std::string source;
    std::string target;
    std::optional<int> start;
    std::string expected;
};

TEST(ConvertCharset, Table) {
    // clang-format off
    const std::vector<ConvertCase> cases = {
        {"chinese", kZhongwenUtf8, "", "", {}, kZhongwenGbk},
        {"ascii unchanged", "http://s.cn/AbC?x=1&y=#", "", "", {}, "http://s.cn/AbC?x=1&y=#"},
        {"empty", "", "", "", {}, ""},
        {"emoji becomes ?", "a" + kEmojiUtf8 + "b", "", "", {}, "a?b"},
        {"zero byte ends it", std::string("ab\0cd", 5), "", "", {}, "ab"},
        {"zero byte first", std::string("\0ab", 3), "", "", {}, ""},
        {"utf-8 bom skipped", "\xEF\xBB\xBF\x41", "", "", {}, "A"},
        {"malformed utf-8", "a\xFF\x62\xE4\xB8", "", "", {}, "a?b?"},
        {"euro in windows-936", "\xE2\x82\xAC", "", "", {}, "\x80"},
        {"names are not case sensitive", kDuoUtf8, "utf-8", "gbk", {}, kDuoGbk},
        {"start leaves out bytes", kZhongwenUtf8, "", "", 2, "\xCE\xC4"},
        {"start zero", kZhongwenUtf8, "", "", 0, kZhongwenGbk},
        {"start negative", kZhongwenUtf8, "", "", -3, kZhongwenGbk},
        {"start past the end", kZhongwenUtf8, "", "", 9, ""},
        {"start may cut a character", kZhongwenUtf8, "", "", 1, "\xD0\xCE\xC4"},
        {"gbk to utf-8", kDuoGbk, "GBK", "UTF-8", {}, kDuoUtf8},
        // Whatever the target, only what GBK can hold survives.
        {"narrowed to gbk", "x" + kJamoUtf8 + kZhongwenUtf8, "UTF-8", "UTF-8", {}, "x?" + kZhongwenUtf8},
        {"utf-16 without bom", "A" + kZhongwenUtf8, "UTF-8", "UTF-16", {}, std::string("A\0\x2D\x4E\x87\x65", 6)},
        {"utf-16 source with bom", std::string("\xFF\xFE\x41\x00", 4), "UTF-16", "", {}, "A"},
        {"utf-16 zero unit ends it", std::string("A\0\0\0B\0", 6), "UTF-16LE", "", {}, "A"},
        {"unknown source", "abc", "no-such-charset", "", {}, ""},
        {"unknown target", "abc", "", "no-such-charset", {}, ""},
        {"name with options", "abc", "UTF-8,version=1", "", {}, ""},
        {"name with a path", "abc", "../../tmp/x", "", {}, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(convert_charset(c.data, c.source, c.target, c.start), c.expected) << c.name;
    }
}

// Inputs long enough to cross every internal buffer, with the interesting piece placed so
// that a boundary falls inside a character.
TEST(ConvertCharset, LongInputsKeepCharactersWholeAcrossBuffers) {
    for (std::size_t pad : {8190u, 8191u, 8192u, 16383u}) {
        const std::string ascii(pad, 'a');
        EXPECT_EQ(convert_charset(ascii + kEmojiUtf8 + "b"), ascii + "?b") << pad;
        EXPECT_EQ(convert_charset(ascii + std::string("\0z", 2)), ascii) << pad;
    }
    std::string utf8;
    std::string gbk;
    for (int i = 0; i < 30000; ++i) {
        utf8 += kZhongwenUtf8 + "a";
        gbk += kZhongwenGbk + "a";
    }
    EXPECT_EQ(convert_charset(utf8), gbk);
    EXPECT_EQ(convert_charset(utf8, "UTF-8", "UTF-8"), utf8);  // round trip through GBK
    EXPECT_EQ(utf8_from_gbk(gbk), utf8);
}

TEST(WindowTexts, RoundTripAndBadBytes) {
    const std::string title = "zolt" + kDuoUtf8;
    EXPECT_EQ(gbk_from_utf8(title), "zolt" + kDuoGbk);
    EXPECT_EQ(utf8_from_gbk(gbk_from_utf8(title)), title);
    EXPECT_EQ(gbk_from_utf8(kEmojiUtf8), "?");
    EXPECT_EQ(utf8_from_gbk(""), "");
    // A lead byte with nothing after it, or with a byte no character uses, shows as U+FFFD.
    EXPECT_EQ(utf8_from_gbk("a\x81"), "a\xEF\xBF\xBD");
    EXPECT_EQ(utf8_from_gbk("\x81\x20z"), "\xEF\xBF\xBD z");
}

TEST(ConvertCharset, ThreadsConvertIndependently) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 300; ++i) {
                if (t % 2 == 0 ? convert_charset(kZhongwenUtf8 + kEmojiUtf8) != kZhongwenGbk + "?"
                               : utf8_from_gbk(kDuoGbk) != kDuoUtf8)
                    ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

}  // namespace
}  // namespace zolt
