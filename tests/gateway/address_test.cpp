#include "gateway/address.hpp"

#include <gtest/gtest.h>

#include "gateway/options.hpp"
#include "gateway/upstream.hpp"

namespace zolt::gateway {
namespace {

struct RestCase {
    std::string query;
    std::string name;
    std::optional<std::string> rest;
};

TEST(RawParamRest, KeepsEverythingAfterTheParameterBecauseTheClientDoesNotEscape) {
    const RestCase cases[] = {
        {"type=text&url=http://a.com/b?c=1&d=2#f", "url", "http://a.com/b?c=1&d=2#f"},
        {"type=text&url=http://a.com/?url=x&y=z", "url", "http://a.com/?url=x&y=z"},
        {"myurl=no&url=yes", "url", "yes"},  // only a whole parameter name counts
        {"url=", "url", ""},                 // the prefix alone: an empty address
        {"type=text", "url", std::nullopt},
        {"by=isgd&long=http://a.com/?long=2", "long", "http://a.com/?long=2"},
        {"", "long", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = raw_param_rest(c.query, c.name);
        ASSERT_EQ(got.has_value(), c.rest.has_value()) << c.query;
        if (got) {
            EXPECT_EQ(*got, *c.rest) << c.query;
        }
    }
    EXPECT_EQ(param_value("by=isgd&long=x", "by"), "isgd");
    EXPECT_EQ(param_value("a=1&by=", "by"), "");
    EXPECT_FALSE(param_value("baby=1", "by").has_value());
}

struct CheckCase {
    std::string raw;
    std::string address;  // expected when accepted
    std::string error;    // a piece of the expected error text when refused
};

const Origin kSelf{"http", "127.0.0.1", 8080};

TEST(CheckAddress, AcceptsAndNormalisesWhatTheProgramSends) {
    const CheckCase cases[] = {
        {"http://example.com", "http://example.com", ""},
        {"HTTPS://Example.COM/Path?Q=A", "HTTPS://Example.COM/Path?Q=A", ""},
        {"http://a.com/x?b=1&c=2#frag", "http://a.com/x?b=1&c=2#frag", ""},
        // libcurl escapes spaces and GBK bytes before they reach us: kept escaped.
        {"http://a.com/a%20b/%B0%A1", "http://a.com/a%20b/%B0%A1", ""},
        // Raw bytes a client did not escape are escaped here, so Location stays valid.
        {"http://a.com/\xB0\xA1 x", "http://a.com/%B0%A1%20x", ""},
        {"http://[::1]:8080/x", "http://[::1]:8080/x", ""},
        {"http://127.0.0.1:8081/x", "http://127.0.0.1:8081/x", ""},
        // Fully escaped addresses are decoded once.
        {"https%3A%2F%2Fexample.com%2Fa%3Fb%3D1%26c%3D2", "https://example.com/a?b=1&c=2", ""},
        {"HTTP%3a%2f%2fa.com%2Fa%20b", "HTTP://a.com/a%20b", ""},
        // Decoding must not smuggle a line break into the Location header.
        {"http%3A%2F%2Fa.com%2F%0D%0ASet-Cookie%3A%20x", "http://a.com/%0D%0ASet-Cookie:%20x", ""},
        // An address only partly escaped is taken as it stands.
        {"http://a.com/%3Fx", "http://a.com/%3Fx", ""},
    };
    for (const auto& c : cases) {
        const AddressCheck got = check_address(c.raw, kSelf);
        EXPECT_EQ(got.error, "") << c.raw;
        EXPECT_EQ(got.address, c.address) << c.raw;
    }
}

TEST(CheckAddress, RefusesWhatCannotBeShortened) {
    const CheckCase cases[] = {
        {"", "", "no address"},
        {"example.com/x", "", "only http:// and https://"},
        {"ftp://example.com/", "", "only http:// and https://"},
        {"javascript:alert(1)", "", "only http:// and https://"},
        {"ftp%3A%2F%2Fa.com", "", "only http:// and https://"},
        {"http://", "", "no valid host"},
        {"http:///path", "", "no valid host"},
        {"http://:80/", "", "no valid host"},
        {"http://a.com:/", "", "no valid host"},
        {"http://a.com:99999/", "", "no valid host"},
        {"http://a.com:8x/", "", "no valid host"},
        {"http://[::1/", "", "no valid host"},
        // Browsers end the host at "\", so this would not go where it seems to.
        {"http://evil.com\\@good.com/", "", "no valid host"},
        // Links to our own short links would only make loops.
        {"http://127.0.0.1:8080/abcdefg", "", "already a link of this gateway"},
        {"HTTP://127.0.0.1:8080", "", "already a link of this gateway"},
        {"http://user:pw@127.0.0.1:8080/x", "", "already a link of this gateway"},
        {"http%3A%2F%2F127.0.0.1%3A8080%2Fx", "", "already a link of this gateway"},
    };
    for (const auto& c : cases) {
        const AddressCheck got = check_address(c.raw, kSelf);
        EXPECT_EQ(got.address, "") << c.raw;
        EXPECT_NE(got.error.find(c.error), std::string::npos) << c.raw << " -> " << got.error;
    }
}

TEST(CheckAddress, SelfLinksCountTheDefaultPort) {
    const Origin self{"http", "short.test", 80};
    EXPECT_FALSE(check_address("http://short.test/x", self).error.empty());
    EXPECT_FALSE(check_address("http://SHORT.test:80/x", self).error.empty());
    EXPECT_FALSE(check_address("http://short.test./x", self).error.empty());
    EXPECT_TRUE(check_address("https://short.test/x", self).error.empty());
    EXPECT_TRUE(check_address("http://short.test.example/x", self).error.empty());
}

TEST(CheckAddress, LengthLimitIsEightKibibytesAfterNormalising) {
    const std::string head = "http://a.com/";
    const std::string fits = head + std::string(kMaxAddressBytes - head.size(), 'x');
    EXPECT_EQ(check_address(fits, kSelf).address, fits);
    EXPECT_NE(check_address(fits + "x", kSelf).error.find("8 KiB"), std::string::npos);
    // Each raw byte that has to be escaped grows threefold.
    const std::string grows = head + std::string(kMaxAddressBytes / 3, '\xB0');
    EXPECT_NE(check_address(grows, kSelf).error.find("8 KiB"), std::string::npos);
}

TEST(UpstreamConfig, OverridesAddsRemovesAndNamesTheBadLine) {
    UpstreamTable table = built_in_upstreams();
    ASSERT_TRUE(table.count("isgd") && table.count("tinyurl"));
    std::string error;
    ASSERT_TRUE(
        apply_upstream_config("# local services\n"
                              "isgd = http://127.0.0.1:9/create?url=\n"
                              "\n"
                              "  mine=https://s.example/new?u={url}&f=txt  \r\n"
                              "tinyurl =\n",
                              table, error))
        << error;
    EXPECT_EQ(table["isgd"], "http://127.0.0.1:9/create?url=");
    EXPECT_EQ(table["mine"], "https://s.example/new?u={url}&f=txt");
    EXPECT_EQ(table.count("tinyurl"), 0u);

    const std::pair<std::string, std::string> bad[] = {
        {"isgd http://x/\n", "line 1"},
        {"ok = http://x/\nbad key = http://x/\n", "line 2"},
        {"k = ftp://x/\n", "line 1"},
        {"k = not an address\n", "line 1"},
    };
    for (const auto& [text, where] : bad) {
        UpstreamTable t;
        EXPECT_FALSE(apply_upstream_config(text, t, error)) << text;
        EXPECT_NE(error.find(where), std::string::npos) << text << " -> " << error;
    }
}

TEST(UpstreamRequest, EscapesTheWholeAddressSoItStaysOneParameter) {
    EXPECT_EQ(upstream_request("http://u.test/c?format=simple&url=", "http://a.com/x?b=1&c=2#f"),
              "http://u.test/c?format=simple&url=http%3A%2F%2Fa.com%2Fx%3Fb%3D1%26c%3D2%23f");
    EXPECT_EQ(upstream_request("http://u.test/c?u={url}&f=t", "http://a.com/%B0"),
              "http://u.test/c?u=http%3A%2F%2Fa.com%2F%25B0&f=t");
}

TEST(CommandLine, ParsesOptionsAndRefusesWhatItDoesNotKnow) {
    std::string error;
    auto line = parse_command_line({}, error);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->listen_host, "127.0.0.1");
    EXPECT_EQ(line->listen_port, 80);

    line = parse_command_line({"--listen", "127.0.0.1:8080", "--db=/tmp/x.db", "--public-base",
                               "http://s.test/", "--access-log", "-"},
                              error);
    ASSERT_TRUE(line) << error;
    EXPECT_EQ(line->listen_port, 8080);
    EXPECT_EQ(line->db_path, "/tmp/x.db");
    EXPECT_EQ(line->public_base, "http://s.test");
    EXPECT_EQ(line->access_log_path, "-");

    line = parse_command_line({"--listen", "[::1]:81"}, error);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->listen_host, "::1");

    const std::vector<std::string> wrong[] = {
        {"--listen"}, {"--listen", "8080"}, {"--listen", "a:70000"},
        {"--nope"},   {"--threads", "0"},   {"--db", ""},
    };
    for (const auto& args : wrong) {
        EXPECT_FALSE(parse_command_line(args, error)) << args.front();
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(default_public_base("127.0.0.1", 80), "http://127.0.0.1");
    EXPECT_EQ(default_public_base("0.0.0.0", 8080), "http://127.0.0.1:8080");
    EXPECT_EQ(default_public_base("::1", 8080), "http://[::1]:8080");
}

}  // namespace
}  // namespace zolt::gateway
