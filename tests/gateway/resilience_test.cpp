#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tests/gateway/harness.hpp"

namespace zolt::gateway {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::free_port;
using testing::GatewaySetup;
using testing::http_get;
using testing::LocalGateway;
using testing::TempDir;

int connect_to(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_text(int fd, const std::string& text) {
    (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// Whether the server closed `fd` within `limit` (reading whatever it sent before).
bool closed_within(int fd, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    char buffer[4096];
    while (Clock::now() < until) {
        timeval tv{0, 50000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;
    }
    return false;
}

TEST(Slowloris, FreshRequestsAreAnsweredWhileHeadsTrickleIn) {
    LocalGateway gw;
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_to(gw.port());
        ASSERT_GE(fd, 0);
        send_text(fd, "GET /_app.php?type=text&url=http://a.com/ HTTP/1.1\r\nHost: x\r\n");
        slow.push_back(fd);
    }
    const std::string link = http_get(gw.base() + "/_app.php?type=text&url=http://b.com/").body;
    for (int round = 0; round < 5; ++round) {
        for (const int fd : slow) send_text(fd, "X-a: b\r\n");
        const auto start = Clock::now();
        const auto reply = http_get(link);
        const auto took = Clock::now() - start;
        EXPECT_EQ(reply.status, 302);
        EXPECT_LT(took, 100ms) << "round " << round;
        std::this_thread::sleep_for(100ms);
    }
    for (const int fd : slow) ::close(fd);
}

TEST(Deadlines, AHeadMustArriveWholeInTimeAndIdleConnectionsEnd) {
    GatewaySetup setup;
    setup.server.head_timeout = 600ms;
    setup.server.idle_timeout = 400ms;
    LocalGateway gw(setup);

    // Trickling a byte at a time does not extend the head's deadline.
    const int trickle = connect_to(gw.port());
    const auto start = Clock::now();
    send_text(trickle, "GET / HTTP/1.1\r\n");
    bool closed = false;
    while (!closed && Clock::now() - start < 3s) {
        send_text(trickle, "X");
        closed = closed_within(trickle, 100ms);
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - start, 1500ms);
    ::close(trickle);

    // A kept-alive connection with nothing more to ask is closed after the idle time.
    const int idle = connect_to(gw.port());
    send_text(idle, "GET /nothere HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto idle_start = Clock::now();
    EXPECT_TRUE(closed_within(idle, 2s));
    EXPECT_GT(Clock::now() - idle_start, 300ms);
    ::close(idle);
}

// ---- the executable ----

struct GatewayRun {
    int status = -1;
    std::string output;
};

// Runs the gateway to its end with `args`, its standard error captured.
GatewayRun run_gateway(const std::string& args) {
    GatewayRun run;
    const std::string command = std::string(ZOLT_GATEWAY_EXE) + " " + args + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

pid_t start_gateway(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                ::unsetenv(name.c_str());
            } else {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char*> argv;
        std::string exe = ZOLT_GATEWAY_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::freopen("/dev/null", "w", stderr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

bool wait_until_serving(unsigned short port) {
    const auto until = Clock::now() + 5s;
    while (Clock::now() < until) {
        if (http_get("http://127.0.0.1:" + std::to_string(port) + "/ready", false, 500).status ==
            404) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

int stop_gateway(pid_t pid, int signal) {
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

TEST(Executable, StartUpProblemsEndItWithOneLineAndNonZero) {
    TempDir dir;
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::listen(holder, 1);
    socklen_t len = sizeof addr;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string taken = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    {
        std::ofstream(dir.file("garbage.db")) << "not a database at all, only words in a file";
        std::ofstream(dir.file("bad.conf")) << "isgd = https://is.gd/x?u=\nthis is wrong\n";
    }
    const std::string free = "127.0.0.1:" + std::to_string(free_port());
    struct Case {
        std::string args;
        int status;
        std::string reason;
    };
    const Case cases[] = {
        {"--listen " + taken + " --db " + dir.file("a.db"), 1, "cannot listen on " + taken},
        {"--listen " + free + " --db " + dir.file("garbage.db"), 1, "cannot open database"},
        {"--listen " + free + " --db " + dir.path().string(), 1, "cannot open database"},
        {"--listen " + free + " --db " + dir.file("no/such/dir/x.db"), 1, "cannot open database"},
        {"--listen " + free + " --db " + dir.file("a.db") + " --config " + dir.file("bad.conf"), 1,
         "line 2"},
        {"--listen " + free + " --db " + dir.file("a.db") + " --config " + dir.file("none"), 1,
         "cannot read configuration"},
        {"--bogus", 2, "unknown option"},
    };
    for (const auto& c : cases) {
        const GatewayRun run = run_gateway(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.output;
        EXPECT_NE(run.output.find(c.reason), std::string::npos) << c.args << "\n" << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    }
    ::close(holder);
    const GatewayRun help = run_gateway("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--listen"), std::string::npos);
}

TEST(Executable, DefaultDatabaseLivesInTheUsersDataDirectory) {
    TempDir home;
    const unsigned short port = free_port();
    const pid_t pid = start_gateway({"--listen", "127.0.0.1:" + std::to_string(port)},
                                    {{"HOME", home.path().string()}, {"XDG_DATA_HOME", ""}});
    ASSERT_TRUE(wait_until_serving(port));
    const std::string link = http_get("http://127.0.0.1:" + std::to_string(port) +
                                      "/_app.php?type=text&url=http://a.com/")
                                 .body;
    EXPECT_EQ(link.rfind("http://127.0.0.1:" + std::to_string(port) + "/", 0), 0u) << link;
    const int status = stop_gateway(pid, SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(std::filesystem::exists(home.path() / ".local/share/zolt/gateway.db"));
}

TEST(Durability, EveryAnsweredLinkSurvivesSigkillUnderLoad) {
    TempDir dir;
    const std::string db = dir.file("links.db");
    const unsigned short port = free_port();
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(port), "--db",
                                           db};
    std::random_device seed_source;
    const unsigned seed = seed_source();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    std::mutex mutex;
    std::map<std::string, std::string> answered;  // address -> link
    for (int round = 0; round < 5; ++round) {
        const pid_t pid = start_gateway(args);
        ASSERT_TRUE(wait_until_serving(port)) << "round " << round;
        std::atomic<bool> go{true};
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t) {
            clients.emplace_back([&, t] {
                for (int i = 0; go; ++i) {
                    const std::string address = "http://d.example/" + std::to_string(round) + "/" +
                                                std::to_string(t) + "/" + std::to_string(i);
                    const auto reply =
                        http_get(base + "/_app.php?type=text&url=" + address, false, 2000);
                    if (reply.status != 200) break;  // killed under us
                    std::lock_guard lock(mutex);
                    answered[address] = reply.body;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 600));
        stop_gateway(pid, SIGKILL);
        go = false;
        for (auto& c : clients) c.join();
    }
    ASSERT_GT(answered.size(), 100u);

    const pid_t pid = start_gateway(args);
    ASSERT_TRUE(wait_until_serving(port));
    std::size_t checked = 0;
    for (const auto& [address, link] : answered) {
        const auto reply = http_get(link);
        ASSERT_EQ(reply.status, 302) << link;
        ASSERT_EQ(reply.location, address);
        ++checked;
    }
    // The same address still gets the same link after the restarts.
    const auto& [first_address, first_link] = *answered.begin();
    EXPECT_EQ(http_get(base + "/_app.php?type=text&url=" + first_address).body, first_link);
    stop_gateway(pid, SIGTERM);
    EXPECT_EQ(checked, answered.size());

    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &stmt, nullptr);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
}

}  // namespace
}  // namespace zolt::gateway
