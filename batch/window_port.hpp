// What the engine (batch and exchange) may ask of the window. Implemented with Qt in app/
// and in memory in tests/support/. Every member may be called from any thread.
#pragma once

#include "batch/data_list.hpp"
#include "core/text.hpp"
#include "platform/files.hpp"

namespace zolt {

enum class Button { start, pause, resume, stop, import_data, export_data };

enum class DialogForm { open, save };

// The one file dialog shared by import and export. Its settings are plain values of the
// dialog object that persist between uses; the thread that shows it sets and reads them.
class FileDialog {
public:
    virtual ~FileDialog() = default;

    DialogForm form = DialogForm::open;
    Path initial_directory;  // empty: the platform's choice
    Path file_name;          // proposed when shown; the chosen path after a confirmed show

    // Blocks the calling thread until the user closes the dialog; true when confirmed.
    virtual bool show() = 0;
};

class WindowPort {
public:
    virtual ~WindowPort() = default;

    virtual DataList& data_list() = 0;

    // The text of 编辑框_线程数量, as GBK.
    virtual Text cap_text() = 0;

    virtual void set_button_enabled(Button button, bool enabled) = 0;

    // Index of the selected entry of 组合框_接口, -1 for none. Setting it raises no event.
    virtual int selected_service() = 0;
    virtual void set_selected_service(int index) = 0;

    // The information message box (caption "信息：", one OK button) with a GBK text.
    // From the window's thread it is modal for the window; from any other thread the
    // window stays usable and only the calling thread waits until it is dismissed.
    virtual void show_message(const Text& gbk_text) = 0;

    virtual FileDialog& file_dialog() = 0;
};

}  // namespace zolt
