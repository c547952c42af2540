#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/charset.hpp"
#include "exchange/exchange.hpp"
#include "platform/threads.hpp"
#include "tests/exchange/lasting_window.hpp"
#include "tests/exchange/scratch_dir.hpp"
#include "tests/support/memory_window.hpp"

namespace zolt {
namespace {

using testing::MemoryWindow;
using testing::ScratchDir;

std::vector<Text> column(DataList& list, int column_index) {
    std::vector<Text> cells;
    for (int row = 0; row < list.row_count(); ++row)
        cells.push_back(list.read_cell(row, column_index));
    return cells;
}

class ImportTest : public ::testing::Test {
  protected:
    // Imports a file holding bytes and yields the "原网址" cells it made.
    std::vector<Text> import_bytes(std::string_view bytes) {
        dir.put("list.txt", bytes);
        window.file_dialog().script(dir.path("list.txt"));
        import_list(window, 0);
        return column(window.data_list(), kColumnSource);
    }

    ScratchDir dir;
    MemoryWindow window;
    const Text imported = gbk_from_utf8("导入数据成功！");
};

TEST_F(ImportTest, CutsLinesOnlyAtCrLfAndTrimsOnlySpaces) {
    using std::string_literals::operator""s;
    struct Case {
        const char* what;
        std::string file;
        std::vector<Text> sources;
    };
    const Case cases[] = {
        {"trailing break adds no row", "A\r\nB\r\n", {"A", "B"}},
        {"no trailing break", "A\r\nB", {"A", "B"}},
        {"blank line keeps its number", "A\r\n\r\nB", {"A", "", "B"}},
        {"break at the start", "\r\nA", {"", "A"}},
        {"two breaks at the end", "A\r\n\r\n", {"A", ""}},
        {"only breaks", "\r\n\r\n\r\n", {"", "", ""}},
        {"LF alone does not cut", "A\nB\n", {"A\nB\n"}},
        {"CR alone does not cut", "A\rB", {"A\rB"}},
        {"spaces and full-width spaces go", "  http://a\xA1\xA1 \r\n\xA1\xA1", {"http://a", ""}},
        {"tabs stay", "\thttp://a\t\r\n", {"\thttp://a\t"}},
        {"byte-order mark kept",
         "\xEF\xBB\xBFhttp://a\r\nhttp://b",
         {"\xEF\xBB\xBFhttp://a", "http://b"}},
        {"break inside a two-byte character is no break", "\x81\r\nB\r\nC", {"\x81\r\nB", "C"}},
        {"nothing after a zero byte", "A\r\nB\0C\r\nD"s, {"A", "B"}},
        {"binary data up to its first zero byte",
         "\x7F"
         "ELF\x02\x01\x01\0\0\x3E\0"s,
         {"\x7F"
          "ELF\x02\x01\x01"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(import_bytes(c.file), c.sources);
        std::vector<Text> ids;
        for (std::size_t i = 1; i <= c.sources.size(); ++i) ids.push_back(std::to_string(i));
        EXPECT_EQ(column(window.data_list(), kColumnId), ids);
    }
    EXPECT_EQ(window.messages(), std::vector<Text>(std::size(cases), imported));
}

TEST_F(ImportTest, EmptyFileOrLeadingZeroByteIsASuccessWithNoRows) {
    using std::string_literals::operator""s;
    for (const std::string& file : {""s, "\0A\r\nB"s}) {
        window.add_rows({"old"});
        EXPECT_TRUE(import_bytes(file).empty());
    }
    EXPECT_EQ(window.messages(), std::vector<Text>(2, imported));
}

TEST_F(ImportTest, ReplacesEveryRowAndNumbersFromOne) {
    window.add_rows({"a", "b", "c", "d"});
    window.data_list().write_cell(3, kColumnResult, "short");
    window.data_list().write_cell(3, kColumnStatus, "done");
    EXPECT_EQ(import_bytes("X\r\nY\r\n"), (std::vector<Text>{"X", "Y"}));
    DataList& list = window.data_list();
    EXPECT_EQ(column(list, kColumnId), (std::vector<Text>{"1", "2"}));
    EXPECT_EQ(column(list, kColumnResult), (std::vector<Text>{"", ""}));
    EXPECT_EQ(column(list, kColumnStatus), (std::vector<Text>{"", ""}));
}

TEST_F(ImportTest, OffersTheProgramDirectoryInTheOpenFormEveryTime) {
    window.file_dialog().initial_directory = "/somewhere/else";
    window.file_dialog().form = DialogForm::save;
    import_bytes("A");
    window.file_dialog().initial_directory = "/changed/meanwhile";
    window.file_dialog().script(std::nullopt);
    import_list(window, 0);
    const auto shown = window.file_dialog().history();
    ASSERT_EQ(shown.size(), 2u);
    for (const auto& s : shown) {
        EXPECT_EQ(s.form, DialogForm::open);
        EXPECT_EQ(s.initial_directory, program_directory());
    }
    // The second dialog proposes the path the first one confirmed.
    EXPECT_EQ(shown[1].file_name, dir.path("list.txt"));
}

TEST_F(ImportTest, CancelChangesNothingAndSaysNothing) {
    window.add_rows({"a", "b"});
    window.file_dialog().script(std::nullopt);
    import_list(window, 0);
    EXPECT_EQ(column(window.data_list(), kColumnSource), (std::vector<Text>{"a", "b"}));
    EXPECT_TRUE(window.messages().empty());
}

// A file that cannot be read used to wipe the list and then claim success.
TEST_F(ImportTest, UnreadableFileKeepsTheListAndSaysWhy) {
    std::filesystem::create_directory(dir.path("folder"));
    dir.put("busy.txt", "X\r\n");
    const int writer = open(dir.path("busy.txt").c_str(), O_RDWR);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);
    const Text failed = gbk_from_utf8("导入数据失败：");
    for (const std::string name : {"missing.txt", "folder", "busy.txt"}) {
        SCOPED_TRACE(name);
        MemoryWindow fresh;
        fresh.add_rows({"keep 1", "keep 2"});
        fresh.file_dialog().script(dir.path(name));
        import_list(fresh, 0);
        EXPECT_EQ(column(fresh.data_list(), kColumnSource),
                  (std::vector<Text>{"keep 1", "keep 2"}));
        const auto messages = fresh.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].rfind(failed, 0), 0u) << messages[0];
        EXPECT_NE(messages[0].find(dir.path(name)), Text::npos) << messages[0];
        EXPECT_GT(messages[0].size(), failed.size() + dir.path(name).size() + 4);
    }
    close(writer);
}

TEST_F(ImportTest, CommandRunsOnItsOwnThreadOrSaysItCouldNot) {
    MemoryWindow& lasting = testing::lasting_window();
    dir.put("list.txt", "A\r\nB\r\n");
    lasting.file_dialog().script(dir.path("list.txt"));
    import_command(lasting);
    ASSERT_TRUE(lasting.wait_for_messages(1, std::chrono::seconds(10)));
    EXPECT_EQ(lasting.messages()[0], imported);
    EXPECT_EQ(column(lasting.data_list(), kColumnSource), (std::vector<Text>{"A", "B"}));

    testing_hooks::fail_next_thread_starts(1);
    import_command(lasting);
    ASSERT_EQ(lasting.messages().size(), 2u);
    EXPECT_EQ(lasting.messages()[1].rfind(gbk_from_utf8("导入数据失败："), 0), 0u);
    EXPECT_EQ(lasting.file_dialog().shows(), 1);
}

}  // namespace
}  // namespace zolt
