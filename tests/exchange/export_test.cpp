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

using testing::FileSizeLimit;
using testing::MemoryWindow;
using testing::ScratchDir;

const std::string kSuffix = "转换成功.txt";

class ExportTest : public ::testing::Test {
  protected:
    // Rows whose "转换后" cells hold these texts.
    void set_results(const std::vector<Text>& results) {
        window.data_list().clear_rows();
        for (const Text& result : results) {
            const int row = window.data_list().append_row();
            window.data_list().write_cell(row, kColumnSource, "http://long/" + std::to_string(row));
            window.data_list().write_cell(row, kColumnResult, result);
        }
    }

    void export_to(const std::string& name) {
        window.file_dialog().script(dir.path(name));
        export_results(window, 0);
    }

    ScratchDir dir;
    MemoryWindow window;
    const Text exported = gbk_from_utf8("数据导出成功");
    const Text failed = gbk_from_utf8("数据导出失败：");
};

TEST_F(ExportTest, WritesEachResultWithCrLfInRowOrderBesideTheChosenName) {
    set_results({"A", "", "B"});
    export_to("out");
    EXPECT_EQ(dir.get("out" + kSuffix), "A\r\nB\r\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out" + kSuffix});
    EXPECT_EQ(window.messages(), std::vector<Text>{exported});
    EXPECT_EQ(window.file_dialog().history().at(0).form, DialogForm::save);
}

TEST_F(ExportTest, CellBytesGoOutUnchanged) {
    const Text gbk = gbk_from_utf8("短链接");
    set_results({gbk, "line\r\nbreak", "\xFF\x80"});
    export_to("out.txt");
    EXPECT_EQ(dir.get("out.txt" + kSuffix), gbk + "\r\nline\r\nbreak\r\n\xFF\x80\r\n");
}

TEST_F(ExportTest, ExportingTwiceRewritesAndLeavesTheChosenFileAlone) {
    dir.put("list.txt", "http://a\r\nhttp://b\r\n");
    set_results({"1", "2", "3"});
    export_to("list.txt");
    set_results({"", "only"});
    export_to("list.txt");
    EXPECT_EQ(dir.get("list.txt" + kSuffix), "only\r\n");
    EXPECT_EQ(dir.get("list.txt"), "http://a\r\nhttp://b\r\n");
}

TEST_F(ExportTest, NoResultYetIsASuccessThatWritesNothing) {
    set_results({"", ""});
    export_to("out");
    EXPECT_TRUE(dir.names().empty());
    EXPECT_EQ(window.messages(), std::vector<Text>{exported});
}

TEST_F(ExportTest, EmptyListOrCancelDoesNothing) {
    export_results(window, 0);  // no rows: not even a dialog
    EXPECT_EQ(window.file_dialog().shows(), 0);
    set_results({"A"});
    window.file_dialog().script(std::nullopt);
    export_results(window, 0);
    EXPECT_EQ(window.file_dialog().shows(), 1);
    EXPECT_TRUE(dir.names().empty());
    EXPECT_TRUE(window.messages().empty());
}

TEST_F(ExportTest, ProposesThePathLastConfirmedByImportOrExport) {
    dir.put("list.txt", "http://a\r\n");
    window.file_dialog().script(dir.path("list.txt"));
    import_list(window, 0);
    window.data_list().write_cell(0, kColumnResult, "S");
    window.file_dialog().script(std::nullopt);
    export_results(window, 0);
    export_to("other");
    window.file_dialog().script(std::nullopt);
    export_results(window, 0);
    const auto shown = window.file_dialog().history();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[1].file_name, dir.path("list.txt"));
    EXPECT_EQ(shown[2].file_name, dir.path("list.txt"));  // a cancel changed nothing
    EXPECT_EQ(shown[3].file_name, dir.path("other"));
    // The export sets no directory of its own: it keeps what the import set.
    EXPECT_EQ(shown[3].initial_directory, program_directory());
}

// A write that failed used to be announced as a success, possibly over a truncated file.
TEST_F(ExportTest, FailedWriteSaysSoWithTheFullNameAndKeepsTheEarlierFile) {
    set_results({"old"});
    export_to("out");
    std::filesystem::create_directory(dir.path("taken" + kSuffix));
    set_results({std::string(64 * 1024, 'x')});
    struct Case {
        const char* what;
        std::string chosen;
        bool limit_size;
    };
    const Case cases[] = {
        {"result name is a folder", "taken", false},
        {"folder missing", "nowhere/out", false},
        {"disk fills part way", "out", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window.file_dialog().script(dir.path(c.chosen));
        if (c.limit_size) {
            FileSizeLimit limit(1024);
            export_results(window, 0);
        } else {
            export_results(window, 0);
        }
        const Text message = window.messages().back();
        EXPECT_EQ(message.rfind(failed, 0), 0u) << message;
        EXPECT_NE(message.find(gbk_from_utf8(dir.path(c.chosen) + kSuffix)), Text::npos) << message;
        EXPECT_EQ(dir.get("out" + kSuffix), "old\r\n");
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"out" + kSuffix, "taken" + kSuffix}));
    }
}

TEST_F(ExportTest, CommandRunsOnItsOwnThreadOrSaysItCouldNot) {
    MemoryWindow& lasting = testing::lasting_window();
    lasting.add_rows({"http://a"});
    lasting.data_list().write_cell(0, kColumnResult, "A");
    lasting.file_dialog().script(dir.path("out"));
    export_command(lasting);
    ASSERT_TRUE(lasting.wait_for_messages(1, std::chrono::seconds(10)));
    EXPECT_EQ(dir.get("out" + kSuffix), "A\r\n");

    testing_hooks::fail_next_thread_starts(1);
    export_command(lasting);
    ASSERT_EQ(lasting.messages().size(), 2u);
    EXPECT_EQ(lasting.messages()[1].rfind(failed, 0), 0u);
}

}  // namespace
}  // namespace zolt
