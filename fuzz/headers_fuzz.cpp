// Response-header handling on arbitrary bytes: the raw block split into lines, Location and
// Set-Cookie extraction, the cookie merge, and the address helpers on whatever came out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/response_headers.hpp"
#include "core/web_fetch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A header block never exceeds 4999 bytes; a little more still covers the edges.
    if (size > 8192) return 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line stands in for a cookie list the caller held before the request.
    std::size_t cut = input.find('\n');
    std::string_view held =
        cut == std::string_view::npos ? std::string_view() : input.substr(0, cut);

    zolt::TextList lines = zolt::text_split(input, "\r\n");
    zolt::Text location(held);
    zolt::Text new_cookies = zolt::read_response_headers(input, location);
    zolt::Text cookies(held);
    zolt::Text merged = zolt::update_cookies(cookies, new_cookies);
    if (merged != cookies) __builtin_trap();
    (void)zolt::declares_utf8(input, input);

    for (std::string_view url : {std::string_view(location), held,
                                 lines.empty() ? std::string_view() : std::string_view(lines[0])}) {
        (void)zolt::url_host(url, true, false);
        (void)zolt::url_host(url, false, true);
        (void)zolt::url_port(url);
        zolt::Text path = zolt::url_path(url);
        if (path.empty() || path.size() > url.size() + 1) __builtin_trap();
    }
    return 0;
}
