// The gateway's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zolt::gateway {

struct CommandLine {
    std::string listen_host = "127.0.0.1";
    int listen_port = 80;
    std::string db_path;      // empty: default_db_path()
    std::string public_base;  // empty: "http://" + the listen address
    std::string config_path;
    std::string access_log_path;  // "-" for standard output
    int threads = 0;
    bool help = false;
};

// nullopt and a one-line reason when the arguments are wrong.
std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args,
                                              std::string& error);

std::string usage_text();

// gateway.db in the user's data directory ($XDG_DATA_HOME/zolt, ~/.local/share/zolt,
// %LOCALAPPDATA%\zolt); empty when none can be found.
std::string default_db_path();

// "http://host[:port]" for a listen address; port 80 is left out, a wildcard host becomes
// the loopback address.
std::string default_public_base(const std::string& host, int port);

}  // namespace zolt::gateway
