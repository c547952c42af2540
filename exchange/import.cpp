#include <algorithm>
#include <utility>

#include "core/charset.hpp"
#include "exchange/exchange.hpp"
#include "exchange/file_choice.hpp"
#include "platform/files.hpp"

namespace zolt {

namespace {

Text import_failed(const Path& path, const std::string& reason) {
    return gbk_from_utf8("导入数据失败：" + reason + "\n文件：" + path + "\n数据列表未作改动。");
}

// Each stage lets go of the one before it, so a large file is held about twice at most
// and the rows grow while the cut lines shrink.
void replace_rows(DataList& list, Bytes bytes) {
    // What bytes_to_text yields, cut in place: a copy of a file of hundreds of megabytes
    // costs as much time as reading it.
    Text text = std::move(bytes);
    text.resize(std::min(text.find('\0'), text.size()));
    TextList lines = text_split(text, "\r\n");
    Text().swap(text);
    list.clear_rows();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int row = list.append_row();
        list.write_cell(row, kColumnId, int_to_text(static_cast<std::int64_t>(i) + 1));
        const Text source = text_trim(lines[i]);
        Text().swap(lines[i]);
        list.write_cell(row, kColumnSource, source);
    }
}

}  // namespace

void import_list(WindowPort& window, std::int32_t /*ignored*/) {
    const std::optional<Path> chosen =
        choose_file(window.file_dialog(), DialogForm::open, program_directory());
    if (!chosen) return;
    // Read before touching the list: a file that cannot be read must not cost the user
    // the rows they have.
    Bytes bytes;
    const FileResult read = read_whole_file(*chosen, bytes);
    if (!read.ok) {
        window.show_message(import_failed(*chosen, read.error));
        return;
    }
    replace_rows(window.data_list(), std::move(bytes));
    static const Text done = gbk_from_utf8("导入数据成功！");
    window.show_message(done);
}

}  // namespace zolt
