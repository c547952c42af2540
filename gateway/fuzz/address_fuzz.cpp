// Feeds arbitrary request queries through address extraction and validation, and checks
// that whatever is accepted is safe to put in a Location header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gateway/address.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zolt::gateway;
    const std::string_view query(reinterpret_cast<const char*>(data), size);
    static const Origin self{"http", "127.0.0.1", 8080};
    for (const std::string_view name : {"url", "long"}) {
        const auto raw = raw_param_rest(query, name);
        if (!raw) continue;
        const AddressCheck check = check_address(*raw, self);
        if (check.address.empty() == check.error.empty()) std::abort();
        if (check.address.empty()) continue;
        if (check.address.size() > kMaxAddressBytes) std::abort();
        for (const char c : check.address) {
            const auto b = static_cast<unsigned char>(c);
            if (b <= 0x20 || b >= 0x7F) std::abort();
        }
        const auto origin = origin_of(check.address);
        if (!origin || origin->host.empty()) std::abort();
        if (origin->host == self.host && origin->port == self.port) std::abort();
    }
    (void)param_value(query, "by");
    (void)percent_decode(query);
    return 0;
}
