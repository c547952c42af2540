#include "gateway/options.hpp"

#include <charconv>
#include <cstdlib>
#include <filesystem>

namespace zolt::gateway {

namespace {

bool parse_int(const std::string& text, int low, int high, int& out) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

// "host:port", "[v6]:port" or ":port".
bool parse_listen(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if (h.empty()) h = "0.0.0.0";
    if (!parse_int(text.substr(colon + 1), 0, 65535, port)) return false;
    host = h;
    return true;
}

}  // namespace

std::string usage_text() {
    return "usage: zolt-gateway [options]\n"
           "  --listen HOST:PORT    address to serve on (default 127.0.0.1:80)\n"
           "  --db FILE             link database (default gateway.db in the user's data "
           "directory)\n"
           "  --public-base URL     start of every short link (default http:// + the listen "
           "address)\n"
           "  --config FILE         upstream templates, one \"key = template\" a line\n"
           "  --access-log FILE     one line per request, common log format (\"-\": standard "
           "output)\n"
           "  --threads N           I/O threads (default one per core)\n"
           "  --help                this text\n";
}

std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args,
                                              std::string& error) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const std::size_t eq = name.find('=');
            name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "--help" || name == "-h") {
            line.help = true;
            continue;
        }
        const bool known = name == "--listen" || name == "--db" || name == "--public-base" ||
                           name == "--config" || name == "--access-log" || name == "--threads";
        if (!known) {
            error = "unknown option " + name + " (see --help)";
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (name == "--listen") {
            if (!parse_listen(*value, line.listen_host, line.listen_port)) {
                error = "--listen wants HOST:PORT, got \"" + *value + "\"";
                return std::nullopt;
            }
        } else if (name == "--db") {
            line.db_path = *value;
        } else if (name == "--public-base") {
            line.public_base = *value;
            while (!line.public_base.empty() && line.public_base.back() == '/') {
                line.public_base.pop_back();
            }
        } else if (name == "--config") {
            line.config_path = *value;
        } else if (name == "--access-log") {
            line.access_log_path = *value;
        } else if (name == "--threads") {
            if (!parse_int(*value, 1, 256, line.threads)) {
                error = "--threads wants a number from 1 to 256";
                return std::nullopt;
            }
        }
        if (value->empty() && name != "--public-base") {
            error = "option " + name + " needs a value";
            return std::nullopt;
        }
    }
    return line;
}

std::string default_db_path() {
    namespace fs = std::filesystem;
    fs::path dir;
#if defined(_WIN32)
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        dir = fs::path(local) / "zolt";
    }
#else
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        dir = fs::path(xdg) / "zolt";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        dir = fs::path(home) / ".local" / "share" / "zolt";
    }
#endif
    if (dir.empty()) return {};
    return (dir / "gateway.db").string();
}

std::string default_public_base(const std::string& host, int port) {
    std::string h = host;
    if (h == "0.0.0.0" || h == "::" || h.empty()) h = "127.0.0.1";
    if (h.find(':') != std::string::npos) h = "[" + h + "]";
    std::string base = "http://" + h;
    if (port != 80) base.append(":").append(std::to_string(port));
    return base;
}

}  // namespace zolt::gateway
