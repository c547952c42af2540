#include "gateway/address.hpp"

#include <charconv>

namespace zolt::gateway {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string to_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(s[i]) != lower(prefix[i])) return false;
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kHex[] = "0123456789ABCDEF";

void append_escape(std::string& out, unsigned char b) {
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
}

// Position where parameter `name` starts: at the start of the query or right after "&".
std::size_t find_param(std::string_view query, std::string_view name) {
    std::size_t at = 0;
    while (at <= query.size()) {
        if (query.substr(at, name.size()) == name && query.substr(at + name.size(), 1) == "=") {
            return at;
        }
        const std::size_t amp = query.find('&', at);
        if (amp == std::string_view::npos) break;
        at = amp + 1;
    }
    return std::string_view::npos;
}

bool is_host_char(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    // Unreserved, sub-delims and "%" for escaped international names; no "\", which some
    // clients read as a path separator and so as the end of the host.
    return std::string_view("-._~%!$&'()*+,;=").find(static_cast<char>(c)) !=
           std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> raw_param_rest(std::string_view query, std::string_view name) {
    const std::size_t at = find_param(query, name);
    if (at == std::string_view::npos) return std::nullopt;
    return query.substr(at + name.size() + 1);
}

std::optional<std::string_view> param_value(std::string_view query, std::string_view name) {
    const std::size_t at = find_param(query, name);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = query.substr(at + name.size() + 1);
    return value.substr(0, value.find('&'));
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string escape_unsafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F) {
            append_escape(out, b);
        } else {
            out += c;
        }
    }
    return out;
}

std::string escape_component(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool unreserved = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                                (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' ||
                                b == '~';
        if (unreserved) {
            out += c;
        } else {
            append_escape(out, b);
        }
    }
    return out;
}

std::optional<Origin> origin_of(std::string_view address) {
    Origin origin;
    std::string_view rest;
    if (starts_with_nocase(address, "http://")) {
        origin.scheme = "http";
        origin.port = 80;
        rest = address.substr(7);
    } else if (starts_with_nocase(address, "https://")) {
        origin.scheme = "https";
        origin.port = 443;
        rest = address.substr(8);
    } else {
        return std::nullopt;
    }
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find('\\') != std::string_view::npos) return std::nullopt;
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(0, close + 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            port = after.substr(1);
        }
        for (const char c : host.substr(1, host.size() - 2)) {
            if (hex_value(c) < 0 && c != ':' && c != '.') return std::nullopt;
        }
        if (host.size() <= 2) return std::nullopt;
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
        for (const char c : host) {
            if (!is_host_char(static_cast<unsigned char>(c))) return std::nullopt;
        }
    }
    if (host.empty()) return std::nullopt;
    if (authority.find(':') != std::string_view::npos && host.front() != '[' && port.empty()) {
        return std::nullopt;  // "host:" with no digits
    }
    if (!port.empty()) {
        int value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) {
            return std::nullopt;
        }
        origin.port = value;
    }
    origin.host = to_lower(host);
    while (origin.host.size() > 1 && origin.host.back() == '.') origin.host.pop_back();
    return origin;
}

AddressCheck check_address(std::string_view raw, const Origin& self) {
    AddressCheck result;
    if (raw.empty()) {
        result.error = "error: no address was given";
        return result;
    }
    // Checked before decoding as well, so an oversized target costs no work.
    if (raw.size() > 3 * kMaxAddressBytes) {
        result.error = "error: the address is longer than 8 KiB";
        return result;
    }
    std::string address =
        (starts_with_nocase(raw, "http%3A") || starts_with_nocase(raw, "https%3A"))
            ? escape_unsafe(percent_decode(raw))
            : escape_unsafe(raw);
    if (address.size() > kMaxAddressBytes) {
        result.error = "error: the address is longer than 8 KiB";
        return result;
    }
    if (!starts_with_nocase(address, "http://") && !starts_with_nocase(address, "https://")) {
        result.error = "error: only http:// and https:// addresses can be shortened";
        return result;
    }
    const std::optional<Origin> origin = origin_of(address);
    if (!origin) {
        result.error = "error: the address has no valid host";
        return result;
    }
    if (origin->host == self.host && origin->port == self.port) {
        result.error = "error: the address is already a link of this gateway";
        return result;
    }
    result.address = std::move(address);
    return result;
}

}  // namespace zolt::gateway
