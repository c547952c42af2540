// Threads as the engine sees them: started detached, never joined, each named by a handle
// number that is unique for the life of the process.
#pragma once

#include <cstdint>
#include <functional>

namespace zolt {

using ThreadHandle = std::int64_t;

// Starts routine on a new detached thread with the default stack size. Returns its handle,
// or 0 when the thread could not be started (the routine then never runs).
ThreadHandle start_thread(std::function<void()> routine);

// Restricts the whole process to the first processor it may use: every thread that exists
// now, and so every thread started later, which inherits its creator's mask.
// Returns false when the platform refused.
bool bind_process_to_first_cpu();

void sleep_ms(int milliseconds);

namespace testing_hooks {
// The next n calls of start_thread fail as if the system had no resources left.
void fail_next_thread_starts(int n);
}  // namespace testing_hooks

}  // namespace zolt
