#include "core/web_fetch.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/response_headers.hpp"
#include "platform/http_transport.hpp"
#include "tests/support/http_server.hpp"

namespace zolt {
namespace {

const std::string default_agent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; 604KV; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";
const std::string spaces(5000, ' ');
// "中文" in UTF-8 and in GBK.
const std::string utf8_chinese = "\xE4\xB8\xAD\xE6\x96\x87";
const std::string gbk_chinese = "\xD6\xD0\xCE\xC4";

TEST(UrlParts, WorkedExamples) {
    struct Case {
        std::string url;
        std::string host, host_with_port;
        int port;
        std::string path;
    } cases[] = {
        {"http://example.com/api/x.php?a=1", "example.com", "example.com", 80, "/api/x.php?a=1"},
        {"HTTPS://Example.COM:8443/Path?Q=A", "example.com", "example.com:8443", 8443, "/Path?Q=A"},
        {"https://example.com", "example.com", "example.com", 443, "/"},
        {"example.com", "example.com", "example.com", 80, "/"},
        {"http://example.com:8080", "example.com", "example.com:8080", 8080, "/"},
        {"http://example.com?q=1", "example.com?q=1", "example.com?q=1", 80, "/"},
        {"example.com/go?u=http://other.example.org/x", "other.example.org", "other.example.org",
         80, "/x"},
        {"http://example.com:/x", "example.com", "example.com:", 0, "/x"},
        {"", "", "", 80, "/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(url_host(c.url), c.host) << c.url;
        EXPECT_EQ(url_host(c.url, false, true), c.host_with_port) << c.url;
        EXPECT_EQ(url_port(c.url), c.port) << c.url;
        EXPECT_EQ(url_path(c.url), c.path) << c.url;
    }
    EXPECT_EQ(url_host("http://a.b.example.com/", true), "example.com");
    EXPECT_EQ(url_host("http://localhost/", true), "localhost");
}

TEST(UpdateCookies, MergesDropsDeletedAndRepeats) {
    struct Case {
        std::string cookies, new_cookies;
        std::string merged, new_after;
    } cases[] = {
        {"a=1; b=2; c=3", "b=9; d=4; c=deleted", "b=9; d=4; a=1", "b=9;d=4;c=deleted"},
        {"x=1", "x=1; x=1; y=2", "x=1; y=2", "x=1;x=1;y=2"},
        {"", "", "", ""},
        {"", "a=1; b=2", "a=1; b=2", "a=1;b=2"},
        {"a=deleted", "", "", ""},
        {"s=with space\xA1\xA1here", "", "s=withspacehere", ""},
        {"A=1", "a=2", "a=2; A=1", "a=2"},  // names keep their case
    };
    for (const Case& c : cases) {
        Text cookies = c.cookies, new_cookies = c.new_cookies;
        EXPECT_EQ(update_cookies(cookies, new_cookies), c.merged) << c.cookies;
        EXPECT_EQ(cookies, c.merged) << c.cookies;
        EXPECT_EQ(new_cookies, c.new_after) << c.cookies;
    }
}

TEST(ResponseHeaders, LocationAndSetCookieLines) {
    Text location = "kept";
    EXPECT_EQ(read_response_headers("HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: "
                                    "c=3\r\nSet-Cookie: b=2; Path=/\r\n",
                                    location),
              "a=1; ; b=2");
    EXPECT_EQ(location, "kept");

    EXPECT_EQ(read_response_headers("HTTP/1.1 302 Found\r\nLocation: /first\r\nContent-Location: "
                                    "/x\r\nset-cookie: lower=1; p\r\n",
                                    location),
              "");
    EXPECT_EQ(location, "/x");
    location.clear();
    read_response_headers("Location: http://h/a:b \r\nlocation: /lower-case-ignored\r\n", location);
    EXPECT_EQ(location, "http://h/a:b");
    EXPECT_EQ(read_response_headers(spaces, location), "");
}

TEST(ResponseHeaders, Utf8Declaration) {
    auto body_with_marker_at = [](int position, std::string marker = "utf-8") {
        return std::string(std::size_t(position - 1), 'x') + marker;
    };
    struct Case {
        std::string body, headers;
        bool utf8;
    } cases[] = {
        {body_with_marker_at(1), "", true},
        {body_with_marker_at(499), "", true},
        {body_with_marker_at(500), "", false},
        {body_with_marker_at(500), "Content-Type: text/html; charset=UTF-8\r\n", true},
        {body_with_marker_at(10, "UTF-8"), "Content-Type: text/html\r\n", false},
        {"", "X: Utf-8\r\n", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(declares_utf8(c.body, c.headers), c.utf8) << c.body.size() << c.headers;
}

// A server that echoes the interesting bits of the request, so each case reads them back.
class WebFetch : public ::testing::Test {
  protected:
    HttpServer server{[](const RecordedRequest& r) {
        if (r.target == "/set-cookies")
            return ScriptedReply::text("",
                                       {"Set-Cookie: a=1; path=/", "Set-Cookie: b=2; HttpOnly"});
        return ScriptedReply::text("ok");
    }};
};

TEST_F(WebFetch, DefaultRequestAsTheServerSeesIt) {
    const std::string url = server.url("/a?b=1");
    Text headers;
    EXPECT_EQ(web_fetch(url, {.headers = &headers}), "ok");
    ASSERT_EQ(server.request_count(), 1u);
    RecordedRequest seen = server.requests()[0];
    EXPECT_EQ(seen.request_line, "GET /a?b=1 HTTP/1.1");
    std::vector<std::string> expected = {"Host: " + server.host_port(),
                                         "User-Agent: " + default_agent,
                                         "Referer: " + url,
                                         "Accept: */*",
                                         "Accept-Language: zh-cn",
                                         "Content-Type: application/x-www-form-urlencoded"};
    EXPECT_EQ(seen.header_lines, expected);
    EXPECT_EQ(headers, "Referer: " + url +
                           "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nContent-Type: "
                           "application/x-www-form-urlencoded");
}

TEST_F(WebFetch, CallerHeadersDecideAgentAndDefaults) {
    struct Case {
        std::string headers;
        std::string agent;          // what the server sees as User-Agent
        int accept_lines;           // "Accept" lines the server sees
        std::string completed_end;  // how the completed header text ends
    } cases[] = {
        {"user-agent: Test/1\r\nX-A: 1", "Test/1", 1, "x-www-form-urlencoded"},
        {"User-Agent: Test/1", "Test/1", 1, "x-www-form-urlencoded"},
        {"X-Accept: 1", default_agent, 0, "x-www-form-urlencoded"},
        {"accept: text/html", default_agent, 2, "x-www-form-urlencoded"},
        // The defaults follow an empty line, which cannot go out inside a header block.
        {"X-B: 2\r\n", default_agent, 1, "X-B: 2\r\n\r\nReferer: "},
    };
    for (const Case& c : cases) {
        server.clear_requests();
        Text headers = c.headers;
        web_fetch(server.url("/h"), {.headers = &headers});
        ASSERT_EQ(server.request_count(), 1u) << c.headers;
        RecordedRequest seen = server.requests()[0];
        EXPECT_EQ(seen.header_count("User-Agent"), 1) << c.headers;
        EXPECT_EQ(seen.header("User-Agent"), c.agent) << c.headers;
        EXPECT_EQ(seen.header_count("Accept"), c.accept_lines) << c.headers;
        EXPECT_NE(headers.find(c.completed_end), std::string::npos) << headers;
        for (const auto& line : seen.header_lines) EXPECT_FALSE(line.empty()) << c.headers;
    }
}

TEST_F(WebFetch, SuppliedCookiesBypassTheStore) {
    Text cookies, new_cookies;
    web_fetch(server.url("/set-cookies"), {.cookies = &cookies, .new_cookies = &new_cookies});
    EXPECT_EQ(cookies, "a=1; b=2");
    EXPECT_EQ(new_cookies, "a=1;b=2");
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_EQ(server.requests()[0].header_count("Cookie"), 0);

    // Nothing of that answer went into the store, and the supplied list goes out as given.
    web_fetch(server.url("/plain"));
    Text mine = "x=1; y=2";
    web_fetch(server.url("/plain"), {.cookies = &mine});
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].header("Cookie").find("a=1"), std::string::npos);
    EXPECT_EQ(seen[2].header_lines.back(), "Cookie: x=1; y=2");
}

TEST_F(WebFetch, OmittedCookiesUseTheStore) {
    HttpServer setter([](const RecordedRequest& r) {
        if (r.target == "/set") return ScriptedReply::text("", {"Set-Cookie: stored=yes; Path=/"});
        return ScriptedReply::text(r.header("Cookie"));
    });
    web_fetch(setter.url("/set"));
    EXPECT_NE(web_fetch(setter.url("/echo")).find("stored=yes"), std::string::npos);
}

TEST_F(WebFetch, BodiesAndVerbs) {
    struct Case {
        int method;
        std::string post_text;
        std::string verb, body;
    } cases[] = {
        {1, "a=1&b=2", "POST", "a=1&b=2"},
        {2, "q", "GET", "q"},
        {0, "ignored", "GET", ""},
    };
    for (const Case& c : cases) {
        server.clear_requests();
        Bytes post_bytes;
        web_fetch(server.url("/p"),
                  {.method = c.method, .post_text = c.post_text, .post_bytes = &post_bytes});
        ASSERT_EQ(server.request_count(), 1u);
        RecordedRequest seen = server.requests()[0];
        EXPECT_EQ(seen.method, c.verb);
        EXPECT_EQ(seen.body, c.body);
        EXPECT_EQ(seen.header_count("Content-Length"), c.method == 0 ? 0 : 1);
        EXPECT_EQ(post_bytes, c.body);
    }
}

TEST_F(WebFetch, RedirectsFollowedOrHandedBack) {
    server.set_handler([](const RecordedRequest& r) {
        if (r.target == "/from") return ScriptedReply::redirect(302, "/to");
        return ScriptedReply::text("arrived at " + r.target);
    });
    Text location = "before";
    EXPECT_EQ(web_fetch(server.url("/from"), {.location = &location}), "arrived at /to");
    EXPECT_EQ(location, "before");  // the final answer has no Location line

    Text raw;
    location.clear();
    EXPECT_EQ(web_fetch(server.url("/from"),
                        {.location = &location, .no_redirect = true, .raw_headers = &raw}),
              "");
    EXPECT_EQ(location, "/to");
    EXPECT_EQ(raw, "HTTP/1.1 302 Redirect\r\nLocation: /to\r\nContent-Length: 0\r\n");
}

TEST_F(WebFetch, ProxyWhenSupplied) {
    HttpServer proxy({}, {.forward_proxy = true});
    const Text address = proxy.host_port();
    EXPECT_EQ(web_fetch(server.url("/via"), {.proxy = &address}), "ok");
    ASSERT_EQ(proxy.request_count(), 1u);
    EXPECT_EQ(proxy.requests()[0].target, server.url("/via"));
}

TEST_F(WebFetch, CharsetWindowAndZeroByte) {
    auto answer_at = [&](int position, std::vector<std::string> headers = {}) {
        std::string body = std::string(std::size_t(position - 1), 'x') + "utf-8" + utf8_chinese;
        server.set_handler(
            [=](const RecordedRequest&) { return ScriptedReply::text(body, headers); });
        return web_fetch(server.url("/c"));
    };
    EXPECT_EQ(answer_at(499).substr(503), gbk_chinese);
    EXPECT_EQ(answer_at(500).substr(504), utf8_chinese);
    EXPECT_EQ(answer_at(500, {"Content-Type: text/html; charset=UTF-8"}).substr(504), gbk_chinese);

    server.set_handler([](const RecordedRequest&) {
        return ScriptedReply::text(std::string("before\0after", 12));
    });
    EXPECT_EQ(web_fetch(server.url("/z")), "before");
}

TEST_F(WebFetch, UnreachableHostAndOversizedHeaders) {
    int closed;
    {
        HttpServer gone;
        closed = gone.port();
    }
    Text raw = "x", location, new_cookies = "stale";
    EXPECT_EQ(web_fetch("http://127.0.0.1:" + std::to_string(closed) + "/",
                        {.new_cookies = &new_cookies, .location = &location, .raw_headers = &raw}),
              "");
    EXPECT_EQ(raw, spaces);
    EXPECT_EQ(location, spaces);
    EXPECT_EQ(new_cookies, "");

    server.set_handler([](const RecordedRequest&) {
        return ScriptedReply::text("big headers, still a body",
                                   {"Set-Cookie: s=1", "X-Fill: " + std::string(5000, 'f')});
    });
    raw.clear();
    EXPECT_EQ(web_fetch(server.url("/big"), {.new_cookies = &new_cookies, .raw_headers = &raw}),
              "big headers, still a body");
    EXPECT_EQ(raw, spaces);
    EXPECT_EQ(new_cookies, "");
}

TEST_F(WebFetch, TlsFailureGivesEmptyText) {
    HttpServer tls([](const RecordedRequest&) { return ScriptedReply::text("secret"); },
                   {.tls = true});
    Text raw;
    EXPECT_EQ(web_fetch(tls.url("/"), {.raw_headers = &raw}), "");
    EXPECT_EQ(raw, spaces);
}

TEST_F(WebFetch, BodyStopsAt64MiBAndAtAFailedRead) {
    server.set_handler([](const RecordedRequest& r) {
        ScriptedReply reply = ScriptedReply::text("0123456789abcdef");
        if (r.target == "/huge") {
            reply.body_repeat = (65u << 20) / 16;
            reply.chunked = true;
        } else {
            reply.body_repeat = 100;
            reply.cut_after = 500;
            reply.ending = Ending::reset;
        }
        return reply;
    });
    Text huge = web_fetch(server.url("/huge"));
    EXPECT_EQ(huge.size(), HttpExchange::max_body);
    EXPECT_EQ(huge.substr(huge.size() - 16), "0123456789abcdef");

    Text cut = web_fetch(server.url("/cut"));
    EXPECT_GT(cut.size(), 0u);
    EXPECT_LT(cut.size(), 500u);
    EXPECT_EQ(cut.substr(0, 16), "0123456789abcdef");
}

}  // namespace
}  // namespace zolt
