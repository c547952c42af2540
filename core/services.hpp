// The catalogue of the twelve short-link services behind the conversion gateway, and the
// request prefix of the one currently selected.
#pragma once

#include <array>
#include <string_view>

#include "core/text.hpp"

namespace zolt {

inline constexpr int kServiceCount = 12;

struct Service {
    std::string_view key;             // value of "by", empty for the gateway's own service
    std::string_view path_and_query;  // ends in '=': the address is appended raw
    std::string_view display_name;    // UTF-8, for the selector
};

const std::array<Service, kServiceCount>& service_table();

// "host[:port]" of the gateway: ZOLT_GATEWAY when set at the first call, else the bundled
// gateway on this machine. Read once; never changes afterwards.
const Text& gateway_host();

// "http://" + gateway_host() + the row's path and query; index must be 0..11.
const Text& service_prefix(int index);

// Makes row index current; any other index leaves the prefix as it is.
void set_request_prefix(int index);

// A whole copy of the current prefix; empty before the first set_request_prefix.
Text request_prefix();

}  // namespace zolt
