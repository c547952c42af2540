// Binds the window's events to their handlers.
#pragma once

namespace zolt {

class Engine;
class MainWindow;
class WindowPort;

// Buttons to the run control, import and export commands; a user's pick in 组合框_接口 to
// select_service. A selection set from code raises nothing.
void connect_commands(MainWindow& window, WindowPort& port, Engine& engine);

}  // namespace zolt
