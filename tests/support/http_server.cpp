#include "tests/support/http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>

namespace zolt {

namespace {

constexpr std::size_t max_head = 1 << 20;

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The name of a "Name: value" line matches when it stands before the first colon.
std::optional<std::string_view> value_of(std::string_view line, std::string_view name) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos || !iequals(trim_spaces(line.substr(0, colon)), name))
        return std::nullopt;
    return trim_spaces(line.substr(colon + 1));
}

std::size_t parse_size(std::string_view digits) {
    std::size_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || n > (std::size_t(1) << 40)) return static_cast<std::size_t>(-1);
        n = n * 10 + std::size_t(c - '0');
    }
    return n;
}

void close_with_reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

int connect_to(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

bool write_fd(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(std::size_t(n));
    }
    return true;
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
    for (const auto& line : header_lines)
        if (auto v = value_of(line, name)) return std::string(*v);
    return {};
}

int RecordedRequest::header_count(std::string_view name) const {
    return int(std::count_if(header_lines.begin(), header_lines.end(),
                             [&](const std::string& l) { return value_of(l, name).has_value(); }));
}

ScriptedReply ScriptedReply::text(std::string body, std::vector<std::string> header_lines) {
    ScriptedReply r;
    r.body = std::move(body);
    r.header_lines = std::move(header_lines);
    return r;
}

ScriptedReply ScriptedReply::redirect(int status, std::string location) {
    ScriptedReply r;
    r.status = status;
    r.reason = "Redirect";
    r.header_lines.push_back("Location: " + location);
    return r;
}

// A certificate for 127.0.0.1 (name and address match), signed by its own key, so the only
// thing a verifying client can object to is that nobody vouches for it.
struct HttpServer::Tls {
    SSL_CTX* context = nullptr;
    std::string pem;

    Tls() {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        if (key && cert) {
            X509_set_version(cert, 2);
            ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
            X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
            X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
            X509_set_pubkey(cert, key);
            X509_NAME* name = X509_get_subject_name(cert);
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                                       0);
            X509_set_issuer_name(cert, name);
            X509V3_CTX v3;
            X509V3_set_ctx_nodb(&v3);
            X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
            if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name,
                                                          "IP:127.0.0.1,DNS:localhost")) {
                X509_add_ext(cert, ext, -1);
                X509_EXTENSION_free(ext);
            }
            X509_sign(cert, key, EVP_sha256());
            if (BIO* out = BIO_new(BIO_s_mem())) {
                PEM_write_bio_X509(out, cert);
                char* data = nullptr;
                long size = BIO_get_mem_data(out, &data);
                pem.assign(data, std::size_t(size));
                BIO_free(out);
            }
            context = SSL_CTX_new(TLS_server_method());
            if (context && (SSL_CTX_use_certificate(context, cert) != 1 ||
                            SSL_CTX_use_PrivateKey(context, key) != 1)) {
                SSL_CTX_free(context);
                context = nullptr;
            }
        }
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    ~Tls() { SSL_CTX_free(context); }
};

struct HttpServer::Connection {
    std::mutex fd_mutex;  // the destructor shuts the socket down while its thread may close it
    int fd = -1;
    SSL* ssl = nullptr;
    int number = 0;
    std::string pending;  // bytes read past the current request
    std::thread thread;
    std::atomic<bool> finished{false};

    long read_some(char* buffer, std::size_t size) {
        if (ssl) {
            int n = SSL_read(ssl, buffer, int(size));
            return n > 0 ? n : (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
        }
        for (;;) {
            ssize_t n = ::recv(fd, buffer, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return long(n);
        }
    }

    bool write_all(std::string_view data) {
        if (!ssl) return write_fd(fd, data);
        while (!data.empty()) {
            int n = SSL_write(ssl, data.data(), int(std::min<std::size_t>(data.size(), 1 << 20)));
            if (n <= 0) return false;
            data.remove_prefix(std::size_t(n));
        }
        return true;
    }

    void finish(bool reset) {
        std::lock_guard lock(fd_mutex);
        if (ssl) {
            if (!reset) SSL_shutdown(ssl);
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd >= 0) {
            if (reset)
                close_with_reset(fd);
            else
                ::close(fd);
            fd = -1;
        }
    }

    void shut_down() {
        std::lock_guard lock(fd_mutex);
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
};

HttpServer::HttpServer(Handler handler) : HttpServer(std::move(handler), Options{}) {}

HttpServer::HttpServer(Handler handler, Options options)
    : options_(options), handler_(std::move(handler)) {
    // A client that hangs up mid-answer must not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
    if (options_.tls) {
        tls_ = std::make_unique<Tls>();
        if (!tls_->context) return;
    }
    if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) return;
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 4096) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

HttpServer::~HttpServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (wake_pipe_[1] >= 0) {
        char byte = 0;
        [[maybe_unused]] auto ignored = ::write(wake_pipe_[1], &byte, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard lock(mutex_);
        all.splice(all.end(), live_);
    }
    for (auto& c : all) c->shut_down();
    for (auto& c : all) {
        if (c->thread.joinable()) c->thread.join();
        c->finish(false);
    }
    if (listen_fd_ >= 0) ::close(listen_fd_);
    for (int fd : wake_pipe_)
        if (fd >= 0) ::close(fd);
}

std::string HttpServer::certificate_pem() const { return tls_ ? tls_->pem : std::string(); }

std::string HttpServer::host_port() const { return "127.0.0.1:" + std::to_string(port_); }

std::string HttpServer::url(std::string_view path) const {
    return std::string(options_.tls ? "https://" : "http://") + host_port() + std::string(path);
}

void HttpServer::set_handler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void HttpServer::set_delay_ms(int milliseconds) {
    std::lock_guard lock(mutex_);
    delay_ms_ = milliseconds;
}

std::vector<RecordedRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpServer::request_count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool HttpServer::wait_for_requests(std::size_t n, int timeout_ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return requests_.size() >= n; });
}

