#include "app/main_window.hpp"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTableView>
#include <QWindow>
#include <limits>

#include "core/services.hpp"
#include "platform/threads.hpp"

namespace zolt {

namespace {

template <class Control>
Control* make(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* control = new Control(parent);
    control->setObjectName(QString::fromUtf8(name));
    control->setGeometry(left, top, width, height);
    return control;
}

QPushButton* make_button(QWidget* parent, const char* name, const char* caption, int left,
                         bool enabled) {
    auto* button = make<QPushButton>(parent, name, left, 22, 56, 21);
    button->setText(QString::fromUtf8(caption));
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setEnabled(enabled);
    return button;
}

QGroupBox* make_group(QWidget* parent, const char* name, const char* caption, int top, int height) {
    auto* group = make<QGroupBox>(parent, name, 8, top, 528, height);
    group->setTitle(QString::fromUtf8(caption));
    return group;
}

void set_up_selector(QComboBox* selector) {
    selector->setEditable(false);
    // The list drops below the box, as tall as the box and list together allow, instead
    // of a menu laid over the box.
    selector->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    for (const Service& service : service_table()) {
        selector->addItem(QString::fromUtf8(service.display_name.data(),
                                            static_cast<qsizetype>(service.display_name.size())));
    }
    selector->addItem(QString());
    const int row_height = selector->view()->sizeHintForRow(0);
    const int list_height = MainWindow::kSelectorListHeight - selector->height();
    selector->setMaxVisibleItems(std::max(1, (list_height - 2) / std::max(1, row_height)));
    selector->view()->window()->setFixedHeight(list_height);
    // The box is narrow; its list is as wide as the longest name needs.
    selector->view()->setMinimumWidth(selector->view()->sizeHintForColumn(0) +
                                      selector->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                                      2 * selector->view()->frameWidth());
    // Adding items selected the first one; the created steps make the first selection.
    selector->setCurrentIndex(-1);
}

void set_up_list_view(QTableView* view, DataListModel* model) {
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSortingEnabled(false);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setCornerButtonEnabled(false);
    view->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    view->setLineWidth(1);

    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    // The selection shows only while the list has the focus.
    palette.setColor(QPalette::Inactive, QPalette::Highlight, Qt::white);
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::black);
    view->setPalette(palette);

    QHeaderView* rows = view->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(view->fontMetrics().height() + 4);

    QHeaderView* header = view->horizontalHeader();
    header->setVisible(true);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int widths[kColumnCount] = {40, 237, 130, 100};
    for (int column = 0; column < kColumnCount; ++column) {
        header->resizeSection(column, widths[column]);
    }
}

}  // namespace

MainWindow::MainWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      model_(new DataListModel(data_list_, this)),
      通用对话框_导入数据(*this) {
    setObjectName(QStringLiteral("主窗口"));
    setWindowTitle(QString::fromUtf8("zolt多线程网址转换"));
    setFixedSize(kFramelessWidth, kFramelessHeight);

    分组框_软件控制 = make_group(this, "分组框_软件控制", "软件控制：", 5, 56);
    QWidget* const top = 分组框_软件控制;
    标签_线程数量 = make<QLabel>(top, "标签_线程数量", 8, 22, 53, 20);
    标签_线程数量->setText(QString::fromUtf8("线程数量："));
    编辑框_线程数量 = make<QLineEdit>(top, "编辑框_线程数量", 65, 22, 24, 20);
    编辑框_线程数量->setMaxLength(std::numeric_limits<int>::max());
    编辑框_线程数量->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    编辑框_线程数量->setText(QStringLiteral("10"));
    按钮_开始线程 = make_button(top, "按钮_开始线程", "开始线程", 92, true);
    按钮_暂停线程 = make_button(top, "按钮_暂停线程", "暂停线程", 151, false);
    按钮_恢复线程 = make_button(top, "按钮_恢复线程", "恢复线程", 210, false);
    按钮_停止线程 = make_button(top, "按钮_停止线程", "停止线程", 270, false);
    按钮_导入数据 = make_button(top, "按钮_导入数据", "导入txt", 329, true);
    按钮_导出数据 = make_button(top, "按钮_导出数据", "导出数据", 388, true);
    组合框_接口 = make<QComboBox>(top, "组合框_接口", 449, 23, 72, 20);
    set_up_selector(组合框_接口);

    分组框_数据列表 = make_group(this, "分组框_数据列表", "数据列表：", 66, 482);
    超级列表框_数据列表 = make<QTableView>(分组框_数据列表, "超级列表框_数据列表", 8, 15, 511, 457);
    set_up_list_view(超级列表框_数据列表, model_);
}

QPushButton* MainWindow::button(Button which) const {
    switch (which) {
        case Button::start:
            return 按钮_开始线程;
        case Button::pause:
            return 按钮_暂停线程;
        case Button::resume:
            return 按钮_恢复线程;
        case Button::stop:
            return 按钮_停止线程;
        case Button::import_data:
            return 按钮_导入数据;
        case Button::export_data:
            return 按钮_导出数据;
    }
    return nullptr;
}

void MainWindow::run_created_steps() {
    bind_process_to_first_cpu();
    组合框_接口->setCurrentIndex(0);
    set_request_prefix(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    emit closed();
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fit_to_frame();
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // A window manager reports the frame only once it has framed the window.
    fit_to_frame();
}

void MainWindow::fit_to_frame() {
    const QWindow* handle = windowHandle();
    if (handle == nullptr) return;
    const QMargins frame = handle->frameMargins();
    if (frame == fitted_frame_) return;
    fitted_frame_ = frame;
    if (frame.isNull()) {
        setFixedSize(kFramelessWidth, kFramelessHeight);
    } else {
        setFixedSize(kOuterWidth - frame.left() - frame.right(),
                     kOuterHeight - frame.top() - frame.bottom());
    }
    const QScreen* shown_on = screen();
    if (shown_on == nullptr) return;
    const QRect area = shown_on->geometry();
    const QSize outer = frame.isNull() ? size() : QSize(kOuterWidth, kOuterHeight);
    move(area.left() + (area.width() - outer.width()) / 2,
         area.top() + (area.height() - outer.height()) / 2);
}

}  // namespace zolt
