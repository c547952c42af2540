#include "platform/http_transport.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace zolt {

namespace {

constexpr int max_hops = 20;
constexpr std::size_t max_head_block = 64 * 1024;
constexpr std::size_t max_idle_handles = 1024;

std::atomic<int> connect_timeout_ms{60000};
std::atomic<int> idle_timeout_s{30};
std::mutex trusted_mutex;
std::string trusted_pem;

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool has_name(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (ascii_lower(line[i]) != ascii_lower(name[i])) return false;
    return true;
}

// Bytes that cannot stand in a request line; everything else goes out as built.
std::string encode_target(std::string_view target) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(target.size());
    for (unsigned char c : target) {
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

// A host name or an IPv4 address; anything else would change the meaning of the URL
// handed to libcurl, so it fails like a name that does not resolve.
bool plain_host(std::string_view host) {
    if (host.empty()) return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_';
    });
}

// The process-wide cookie store and DNS cache. Connections are never shared between
// threads: each pooled handle keeps its own.
class Shares {
  public:
    Shares() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        with_cookies_ = make(true);
        dns_only_ = make(false);
    }
    CURLSH* get(bool cookies) const { return cookies ? with_cookies_ : dns_only_; }

  private:
    CURLSH* make(bool cookies) {
        CURLSH* share = curl_share_init();
        if (!share) return nullptr;
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Shares::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Shares::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        if (cookies) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        return share;
    }
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Shares*>(self)->locks_[data % CURL_LOCK_DATA_LAST].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Shares*>(self)->locks_[data % CURL_LOCK_DATA_LAST].unlock();
    }

    std::mutex locks_[CURL_LOCK_DATA_LAST];
    CURLSH* with_cookies_ = nullptr;
    CURLSH* dns_only_ = nullptr;
};

struct Handle {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    bool cookie_store = false;
};

// Idle handles, one list per cookie mode: a handle that once read the cookie store cannot
// be made to forget it. Never destroyed, so threads still running at exit stay safe.
class Pool {
  public:
    static Pool& instance() {
        static Pool* pool = new Pool;
        return *pool;
    }

    Handle* take(bool cookie_store) {
        {
            std::lock_guard lock(mutex_);
            auto& idle = idle_[cookie_store];
            if (!idle.empty()) {
                Handle* h = idle.back();
                idle.pop_back();
                return h;
            }
        }
        auto* h = new Handle;
        h->cookie_store = cookie_store;
        h->easy = curl_easy_init();
        h->multi = curl_multi_init();
        if (!h->easy || !h->multi) {
            destroy(h);
            return nullptr;
        }
        curl_easy_setopt(h->easy, CURLOPT_SHARE, shares_.get(cookie_store));
        if (cookie_store) curl_easy_setopt(h->easy, CURLOPT_COOKIEFILE, "");
        return h;
    }

    void give_back(Handle* h) {
        {
            std::lock_guard lock(mutex_);
            auto& idle = idle_[h->cookie_store];
            if (idle.size() < max_idle_handles) {
                idle.push_back(h);
                return;
            }
        }
        destroy(h);
    }

  private:
    static void destroy(Handle* h) {
        if (h->multi) curl_multi_cleanup(h->multi);
        if (h->easy) curl_easy_cleanup(h->easy);
        delete h;
    }

    Shares shares_;
    std::mutex mutex_;
    std::vector<Handle*> idle_[2];
};

struct Hop {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string target;  // encoded, origin form
    std::string verb;
    bool with_body = false;
};

}  // namespace

struct HttpExchange::Impl {
    Handle* handle = nullptr;
    TransportRequest request;
    curl_slist* header_list = nullptr;

    // The response in flight.
    std::string head;
    bool head_complete = false;
    bool head_oversized = false;
    int status = 0;
    bool discard_body = false;
    std::size_t body_seen = 0;
    bool body_truncated = false;
    bool attached = false;
    bool done = false;
    CURLcode result = CURLE_OK;

    std::string pending;
    std::size_t pending_at = 0;
    bool have_response = false;

    ~Impl() {
        detach();
        curl_slist_free_all(header_list);
        if (handle) Pool::instance().give_back(handle);
    }

