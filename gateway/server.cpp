#include "gateway/server.hpp"

// Boost 1.74 uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "gateway/address.hpp"
#include "gateway/code.hpp"

namespace zolt::gateway {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// Room for a full head plus whatever a pipelining client sent after it.
constexpr std::size_t kReadBufferBytes = 64 * 1024;
constexpr std::size_t kMaxQuotedUpstreamText = 200;

class AccessLog {
  public:
    explicit AccessLog(std::FILE* file) : file_(file) {}

    void write(const std::string& remote, std::string_view request_line, unsigned status,
               std::size_t bytes) {
        if (file_ == nullptr) return;
        char when[64];
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S +0000", &utc);
        std::string line;
        line.reserve(remote.size() + request_line.size() + 64);
        line += remote;
        line += " - - [";
        line += when;
        line += "] \"";
        // Escaped so a crafted target cannot forge a line or a field.
        for (const char c : request_line) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20 || b >= 0x7F || c == '"' || c == '\\') {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", b);
                line += hex;
            } else {
                line += c;
            }
        }
        line += "\" ";
        line += std::to_string(status);
        line += ' ';
        line += bytes == 0 ? std::string("-") : std::to_string(bytes);
        line += '\n';
        std::lock_guard lock(mutex_);
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }

  private:
    std::FILE* file_;
    std::mutex mutex_;
};

bool printable_ascii(std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F) return false;
    }
    return true;
}

