#include "exchange/file_choice.hpp"

#include <mutex>

namespace zolt {

namespace {
// The window has one dialog; its settings are plain strings that two threads must not
// write at once. Only engine threads take this lock, never the window's thread.
std::mutex dialog_turn;
}  // namespace

std::optional<Path> choose_file(FileDialog& dialog, DialogForm form,
                                const std::optional<Path>& initial_directory) {
    std::lock_guard turn(dialog_turn);
    if (initial_directory) dialog.initial_directory = *initial_directory;
    dialog.form = form;
    if (!dialog.show()) return std::nullopt;
    return dialog.file_name;
}

}  // namespace zolt
