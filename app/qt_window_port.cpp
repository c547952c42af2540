#include "app/qt_window_port.hpp"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <future>
#include <memory>

#include "app/main_window.hpp"
#include "app/ui_thread.hpp"
#include "core/charset.hpp"

namespace zolt {

namespace {

QString from_gbk(const Text& gbk) { return QString::fromStdString(utf8_from_gbk(gbk)); }

// Runs show on the window's thread with a callback to call once the user is done, and
// makes only the asking thread wait for that.
template <class Result, class Show>
Result await_on_thread_of(QObject* context, Show show) {
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> answer = promise->get_future();
    QMetaObject::invokeMethod(
        context,
        [promise, show] {
            // Whichever of the box's ends comes first answers; the rest find it answered.
            auto answered = std::make_shared<bool>(false);
            show([promise, answered](Result result) {
                if (std::exchange(*answered, true)) return;
                promise->set_value(result);
            });
        },
        Qt::QueuedConnection);
    return answer.get();
}

QMessageBox* make_message_box(const QString& text, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromUtf8("信息："), text,
                                QMessageBox::Ok, parent);
    box->setObjectName(QString::fromUtf8(kMessageBoxName));
    // A file name in a message may hold '<': never let it be read as markup.
    box->setTextFormat(Qt::PlainText);
    return box;
}

// Qt's own dialog confirms a name in a folder that does not exist; the save would then
// fail only later, in the export. Refuse it here, where the user can still choose again.
class ExistingPathDialog : public QFileDialog {
  public:
    using QFileDialog::QFileDialog;

  protected:
    void accept() override {
        const QStringList chosen = selectedFiles();
        if (acceptMode() == AcceptSave && !chosen.isEmpty() &&
            !QFileInfo(chosen.first()).absoluteDir().exists()) {
            QMessageBox::warning(
                this, windowTitle(),
                QString::fromUtf8("路径不存在：") +
                    QDir::toNativeSeparators(QFileInfo(chosen.first()).absolutePath()));
            return;
        }
        QFileDialog::accept();
    }
};

QFileDialog* make_file_dialog(QWidget& owner, const FileDialog& settings) {
    auto* dialog = new ExistingPathDialog(owner.window());
    dialog->setObjectName(QString::fromUtf8(kFileDialogName));
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setOption(QFileDialog::ReadOnly, false);
    dialog->setOption(QFileDialog::DontConfirmOverwrite, false);
    if (settings.form == DialogForm::open) {
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        dialog->setFileMode(QFileDialog::ExistingFile);
    } else {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
    }
    if (!settings.initial_directory.empty()) {
        dialog->setDirectory(QFile::decodeName(settings.initial_directory.c_str()));
    }
    if (!settings.file_name.empty())
        dialog->selectFile(QFile::decodeName(settings.file_name.c_str()));
    return dialog;
}

}  // namespace

void show_information(QWidget& window, const QString& text) {
    if (on_thread_of(&window)) {
        QMessageBox* box = make_message_box(text, &window);
        box->setWindowModality(Qt::WindowModal);
        box->exec();
        delete box;
        return;
    }
    QPointer<QWidget> owner(&window);
    await_on_thread_of<bool>(&window, [text, owner](auto done) {
        // No owner and no modality: the window stays usable while the box is up.
        QMessageBox* box = make_message_box(text, nullptr);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        QObject::connect(box, &QMessageBox::finished, [done] { done(true); });
        QObject::connect(box, &QObject::destroyed, [done] { done(true); });
        box->show();
    });
}

QtFileDialog::QtFileDialog(QWidget& owner) : owner_(owner) {}

bool QtFileDialog::show() {
    auto take_answer = [this](QFileDialog& dialog, int result) {
        const QStringList chosen = dialog.selectedFiles();
        if (result != QDialog::Accepted || chosen.isEmpty()) return false;
        file_name = QFile::encodeName(chosen.first()).toStdString();
        return true;
    };
    if (on_thread_of(&owner_)) {
        std::unique_ptr<QFileDialog> dialog(make_file_dialog(owner_, *this));
        const int result = dialog->exec();
        return take_answer(*dialog, result);
    }
    // The settings are read and the answer written by the window's thread while the
    // asking thread, the only other user of this object, waits.
    return await_on_thread_of<bool>(&owner_, [this, take_answer](auto done) {
        QFileDialog* dialog = make_file_dialog(owner_, *this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(dialog, &QFileDialog::finished, [dialog, done, take_answer](int result) {
            done(take_answer(*dialog, result));
        });
        QObject::connect(dialog, &QObject::destroyed, [done] { done(false); });
        dialog->open();
    });
}

QtWindowPort::QtWindowPort(MainWindow& window) : window_(window) {}

DataList& QtWindowPort::data_list() { return window_.data_list(); }

Text QtWindowPort::cap_text() {
    return run_on_thread_of(
        &window_, [this] { return gbk_from_utf8(window_.编辑框_线程数量->text().toStdString()); });
}

void QtWindowPort::set_button_enabled(Button button, bool enabled) {
    run_on_thread_of(&window_, [this, button, enabled] {
        if (QPushButton* target = window_.button(button)) target->setEnabled(enabled);
    });
}

int QtWindowPort::selected_service() {
    return run_on_thread_of(&window_, [this] { return window_.组合框_接口->currentIndex(); });
}

void QtWindowPort::set_selected_service(int index) {
    // setCurrentIndex raises no `activated`, so no selection event follows.
    run_on_thread_of(&window_, [this, index] { window_.组合框_接口->setCurrentIndex(index); });
}

void QtWindowPort::show_message(const Text& gbk_text) {
    show_information(window_, from_gbk(gbk_text));
}

FileDialog& QtWindowPort::file_dialog() { return window_.通用对话框_导入数据; }

}  // namespace zolt
