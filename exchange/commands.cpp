#include "core/charset.hpp"
#include "exchange/exchange.hpp"
#include "platform/threads.hpp"

namespace zolt {

// The window outlives every thread started here: closing it ends the process.
// A thread that cannot be started is said so, rather than the click doing nothing.

void import_command(WindowPort& window) {
    if (start_thread([&window] { import_list(window, 0); }) == 0)
        window.show_message(gbk_from_utf8("导入数据失败：无法启动导入线程，请稍后再试。"));
}

void export_command(WindowPort& window) {
    if (start_thread([&window] { export_results(window, 0); }) == 0)
        window.show_message(gbk_from_utf8("数据导出失败：无法启动导出线程，请稍后再试。"));
}

}  // namespace zolt
