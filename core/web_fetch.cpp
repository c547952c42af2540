#include "core/web_fetch.hpp"

#include <algorithm>

#include "core/charset.hpp"
#include "core/response_headers.hpp"
#include "platform/http_transport.hpp"

namespace zolt {

namespace {

constexpr std::string_view default_agent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; 604KV; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";

constexpr int raw_header_capacity = 5000;
constexpr int read_chunk = 1024;

Text pick_agent(std::string_view headers) {
    if (text_find(headers, "User-Agent:", 0, true) == -1) return Text(default_agent);
    Text agent = text_trim(extract_between(headers, "User-Agent:", "\r\n", 0, false));
    // A last line has no CR LF to end the marker search.
    if (agent.empty()) agent = text_after_colon(headers);
    return agent;
}

void complete_headers(Text& headers, std::string_view url, std::string_view cookies) {
    if (text_find(headers, "Referer:") == -1)
        headers = headers.empty() ? text_concat({"Referer: ", url})
                                  : text_concat({headers, "\r\nReferer: ", url});
    if (text_find(headers, "Accept:") == -1) headers += "\r\nAccept: */*";
    if (text_find(headers, "Accept-Language:") == -1) headers += "\r\nAccept-Language: zh-cn";
    if (text_find(headers, "Content-Type:") == -1)
        headers += "\r\nContent-Type: application/x-www-form-urlencoded";
    if (!cookies.empty()) headers = text_concat({headers, "\r\nCookie: ", cookies});
}

Text cookie_name(std::string_view entry) {
    int eq = text_find(entry, "=");
    return text_trim(eq == -1 ? entry : text_head(entry, eq - 1));
}

}  // namespace

Text read_response_headers(std::string_view raw_headers, Text& location) {
    Text new_cookies;
    for (const Text& line : text_split(raw_headers, "\r\n")) {
        if (text_find(line, "Location:") != -1) location = text_after_colon(line);
        if (text_find(line, "Set-Cookie") != -1) {
            new_cookies += text_trim(extract_between(line, "Set-Cookie:", ";", 0, false));
            new_cookies += "; ";
        }
    }
    return text_head(new_cookies, text_len(new_cookies) - 2);
}

bool declares_utf8(std::string_view body, std::string_view raw_headers) {
    int at = bytes_find(body, "utf-8");
    if (at >= 1 && at <= 499) return true;
    return text_find(raw_headers, "utf-8", 0, true) != -1;
}

Text web_fetch(std::string_view url, const FetchOptions& options) {
    const std::string_view verb = options.method == 1 ? "POST" : "GET";
    Text headers = options.headers ? *options.headers : Text();
    const Text agent = pick_agent(headers);

    Bytes body;
    Text raw_headers;
    {
        HttpExchange exchange(options.cookies == nullptr);
        if (!exchange.ok()) return {};

        const Text host = url_host(url);
        const int port = url_port(url);
        const Text object = url_path(url);

        complete_headers(headers, url, options.cookies ? *options.cookies : Text());
        if (options.headers) *options.headers = headers;

        TransportRequest request;
        request.agent = agent;
        if (options.proxy) request.proxy = *options.proxy;
        request.tls = text_lower(text_head(url, 5)) == "https";
        request.host = host;
        request.port = port;
        request.verb = verb;
        request.object = object;
        request.header_text = headers;
        request.follow_redirects = !options.no_redirect;
        Bytes local_post;
        if (options.method != 0) {
            Bytes& post = options.post_bytes ? *options.post_bytes : local_post;
            if (post.empty()) post = text_to_bytes(options.post_text);
            request.body = post;
        }
        // A failed send needs no branch: the reads give nothing and the header query
        // leaves the spaces in place.
        exchange.send(request);

        char buffer[read_chunk];
        for (int n; (n = exchange.read(buffer, read_chunk)) > 0;)
            body.append(buffer, std::size_t(n));

        raw_headers = text_of_spaces(raw_header_capacity);
        exchange.query_raw_headers(raw_headers, raw_header_capacity);
    }

    Text location = options.location ? *options.location : Text();
    Text new_cookies = read_response_headers(raw_headers, location);
    if (options.cookies) update_cookies(*options.cookies, new_cookies);
    if (location.empty()) location = raw_headers;
    if (options.new_cookies) *options.new_cookies = new_cookies;
    if (options.location) *options.location = location;
    if (options.raw_headers) *options.raw_headers = raw_headers;

    if (declares_utf8(body, raw_headers)) body = convert_charset(body);
    return bytes_to_text(body);
}

Text url_host(std::string_view url, bool root_only, bool keep_port) {
    Text s = text_lower(url);
    if (s.empty() || s.back() != '/') s += '/';
    if (text_head(s, 8) == "https://") {
        s = extract_between(s, "https://", "/", 0, false);
    } else {
        if (text_find(s, "http://") == -1) s = text_concat({"http://", s});
        s = extract_between(s, "http://", "/", 0, false);
    }
    if (root_only) {
        TextList parts = text_split(s, ".");
        if (parts.size() >= 2)
            s = text_concat({parts[parts.size() - 2], ".", parts[parts.size() - 1]});
    }
    if (keep_port) return s;
    int colon = text_find(s, ":");
    return colon == -1 ? s : text_head(s, colon - 1);
}

int url_port(std::string_view url) {
    Text host = url_host(url, false, true);
    if (text_find(host, ":") == -1) return text_lower(text_head(url, 5)) == "https" ? 443 : 80;
    int colon = text_find_last(host, ":");
    return text_to_int(text_tail(host, text_len(host) - colon));
}

Text url_path(std::string_view url) {
    int a = text_find(url, url_host(url), 0, true);
    int b = text_find(url, "/", a);
    if (b <= 0) return "/";
    return text_tail(url, text_len(url) - b + 1);
}

Text update_cookies(Text& cookies, Text& new_cookies) {
    cookies = text_drop_blanks(cookies);
    new_cookies = text_drop_blanks(new_cookies);
    TextList entries = text_split(new_cookies, ";");
    for (const Text& old : text_split(cookies, ";")) {
        Text name = cookie_name(old);
        bool known = std::any_of(entries.begin(), entries.end(),
                                 [&](const Text& e) { return cookie_name(e) == name; });
        if (!known) entries.push_back(old);
    }
    Text kept;
    for (const Text& e : entries)
        if (text_tail(e, 8) != "=deleted") kept += e + "; ";
    kept = text_head(kept, text_len(kept) - 2);

    TextList unique;
    for (Text& e : text_split(kept, "; "))
        if (std::find(unique.begin(), unique.end(), e) == unique.end())
            unique.push_back(std::move(e));
    cookies.clear();
    for (std::size_t i = 0; i < unique.size(); ++i) {
        if (i > 0) cookies += "; ";
        cookies += unique[i];
    }
    return cookies;
}

}  // namespace zolt
