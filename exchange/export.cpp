#include "core/charset.hpp"
#include "exchange/exchange.hpp"
#include "exchange/file_choice.hpp"
#include "platform/files.hpp"

namespace zolt {

namespace {

// Paths are in the platform's file-name encoding, UTF-8 here, like this literal.
constexpr const char* kResultSuffix = "转换成功.txt";

Text collect_results(const DataList& list) {
    Text result;
    const int rows = list.row_count();
    for (int row = 0; row < rows; ++row) {
        const Text cell = list.read_cell(row, kColumnResult);
        if (cell.empty()) continue;
        // Appended in place: joining a fresh copy per row would be quadratic.
        result += cell;
        result += "\r\n";
    }
    return result;
}

}  // namespace

void export_results(WindowPort& window, std::int32_t /*ignored*/) {
    if (window.data_list().row_count() == 0) return;
    const std::optional<Path> chosen =
        choose_file(window.file_dialog(), DialogForm::save, std::nullopt);
    if (!chosen) return;
    // The rows are counted again: they may have changed while the dialog was open.
    const Text result = collect_results(window.data_list());
    if (!result.empty()) {
        const Path target = *chosen + kResultSuffix;
        // A text holds no zero byte, so its bytes are the file's content as they stand.
        const FileResult written = write_whole_file(target, result);
        if (!written.ok) {
            window.show_message(
                gbk_from_utf8("数据导出失败：" + written.error + "\n文件：" + target));
            return;
        }
    }
    static const Text done = gbk_from_utf8("数据导出成功");
    window.show_message(done);
}

}  // namespace zolt
