#include "platform/threads.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#ifdef __unix__
#include <pthread.h>
#endif

#ifdef __linux__
#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#endif

namespace zolt {

namespace {
std::atomic<ThreadHandle> next_handle{1};
std::atomic<int> injected_failures{0};
}  // namespace

#ifdef __unix__
namespace {
// 1 MiB, what a thread gets by default on Windows. Linux's 8 MiB
// default makes glibc map and unmap a fresh stack for nearly every short-lived worker once
// dozens run at once, which costs more CPU than the worker's whole request.
constexpr std::size_t kStackBytes = std::size_t{1} << 20;

void* run_routine(void* argument) {
    std::unique_ptr<std::function<void()>> routine(static_cast<std::function<void()>*>(argument));
    (*routine)();
    return nullptr;
}
}  // namespace
#endif

ThreadHandle start_thread(std::function<void()> routine) {
    int pending = injected_failures.load();
    while (pending > 0) {
        if (injected_failures.compare_exchange_weak(pending, pending - 1)) return 0;
    }
#ifdef __unix__
    auto owned = std::make_unique<std::function<void()>>(std::move(routine));
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    pthread_attr_setstacksize(&attributes, kStackBytes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int failed = pthread_create(&thread, &attributes, run_routine, owned.get());
    pthread_attr_destroy(&attributes);
    if (failed != 0) return 0;
    owned.release();  // the thread owns it now
#else
    try {
        std::thread thread(std::move(routine));
        thread.detach();
    } catch (const std::system_error&) {
        return 0;
    }
#endif
    return next_handle.fetch_add(1);
}

bool bind_process_to_first_cpu() {
#ifdef __linux__
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    int first = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            first = cpu;
            break;
        }
    }
    if (first < 0) return false;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(first, &only);
    // Linux binds threads, not processes: apply the mask to every existing thread so that
    // whatever any of them starts later inherits it.
    bool all = true;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return sched_setaffinity(0, sizeof only, &only) == 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const pid_t tid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (sched_setaffinity(tid, sizeof only, &only) != 0) all = false;
    }
    closedir(tasks);
    return all;
#else
    return false;
#endif
}

void sleep_ms(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace testing_hooks {
void fail_next_thread_starts(int n) { injected_failures.store(n); }
}  // namespace testing_hooks

}  // namespace zolt
