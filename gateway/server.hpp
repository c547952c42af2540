// The gateway's HTTP front: routes, limits and deadlines, on Boost.Beast with one I/O
// thread per core.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "gateway/link_store.hpp"
#include "gateway/upstream.hpp"

namespace zolt::gateway {

struct ServerOptions {
    std::string listen_host = "127.0.0.1";
    std::uint16_t listen_port = 80;  // 0 picks a free port
    std::string public_base;  // "http://host[:port]", no trailing "/"; empty: the bound address
    int threads = 0;          // 0: one per core
    std::chrono::milliseconds head_timeout{10000};
    std::chrono::milliseconds idle_timeout{30000};
    std::size_t max_head_bytes = 16 * 1024;
    std::FILE* access_log = nullptr;  // not owned; null for none
    bool stop_on_signals = false;     // SIGINT and SIGTERM end run()
};

// The store and the upstream client call back into the server's threads: close the store
// and stop the client before the server is destroyed.
class Server {
  public:
    Server(ServerOptions options, LinkStore& store, UpstreamClient& upstream,
           UpstreamTable upstreams);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listening socket; false with a one-line reason when that fails.
    bool listen(std::string& error);
    std::uint16_t port() const;

    // Serves on the calling thread and its helpers until stop().
    void run();
    // Safe from any thread.
    void stop();

    struct Impl;  // opaque; public only so the connection code can reach it

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zolt::gateway
