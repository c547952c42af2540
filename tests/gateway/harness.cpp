#include "tests/gateway/harness.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace zolt::gateway::testing {

namespace {

std::size_t append_body(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

Reply http_get(const std::string& url, bool head, long timeout_ms) {
    Reply reply;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        char* location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        if (location != nullptr) reply.location = location;
        char* type = nullptr;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
        if (type != nullptr) reply.content_type = type;
    }
    curl_easy_cleanup(curl);
    return reply;
}

std::string raw_exchange(unsigned short port, const std::string& bytes,
                         std::chrono::milliseconds wait) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        char buffer[8192];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

int raw_status(const std::string& answer) {
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
    return std::stoi(answer.substr(9, 3));
}

TempDir::TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("zolt-gateway-test-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

LocalGateway::LocalGateway(GatewaySetup setup) {
    std::string error;
    store_ = SqliteStore::open(db_path(), error, std::move(setup.store));
    if (!store_) throw std::runtime_error(error);
    upstream_ = std::make_unique<UpstreamClient>(setup.upstream);
    setup.server.listen_host = "127.0.0.1";
    setup.server.listen_port = 0;
    if (setup.server.threads == 0) setup.server.threads = 2;
    server_ = std::make_unique<Server>(setup.server, *store_, *upstream_, setup.upstreams);
    if (!server_->listen(error)) throw std::runtime_error(error);
    port_ = server_->port();
    thread_ = std::thread([this] { server_->run(); });
}

LocalGateway::~LocalGateway() {
    server_->stop();
    thread_.join();
    store_->close();
    upstream_->stop();
    server_.reset();
}

unsigned short free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace zolt::gateway::testing
