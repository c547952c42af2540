#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "gateway/code.hpp"
#include "tests/gateway/fake_upstream.hpp"
#include "tests/gateway/harness.hpp"

namespace zolt::gateway {
namespace {

using testing::FakeAnswer;
using testing::FakeUpstream;
using testing::GatewaySetup;
using testing::http_get;
using testing::LocalGateway;
using testing::raw_exchange;
using testing::raw_status;

std::string own(const LocalGateway& gw, const std::string& address) {
    return gw.base() + "/_app.php?type=text&url=" + address;
}

std::string get_line(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
}

std::string body_of(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

TEST(OwnService, AnswersTheLinkAloneAndItRedirects) {
    LocalGateway gw;
    const auto first = http_get(own(gw, "http://example.com/a"));
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(first.content_type, "text/plain; charset=utf-8");
    ASSERT_EQ(first.body.size(), gw.base().size() + 1 + kCodeLength) << first.body;
    EXPECT_EQ(first.body.rfind(gw.base() + "/", 0), 0u) << first.body;

    EXPECT_EQ(http_get(own(gw, "http://example.com/a")).body, first.body);
    EXPECT_NE(http_get(own(gw, "http://example.com/b")).body, first.body);

    for (const bool head : {false, true}) {
        const auto go = http_get(first.body, head);
        EXPECT_EQ(go.status, 302);
        EXPECT_EQ(go.location, "http://example.com/a");
    }
    const auto unknown = http_get(gw.base() + "/zzzzzzz");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(unknown.body.find("no such short link"), std::string::npos);
}

TEST(OwnService, RawAddressesKeepEveryCharacterTheProgramSends) {
    LocalGateway gw;
    // Sent on a raw socket: "#" must reach the gateway, which libcurl would not send.
    const std::pair<std::string, std::string> cases[] = {
        {"http://a.com/p?b=1&c=2#frag", "http://a.com/p?b=1&c=2#frag"},
        {"http://a.com/?x=http://b.com/?y=1&z=2", "http://a.com/?x=http://b.com/?y=1&z=2"},
        {"http://a.com/a%20b", "http://a.com/a%20b"},  // space escaped by libcurl
        {"http://a.com/%D6%D0%CE%C4?q=%B0%A1", "http://a.com/%D6%D0%CE%C4?q=%B0%A1"},  // GBK
        {"https%3A%2F%2Fa.com%2Fx%3Fy%3D1%26z%3D2", "https://a.com/x?y=1&z=2"},
    };
    for (const auto& [sent, stored] : cases) {
        const std::string answer =
            raw_exchange(gw.port(), get_line("/_app.php?type=text&url=" + sent));
        ASSERT_EQ(raw_status(answer), 200) << sent << "\n" << answer;
        const std::string link = body_of(answer);
        const auto go = http_get(link);
        EXPECT_EQ(go.status, 302) << sent;
        EXPECT_EQ(go.location, stored) << sent;
    }
}

TEST(OwnService, RefusedAddressesGetAReadableError) {
    GatewaySetup setup;
    setup.server.public_base = "http://short.test";
    LocalGateway gw(setup);
    const std::pair<std::string, std::string> cases[] = {
        {"", "no address"},
        {"ftp://a.com/", "only http:// and https://"},
        {"www.example.com", "only http:// and https://"},
        {"http://short.test/abcdefg", "already a link of this gateway"},
        {"http://a.com/" + std::string(9000, 'x'), "8 KiB"},
    };
    for (const auto& [address, error] : cases) {
        const auto reply = http_get(own(gw, address));
        EXPECT_EQ(reply.status, 400) << address;
        EXPECT_NE(reply.body.find(error), std::string::npos) << reply.body;
    }
    EXPECT_EQ(http_get(gw.base() + "/_app.php?type=text").status, 400);
    // The configured public base is what the links start with.
    EXPECT_EQ(http_get(own(gw, "http://a.com/")).body.rfind("http://short.test/", 0), 0u);
}

TEST(Protocol, OddRequestsGetCleanErrors) {
    LocalGateway gw;
    struct Case {
        std::string request;
        int status;
    };
    const std::string big(17 * 1024, 'a');
    const Case cases[] = {
        {get_line("/"), 404},
        {get_line("/favicon.ico"), 404},
        {get_line("/api/other.php?x=1"), 404},
        {"POST /_app.php?type=text&url=http://a.com HTTP/1.1\r\nHost: x\r\n"
         "Content-Length: 3\r\n\r\nabc",
         405},
        {"DELETE /abcdefg HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n", 431},
        {"GET /" + big + " HTTP/1.1\r\nHost: x\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 0, 0\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\nContent-Length: 5\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
         400},
        {"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd", 400},
        {"NONSENSE\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nBad Header\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        const std::string answer = raw_exchange(gw.port(), c.request);
        EXPECT_EQ(raw_status(answer), c.status) << c.request.substr(0, 120) << "\n" << answer;
        if (c.status == 405) {
            EXPECT_NE(answer.find("Allow: GET, HEAD"), std::string::npos);
        }
    }
}

TEST(Protocol, PipelinedRequestsOnOneConnectionAreAllAnswered) {
    LocalGateway gw;
    const std::string one =
        "GET /_app.php?type=text&url=http://a.com/1 HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string two = "GET /nothere HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string last =
        "HEAD /_app.php?type=text&url=http://a.com/1 HTTP/1.1\r\nHost: x\r\n"
        "Connection: close\r\n\r\n";
    const std::string answer = raw_exchange(gw.port(), one + two + last);
    std::vector<int> statuses;
    for (std::size_t at = answer.find("HTTP/1.1 "); at != std::string::npos;
         at = answer.find("HTTP/1.1 ", at + 1)) {
        statuses.push_back(std::stoi(answer.substr(at + 9, 3)));
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 404, 200})) << answer;
    // The HEAD answer announces the link's length but sends no body.
    const std::size_t link_length = body_of(answer.substr(0, answer.find("HTTP/1.1 404"))).size();
    EXPECT_NE(answer.rfind("Content-Length: " + std::to_string(link_length)),
              answer.find("Content-Length: " + std::to_string(link_length)));
    EXPECT_EQ(answer.substr(answer.size() - 4), "\r\n\r\n");
}

// ---- upstream services ----

GatewaySetup with_upstream(const std::string& key, const std::string& template_text) {
    GatewaySetup setup;
    setup.upstreams[key] = template_text;
    return setup;
}

std::string forward(const LocalGateway& gw, const std::string& key, const std::string& address) {
    return gw.base() + "/api/dwzapi.php?by=" + key + "&long=" + address;
}

TEST(Upstream, ForwardsTheEscapedAddressAndAnswersItsLink) {
    FakeUpstream fake([](const std::string&) { return FakeAnswer{200, "https://is.gd/abc\n"}; });
    LocalGateway gw(with_upstream("isgd", fake.base() + "/create.php?format=simple&url="));
    const std::string sent = "/api/dwzapi.php?by=isgd&long=http://a.com/x?b=1&c=2#f";
    const std::string answer = raw_exchange(gw.port(), get_line(sent));
    EXPECT_EQ(raw_status(answer), 200) << answer;
    EXPECT_EQ(body_of(answer), "https://is.gd/abc");
    ASSERT_EQ(fake.targets().size(), 1u);
    EXPECT_EQ(fake.targets()[0],
              "/create.php?format=simple&url=http%3A%2F%2Fa.com%2Fx%3Fb%3D1%26c%3D2%23f");
}

TEST(Upstream, FailuresBecomeClearErrorsNeverALink) {
    struct Case {
        const char* name;
        FakeAnswer answer;
        long status;
        std::string error;
    };
    const Case cases[] = {
        {"error status", {500, "https://looks.like/a-link"}, 502, "HTTP 500"},
        {"error text",
         {406, "Error: Please enter a valid URL"},
         502,
         "(HTTP 406): Error: Please enter a valid URL"},
        {"not a link", {200, "<html>busy</html>"}, 502, "gave no short link"},
        {"empty", {200, ""}, 502, "gave no short link"},
        {"oversized", {200, std::string(70 * 1024, 'x')}, 502, "larger than 64 KiB"},
        {"slow",
         {200, "https://is.gd/late", std::chrono::milliseconds(1500)},
         504,
         "did not answer in time"},
    };
    for (const auto& c : cases) {
        FakeUpstream fake([&](const std::string&) { return c.answer; });
        GatewaySetup setup = with_upstream("isgd", fake.base() + "/c?url=");
        setup.upstream.timeout = std::chrono::milliseconds(400);
        LocalGateway gw(setup);
        const auto reply = http_get(forward(gw, "isgd", "http://a.com/"));
        EXPECT_EQ(reply.status, c.status) << c.name;
        EXPECT_NE(reply.body.find(c.error), std::string::npos) << c.name << ": " << reply.body;
        EXPECT_NE(reply.body.find("isgd"), std::string::npos) << c.name << ": " << reply.body;
    }
}

TEST(Upstream, DownOrRedirectingUpstreamIsNotFollowed) {
    FakeUpstream elsewhere([](const std::string&) { return FakeAnswer{200, "https://x.y/z"}; });
    FakeUpstream redirecting([&](const std::string&) {
        return FakeAnswer{302, "", std::chrono::milliseconds(0), elsewhere.base() + "/"};
    });
    GatewaySetup setup = with_upstream("moved", redirecting.base() + "/c?url=");
    setup.upstreams["down"] = "http://127.0.0.1:" + std::to_string(testing::free_port()) + "/c?u=";
    LocalGateway gw(setup);

    const auto moved = http_get(forward(gw, "moved", "http://a.com/"));
    EXPECT_EQ(moved.status, 502);
    EXPECT_EQ(elsewhere.hits(), 0);

    const auto down = http_get(forward(gw, "down", "http://a.com/"));
    EXPECT_EQ(down.status, 502);
    EXPECT_NE(down.body.find("could not be reached"), std::string::npos) << down.body;
}

TEST(Upstream, KeysWithoutAServiceAndBadRequestsAreRefused) {
    FakeUpstream fake([](const std::string&) { return FakeAnswer{200, "https://is.gd/a"}; });
    LocalGateway gw(with_upstream("isgd", fake.base() + "/c?url="));
    struct Case {
        std::string target;
        long status;
        std::string error;
    };
    const Case cases[] = {
        {"/api/dwzapi.php?by=tcn&long=http://a.com/", 501, "\"tcn\""},
        {"/api/dwzapi.php?long=http://a.com/&by=isgd", 400, "by parameter"},
        {"/api/dwzapi.php?by=&long=http://a.com/", 400, "by parameter"},
        {"/api/dwzapi.php?by=isgd", 400, "long parameter"},
        {"/api/dwzapi.php?by=isgd&long=ftp://a.com/", 400, "only http"},
        {"/api/dwzapi.php?by=%0D%0Ax&long=http://a.com/", 501, "%0D%0Ax"},
    };
    for (const auto& c : cases) {
        const auto reply = http_get(gw.base() + c.target);
        EXPECT_EQ(reply.status, c.status) << c.target;
        EXPECT_NE(reply.body.find(c.error), std::string::npos) << c.target << ": " << reply.body;
    }
    EXPECT_EQ(fake.hits(), 0);
}

TEST(Upstream, AtMostFiveCallsPerHostAreInFlight) {
    FakeUpstream fake([](const std::string&) {
        return FakeAnswer{200, "https://is.gd/a", std::chrono::milliseconds(200)};
    });
    LocalGateway gw(with_upstream("isgd", fake.base() + "/c?url="));
    std::vector<std::future<testing::Reply>> replies;
    for (int i = 0; i < 20; ++i) {
        replies.push_back(std::async(std::launch::async, [&, i] {
            return http_get(forward(gw, "isgd", "http://a.com/" + std::to_string(i)));
        }));
    }
    for (auto& r : replies) EXPECT_EQ(r.get().status, 200);
    EXPECT_EQ(fake.hits(), 20);
    EXPECT_EQ(fake.max_in_flight(), 5);
}

}  // namespace
}  // namespace zolt::gateway
