#include "gateway/upstream.hpp"

#include <curl/curl.h>

#include <utility>

#include <deque>

#include "gateway/address.hpp"

namespace zolt::gateway {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool valid_key(std::string_view key) {
    if (key.empty() || key.size() > 32) return false;
    for (const char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string host_key(std::string_view url) {
    const std::optional<Origin> origin = origin_of(url);
    if (!origin) return std::string(url);
    return origin->scheme + "://" + origin->host + ":" + std::to_string(origin->port);
}

}  // namespace

UpstreamTable built_in_upstreams() {
    return {
        {"isgd", "https://is.gd/create.php?format=simple&url={url}"},
        {"tinyurl", "https://tinyurl.com/api-create.php?url={url}"},
    };
}

bool apply_upstream_config(std::string_view text, UpstreamTable& table, std::string& error) {
    int line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = trim(line);
        if (line.empty() || line.front() == '#') continue;
        const std::size_t eq = line.find('=');
        const std::string where = "line " + std::to_string(line_number) + ": ";
        if (eq == std::string_view::npos) {
            error = where + "expected \"key = template\"";
            return false;
        }
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (!valid_key(key)) {
            error = where + "a key is 1 to 32 letters, digits, \"_\" or \"-\"";
            return false;
        }
        if (value.empty()) {
            table.erase(std::string(key));
            continue;
        }
        if (!origin_of(value)) {
            error = where + "a template is an http:// or https:// address with a host";
            return false;
        }
        table[std::string(key)] = std::string(value);
    }
    return true;
}

std::string upstream_request(std::string_view template_text, std::string_view long_address) {
    const std::string escaped = escape_component(long_address);
    std::string url(template_text);
    if (const std::size_t at = url.find("{url}"); at != std::string::npos) {
        url.replace(at, 5, escaped);
    } else {
        url += escaped;
    }
    return url;
}

struct UpstreamClient::Job {
    std::string url;
    std::string host;
    std::function<void(UpstreamReply)> done;
    CURL* easy = nullptr;
    std::string body;
    bool too_large = false;
    std::size_t max_body = 0;

    ~Job() {
        if (easy != nullptr) curl_easy_cleanup(easy);
    }
    void finish(UpstreamReply reply) {
        if (done) std::exchange(done, nullptr)(std::move(reply));
    }
};

struct UpstreamClient::Host {
    int in_flight = 0;
    std::deque<std::unique_ptr<Job>> waiting;
};

UpstreamClient::UpstreamClient(UpstreamOptions options) : options_(options) {
    static const bool initialised = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == 0; }();
    (void)initialised;
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { run(); });
}

UpstreamClient::~UpstreamClient() {
    stop();
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void UpstreamClient::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
    if (thread_.joinable()) thread_.join();
}

void UpstreamClient::fetch(std::string url, std::function<void(UpstreamReply)> done) {
    auto job = std::make_unique<Job>();
    job->host = host_key(url);
    job->url = std::move(url);
    job->done = std::move(done);
    job->max_body = options_.max_body;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            incoming_.push_back(std::move(job));
            job = nullptr;
        }
    }
    if (job) {
        job->finish(UpstreamReply{});
        return;
    }
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void UpstreamClient::run() {
    CURLM* multi = static_cast<CURLM*>(multi_);
    std::map<std::string, Host> hosts;
    std::map<CURL*, std::unique_ptr<Job>> active;

    auto write_cb =
        +[](char* data, std::size_t size, std::size_t count, void* user) -> std::size_t {
        auto* job = static_cast<Job*>(user);
        const std::size_t n = size * count;
        if (job->body.size() + n > job->max_body) {
            job->too_large = true;
            return 0;  // aborts the transfer
        }
        job->body.append(data, n);
        return n;
    };

    auto start = [&](std::unique_ptr<Job> job) {
        job->easy = curl_easy_init();
        CURL* easy = job->easy;
        if (easy == nullptr) {
            --hosts[job->host].in_flight;
            job->finish(UpstreamReply{});
            return;
        }
        curl_easy_setopt(easy, CURLOPT_URL, job->url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        // No proxy from the environment: only the configured hosts are ever contacted.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeout.count()));
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "zolt-gateway");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_cb);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, job.get());
        curl_multi_add_handle(multi, easy);
        active.emplace(easy, std::move(job));
    };

    auto start_waiting = [&] {
        for (auto& [name, host] : hosts) {
            while (host.in_flight < options_.per_host && !host.waiting.empty()) {
                std::unique_ptr<Job> job = std::move(host.waiting.front());
                host.waiting.pop_front();
                ++host.in_flight;
                start(std::move(job));
            }
        }
    };

    for (;;) {
        std::vector<std::unique_ptr<Job>> arrived;
        bool stopping = false;
        {
            std::lock_guard lock(mutex_);
            arrived.swap(incoming_);
            stopping = stopping_;
        }
        if (stopping) {
            for (auto& job : arrived) job->finish(UpstreamReply{});
            break;
        }
        for (auto& job : arrived) {
            Host& host = hosts[job->host];
            if (host.waiting.size() >= options_.max_waiting_per_host) {
                UpstreamReply reply;
                reply.outcome = UpstreamReply::Outcome::busy;
                job->finish(std::move(reply));
                continue;
            }
            host.waiting.push_back(std::move(job));
        }
        start_waiting();

        int running = 0;
        curl_multi_perform(multi, &running);
        bool finished_any = false;
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            const CURLcode result = msg->data.result;
            auto it = active.find(easy);
            curl_multi_remove_handle(multi, easy);
            if (it == active.end()) continue;
            std::unique_ptr<Job> job = std::move(it->second);
            active.erase(it);
            --hosts[job->host].in_flight;
            UpstreamReply reply;
            if (result == CURLE_OK) {
                curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
                reply.outcome = UpstreamReply::Outcome::answered;
                reply.body = std::move(job->body);
            } else if (job->too_large) {
                reply.outcome = UpstreamReply::Outcome::too_large;
            } else if (result == CURLE_OPERATION_TIMEDOUT) {
                reply.outcome = UpstreamReply::Outcome::timed_out;
            }
            job->finish(std::move(reply));
            finished_any = true;
        }
        if (finished_any) continue;  // freed slots may start waiting jobs at once
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }

    for (auto& [easy, job] : active) {
        curl_multi_remove_handle(multi, easy);
        job->finish(UpstreamReply{});
    }
    for (auto& [name, host] : hosts) {
        for (auto& job : host.waiting) job->finish(UpstreamReply{});
    }
}

}  // namespace zolt::gateway