std::string_view trim_space(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

struct Server::Impl {
    ServerOptions options;
    LinkStore& store;
    UpstreamClient& upstream;
    UpstreamTable upstreams;
    Origin self;
    AccessLog log;

    std::vector<std::unique_ptr<net::io_context>> contexts;
    std::vector<net::executor_work_guard<net::io_context::executor_type>> guards;
    std::optional<tcp::acceptor> acceptor;
    std::optional<net::steady_timer> accept_retry;
    std::optional<net::signal_set> signals;
    std::atomic<std::size_t> next_context{0};
    std::uint16_t bound_port = 0;

    Impl(ServerOptions o, LinkStore& s, UpstreamClient& u, UpstreamTable t)
        : options(std::move(o)),
          store(s),
          upstream(u),
          upstreams(std::move(t)),
          log(options.access_log) {
        int threads = options.threads;
        if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
        if (threads <= 0) threads = 1;
        for (int i = 0; i < threads; ++i) {
            contexts.push_back(std::make_unique<net::io_context>(1));
            guards.push_back(net::make_work_guard(*contexts.back()));
        }
    }

    void accept();
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, Server::Impl& server)
        : stream_(std::move(socket)), server_(server), buffer_(kReadBufferBytes) {
        beast::error_code ec;
        const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
        remote_ = ec ? std::string("-") : peer.address().to_string();
        stream_.socket().set_option(tcp::no_delay(true), ec);
    }

    void start() { read_head(); }
    net::any_io_executor executor() { return stream_.get_executor(); }

  private:
    using Response = http::response<http::string_body>;

    void wait_for_request() {
        if (buffer_.size() > 0) {
            read_head();
            return;
        }
        // An idle keep-alive connection gets the long deadline; once its next request
        // starts, the head must be complete within the short one.
        stream_.expires_after(server_.options.idle_timeout);
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                    if (ec) return self->close();
                                    self->buffer_.commit(n);
                                    self->read_head();
                                });
    }

    void read_head() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.options.max_head_bytes));
        stream_.expires_after(server_.options.head_timeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_head(ec); });
    }

    void on_head(beast::error_code ec) {
        request_line_ = "-";
        version_ = 11;
        head_only_ = false;
        keep_alive_ = false;
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::eof || ec == net::error::connection_reset ||
            ec == net::error::operation_aborted) {
            return close();
        }
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            return reply(http::status::request_header_fields_too_large,
                         "error: the request head is larger than 16 KiB");
        }
        if (ec) return reply(http::status::bad_request, "error: malformed request");

        const auto& req = parser_->get();
        version_ = req.version();
        request_line_ = std::string(req.method_string()) + " " + std::string(req.target()) +
                        (version_ == 10 ? " HTTP/1.0" : " HTTP/1.1");
        if (req.method() != http::verb::get && req.method() != http::verb::head) {
            extra_allow_ = true;
            return reply(http::status::method_not_allowed,
                         "error: only GET and HEAD are answered here");
        }
        const auto lengths = req.count(http::field::content_length);
        const auto encodings = req.count(http::field::transfer_encoding);
        const bool listed_length =
            lengths == 1 && req[http::field::content_length].find(',') != beast::string_view::npos;
        // Framing that two servers could read differently is how requests get smuggled.
        if (lengths > 1 || listed_length || (lengths > 0 && encodings > 0)) {
            return reply(http::status::bad_request, "error: conflicting request framing");
        }
        if (encodings > 0 || (parser_->content_length() && *parser_->content_length() > 0)) {
            return reply(http::status::bad_request, "error: a request body is not accepted");
        }
        head_only_ = req.method() == http::verb::head;
        keep_alive_ = req.keep_alive();
        route(std::string(req.target()));
    }

    void route(const std::string& target) {
        const std::size_t mark = target.find('?');
        const std::string_view path = std::string_view(target).substr(0, mark);
        const std::string_view query = mark == std::string::npos
                                           ? std::string_view()
                                           : std::string_view(target).substr(mark + 1);

        if (path == "/_app.php") return shorten(query);
        if (path == "/api/dwzapi.php") return forward(query);
        if (path.size() > 1 && looks_like_code(path.substr(1))) {
            if (std::optional<std::string> address = server_.store.find_address(path.substr(1))) {
                return reply(http::status::found, "", *address);
            }
            return reply(http::status::not_found, "error: no such short link");
        }
        reply(http::status::not_found, "error: not found");
    }

    void shorten(std::string_view query) {
        const std::optional<std::string_view> raw = raw_param_rest(query, "url");
        if (!raw) return reply(http::status::bad_request, "error: the url parameter is missing");
        AddressCheck check = check_address(*raw, server_.self);
        if (!check.error.empty()) return reply(http::status::bad_request, check.error);
        if (std::optional<std::string> code = server_.store.find_code(check.address)) {
            return reply(http::status::ok, server_.options.public_base + "/" + *code);
        }
        server_.store.create(
            std::move(check.address), [self = shared_from_this()](std::string code) {
                net::post(self->stream_.get_executor(),
                          [self, code = std::move(code)] { self->on_created(code); });
            });
    }

    void on_created(const std::string& code) {
        if (code.empty()) {
            return reply(http::status::service_unavailable,
                         "error: the link could not be stored, try again");
        }
        reply(http::status::ok, server_.options.public_base + "/" + code);
    }

    void forward(std::string_view query) {
        const std::optional<std::string_view> raw = raw_param_rest(query, "long");
        // "by" counts only before "long=": everything after that belongs to the address.
        const std::string_view before =
            raw ? query.substr(0, static_cast<std::size_t>(raw->data() - query.data())) : query;
        const std::optional<std::string_view> key = param_value(before, "by");
        if (!key || key->empty()) {
            return reply(http::status::bad_request, "error: the by parameter is missing");
        }
        if (!raw) return reply(http::status::bad_request, "error: the long parameter is missing");
        service_ = std::string(*key);
        const auto found = server_.upstreams.find(service_);
        if (found == server_.upstreams.end()) {
            return reply(http::status::not_implemented,
                         "error: no short-link service is configured for \"" +
                             escape_unsafe(service_) + "\"");
        }
        AddressCheck check = check_address(*raw, server_.self);
        if (!check.error.empty()) return reply(http::status::bad_request, check.error);
        server_.upstream.fetch(upstream_request(found->second, check.address),
                               [self = shared_from_this()](UpstreamReply answer) {
                                   net::post(self->stream_.get_executor(),
                                             [self, answer = std::move(answer)]() mutable {
                                                 self->on_upstream(std::move(answer));
                                             });
                               });
    }

    void on_upstream(UpstreamReply answer) {
        using Outcome = UpstreamReply::Outcome;
        const std::string name = escape_unsafe(service_);
        switch (answer.outcome) {
            case Outcome::timed_out:
                return reply(http::status::gateway_timeout,
                             "error: " + name + " did not answer in time");
            case Outcome::too_large:
                return reply(http::status::bad_gateway,
                             "error: " + name + " sent an answer larger than 64 KiB");
            case Outcome::busy:
                return reply(http::status::service_unavailable,
                             "error: too many requests are waiting for " + name);
            case Outcome::failed:
                return reply(http::status::bad_gateway, "error: " + name + " could not be reached");
            case Outcome::answered:
                break;
        }
        const std::string_view text = trim_space(answer.body);
        // Only a plain http(s) address counts as a link: never pass on markup or noise.
        if (answer.status == 200 && text.size() <= kMaxAddressBytes && printable_ascii(text) &&
            text.find(' ') == std::string_view::npos && origin_of(text)) {
            return reply(http::status::ok, std::string(text));
        }
        std::string message =
            "error: " + name + " gave no short link (HTTP " + std::to_string(answer.status) + ")";
        if (!text.empty() && text.size() <= kMaxQuotedUpstreamText && printable_ascii(text)) {
            message += ": ";
            message += text;
        }
        reply(http::status::bad_gateway, message);
    }

    void reply(http::status status, std::string body, const std::string& location = {}) {
        const bool closing = !keep_alive_;
        response_ = Response(status, version_);
        response_.set(http::field::server, "zolt-gateway");
        response_.set(http::field::content_type, "text/plain; charset=utf-8");
        if (!location.empty()) response_.set(http::field::location, location);
        if (extra_allow_) response_.set(http::field::allow, "GET, HEAD");
        response_.keep_alive(!closing);
        const std::size_t length = body.size();
        response_.body() = std::move(body);
        response_.prepare_payload();
        if (head_only_) response_.body().clear();  // Content-Length still tells the size
        server_.log.write(remote_, request_line_, static_cast<unsigned>(status),
                          head_only_ ? 0 : length);
        extra_allow_ = false;
        stream_.expires_after(server_.options.idle_timeout);
        http::async_write(stream_, response_,
                          [self = shared_from_this(), closing](beast::error_code ec, std::size_t) {
                              if (ec || closing) return self->close();
                              self->wait_for_request();
                          });
    }

    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.close();
    }

    beast::tcp_stream stream_;
    Server::Impl& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    Response response_;
    std::string remote_;
    std::string request_line_;
    std::string service_;
    unsigned version_ = 11;
    bool head_only_ = false;
    bool keep_alive_ = false;
    bool extra_allow_ = false;
};

}  // namespace