    void detach() {
        if (attached) curl_multi_remove_handle(handle->multi, handle->easy);
        attached = false;
    }

    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
        auto* me = static_cast<Impl*>(self);
        std::string_view line(data, size * count);
        std::size_t received = line.size();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.substr(0, 5) == "HTTP/") {
            // Each status line starts a new head: interim 1xx answers are left behind.
            me->head.clear();
            me->head_oversized = false;
            me->head_complete = false;
            auto space = line.find(' ');
            me->status = space == std::string_view::npos
                             ? 0
                             : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        } else if (line.empty()) {
            if (me->status >= 200) me->head_complete = true;
            return received;
        }
        if (me->head.size() + line.size() + 2 > max_head_block) {
            me->head_oversized = true;
        } else {
            me->head.append(line);
            me->head += "\r\n";
        }
        return received;
    }

    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
        auto* me = static_cast<Impl*>(self);
        std::size_t n = size * count;
        me->head_complete = true;
        // libcurl's own size limit does not stop a chunked body, so the bound is counted here.
        std::size_t room = max_body - std::min(max_body, me->body_seen);
        std::size_t keep = std::min(n, room);
        me->body_seen += keep;
        if (!me->discard_body) me->pending.append(data, keep);
        if (keep < n) {
            me->body_truncated = true;
            return 0;
        }
        return n;
    }

    template <class Ready>
    void pump(Ready ready) {
        while (!done && !ready()) {
            int running = 0;
            if (curl_multi_perform(handle->multi, &running) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                done = true;
                break;
            }
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(handle->multi, &left)) {
                if (msg->msg == CURLMSG_DONE) {
                    result = msg->data.result;
                    done = true;
                }
            }
            if (done || ready()) break;
            curl_multi_poll(handle->multi, nullptr, 0, 1000, nullptr);
        }
    }

    bool start(const Hop& hop) {
        CURL* e = handle->easy;
        head.clear();
        head_complete = head_oversized = false;
        status = 0;
        body_seen = 0;
        body_truncated = discard_body = done = false;
        result = CURLE_OK;
        pending.clear();
        pending_at = 0;

        int port = hop.port > 0 ? hop.port : (hop.tls ? 443 : 80);
        if (!plain_host(hop.host) || hop.port < 0 || port > 65535) return false;
        std::string base =
            std::string(hop.tls ? "https://" : "http://") + hop.host + ":" + std::to_string(port);
        bool proxied = request.proxy && !hop.tls;
        std::string target = hop.target;
        if (proxied) {
            // Through a proxy the request line carries the absolute address.
            // Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + string&&.
            target = "http://" + hop.host;
            if (port != 80) target.append(":").append(std::to_string(port));
            target += hop.target;
        }
        std::string proxy = proxied ? "http://" + std::string(*request.proxy) : std::string();
        if (proxied && request.proxy->empty()) return false;

        curl_easy_setopt(e, CURLOPT_URL, (base + "/").c_str());
        curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, target.c_str());
        curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());  // "" also ignores *_proxy variables
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, header_list);
        curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_UNIFIED);
        if (hop.with_body) {
            std::string_view body = request.body.value_or(std::string_view());
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST,
                             hop.verb == "POST" ? nullptr : hop.verb.c_str());
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST,
                             hop.verb == "GET" ? nullptr : hop.verb.c_str());
        }
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        {
            std::lock_guard lock(trusted_mutex);
            curl_blob blob{trusted_pem.data(), trusted_pem.size(), CURL_BLOB_COPY};
            curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, trusted_pem.empty() ? nullptr : &blob);
        }
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(connect_timeout_ms.load()));
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, long(idle_timeout_s.load()));
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::on_header);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::on_body);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
        // The agent only goes out when no header line names one, so never two.
        curl_easy_setopt(e, CURLOPT_USERAGENT, has_agent ? nullptr : agent.c_str());
        if (curl_multi_add_handle(handle->multi, e) != CURLM_OK) return false;
        attached = true;
        return true;
    }

    // Where a followed redirect leads, or nothing when it cannot be followed.
    std::optional<Hop> next_hop(const Hop& from) const {
        std::string location;
        for (std::size_t at = 0; at < head.size();) {
            auto end = head.find("\r\n", at);
            std::string_view line(head.data() + at, end - at);
            if (has_name(line, "Location")) {
                line.remove_prefix(9);
                while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
                    line.remove_prefix(1);
                while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
                    line.remove_suffix(1);
                location = std::string(line);
            }
            at = end + 2;
        }
        if (location.empty()) return std::nullopt;
        CURLU* url = curl_url();
        if (!url) return std::nullopt;
        std::string base = std::string(from.tls ? "https://" : "http://") + from.host + ":" +
                           std::to_string(from.port > 0 ? from.port : (from.tls ? 443 : 80)) +
                           from.target;
        const unsigned flags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;
        std::optional<Hop> hop;
        char* scheme = nullptr;
        char* host = nullptr;
        char* port = nullptr;
        char* path = nullptr;
        char* query = nullptr;
        if (curl_url_set(url, CURLUPART_URL, base.c_str(), flags) == CURLUE_OK &&
            curl_url_set(url, CURLUPART_URL, location.c_str(), flags) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_PATH, &path, 0) == CURLUE_OK) {
            std::string_view s(scheme);
            if (s == "http" || s == "https") {
                hop.emplace();
                hop->tls = s == "https";
                hop->host = host;
                hop->port = std::atoi(port);
                hop->target = path;
                if (curl_url_get(url, CURLUPART_QUERY, &query, 0) == CURLUE_OK)
                    hop->target += "?" + std::string(query);
                hop->target = encode_target(hop->target);
                // As browsers do: 307 and 308 repeat the request, the others turn into GET.
                bool repeat = status == 307 || status == 308;
                hop->verb = repeat ? from.verb : "GET";
                hop->with_body = repeat && from.with_body;
            }
        }
        for (char* part : {scheme, host, port, path, query}) curl_free(part);
        curl_url_cleanup(url);
        return hop;
    }

    bool has_agent = false;
    std::string agent;
};

