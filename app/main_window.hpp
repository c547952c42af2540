// The main window and its controls, each reachable by its own name as member and as Qt
// objectName.
#pragma once

#include <QMargins>
#include <QWidget>

#include "app/data_list_model.hpp"
#include "app/qt_window_port.hpp"
#include "batch/data_list.hpp"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace zolt {

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kOuterWidth = 549;
    static constexpr int kOuterHeight = 581;
    // The client area a fixed frame with a caption leaves of the outer size: used when the
    // window system tells nothing of its frame (no window manager, offscreen).
    static constexpr int kFramelessWidth = kOuterWidth - 2 * 3;
    static constexpr int kFramelessHeight = kOuterHeight - 3 - 28;
    static constexpr int kSelectorListHeight = 160;

    MainWindow();

    DataList& data_list() { return data_list_; }
    DataListModel& model() { return *model_; }
    QPushButton* button(Button which) const;

    // Bind the process to one processor, select the first service without raising the
    // selection event, and make that service current.
    void run_created_steps();

    QGroupBox* 分组框_软件控制;
    QLabel* 标签_线程数量;
    QLineEdit* 编辑框_线程数量;
    QPushButton* 按钮_开始线程;
    QPushButton* 按钮_暂停线程;
    QPushButton* 按钮_恢复线程;
    QPushButton* 按钮_停止线程;
    QPushButton* 按钮_导入数据;
    QPushButton* 按钮_导出数据;
    QComboBox* 组合框_接口;
    QGroupBox* 分组框_数据列表;
    QTableView* 超级列表框_数据列表;

  private:
    DataList data_list_;
    DataListModel* model_;

  public:
    QtFileDialog 通用对话框_导入数据;

  signals:
    // The user closed the window: the program ends, whatever other windows are still up.
    void closed();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    void fit_to_frame();

    QMargins fitted_frame_{-1, -1, -1, -1};
};

}  // namespace zolt
