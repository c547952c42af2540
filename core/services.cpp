#include "core/services.hpp"

#include <atomic>
#include <cstdlib>

namespace zolt {

namespace {

constexpr std::array<Service, kServiceCount> kTable{{
    {"", "/_app.php?type=text&url=", "zolt 短链"},
    {"urlcn", "/api/dwzapi.php?by=urlcn&long=", "url.cn"},
    {"tcn", "/api/dwzapi.php?by=tcn&long=", "t.cn 新浪"},
    {"dwz126", "/api/dwzapi.php?by=dwz126&long=", "126.am 网易"},
    {"dwzcn", "/api/dwzapi.php?by=dwzcn&long=", "dwz.cn 百度"},
    {"isgd", "/api/dwzapi.php?by=isgd&long=", "is.gd"},
    {"url7", "/api/dwzapi.php?by=url7&long=", "url7.me"},
    {"pptcc", "/api/dwzapi.php?by=pptcc&long=", "ppt.cc"},
    {"dwz955", "/api/dwzapi.php?by=dwz955&long=", "955.cc"},
    {"baidus", "/api/dwzapi.php?by=baidus&long=", "s.baidu"},
    {"tinyurl", "/api/dwzapi.php?by=tinyurl&long=", "TinyURL"},
    {"rluru", "/api/dwzapi.php?by=rluru&long=", "rlu.ru"},
}};

// The bundled gateway listens here on port 80, as the prefixes (no port) expect.
constexpr std::string_view kBuiltInHost = "127.0.0.1";

const std::array<Text, kServiceCount>& prefixes() {
    static const std::array<Text, kServiceCount> table = [] {
        std::array<Text, kServiceCount> built;
        for (int i = 0; i < kServiceCount; ++i) {
            built[i] = "http://" + gateway_host() + Text(kTable[i].path_and_query);
        }
        return built;
    }();
    return table;
}

// Always null or one of the constants above, which live until the process ends, so a
// reader never sees a prefix freed under it.
std::atomic<const Text*> current_prefix{nullptr};

}  // namespace

const std::array<Service, kServiceCount>& service_table() { return kTable; }

const Text& gateway_host() {
    static const Text host = [] {
        const char* env = std::getenv("ZOLT_GATEWAY");
        return (env != nullptr && *env != '\0') ? Text(env) : Text(kBuiltInHost);
    }();
    return host;
}

const Text& service_prefix(int index) { return prefixes().at(static_cast<std::size_t>(index)); }

void set_request_prefix(int index) {
    if (index < 0 || index >= kServiceCount) return;
    current_prefix.store(&prefixes()[static_cast<std::size_t>(index)], std::memory_order_release);
}

Text request_prefix() {
    const Text* p = current_prefix.load(std::memory_order_acquire);
    return p != nullptr ? *p : Text();
}

}  // namespace zolt