void HttpServer::clear_requests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool HttpServer::wait_ms(int milliseconds) {
    if (milliseconds <= 0) return !stopping_;
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                      [&] { return stopping_.load(); });
    return !stopping_;
}

void HttpServer::reap_finished() {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = live_.begin(); it != live_.end();) {
            auto next = std::next(it);
            if ((*it)->finished) done.splice(done.end(), live_, it);
            it = next;
        }
    }
    for (auto& c : done) c->thread.join();
}

void HttpServer::accept_loop() {
    pollfd watch[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    while (!stopping_) {
        if (::poll(watch, 2, 1000) < 0 && errno != EINTR) break;
        if (watch[1].revents) break;
        reap_finished();
        if (!(watch[0].revents & POLLIN)) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->number = ++connections_;
        Connection& c = *connection;
        {
            std::lock_guard lock(mutex_);
            live_.push_back(std::move(connection));
        }
        c.thread = std::thread([this, &c] {
            serve(c);
            c.finished = true;
        });
    }
}

void HttpServer::serve(Connection& c) {
    if (tls_) {
        c.ssl = SSL_new(tls_->context);
        if (!c.ssl || SSL_set_fd(c.ssl, c.fd) != 1 || SSL_accept(c.ssl) != 1) {
            c.finish(true);
            return;
        }
    }
    char buffer[16384];
    while (!stopping_) {
        std::size_t end;
        while ((end = c.pending.find("\r\n\r\n")) == std::string::npos) {
            if (c.pending.size() > max_head) return c.finish(true);
            long n = c.read_some(buffer, sizeof buffer);
            if (n <= 0) return c.finish(false);
            c.pending.append(buffer, std::size_t(n));
        }
        RecordedRequest request;
        request.connection = c.number;
        std::string_view head(c.pending.data(), end);
        auto line_end = head.find("\r\n");
        request.request_line = std::string(head.substr(0, line_end));
        for (std::size_t at = line_end; at != std::string_view::npos;) {
            auto next = head.find("\r\n", at + 2);
            request.header_lines.emplace_back(head.substr(at + 2, next - (at + 2)));
            at = next;
        }
        auto first_space = request.request_line.find(' ');
        auto last_space = request.request_line.rfind(' ');
        request.method = request.request_line.substr(0, first_space);
        if (first_space != std::string::npos && last_space > first_space) {
            request.target =
                request.request_line.substr(first_space + 1, last_space - first_space - 1);
            request.version = request.request_line.substr(last_space + 1);
        }
        c.pending.erase(0, end + 4);

        std::size_t body_size = 0;
        if (auto length = request.header("Content-Length"); !length.empty())
            body_size = parse_size(length);
        if (body_size > (std::size_t(1) << 30)) return c.finish(true);
        while (c.pending.size() < body_size) {
            long n = c.read_some(buffer, sizeof buffer);
            if (n <= 0) return c.finish(false);
            c.pending.append(buffer, std::size_t(n));
        }
        request.body = c.pending.substr(0, body_size);
        c.pending.erase(0, body_size);
        bool client_closes = iequals(request.header("Connection"), "close");

        Handler handler;
        int delay;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            handler = handler_;
            delay = delay_ms_;
        }
        changed_.notify_all();

        if (options_.forward_proxy) {
            proxy(c, request);
            return c.finish(false);
        }
        ScriptedReply reply = handler ? handler(request) : ScriptedReply{};
        if (!wait_ms(delay + reply.delay_ms)) return c.finish(false);
        if (!send_reply(c, reply) || client_closes) return;
    }
    c.finish(false);
}

