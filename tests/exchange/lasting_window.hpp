// A window for tests that start detached import or export threads.
#pragma once

#include <deque>

#include "tests/support/memory_window.hpp"

namespace zolt::testing {

// Never destroyed, as the program's own window outlives every thread it starts: a thread
// may still be returning from show_message when the test has seen the message and ended.
inline MemoryWindow& lasting_window() {
    static auto* const windows = new std::deque<MemoryWindow>;
    return windows->emplace_back();
}

}  // namespace zolt::testing
