#include <QApplication>
#include <cstdlib>

#include "app/commands.hpp"
#include "app/main_window.hpp"
#include "app/qt_window_port.hpp"
#include "batch/engine.hpp"

int main(int argc, char** argv) {
    QApplication application(argc, argv);

    // The window, its port and the engine live as long as the process: threads may still
    // be using them when the window closes, so they are never destroyed.
    auto* window = new zolt::MainWindow;
    auto* port = new zolt::QtWindowPort(*window);
    auto* engine = new zolt::Engine(*port);
    zolt::connect_commands(*window, *port, *engine);
    // A message box an engine thread still shows is a window of its own; it must not keep
    // the program alive once the main window is gone.
    QObject::connect(window, &zolt::MainWindow::closed, &application, &QApplication::quit);

    window->show();
    window->run_created_steps();

    QApplication::exec();
    // Closing the window ends the program at once, whatever threads still run: no static
    // destructor may run under them.
    std::_Exit(0);
}
