// The run control buttons in the real window: which buttons each command leaves enabled,
// and the message each one shows on the window's thread.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/commands.hpp"
#include "app/main_window.hpp"
#include "app/qt_window_port.hpp"
#include "batch/engine.hpp"
#include "window_test_support.hpp"

namespace zolt {
namespace {

using testing::visible_top_level;

struct Step {
    const char* button;   // clicked
    const char* message;  // shown, or null for none
    bool start, pause, resume, stop;
};

class RunControlWindowTest : public testing::WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        // Rows to hand out but a cap of 0: every dispatcher stays in its wait, so none
        // finishes with a message of its own while the buttons are checked.
        window->data_list().append_row();
        window->findChild<QLineEdit*>(QString::fromUtf8("编辑框_线程数量"))->setText("0");
    }

    QPushButton* button(const char* name) const {
        return window->findChild<QPushButton*>(QString::fromUtf8(name));
    }

    // Clicks the button and returns the text of the message box it showed ("" for none).
    QString click(const char* name) {
        QString shown;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            QMessageBox* box = visible_top_level<QMessageBox>(QString::fromUtf8(kMessageBoxName));
            if (box == nullptr) return;
            shown = box->text();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        closer.start(5);
        QTest::mouseClick(button(name), Qt::LeftButton);
        return shown;
    }

    void run(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.button);
            const QString shown = click(step.button);
            EXPECT_EQ(shown, QString::fromUtf8(step.message ? step.message : ""));
            EXPECT_EQ(button("按钮_开始线程")->isEnabled(), step.start);
            EXPECT_EQ(button("按钮_暂停线程")->isEnabled(), step.pause);
            EXPECT_EQ(button("按钮_恢复线程")->isEnabled(), step.resume);
            EXPECT_EQ(button("按钮_停止线程")->isEnabled(), step.stop);
        }
    }
};

TEST_F(RunControlWindowTest, StartPauseResumeStopFollowTheButtonTable) {
    run({
        {"按钮_开始线程", nullptr, true, true, false, true},
        {"按钮_暂停线程", "线程暂停成功！", true, false, true, true},
        {"按钮_恢复线程", "线程恢复成功！", true, true, false, true},
        {"按钮_停止线程", "线程停止成功！", true, false, false, false},
        {"按钮_开始线程", nullptr, true, true, false, true},
    });
}

TEST_F(RunControlWindowTest, StartWhilePausedEnablesPauseResumeAndStop) {
    run({
        {"按钮_开始线程", nullptr, true, true, false, true},
        {"按钮_暂停线程", "线程暂停成功！", true, false, true, true},
        {"按钮_开始线程", nullptr, true, true, true, true},
        {"按钮_恢复线程", "线程恢复成功！", true, true, false, true},
    });
}

}  // namespace
}  // namespace zolt
