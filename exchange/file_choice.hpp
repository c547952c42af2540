// The shared file dialog as import and export use it.
#pragma once

#include <optional>

#include "batch/window_port.hpp"

namespace zolt {

// Sets the dialog's form (and its initial directory when given), shows it and yields the
// confirmed path, or nothing when the user cancelled. Uses of the dialog by several import
// and export threads take turns instead of changing its settings under each other.
std::optional<Path> choose_file(FileDialog& dialog, DialogForm form,
                                const std::optional<Path>& initial_directory);

}  // namespace zolt
