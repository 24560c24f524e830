#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headercheck/host_rules.h"
#include "tests/support/pseudo_random.h"
#include "tests/support/reference_host_rules.h"

namespace {

using twhc_reference::RuleTable;

struct RuleCase {
    std::vector<std::string> entries;
    const char* url;
    bool matches;
};

class HostRules : public testing::TestWithParam<RuleCase> {};

TEST_P(HostRules, MatchLikeNoProxyAndProxyBypassLists)
{
    const RuleCase& c = GetParam();
    const RuleTable table(c.entries);
    EXPECT_EQ(table.matches(c.url), c.matches) << c.url;
    EXPECT_EQ(twhc_reference::url_matches(c.entries, c.url), c.matches) << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostRules,
    testing::Values(
        // a plain entry keeps its meaning: the host, and the host with "www."
        RuleCase{{"example.com"}, "https://example.com/", true},
        RuleCase{{"example.com"}, "https://www.example.com/", true},
        RuleCase{{"example.com"}, "https://a.example.com/", false},
        // ".example.com": the domain and every host under it, at any depth
        RuleCase{{".example.com"}, "https://example.com/", true},
        RuleCase{{".example.com"}, "https://a.example.com/", true},
        RuleCase{{".example.com"}, "https://a.b.c.example.com:8443/x", true},
        RuleCase{{".example.com"}, "https://www.example.com/", true},
        RuleCase{{".example.com"}, "https://badexample.com/", false},
        RuleCase{{".example.com"}, "https://example.com.evil.test/", false},
        RuleCase{{".example.com"}, "https://example.co/", false},
        RuleCase{{".example.com"}, "https://xample.com/", false},
        // "*.example.com": every host under it, not the domain itself
        RuleCase{{"*.example.com"}, "https://example.com/", false},
        RuleCase{{"*.example.com"}, "https://a.example.com/", true},
        RuleCase{{"*.example.com"}, "https://a.b.example.com/", true},
        RuleCase{{"*.example.com"}, "https://www.example.com/", true},
        RuleCase{{"*.example.com"}, "https://badexample.com/", false},
        // one label, and deeper domains
        RuleCase{{"*.com"}, "https://example.com/", true},
        RuleCase{{"*.com"}, "https://com/", false},
        RuleCase{{".s3.us-east-1.amazonaws.com"}, "https://bucket.s3.us-east-1.amazonaws.com/k", true},
        RuleCase{{".s3.us-east-1.amazonaws.com"}, "https://s3.us-west-2.amazonaws.com/k", false},
        // "*": every host, but no host at all is no host
        RuleCase{{"*"}, "https://anything.example/", true},
        RuleCase{{"*"}, "http://127.0.0.1:8080/", true},
        RuleCase{{"*"}, "https:///x", false},
        // a domain is canonical like a host: case, trailing dot, escapes, international names
        RuleCase{{".EXAMPLE.Com."}, "https://A.example.COM/", true},
        RuleCase{{"*.example%2Ecom"}, "https://a.example.com/", true},
        RuleCase{{".bücher.example"}, "https://shop.xn--bcher-kva.example/", true},
        RuleCase{{".xn--bcher-kva.example"}, "https://shop.BÜCHER.example/", true},
        // the URL's host is read as ever: "www." stays for domains, the spellings meet
        RuleCase{{"*.www.example.com"}, "https://a.www.example.com/", true},
        RuleCase{{".www.example.com"}, "https://example.com/", false},
        RuleCase{{".example.com"}, "https://a.example.com./", true},
        RuleCase{{".example.com"}, "https://a%2Eexample.com/", true},
        RuleCase{{".example.com"}, "https://a．example．com/", true},
        // an IP literal is never under a domain; a domain that is an address stays a plain entry
        RuleCase{{".0.0.1"}, "http://127.0.0.1/", false},
        RuleCase{{"*.0.1"}, "http://127.1/", false},
        RuleCase{{".127.0.0.1"}, "http://127.0.0.1/", false},
        RuleCase{{".1"}, "http://[::1]/", false},
        // kept as plain entries: empty domains, stars elsewhere
        RuleCase{{"."}, "http://example.com/", false},
        RuleCase{{"*."}, "http://example.com/", false},
        RuleCase{{"*.*.example.com"}, "http://a.b.example.com/", false},
        RuleCase{{"a.*.com"}, "http://a.b.com/", false},
        RuleCase{{"**"}, "http://example.com/", false},
        RuleCase{{".%2E"}, "http://example.com/", false},
        // plain and domain entries mix; duplicates and both kinds of one domain merge
        RuleCase{{"api.example.org", "*.example.com", ".example.com", "*.example.com"}, "https://example.com/", true},
        RuleCase{{"*.example.com", "example.com"}, "https://example.com/", true},
        RuleCase{{"*.example.com", "api.example.org"}, "https://api.example.org/", true},
        RuleCase{{"*.example.com", "*.b.example.org"}, "https://a.example.org/", false},
        RuleCase{{".a.b.c.d.example", "*.x.example"}, "https://z.b.c.d.example/", false}));

// Random lists of plain and domain entries over a small alphabet of labels, looked up with hosts
// of 1 to 6 labels: the hashed rules must give the oracle's answer.
TEST(HostRules, AgreeWithTheOracleOnRandomLists)
{
    static const char* const labels[] = {"a", "b", "example", "com", "www", "A", "xn--bcher-kva", "1", "0x7f"};
    static const char* const prefixes[] = {"", "", ".", "*.", "*"};
    tw_test::PseudoRandom next(2718);
    const auto host = [&](std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) {
                text += '.';
            }
            text += labels[next() % (sizeof labels / sizeof labels[0])];
        }
        return text;
    };
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> entries;
        const std::size_t count = next() % 8;
        for (std::size_t i = 0; i < count; ++i) {
            std::string entry = prefixes[next() % 5];
            entry += host(1 + next() % 4);
            entries.push_back(entry);
        }
        const RuleTable table(entries);
        for (int probe = 0; probe < 20; ++probe) {
            std::string url = "https://";
            url += host(1 + next() % 6);
            url += next() % 3 == 0 ? "./p" : "/p";
            ASSERT_EQ(table.matches(url.c_str()), twhc_reference::url_matches(entries, url.c_str()))
                << url << " against " << testing::PrintToString(entries);
        }
    }
}

TEST(HostRules, ReadEntriesAsWritten)
{
    EXPECT_EQ(twhc::read_rule("*").kind, twhc::RuleKind::every_host);
    EXPECT_EQ(twhc::read_rule(".a").kind, twhc::RuleKind::domain_and_below);
    EXPECT_EQ(twhc::read_rule(".a").text, "a");
    EXPECT_EQ(twhc::read_rule("*.a").kind, twhc::RuleKind::below_domain);
    EXPECT_EQ(twhc::read_rule("*.a").text, "a");
    EXPECT_EQ(twhc::read_rule("*.").kind, twhc::RuleKind::host);
    EXPECT_EQ(twhc::read_rule("*a").kind, twhc::RuleKind::host);
    EXPECT_EQ(twhc::read_rule(".*.a").kind, twhc::RuleKind::host);
    EXPECT_EQ(twhc::read_rule("").kind, twhc::RuleKind::host);
}

}  // namespace