HttpExchange::HttpExchange(bool cookie_store) : impl_(std::make_unique<Impl>()) {
    impl_->handle = Pool::instance().take(cookie_store);
}

HttpExchange::~HttpExchange() = default;

bool HttpExchange::ok() const { return impl_->handle != nullptr; }

bool HttpExchange::send(const TransportRequest& request) {
    Impl& m = *impl_;
    m.detach();
    m.have_response = false;
    if (!m.handle) return false;
    m.request = request;
    m.agent = std::string(request.agent);

    curl_slist_free_all(m.header_list);
    m.header_list = nullptr;
    bool has[4] = {};
    static constexpr std::string_view suppressed[] = {"Accept", "Content-Type", "Expect",
                                                      "Proxy-Connection"};
    m.has_agent = false;
    for (std::size_t at = 0; at <= request.header_text.size();) {
        auto end = request.header_text.find("\r\n", at);
        if (end == std::string_view::npos) end = request.header_text.size();
        std::string line(request.header_text.substr(at, end - at));
        at = end + 2;
        if (line.empty()) continue;
        m.has_agent = m.has_agent || has_name(line, "User-Agent");
        for (int i = 0; i < 4; ++i) has[i] = has[i] || has_name(line, suppressed[i]);
        // libcurl reads "Name:" with nothing after it as "drop Name"; "Name;" sends it empty.
        auto colon = line.find(':');
        if (colon != std::string::npos &&
            line.find_first_not_of(" \t", colon + 1) == std::string::npos) {
            line.resize(colon);
            line += ';';
        }
        m.header_list = curl_slist_append(m.header_list, line.c_str());
    }
    // Headers libcurl would otherwise add of its own accord.
    for (int i = 0; i < 4; ++i)
        if (!has[i])
            m.header_list =
                curl_slist_append(m.header_list, (std::string(suppressed[i]) + ":").c_str());

    Hop hop;
    hop.tls = request.tls;
    hop.host = std::string(request.host);
    hop.port = request.port;
    hop.target = encode_target(request.object);
    hop.verb = std::string(request.verb);
    hop.with_body = request.body.has_value();

    for (int hops = 0; hops <= max_hops; ++hops) {
        if (!m.start(hop)) return false;
        m.pump([&] { return m.head_complete; });
        if (!m.head_complete) return false;
        bool redirect = m.status == 301 || m.status == 302 || m.status == 303 || m.status == 307 ||
                        m.status == 308;
        if (!request.follow_redirects || !redirect) break;
        auto next = m.next_hop(hop);
        if (!next) break;
        m.discard_body = true;
        m.pump([] { return false; });
        if (m.result != CURLE_OK) return false;
        m.detach();
        hop = std::move(*next);
        if (hops == max_hops) return false;
    }
    m.have_response = true;
    return true;
}

int HttpExchange::read(char* buffer, int capacity) {
    Impl& m = *impl_;
    if (!m.have_response || capacity <= 0) return 0;
    while (m.pending_at == m.pending.size() && !m.done) {
        m.pending.clear();
        m.pending_at = 0;
        m.pump([&] { return !m.pending.empty(); });
    }
    std::size_t n = std::min(std::size_t(capacity), m.pending.size() - m.pending_at);
    std::memcpy(buffer, m.pending.data() + m.pending_at, n);
    m.pending_at += n;
    return int(n);
}

bool HttpExchange::query_raw_headers(std::string& out, int capacity) const {
    const Impl& m = *impl_;
    if (!m.have_response || m.head_oversized || capacity <= 0 ||
        m.head.size() > std::size_t(capacity) - 1)
        return false;
    out = m.head;
    return true;
}

namespace testing_hooks {

void set_transport_timeouts(int connect_ms, int idle_seconds) {
    connect_timeout_ms = connect_ms > 0 ? connect_ms : 60000;
    idle_timeout_s = idle_seconds > 0 ? idle_seconds : 30;
}

void trust_certificates(std::string pem) {
    std::lock_guard lock(trusted_mutex);
    trusted_pem = std::move(pem);
}

}  // namespace testing_hooks

}  // namespace zolt
