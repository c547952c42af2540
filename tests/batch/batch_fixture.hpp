// Shared set-up of the batch tests: one engine over an in-memory window, talking to a local
// gateway whose answers, latency and flow each case scripts.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch/engine.hpp"
#include "core/services.hpp"
#include "tests/support/http_server.hpp"
#include "tests/support/memory_window.hpp"

namespace zolt::testing {

// The program's texts in GBK, written out as bytes so that a wrong conversion shows.
inline const Text kBusyHead = "\xD3\xC9\xCF\xDF\xB3\xCC\xA3\xBA";  // 由线程：
inline const Text kBusyTail = "\xD5\xFD\xD4\xDA\xB4\xA6\xC0\xED";  // 正在处理
inline const Text kDone = "\xB4\xA6\xC0\xED\xCD\xEA\xB3\xC9";      // 处理完成
inline const Text kAllDone =                                       // 所有任务处理完毕
    "\xCB\xF9\xD3\xD0\xC8\xCE\xCE\xF1\xB4\xA6\xC0\xED\xCD\xEA\xB1\xCF";
inline const Text kPaused =
    "\xCF\xDF\xB3\xCC\xD4\xDD\xCD\xA3\xB3\xC9\xB9\xA6\xA3\xA1";  // 线程暂停成功！
inline const Text kResumed =
    "\xCF\xDF\xB3\xCC\xBB\xD6\xB8\xB4\xB3\xC9\xB9\xA6\xA3\xA1";  // 线程恢复成功！
inline const Text kStopped =
    "\xCF\xDF\xB3\xCC\xCD\xA3\xD6\xB9\xB3\xC9\xB9\xA6\xA3\xA1";  // 线程停止成功！

// The gateway every test of the process talks to: the program reads its address once, so
// one server serves them all and each case rescripts it.
class Gateway {
  public:
    using Handler = HttpServer::Handler;

    static Gateway& instance() {
        static Gateway gateway;
        return gateway;
    }

    // Back to instant answers "S:" + the address, the valve open, the record empty.
    void reset() {
        open_valve();
        {
            std::lock_guard lock(mutex_);
            handler_ = echo;
            in_flight_ = 0;
            max_in_flight_ = 0;
        }
        server_.set_delay_ms(0);
        server_.clear_requests();
    }

    void set_handler(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    // While closed, every request is held before it is answered.
    void close_valve() {
        std::lock_guard lock(mutex_);
        valve_open_ = false;
    }
    void open_valve() {
        std::lock_guard lock(mutex_);
        valve_open_ = true;
        valve_changed_.notify_all();
    }

    // Most requests held or being answered at one time since the last reset.
    int max_in_flight() const {
        std::lock_guard lock(mutex_);
        return max_in_flight_;
    }

    HttpServer& server() { return server_; }

    // What follows the last '=' of a request target: the source address as sent.
    static std::string address_of(const RecordedRequest& request) {
        return request.target.substr(request.target.rfind('=') + 1);
    }
    static ScriptedReply echo(const RecordedRequest& request) {
        return ScriptedReply::text("S:" + address_of(request));
    }

  private:
    Gateway()
        : server_([this](const RecordedRequest& request) {
              Handler handler;
              {
                  std::unique_lock lock(mutex_);
                  ++in_flight_;
                  if (in_flight_ > max_in_flight_) max_in_flight_ = in_flight_;
                  valve_changed_.wait(lock, [this] { return valve_open_; });
                  handler = handler_;
              }
              ScriptedReply reply = handler(request);
              std::lock_guard lock(mutex_);
              --in_flight_;
              return reply;
          }) {
        setenv("ZOLT_GATEWAY", server_.host_port().c_str(), 1);
    }

    mutable std::mutex mutex_;
    std::condition_variable valve_changed_;
    bool valve_open_ = true;
    Handler handler_ = echo;
    int in_flight_ = 0;
    int max_in_flight_ = 0;
    HttpServer server_;
};

inline constexpr int kPollMs = 20;

class BatchTest : public ::testing::Test {
  protected:
    BatchTest() : gateway(Gateway::instance()) {
        gateway.reset();
        set_request_prefix(0);
    }
    // Requests held at the gateway would keep workers, and so the engine, from ending.
    ~BatchTest() override { gateway.open_valve(); }

    static bool eventually(const std::function<bool()>& condition, int timeout_ms = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // A few poll periods: long enough for a dispatcher that should not move to move.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(5 * kPollMs)); }

    void add_rows(int count) {
        std::vector<Text> sources;
        for (int i = 1; i <= count; ++i) sources.push_back(source_of(i));
        window.add_rows(sources);
    }
    static Text source_of(int row_number) {
        return "http://example.com/page/" + std::to_string(row_number);
    }

    Text cell(int row_number, int column) {
        return window.data_list().read_cell(row_number - 1, column);
    }

    bool all_workers_done() { return engine.state().active_workers.load() == 0; }

    // How many requests arrived for each source address.
    std::map<std::string, int> requests_per_address() {
        std::map<std::string, int> counts;
        for (const auto& request : gateway.server().requests()) {
            ++counts[Gateway::address_of(request)];
        }
        return counts;
    }

    // The handle a status "由线程：<n>正在处理" names, or -1 when it is not such a status.
    static long long busy_handle(const Text& status) {
        if (status.size() <= kBusyHead.size() + kBusyTail.size()) return -1;
        if (status.compare(0, kBusyHead.size(), kBusyHead) != 0) return -1;
        if (status.compare(status.size() - kBusyTail.size(), kBusyTail.size(), kBusyTail) != 0) {
            return -1;
        }
        const std::string digits =
            status.substr(kBusyHead.size(), status.size() - kBusyHead.size() - kBusyTail.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
        return std::stoll(digits);
    }

    int count_messages(const Text& text) {
        int n = 0;
        for (const Text& m : window.messages()) n += m == text ? 1 : 0;
        return n;
    }

    Gateway& gateway;
    MemoryWindow window;
    // Declared last: destroyed first, waiting for its threads while the window still exists.
    Engine engine{window, kPollMs};
};

}  // namespace zolt::testing
