#include "app/qt_window_port.hpp"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "app/main_window.hpp"
#include "core/charset.hpp"
#include "window_test_support.hpp"

namespace zolt {
namespace {

using testing::process_until;
using testing::visible_top_level;

const QString kBoxName = QString::fromUtf8(kMessageBoxName);
const QString kDialogName = QString::fromUtf8(kFileDialogName);

class WindowPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = std::make_unique<MainWindow>();
        port = std::make_unique<QtWindowPort>(*window);
        window->show();
        window->run_created_steps();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    // Runs work on a thread of its own while this thread keeps the window going.
    template <class Work>
    auto off_thread(Work work) {
        return std::async(std::launch::async, std::move(work));
    }

    template <class T>
    static bool ready(const std::future<T>& f) {
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

    template <class T>
    static T finish(std::future<T>& f) {
        EXPECT_TRUE(process_until([&] { return ready(f); }));
        return f.get();
    }

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QtWindowPort> port;
};

TEST_F(WindowPortTest, ControlsAnswerEveryThreadAlike) {
    window->编辑框_线程数量->setText(QString::fromUtf8("１２ab"));
    auto worker = off_thread([this] {
        Text cap = port->cap_text();
        port->set_button_enabled(Button::pause, true);
        port->set_button_enabled(Button::start, false);
        port->set_selected_service(7);
        const int selected = port->selected_service();
        port->set_selected_service(-1);
        return std::make_pair(cap, std::make_pair(selected, port->selected_service()));
    });
    const auto [cap, selections] = finish(worker);
    EXPECT_EQ(cap, gbk_from_utf8("１２ab"));
    EXPECT_EQ(selections, std::make_pair(7, -1));
    EXPECT_TRUE(window->按钮_暂停线程->isEnabled());
    EXPECT_FALSE(window->按钮_开始线程->isEnabled());

    // The same calls on the window's own thread return at once instead of waiting on it.
    port->set_button_enabled(Button::start, true);
    port->set_selected_service(3);
    EXPECT_TRUE(window->按钮_开始线程->isEnabled());
    EXPECT_EQ(port->selected_service(), 3);
    EXPECT_EQ(port->cap_text(), gbk_from_utf8("１２ab"));
}

TEST_F(WindowPortTest, MessageFromAnotherThreadLeavesTheWindowUsable) {
    // A file name may hold markup characters; they are shown as they are.
    const std::string shown = "导出失败：<b>a&amp;b</b>.txt";
    auto asker = off_thread([this, shown] { port->show_message(gbk_from_utf8(shown)); });

    QMessageBox* box = nullptr;
    ASSERT_TRUE(process_until([&] { return (box = visible_top_level<QMessageBox>(kBoxName)); }));
    EXPECT_EQ(box->windowTitle(), QString::fromUtf8("信息："));
    EXPECT_EQ(box->text(), QString::fromUtf8(shown));
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->icon(), QMessageBox::Information);
    EXPECT_EQ(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box->windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // The window still takes input while the asking thread waits.
    int clicks = 0;
    QObject::connect(window->按钮_开始线程, &QPushButton::clicked, [&] { ++clicks; });
    QTest::mouseClick(window->按钮_开始线程, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    QTest::qWait(50);
    EXPECT_FALSE(ready(asker));

    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    finish(asker);
}

TEST_F(WindowPortTest, MessagesFromSeveralThreadsAreEachAnsweredByTheirOwnBox) {
    std::vector<std::future<void>> askers;
    for (int i = 0; i < 3; ++i) {
        askers.push_back(off_thread([this, i] { port->show_message("m" + std::to_string(i)); }));
    }
    auto boxes = [] {
        QList<QMessageBox*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->objectName() == kBoxName) {
                found.append(qobject_cast<QMessageBox*>(widget));
            }
        }
        return found;
    };
    ASSERT_TRUE(process_until([&] { return boxes().size() == 3; }));
    QMessageBox* second = nullptr;
    for (QMessageBox* box : boxes()) {
        if (box->text() == QStringLiteral("m1")) second = box;
    }
    ASSERT_NE(second, nullptr);
    // Closing a box by its frame answers just like OK.
    second->close();
    EXPECT_TRUE(process_until([&] { return ready(askers[1]); }));
    EXPECT_FALSE(ready(askers[0]));
    EXPECT_FALSE(ready(askers[2]));
    for (QMessageBox* box : boxes())
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    for (auto& asker : askers) finish(asker);
}

TEST_F(WindowPortTest, MessageFromTheWindowsThreadIsModalForTheWindow) {
    bool was_modal = false;
    QString text;
    QTimer::singleShot(0, [&] {
        QMessageBox* box = visible_top_level<QMessageBox>(kBoxName);
        if (box == nullptr) return;
        was_modal = box->isModal() && box->windowModality() != Qt::NonModal;
        text = box->text();
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    port->show_message(gbk_from_utf8("线程暂停成功！"));
    EXPECT_TRUE(was_modal);
    EXPECT_EQ(text, QString::fromUtf8("线程暂停成功！"));
}

// Answers the file dialog the next time it shows, from this thread's event loop.
struct DialogAnswer {
    bool seen = false;
    QFileDialog::AcceptMode mode{};
    QFileDialog::FileMode file_mode{};
    bool confirms_overwrite = false;
    QString directory;
    QString proposed;
};

void answer_dialog(DialogAnswer& seen, const QString& choose) {
    QFileDialog* dialog = visible_top_level<QFileDialog>(kDialogName);
    ASSERT_NE(dialog, nullptr);
    seen.seen = true;
    seen.mode = dialog->acceptMode();
    seen.file_mode = dialog->fileMode();
    seen.confirms_overwrite = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
    seen.directory = dialog->directory().absolutePath();
    const QStringList proposed = dialog->selectedFiles();
    seen.proposed = proposed.isEmpty() ? QString() : proposed.first();
    if (choose.isEmpty()) {
        dialog->reject();
    } else {
        // Typed into the name box, as a user would. Without the keyboard focus, which the
        // offscreen platform does not give, the box leaves the proposed file selected.
        auto* name_box = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* files = dialog->findChild<QAbstractItemView*>(QStringLiteral("listView"));
        ASSERT_NE(name_box, nullptr);
        ASSERT_NE(files, nullptr);
        files->clearSelection();
        name_box->setText(choose);
        // As the confirm button does, without waiting for the folder view to fill.
        static_cast<QDialog*>(dialog)->accept();
    }
}

TEST_F(WindowPortTest, FileDialogKeepsItsSettingsAcrossUsesAndThreads) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString list = folder.filePath(QStringLiteral("网址 <1>.txt"));
    std::ofstream(QFile::encodeName(list).toStdString()) << "http://a.example/\r\n";
    FileDialog& dialog = port->file_dialog();
    EXPECT_EQ(&dialog, &window->通用对话框_导入数据);

    // An import thread: open form, the given directory, nothing proposed yet.
    dialog.form = DialogForm::open;
    dialog.initial_directory = QFile::encodeName(folder.path()).toStdString();
    auto import = off_thread([&dialog] { return dialog.show(); });
    DialogAnswer first;
    ASSERT_TRUE(process_until([&] { return visible_top_level<QFileDialog>(kDialogName); }));
    EXPECT_FALSE(ready(import));
    answer_dialog(first, list);
    EXPECT_TRUE(finish(import));
    EXPECT_EQ(first.mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(first.file_mode, QFileDialog::ExistingFile);
    EXPECT_EQ(first.directory, QDir(folder.path()).absolutePath());
    EXPECT_EQ(dialog.file_name, QFile::encodeName(list).toStdString());

    // An export thread that cancels: save form, the confirmed path proposed, kept after.
    dialog.form = DialogForm::save;
    auto cancelled = off_thread([&dialog] { return dialog.show(); });
    DialogAnswer second;
    ASSERT_TRUE(process_until([&] { return visible_top_level<QFileDialog>(kDialogName); }));
    answer_dialog(second, QString());
    EXPECT_FALSE(finish(cancelled));
    EXPECT_EQ(second.mode, QFileDialog::AcceptSave);
    EXPECT_TRUE(second.confirms_overwrite);
    EXPECT_EQ(second.proposed, list);
    EXPECT_EQ(dialog.file_name, QFile::encodeName(list).toStdString());

    // Shown from the window's own thread it runs there and still proposes that path.
    DialogAnswer third;
    const QString result = folder.filePath(QStringLiteral("out"));
    QTimer::singleShot(0, [&] { answer_dialog(third, result); });
    EXPECT_TRUE(dialog.show());
    EXPECT_TRUE(third.seen);
    EXPECT_EQ(third.proposed, list);
    EXPECT_EQ(dialog.file_name, QFile::encodeName(result).toStdString());
}

TEST_F(WindowPortTest, SaveDialogRefusesANameInAFolderThatDoesNotExist) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    FileDialog& dialog = port->file_dialog();
    dialog.form = DialogForm::save;
    dialog.file_name.clear();
    auto exporter = off_thread([&dialog] { return dialog.show(); });
    ASSERT_TRUE(process_until([&] { return visible_top_level<QFileDialog>(kDialogName); }));

    // The refusal is a warning over the dialog; the dialog stays for another choice.
    QTimer::singleShot(0, [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* warning = qobject_cast<QMessageBox*>(widget);
            if (warning != nullptr && warning->isVisible()) warning->accept();
        }
    });
    DialogAnswer refused;
    answer_dialog(refused, folder.filePath(QStringLiteral("missing/out")));
    EXPECT_TRUE(process_until([] {
        return QApplication::activeModalWidget() == nullptr ||
               qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    }));
    EXPECT_FALSE(ready(exporter));
    ASSERT_NE(visible_top_level<QFileDialog>(kDialogName), nullptr);

    DialogAnswer accepted;
    answer_dialog(accepted, folder.filePath(QStringLiteral("out")));
    EXPECT_TRUE(finish(exporter));
    EXPECT_EQ(dialog.file_name,
              QFile::encodeName(folder.filePath(QStringLiteral("out"))).toStdString());
}

}  // namespace
}  // namespace zolt
