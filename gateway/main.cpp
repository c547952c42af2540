// zolt-gateway: the conversion gateway the zolt window talks to.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "gateway/options.hpp"
#include "gateway/server.hpp"
#include "gateway/sqlite_store.hpp"
#include "gateway/upstream.hpp"

namespace {

int fail(const std::string& reason) {
    std::cerr << "zolt-gateway: " << reason << "\n";
    return 1;
}

// Every open connection costs a descriptor; the soft limit is often far below the hard one.
void raise_descriptor_limit() {
#if !defined(_WIN32)
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zolt::gateway;
    std::string error;
    const std::optional<CommandLine> line =
        parse_command_line(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!line) {
        std::cerr << "zolt-gateway: " << error << "\n";
        return 2;
    }
    if (line->help) {
        std::cout << usage_text();
        return 0;
    }
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    raise_descriptor_limit();

    UpstreamTable upstreams = built_in_upstreams();
    if (!line->config_path.empty()) {
        std::ifstream in(line->config_path, std::ios::binary);
        if (!in) return fail("cannot read configuration " + line->config_path);
        std::ostringstream text;
        text << in.rdbuf();
        if (!apply_upstream_config(text.str(), upstreams, error)) {
            return fail("configuration " + line->config_path + ", " + error);
        }
    }

    std::string db_path = line->db_path;
    if (db_path.empty()) {
        db_path = default_db_path();
        if (db_path.empty()) return fail("no data directory for the database: pass --db FILE");
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(db_path).parent_path(), ec);
        if (ec) return fail("cannot create the directory of " + db_path + ": " + ec.message());
    }

    std::FILE* access_log = nullptr;
    if (line->access_log_path == "-") {
        access_log = stdout;
    } else if (!line->access_log_path.empty()) {
        access_log = std::fopen(line->access_log_path.c_str(), "a");
        if (access_log == nullptr) return fail("cannot open access log " + line->access_log_path);
    }

    ServerOptions options;
    options.listen_host = line->listen_host;
    options.listen_port = static_cast<std::uint16_t>(line->listen_port);
    options.public_base = line->public_base.empty()
                              ? default_public_base(line->listen_host, line->listen_port)
                              : line->public_base;
    options.threads = line->threads;
    options.access_log = access_log;
    options.stop_on_signals = true;

    std::unique_ptr<SqliteStore> store = SqliteStore::open(db_path, error);
    if (!store) return fail(error);
    UpstreamClient upstream;
    int status = 0;
    {
        Server server(options, *store, upstream, std::move(upstreams));
        if (server.listen(error)) {
            std::cerr << "zolt-gateway: serving " << options.public_base << " on "
                      << options.listen_host << ":" << server.port() << ", database " << db_path
                      << "\n";
            server.run();
        } else {
            status = fail(error);
        }
        store->close();
        upstream.stop();
    }
    if (access_log != nullptr && access_log != stdout) std::fclose(access_log);
    return status;
}
