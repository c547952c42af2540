// A stand-in for a public short-link service: answers each request as the test's handler
// says, after an optional delay, and records what it was asked and how many requests it
// served at once.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zolt::gateway::testing {

struct FakeAnswer {
    FakeAnswer(int status_ = 200, std::string body_ = {},
               std::chrono::milliseconds delay_ = std::chrono::milliseconds(0),
               std::string location_ = {})
        : status(status_), body(std::move(body_)), delay(delay_), location(std::move(location_)) {}

    int status;
    std::string body;
    std::chrono::milliseconds delay;
    std::string location;
};

class FakeUpstream {
  public:
    using Handler = std::function<FakeAnswer(const std::string& target)>;

    explicit FakeUpstream(Handler handler);
    ~FakeUpstream();

    unsigned short port() const;
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port()); }
    std::vector<std::string> targets() const;
    int max_in_flight() const { return max_in_flight_.load(); }
    int hits() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::atomic<int> max_in_flight_{0};
};

}  // namespace zolt::gateway::testing