// Writes the answer, then applies its ending. False when the connection is finished.
bool HttpServer::send_reply(Connection& c, const ScriptedReply& reply) {
    std::size_t budget = reply.cut_after;
    bool cut = false;
    auto put = [&](std::string_view bytes) {
        if (cut) return false;
        if (bytes.size() >= budget) {
            bytes = bytes.substr(0, budget);
            cut = true;
        }
        budget -= bytes.size();
        return c.write_all(bytes) && !cut;
    };
    auto body_out = [&] {
        if (reply.body.empty() || reply.body_repeat == 0) return true;
        // Large repeated bodies go out in blocks of about 16 KiB without being built whole.
        std::size_t per_block = std::max<std::size_t>(1, 16384 / reply.body.size());
        std::string block;
        for (std::size_t i = 0; i < std::min(per_block, reply.body_repeat); ++i)
            block += reply.body;
        for (std::size_t left = reply.body_repeat; left > 0;) {
            std::size_t take = std::min(per_block, left);
            std::string_view piece(block.data(), take * reply.body.size());
            left -= take;
            if (reply.chunked) {
                char size_line[32];
                std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
                if (!put(size_line) || !put(piece) || !put("\r\n")) return false;
            } else if (!put(piece)) {
                return false;
            }
        }
        return true;
    };

    bool complete;
    if (reply.raw) {
        complete = reply.raw->empty() || put(*reply.raw);
    } else {
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
        for (const auto& line : reply.header_lines) head += line + "\r\n";
        if (reply.chunked)
            head += "Transfer-Encoding: chunked\r\n";
        else if (reply.content_length)
            head +=
                "Content-Length: " + std::to_string(reply.body.size() * reply.body_repeat) + "\r\n";
        head += "\r\n";
        complete = put(head) && body_out() && (!reply.chunked || put("0\r\n\r\n"));
    }
    if (!complete && !cut) {
        c.finish(false);
        return false;
    }
    Ending ending = reply.ending;
    if (ending == Ending::keep_alive && !reply.raw && !reply.chunked && !reply.content_length)
        ending = Ending::close;
    switch (ending) {
        case Ending::keep_alive:
            return true;
        case Ending::close:
            c.finish(false);
            return false;
        case Ending::reset:
            c.finish(true);
            return false;
        case Ending::stall:
            hold_open(c);
            c.finish(false);
            return false;
    }
    return false;
}

void HttpServer::hold_open(Connection& c) {
    char buffer[4096];
    pollfd watch[2] = {{c.fd, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    while (!stopping_) {
        if (::poll(watch, 2, 1000) < 0 && errno != EINTR) return;
        if (watch[1].revents) return;
        if (watch[0].revents && c.read_some(buffer, sizeof buffer) <= 0) return;
    }
}

// Relays one absolute-form request to its origin and the origin's bytes back until the
// origin closes; a request it cannot relay gets 502.
void HttpServer::proxy(Connection& client, RecordedRequest& request) {
    std::string_view target = request.target;
    int upstream = -1;
    if (target.substr(0, 7) == "http://") {
        target.remove_prefix(7);
        auto slash = target.find('/');
        std::string_view authority = target.substr(0, slash);
        std::string path =
            slash == std::string_view::npos ? "/" : std::string(target.substr(slash));
        auto colon = authority.rfind(':');
        std::string host(authority.substr(0, colon));
        std::string port =
            colon == std::string_view::npos ? "80" : std::string(authority.substr(colon + 1));
        upstream = connect_to(host, port);
        if (upstream >= 0) {
            std::string out = request.method + " " + path + " " + request.version + "\r\n";
            for (const auto& line : request.header_lines) {
                if (value_of(line, "Proxy-Connection") || value_of(line, "Connection")) continue;
                out += line + "\r\n";
            }
            out += "Connection: close\r\n\r\n" + request.body;
            if (!write_fd(upstream, out)) {
                ::close(upstream);
                upstream = -1;
            }
        }
    }
    if (upstream < 0) {
        client.write_all("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    char buffer[16384];
    pollfd watch[2] = {{upstream, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    while (!stopping_) {
        if (::poll(watch, 2, 1000) < 0 && errno != EINTR) break;
        if (watch[1].revents) break;
        if (!watch[0].revents) continue;
        ssize_t n = ::recv(upstream, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !client.write_all(std::string_view(buffer, std::size_t(n)))) break;
    }
    ::close(upstream);
}

}  // namespace zolt
