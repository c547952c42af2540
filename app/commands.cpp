#include "app/commands.hpp"

#include <QComboBox>
#include <QPushButton>

#include "app/main_window.hpp"
#include "batch/engine.hpp"
#include "exchange/exchange.hpp"

namespace zolt {

void connect_commands(MainWindow& window, WindowPort& port, Engine& engine) {
    Engine* const run = &engine;
    WindowPort* const exchange = &port;
    const auto on_click = [&window](QPushButton* button, auto handler) {
        QObject::connect(button, &QPushButton::clicked, &window, handler);
    };
    on_click(window.按钮_开始线程, [run] { start_command(*run); });
    on_click(window.按钮_暂停线程, [run] { pause_command(*run); });
    on_click(window.按钮_恢复线程, [run] { resume_command(*run); });
    on_click(window.按钮_停止线程, [run] { stop_command(*run); });
    on_click(window.按钮_导入数据, [exchange] { import_command(*exchange); });
    on_click(window.按钮_导出数据, [exchange] { export_command(*exchange); });
    // `activated`, not `currentIndexChanged`: only the user's pick is a selection event.
    QObject::connect(window.组合框_接口, &QComboBox::activated, &window,
                     [run](int index) { select_service(*run, index); });
}

}  // namespace zolt
