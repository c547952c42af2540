// The public short-link services behind /api/dwzapi.php: a table of request templates by
// service key, and a client that calls them with per-host limits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zolt::gateway {

// Key -> template. The escaped long address replaces "{url}" in a template, or is appended
// when the template has none.
using UpstreamTable = std::map<std::string, std::string, std::less<>>;

// The services that answer a plain-text link through a public API.
UpstreamTable built_in_upstreams();

// Applies a configuration text to `table`: one "key = template" per line, "#" starts a
// comment, an empty template removes the key. On a bad line returns false and a reason.
bool apply_upstream_config(std::string_view text, UpstreamTable& table, std::string& error);

// The request address for `long_address` through `template_text`.
std::string upstream_request(std::string_view template_text, std::string_view long_address);

struct UpstreamReply {
    enum class Outcome { answered, failed, timed_out, too_large, busy };
    Outcome outcome = Outcome::failed;
    long status = 0;   // HTTP status when an answer came
    std::string body;  // at most the size cap
};

struct UpstreamOptions {
    std::chrono::milliseconds timeout{10000};
    std::size_t max_body = 64 * 1024;
    int per_host = 5;
    std::size_t max_waiting_per_host = 2000;
};

// Runs every transfer on one thread of its own (libcurl's multi interface). At most
// `per_host` transfers are in flight per host; the rest wait their turn in order.
class UpstreamClient {
  public:
    explicit UpstreamClient(UpstreamOptions options = {});
    ~UpstreamClient();
    UpstreamClient(const UpstreamClient&) = delete;
    UpstreamClient& operator=(const UpstreamClient&) = delete;

    // `done` runs on the client's thread: it must only hand the reply over.
    void fetch(std::string url, std::function<void(UpstreamReply)> done);

    // Ends every transfer (their callers get `failed`) and the thread.
    void stop();

  private:
    struct Job;
    struct Host;
    void run();

    UpstreamOptions options_;
    void* multi_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Job>> incoming_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace zolt::gateway
