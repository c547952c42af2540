// The window as the engine sees it, made with Qt. Every member may be called from any
// thread; whatever touches a widget is carried out by the window's thread.
#pragma once

#include <QString>

#include "batch/window_port.hpp"

class QWidget;

namespace zolt {

class MainWindow;

inline constexpr const char* kMessageBoxName = "信息框";
inline constexpr const char* kFileDialogName = "通用对话框_导入数据";

// The shared file dialog. Shown by the window's thread; the asking thread waits.
class QtFileDialog : public FileDialog {
  public:
    explicit QtFileDialog(QWidget& owner);
    bool show() override;

  private:
    QWidget& owner_;
};

// The information message box with a Unicode text. On the window's thread it is modal for
// the window; asked for by another thread, the window stays usable and only that thread
// waits until the box is dismissed.
void show_information(QWidget& window, const QString& text);

class QtWindowPort : public WindowPort {
  public:
    explicit QtWindowPort(MainWindow& window);

    DataList& data_list() override;
    Text cap_text() override;
    void set_button_enabled(Button button, bool enabled) override;
    int selected_service() override;
    void set_selected_service(int index) override;
    void show_message(const Text& gbk_text) override;
    FileDialog& file_dialog() override;

  private:
    MainWindow& window_;
};

}  // namespace zolt
