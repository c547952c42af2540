#include "app/main_window.hpp"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <future>
#include <memory>

#include "app/commands.hpp"
#include "app/qt_window_port.hpp"
#include "batch/engine.hpp"
#include "core/services.hpp"
#include "window_test_support.hpp"

namespace zolt {
namespace {

using testing::process_until;

class MainWindowTest : public testing::WindowFixture {
  protected:
    void add_rows(std::initializer_list<const char*> ids) {
        for (const char* id : ids) {
            const int row = window->data_list().append_row();
            window->data_list().write_cell(row, kColumnId, id);
        }
        window->model().drain();
    }
};

QString caption_of(const QWidget* control) {
    if (auto* group = qobject_cast<const QGroupBox*>(control)) return group->title();
    if (auto* label = qobject_cast<const QLabel*>(control)) return label->text();
    if (auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text();
    if (auto* button = qobject_cast<const QPushButton*>(control)) return button->text();
    return {};
}

struct ControlCase {
    const char* name;
    const char* kind;
    const char* parent;
    QRect geometry;
    const char* caption;
    bool enabled;
};

TEST_F(MainWindowTest, EveryControlStartsWhereAndAsTheTableSays) {
    const ControlCase cases[] = {
        {"分组框_软件控制", "QGroupBox", "主窗口", {8, 5, 528, 56}, "软件控制：", true},
        {"标签_线程数量", "QLabel", "分组框_软件控制", {8, 22, 53, 20}, "线程数量：", true},
        {"编辑框_线程数量", "QLineEdit", "分组框_软件控制", {65, 22, 24, 20}, "10", true},
        {"按钮_开始线程", "QPushButton", "分组框_软件控制", {92, 22, 56, 21}, "开始线程", true},
        {"按钮_暂停线程", "QPushButton", "分组框_软件控制", {151, 22, 56, 21}, "暂停线程", false},
        {"按钮_恢复线程", "QPushButton", "分组框_软件控制", {210, 22, 56, 21}, "恢复线程", false},
        {"按钮_停止线程", "QPushButton", "分组框_软件控制", {270, 22, 56, 21}, "停止线程", false},
        {"按钮_导入数据", "QPushButton", "分组框_软件控制", {329, 22, 56, 21}, "导入txt", true},
        {"按钮_导出数据", "QPushButton", "分组框_软件控制", {388, 22, 56, 21}, "导出数据", true},
        {"组合框_接口", "QComboBox", "分组框_软件控制", {449, 23, 72, 20}, "", true},
        {"分组框_数据列表", "QGroupBox", "主窗口", {8, 66, 528, 482}, "数据列表：", true},
        {"超级列表框_数据列表", "QTableView", "分组框_数据列表", {8, 15, 511, 457}, "", true},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto* control = window->findChild<QWidget*>(QString::fromUtf8(c.name));
        ASSERT_NE(control, nullptr);
        EXPECT_STREQ(control->metaObject()->className(), c.kind);
        EXPECT_EQ(control->parentWidget()->objectName(), QString::fromUtf8(c.parent));
        EXPECT_EQ(control->geometry(), c.geometry);
        EXPECT_EQ(caption_of(control), QString::fromUtf8(c.caption));
        EXPECT_EQ(control->isEnabled(), c.enabled);
        EXPECT_TRUE(control->isVisible());
    }
    // The members are the very controls that carry the names.
    EXPECT_EQ(window->findChild<QPushButton*>(QString::fromUtf8("按钮_停止线程")),
              window->按钮_停止线程);
    EXPECT_EQ(window->findChild<QTableView*>(QString::fromUtf8("超级列表框_数据列表")),
              window->超级列表框_数据列表);
}

TEST_F(MainWindowTest, ButtonsAreNeverDefaultAndEditBoxTakesAnyLength) {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        SCOPED_TRACE(button->objectName().toStdString());
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
    }
    const QString long_text(100000, QChar(u'数'));
    window->编辑框_线程数量->setText(long_text);
    EXPECT_EQ(window->编辑框_线程数量->text(), long_text);
}

TEST_F(MainWindowTest, WindowIsTitledFixedCentredAndMinimizable) {
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("zolt多线程网址转换"));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowStaysOnTopHint));

    // Offscreen there is no frame: the client area is what a frame of 549 x 581 leaves, and
    // it has room for both group boxes.
    const QRect outer = window->frameGeometry();
    if (outer == window->geometry()) {
        EXPECT_EQ(window->size(), QSize(MainWindow::kFramelessWidth, MainWindow::kFramelessHeight));
    } else {
        EXPECT_EQ(outer.size(), QSize(MainWindow::kOuterWidth, MainWindow::kOuterHeight));
    }
    EXPECT_GE(window->width(), 8 + 528);
    EXPECT_GE(window->height(), 66 + 482);
    const QRect screen = window->screen()->geometry();
    EXPECT_EQ(outer.left(), screen.left() + (screen.width() - outer.width()) / 2);
    EXPECT_EQ(outer.top(), screen.top() + (screen.height() - outer.height()) / 2);
}

