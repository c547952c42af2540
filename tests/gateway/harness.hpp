// What the gateway tests share: an HTTP client, a raw socket client, a temporary folder and
// a gateway served from inside the test process.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "gateway/server.hpp"
#include "gateway/sqlite_store.hpp"
#include "gateway/upstream.hpp"

namespace zolt::gateway::testing {

struct Reply {
    long status = 0;  // 0 when no answer came
    std::string body;
    std::string location;
    std::string content_type;
};

// One request through libcurl: no redirect following, no proxy.
Reply http_get(const std::string& url, bool head = false, long timeout_ms = 20000);

// Sends `bytes` as they are and returns everything read until the server closes or
// `wait` passes without data.
std::string raw_exchange(unsigned short port, const std::string& bytes,
                         std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

// The status code of the first response in a raw answer, 0 when there is none.
int raw_status(const std::string& answer);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    std::filesystem::path path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

struct GatewaySetup {
    ServerOptions server;
    UpstreamOptions upstream;
    UpstreamTable upstreams;
    SqliteStoreOptions store;
};

// A gateway on an ephemeral port, its database in a temporary folder.
class LocalGateway {
  public:
    explicit LocalGateway(GatewaySetup setup = {});
    ~LocalGateway();

    unsigned short port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string db_path() const { return dir_.file("links.db"); }

  private:
    TempDir dir_;
    std::unique_ptr<SqliteStore> store_;
    std::unique_ptr<UpstreamClient> upstream_;
    std::unique_ptr<Server> server_;
    std::thread thread_;
    unsigned short port_ = 0;
};

// A port that was free a moment ago.
unsigned short free_port();

}  // namespace zolt::gateway::testing
