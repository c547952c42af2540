// Taking the long address out of a request target, and deciding whether it may be shortened.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zolt::gateway {

inline constexpr std::size_t kMaxAddressBytes = 8 * 1024;

// Everything after the first "name=" that starts a parameter of `query`, up to the end.
// The program appends addresses without escaping them, so "&", "?", "#" and "=" after that
// point belong to the address. nullopt when there is no such parameter.
std::optional<std::string_view> raw_param_rest(std::string_view query, std::string_view name);

// Value of parameter `name` (up to the next "&"), looked for only in `query`.
std::optional<std::string_view> param_value(std::string_view query, std::string_view name);

// %XX sequences become bytes; anything that is not a valid escape stays as it is.
std::string percent_decode(std::string_view text);

// Escapes the bytes that may not stand raw in a request line or a header value: controls,
// space, DEL and bytes of 0x80 and above. Everything else, "%" included, is kept.
std::string escape_unsafe(std::string_view text);

// Escapes everything but unreserved characters, for a value placed inside a query.
std::string escape_component(std::string_view text);

// Where an http or https address points: lower-case scheme and host, effective port.
struct Origin {
    std::string scheme;
    std::string host;
    int port = 0;
};

// Splits "scheme://[userinfo@]host[:port][/...]". Fails (nullopt) on any other scheme, an
// empty host, a bad port or characters that clients read differently in the host part.
std::optional<Origin> origin_of(std::string_view address);

// The address as stored and redirected to, or a short error text for the user.
struct AddressCheck {
    std::string address;  // set when accepted
    std::string error;    // set when refused
};

// `raw` is what followed "url=" or "long=". Fully escaped addresses ("http%3A...") are
// decoded once; the result must be an http or https address with a host, at most 8 KiB,
// and must not point at `self` (the gateway's own public origin), which would make loops.
AddressCheck check_address(std::string_view raw, const Origin& self);

}  // namespace zolt::gateway
