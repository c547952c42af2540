// One HTTP/1.1 exchange over libcurl, shaped like a desktop Internet client: open, send,
// read the body piece by piece, query the raw header block, close.
//
// What reaches the server is exactly what the caller built: the request target (only bytes
// that cannot stand in a request line are percent-encoded), each header line unchanged and
// in order. Of its own the transport adds Host, User-Agent when no header line names one,
// and Content-Length with a body; nothing else. Redirects are followed here, hop by hop,
// for http and https only. Safe to use from many threads at once; idle libcurl handles are
// pooled so keep-alive connections survive between exchanges.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zolt {

struct TransportRequest {
    std::string_view agent;                 // User-Agent unless header_text has one
    std::optional<std::string_view> proxy;  // "host:port", used for http addresses
    bool tls = false;
    std::string_view host;
    int port = 0;  // 0: the scheme's default
    std::string_view verb = "GET";
    std::string_view object = "/";         // path and query as built, even "#" in it
    std::string_view header_text;          // lines joined by CR LF; empty lines are skipped
    std::optional<std::string_view> body;  // present: sent with its Content-Length
    bool follow_redirects = true;
};

class HttpExchange {
  public:
    // The largest body read() hands out; the rest counts as a failed read.
    static constexpr std::size_t max_body = std::size_t(64) << 20;

    // cookie_store: the process-wide store is read and written; otherwise no cookie is
    // taken from it or put into it.
    explicit HttpExchange(bool cookie_store);
    ~HttpExchange();
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    // False when no handle could be had; nothing else works then.
    bool ok() const;

    // Sends the request and waits for the head of the final response. The views in request
    // must stay valid until the exchange ends. False when there is none: name not resolved,
    // connection refused or timed out, TLS refused, too many redirects, the connection lost before
    // a head arrived.
    bool send(const TransportRequest& request);

    // Copies up to capacity next body bytes into buffer. 0 at the end of the body, on
    // any failure, and once max_body bytes have been handed out.
    int read(char* buffer, int capacity);

    // The final response's status line and header lines, each ended by CR LF. Leaves out
    // untouched (and returns false) when there is no response or the block does not fit in
    // capacity bytes together with a terminating zero.
    bool query_raw_headers(std::string& out, int capacity) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

namespace testing_hooks {
// Replaces the default time-outs (60 s to connect, 30 s without receiving anything);
// idle_seconds is whole seconds. Values of 0 or less restore the defaults.
void set_transport_timeouts(int connect_ms, int idle_seconds);
// PEM text of extra certificates to trust beside the system store; empty: none.
void trust_certificates(std::string pem);
}  // namespace testing_hooks

}  // namespace zolt