void Server::Impl::accept() {
    net::io_context& target = *contexts[next_context++ % contexts.size()];
    acceptor->async_accept(target, [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
        if (ec) {
            // Out of descriptors and the like: back off instead of spinning on the error.
            accept_retry->expires_after(std::chrono::milliseconds(50));
            accept_retry->async_wait([this](beast::error_code wait_ec) {
                if (!wait_ec) accept();
            });
            return;
        }
        auto session = std::make_shared<Session>(std::move(socket), *this);
        net::dispatch(session->executor(), [session] { session->start(); });
        accept();
    });
}

Server::Server(ServerOptions options, LinkStore& store, UpstreamClient& upstream,
               UpstreamTable upstreams)
    : impl_(std::make_unique<Impl>(std::move(options), store, upstream, std::move(upstreams))) {}

Server::~Server() { stop(); }

bool Server::listen(std::string& error) {
    Impl& s = *impl_;
    const std::string where = s.options.listen_host + ":" + std::to_string(s.options.listen_port);
    beast::error_code ec;
    tcp::resolver resolver(*s.contexts[0]);
    const auto endpoints =
        resolver.resolve(s.options.listen_host, std::to_string(s.options.listen_port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || endpoints.empty()) {
        error = "cannot listen on " + where + ": " + (ec ? ec.message() : "no such address");
        return false;
    }
    const tcp::endpoint endpoint = endpoints.begin()->endpoint();
    s.acceptor.emplace(*s.contexts[0]);
    s.acceptor->open(endpoint.protocol(), ec);
    if (!ec) s.acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) s.acceptor->bind(endpoint, ec);
    if (!ec) s.acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + where + ": " + ec.message();
        s.acceptor.reset();
        return false;
    }
    s.bound_port = s.acceptor->local_endpoint(ec).port();
    if (s.options.public_base.empty()) {
        s.options.public_base =
            "http://" + s.options.listen_host + ":" + std::to_string(s.bound_port);
    }
    const std::optional<Origin> self = origin_of(s.options.public_base);
    if (!self) {
        error = "the public base \"" + s.options.public_base + "\" is not an http(s) address";
        s.acceptor.reset();
        return false;
    }
    s.self = *self;
    s.accept_retry.emplace(*s.contexts[0]);
    return true;
}

std::uint16_t Server::port() const { return impl_->bound_port; }

void Server::run() {
    Impl& s = *impl_;
    if (!s.acceptor) return;
    if (s.options.stop_on_signals) {
        s.signals.emplace(*s.contexts[0], SIGINT, SIGTERM);
        s.signals->async_wait([this](beast::error_code ec, int) {
            if (!ec) stop();
        });
    }
    s.accept();
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < s.contexts.size(); ++i) {
        helpers.emplace_back([context = s.contexts[i].get()] { context->run(); });
    }
    s.contexts[0]->run();
    for (auto& t : helpers) t.join();
}

void Server::stop() {
    // io_context::stop is safe from any thread; the acceptor closes with the server.
    for (auto& context : impl_->contexts) context->stop();
}

}  // namespace zolt::gateway