TEST_F(MainWindowTest, SelectorListsTheTwelveServicesAndAnEmptyEntry) {
    QComboBox* selector = window->组合框_接口;
    EXPECT_FALSE(selector->isEditable());
    ASSERT_EQ(selector->count(), 13);
    for (int i = 0; i < kServiceCount; ++i) {
        const std::string_view name = service_table()[static_cast<std::size_t>(i)].display_name;
        EXPECT_EQ(selector->itemText(i),
                  QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
        EXPECT_FALSE(selector->itemText(i).isEmpty());
    }
    EXPECT_TRUE(selector->itemText(12).isEmpty());

    selector->showPopup();
    QWidget* popup = selector->view()->window();
    ASSERT_TRUE(process_until([&] { return popup->isVisible(); }));
    EXPECT_EQ(selector->height() + popup->height(), MainWindow::kSelectorListHeight);
    // The list drops below the box (touching its bottom line), not over it.
    EXPECT_GE(popup->mapToGlobal(QPoint(0, 0)).y(),
              selector->mapToGlobal(QPoint(0, selector->height() - 1)).y());
    selector->hidePopup();
}

TEST(MainWindowStartup, CreatedStepsSelectFirstServiceWithoutASelectionEvent) {
    MainWindow window;
    QtWindowPort port(window);
    Engine engine(port, 10);
    connect_commands(window, port, engine);
    EXPECT_EQ(window.组合框_接口->currentIndex(), -1);

    engine.state().rows_dispatched.store(7);
    set_request_prefix(5);
    QSignalSpy picks(window.组合框_接口, &QComboBox::activated);
    window.show();
    window.run_created_steps();

    EXPECT_EQ(window.组合框_接口->currentIndex(), 0);
    EXPECT_EQ(port.selected_service(), 0);
    EXPECT_EQ(request_prefix(), service_prefix(0));
    EXPECT_EQ(picks.count(), 0);
    EXPECT_EQ(engine.state().rows_dispatched.load(), 7);  // select_service did not run

    // Neither does a selection made later from code.
    port.set_selected_service(12);
    EXPECT_EQ(window.组合框_接口->currentIndex(), 12);
    EXPECT_EQ(picks.count(), 0);
    EXPECT_EQ(engine.state().rows_dispatched.load(), 7);
}

TEST_F(MainWindowTest, PickingAnEntryRewindsAndSelectsItsService) {
    QComboBox* selector = window->组合框_接口;
    selector->setFocus();
    for (int pick = 1; pick <= 12; ++pick) {
        SCOPED_TRACE(pick);
        const Text before = request_prefix();
        engine->state().rows_dispatched.store(40 + pick);
        // The user moves down one entry: a selection event for that entry.
        QTest::keyClick(selector, Qt::Key_Down);
        EXPECT_EQ(selector->currentIndex(), pick);
        EXPECT_EQ(engine->state().rows_dispatched.load(), 0);
        EXPECT_EQ(request_prefix(), pick < kServiceCount ? service_prefix(pick) : before);
    }
    // Back up to entry 0 through entry 11.
    QTest::keyClick(selector, Qt::Key_Home);
    EXPECT_EQ(selector->currentIndex(), 0);
    EXPECT_EQ(request_prefix(), service_prefix(0));
}

TEST_F(MainWindowTest, ListShowsFourFixedColumnsWholeRowSingleSelectionNoEditing) {
    QTableView* view = window->超级列表框_数据列表;
    EXPECT_EQ(view->model()->rowCount(), 0);
    const char* headers[] = {"ID", "原网址", "转换后", "状态"};
    const int widths[] = {40, 237, 130, 100};
    ASSERT_EQ(view->model()->columnCount(), 4);
    for (int column = 0; column < 4; ++column) {
        EXPECT_EQ(view->model()->headerData(column, Qt::Horizontal).toString(),
                  QString::fromUtf8(headers[column]));
        EXPECT_EQ(view->columnWidth(column), widths[column]);
    }
    EXPECT_TRUE(view->horizontalHeader()->isVisible());
    EXPECT_FALSE(view->verticalHeader()->isVisible());
    EXPECT_TRUE(view->showGrid());
    EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::SingleSelection);

    add_rows({"1", "2", "3"});
    const QModelIndex cell = view->model()->index(1, 1);
    const QPoint centre = view->visualRect(cell).center();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, centre);
    QTest::keyClick(view, Qt::Key_F2);
    for (QLineEdit* editor : view->findChildren<QLineEdit*>()) EXPECT_FALSE(editor->isVisible());
    EXPECT_FALSE(view->model()->flags(cell).testFlag(Qt::ItemIsEditable));
    // The double click selected row 1 whole, and only it.
    const QModelIndexList selected = view->selectionModel()->selectedIndexes();
    ASSERT_EQ(selected.size(), 4);
    for (const QModelIndex& index : selected) EXPECT_EQ(index.row(), 1);
}

TEST_F(MainWindowTest, PressingAColumnHeaderNeitherSortsNorSelects) {
    add_rows({"3", "1", "2"});
    QTableView* view = window->超级列表框_数据列表;
    QHeaderView* header = view->horizontalHeader();
    for (int column = 0; column < 4; ++column) {
        const QPoint middle(
            header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
            header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, middle);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, middle);
    }
    EXPECT_FALSE(header->isSortIndicatorShown());
    EXPECT_FALSE(view->selectionModel()->hasSelection());
    const char* order[] = {"3", "1", "2"};
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(view->model()->index(row, 0).data().toString(), QString::fromUtf8(order[row]));
    }
}

TEST_F(MainWindowTest, ClosingSaysSoEvenWithAnotherWindowStillUp) {
    QSignalSpy closed(window.get(), &MainWindow::closed);
    auto asker = std::async(std::launch::async, [this] { port->show_message("still running"); });
    ASSERT_TRUE(process_until([] {
        return testing::visible_top_level<QWidget>(QString::fromUtf8(kMessageBoxName)) != nullptr;
    }));
    EXPECT_TRUE(window->close());
    EXPECT_EQ(closed.count(), 1);
    // Let the asking thread go so the test can end.
    testing::visible_top_level<QWidget>(QString::fromUtf8(kMessageBoxName))->close();
    EXPECT_TRUE(process_until(
        [&] { return asker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
}

}  // namespace
}  // namespace zolt
