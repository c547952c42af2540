// A scripted HTTP/1.1 server on 127.0.0.1 for tests and benchmarks.
//
// It listens on an ephemeral port, records every request exactly as it arrived and answers
// each one with whatever the handler returns. One thread per connection, keep-alive, so
// hundreds of concurrent clients with per-answer latency are fine.
//
//     zolt::HttpServer server([](const zolt::RecordedRequest& r) {
//         return zolt::ScriptedReply::text("short link for " + r.target);
//     });
//     server.set_delay_ms(20);                       // every answer waits 20 ms
//     web_fetch(server.url("/_app.php?url=x"));
//     server.requests()[0].request_line;             // "GET /_app.php?url=x HTTP/1.1"
//
// Misbehaviour is scripted per answer: raw bytes instead of a well-formed answer, a cut
// after n bytes, then a close, a reset or a stall (the connection held open, silent).
// HttpServer::Options makes it a TLS endpoint (a fresh self-signed certificate that no
// store trusts) or a plain forward proxy that records and relays absolute-form requests.
// The destructor ends every connection, stalled ones included, and joins its threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zolt {

struct RecordedRequest {
    std::string request_line;  // without its CR LF
    std::string method;
    std::string target;  // as it stood in the request line
    std::string version;
    std::vector<std::string> header_lines;  // byte for byte, in order, without CR LF
    std::string body;
    int connection = 0;  // 1-based number of the connection it came on

    // Value of the first header line with that name (ASCII case ignored), trimmed of
    // spaces and tabs; empty when there is none.
    std::string header(std::string_view name) const;
    int header_count(std::string_view name) const;
};

// What the connection does once the answer (or its first cut_after bytes) is out.
enum class Ending {
    keep_alive,  // read the next request on the same connection
    close,       // orderly close
    reset,       // close with a TCP reset
    stall,       // keep the connection open and silent until the client gives up
};

struct ScriptedReply {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::string> header_lines;  // "Name: value", sent as written, in order
    std::string body;
    std::size_t body_repeat = 1;     // the body goes out this many times over
    bool chunked = false;            // Transfer-Encoding: chunked, 4 KiB chunks
    bool content_length = true;      // false: neither length nor chunks, the close ends the body
    std::optional<std::string> raw;  // sent as it stands instead of everything above
    int delay_ms = 0;                // wait before the first byte, on top of the server's
    std::size_t cut_after = static_cast<std::size_t>(-1);  // bytes sent before `ending`
    Ending ending = Ending::keep_alive;

    static ScriptedReply text(std::string body, std::vector<std::string> header_lines = {});
    static ScriptedReply redirect(int status, std::string location);
};

class HttpServer {
  public:
    using Handler = std::function<ScriptedReply(const RecordedRequest&)>;

    struct Options {
        bool tls = false;            // self-signed certificate for 127.0.0.1
        bool forward_proxy = false;  // relay "GET http://host:port/..." to that host
    };

    // Without a handler every request gets 200 with an empty body. The server is
    // listening when the constructor returns; port() is 0 if it could not start.
    explicit HttpServer(Handler handler = {});
    HttpServer(Handler handler, Options options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    std::string host_port() const;                       // "127.0.0.1:<port>"
    std::string url(std::string_view path = "/") const;  // "http[s]://127.0.0.1:<port>" + path

    // Both may change while clients are connected; later requests see the new values.
    void set_handler(Handler handler);
    void set_delay_ms(int milliseconds);

    std::vector<RecordedRequest> requests() const;
    std::size_t request_count() const;
    // True once at least n requests have been recorded, false after timeout_ms.
    bool wait_for_requests(std::size_t n, int timeout_ms) const;
    int connections_accepted() const { return connections_.load(); }
    // The TLS endpoint's certificate (PEM), for a client that is told to trust it.
    std::string certificate_pem() const;
    void clear_requests();

  private:
    struct Connection;
    struct Tls;

    void accept_loop();
    void serve(Connection& connection);
    void proxy(Connection& client, RecordedRequest& request);
    bool send_reply(Connection& connection, const ScriptedReply& reply);
    void hold_open(Connection& connection);
    bool wait_ms(int milliseconds);  // false when the server is stopping
    void reap_finished();

    Options options_;
    std::unique_ptr<Tls> tls_;
    int listen_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::condition_variable stopped_;  // apart from changed_, so delays are not woken per request
    Handler handler_;
    int delay_ms_ = 0;
    std::vector<RecordedRequest> requests_;
    std::list<std::unique_ptr<Connection>> live_;
};

}  // namespace zolt
