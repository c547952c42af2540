// One HTTP or HTTPS request, the body back as text.
#pragma once

#include <string_view>

#include "core/text.hpp"

namespace zolt {

// Optional parameters of web_fetch. A null pointer means "omitted"; a pointer to an empty
// value means "supplied", which matters for cookies and proxy. In/out and out parameters
// are written back through their pointers.
struct FetchOptions {
    int method = 0;                  // 0 GET, 1 POST, anything else GET with a body
    Text post_text{};                // in
    Text* cookies = nullptr;         // in/out
    Text* new_cookies = nullptr;     // out
    Text* headers = nullptr;         // in/out
    Text* location = nullptr;        // out, not cleared first
    bool no_redirect = false;        // in
    Bytes* post_bytes = nullptr;     // in/out
    const Text* proxy = nullptr;     // in: "host:port"
    Text* raw_headers = nullptr;     // out
};

Text web_fetch(std::string_view url, const FetchOptions& options = {});

Text url_host(std::string_view url, bool root_only = false, bool keep_port = false);
int url_port(std::string_view url);
Text url_path(std::string_view url);
Text update_cookies(Text& cookies, Text& new_cookies);

}  // namespace zolt
