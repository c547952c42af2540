// Loading the address list from a file and writing the converted links to a file.
#pragma once

#include <cstdint>

#include "batch/window_port.hpp"

namespace zolt {

// Thread routines: each shows the shared file dialog and reports through the message box.
void import_list(WindowPort& window, std::int32_t ignored);
void export_results(WindowPort& window, std::int32_t ignored);

// Click handlers of 按钮_导入数据 and 按钮_导出数据: start the routine on a thread of its
// own and return at once.
void import_command(WindowPort& window);
void export_command(WindowPort& window);

}  // namespace zolt
