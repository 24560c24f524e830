#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "headercheck/host_key.h"
#include "headercheck/readings.h"
#include "tests/support/pseudo_random.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/reference_host_rules.h"

namespace {

using twhc_reference::RuleTable;

std::vector<std::string> module_readings(const char* url)
{
    twhc::Readings readings;
    const twhc::HostPart part = twhc::host_part(url);
    EXPECT_EQ(twhc::url_readings(url, part.text, tw_test::kSimpleLowerCase, tw_test::kSimpleIdna2003, readings),
              twhc::CanonicalOutcome::done);
    std::vector<std::string> hosts;
    for (std::size_t i = 0; i < readings.count(); ++i) {
        hosts.emplace_back(readings.host(i));
    }
    std::sort(hosts.begin(), hosts.end());
    return hosts;
}

std::vector<std::string> oracle_readings(const char* url)
{
    std::vector<std::string> hosts;
    for (const twhc_reference::Canonical& host : twhc_reference::readings(url)) {
        hosts.push_back(host.text);
    }
    std::sort(hosts.begin(), hosts.end());
    return hosts;
}

struct ReadingCase {
    const char* url;
    std::vector<std::string> readings;  // sorted
    bool rare;
};

class UrlReadings : public testing::TestWithParam<ReadingCase> {};

TEST_P(UrlReadings, TakeTheHostEveryClientReads)
{
    const ReadingCase& c = GetParam();
    EXPECT_EQ(twhc::host_part(c.url).rare, c.rare) << c.url;
    EXPECT_EQ(module_readings(c.url), c.readings) << c.url;
    EXPECT_EQ(oracle_readings(c.url), c.readings) << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, UrlReadings,
    testing::Values(
        // one reading: the common host, with or without a port and user information
        ReadingCase{"https://api.example.com/p", {"api.example.com"}, false},
        ReadingCase{"https://user:pw@api.example.com:8443/p", {"api.example.com"}, false},
        ReadingCase{"https://api%2Eexample.com/p", {"api.example.com"}, true},
        ReadingCase{"https://b%C3%BCcher.example/", {"xn--bcher-kva.example"}, true},
        // a '\': where the authority ends for WHATWG, and where it ends for httpx 0.28
        ReadingCase{"http://evil.example\\@api.example.com/p", {"api.example.com", "evil.example"}, true},
        ReadingCase{"https://api.example.com\\@evil.example/", {"api.example.com", "evil.example"}, true},
        ReadingCase{"http://api.example.com\\p", {"api.example.com", "api.example.com\\p"}, true},
        ReadingCase{"http://api.example.com:8080\\p", {"api.example.com"}, true},
        ReadingCase{"https://\\@evil.example/", {"", "evil.example"}, true},
        // an escaped '\', as httpx 0.23 writes the last two out, in the host or the user information
        ReadingCase{"http://api.example.com%5Cp", {"api.example.com", "api.example.com\\p"}, true},
        ReadingCase{"http://api.example.com%5cp:80/", {"api.example.com", "api.example.com\\p"}, true},
        ReadingCase{"http://evil.example%5C@api.example.com/p", {"api.example.com", "evil.example"}, true},
        ReadingCase{"http://user%40mail@api.example.com/p", {"api.example.com"}, true},
        // IDNA 2003 beside IDNA 2008: the soft hyphen dropped, "ß" as "ss", escaped or not
        ReadingCase{"http://ap\u00adi.example.com/", {"api.example.com", "xn--api-hfa.example.com"}, true},
        ReadingCase{"http://ap%C2%ADi.example.com/", {"api.example.com", "xn--api-hfa.example.com"}, true},
        ReadingCase{"http://12\u00ad7.0.0.1/", {"127.0.0.1", "xn--127-hfa.0.0.1"}, true},
        ReadingCase{"http://fa\u00df.example/", {"fass.example", "xn--fa-hia.example"}, true},
        ReadingCase{"http://fa%C3%9F.example/", {"fass.example", "xn--fa-hia.example"}, true},
        // both at once: every host part in both of its forms
        ReadingCase{"http://fa\u00df.example\\@api.example.com/",
                    {"api.example.com", "fass.example", "xn--fa-hia.example"}, true}));

TEST(Idna2003, IsKnownToBeIdna2008ForAsciiAndTheLatin1LettersButSharpS)
{
    EXPECT_TRUE(twhc::idna2003_is_idna2008("b\xC3\xBC" "cher.example"));
    EXPECT_TRUE(twhc::idna2003_is_idna2008("\xC3\x80\xC3\xBF.EXAMPLE"));
    for (const char* name : {"fa\xC3\x9F", "ap\xC2\xAD" "i", "\xEF\xBC\xA1", "a\xC3\x97", "a\xC3\xB7", "\xC3", "\xC3\x41",
                             "\xC2\xB5", "\xCE\xA3"}) {
        EXPECT_FALSE(twhc::idna2003_is_idna2008(name)) << name;
    }
}

struct DecisionCase {
    std::vector<std::string> skip;
    std::vector<std::string> targets;  // {"-"}: no targets loaded
    const char* url;
    bool inject;
};

class Decision : public testing::TestWithParam<DecisionCase> {};

// Skipped when any reading is skipped; a target only when every reading is one.
TEST_P(Decision, SkipsUnderAnyReadingAndTargetsUnderEvery)
{
    const DecisionCase& c = GetParam();
    const bool no_targets = c.targets.size() == 1 && c.targets[0] == "-";
    const RuleTable skip(c.skip);
    const RuleTable targets(no_targets ? std::vector<std::string>{} : c.targets, false);
    EXPECT_EQ(twhc_reference::module_should_inject(&skip, no_targets ? nullptr : &targets, c.url), c.inject) << c.url;
    EXPECT_EQ(twhc_reference::should_inject(&c.skip, no_targets ? nullptr : &c.targets, c.url), c.inject) << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Decision,
    testing::Values(
        DecisionCase{{"evil.example"}, {"-"}, "http://evil.example\\@api.example.com/p", false},
        DecisionCase{{"api.example.com"}, {"-"}, "http://evil.example\\@api.example.com/p", false},
        DecisionCase{{"other.example"}, {"-"}, "http://evil.example\\@api.example.com/p", true},
        DecisionCase{{}, {"api.example.com"}, "http://evil.example\\@api.example.com/p", false},
        DecisionCase{{}, {"api.example.com", "evil.example"}, "http://evil.example\\@api.example.com/p", true},
        DecisionCase{{}, {".example"}, "http://evil.example\\@api.example/p", true},
        DecisionCase{{}, {"api.example.com"}, "http://api.example.com%5Cp", false},
        DecisionCase{{}, {"*"}, "https://\\@evil.example/", true},
        DecisionCase{{}, {"evil.example"}, "https://\\@evil.example/", false},
        // a skip entry in both of its forms; a target in its first only
        DecisionCase{{"fa\u00df.example"}, {"-"}, "http://fass.example/", false},
        DecisionCase{{"fa\u00df.example"}, {"-"}, "http://xn--fa-hia.example/", false},
        DecisionCase{{".fa\u00df.example"}, {"-"}, "http://a.fass.example/", false},
        DecisionCase{{}, {"fa\u00df.example"}, "http://fass.example/", false},
        DecisionCase{{}, {"fa\u00df.example"}, "http://xn--fa-hia.example/", true},
        DecisionCase{{}, {"fa\u00df.example"}, "http://fa\u00df.example/", false},
        DecisionCase{{}, {"fa\u00df.example", "fass.example"}, "http://fa\u00df.example/", true},
        DecisionCase{{"api.example.com"}, {"-"}, "http://ap\u00adi.example.com/", false},
        DecisionCase{{"127.0.0.1"}, {"-"}, "http://12%C2%AD7.0.0.1/", false},
        DecisionCase{{"bücher.example"}, {"-"}, "http://xn--bcher-kva.example/", false}));

struct ReaderCase {
    const char* url;
    const char* past_backslash;
    const char* at_escaped_backslash;
};

class ReaderHostPart : public testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderHostPart, EndsTheAuthorityWhereItsReaderDoes)
{
    const ReaderCase& c = GetParam();
    const twhc::HostPart part = twhc::host_part(c.url);
    const std::string_view whatwg = twhc::reader_host_part(c.url, twhc::AuthorityEnd::at_backslash);
    EXPECT_EQ(whatwg.data(), part.text.empty() ? whatwg.data() : part.text.data()) << c.url;
    EXPECT_EQ(whatwg, part.text) << c.url;
    EXPECT_EQ(twhc::reader_host_part(c.url, twhc::AuthorityEnd::past_backslash), c.past_backslash) << c.url;
    EXPECT_EQ(twhc::reader_host_part(c.url, twhc::AuthorityEnd::at_escaped_backslash), c.at_escaped_backslash)
        << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    Authorities, ReaderHostPart,
    testing::Values(ReaderCase{"http://a\\b/c", "a\\b", "a"}, ReaderCase{"http://u\\@h:1?q", "h", "u"},
                    ReaderCase{"http://[::1]\\@[::2]:8/", "[::2]", "[::1]"}, ReaderCase{"http://h%5", "h%5", "h%5"},
                    ReaderCase{"http://h%5C", "h%5C", "h"}, ReaderCase{"http://u%5c@h", "h", "u"},
                    ReaderCase{"a\\b:1", "a\\b", "a"}, ReaderCase{"http://\\", "\\", ""}));

// On random URLs of the bytes that matter: a URL the scan lets through the quick path has one
// reading, and the module's readings are the oracle's, each read at every alignment.
TEST(UrlReadings, AgreeWithTheOracleAndTheQuickPath)
{
    static const char alphabet[] = "ab:/?#@[]\\%5Cc.1\xC3\x9F\xC2\xAD";
    tw_test::PseudoRandom next(4242);
    alignas(16) char buffer[96];
    for (int round = 0; round < 40000; ++round) {
        std::string url = next() % 2 == 0 ? "http://" : "";
        const std::size_t length = next() % 40;
        for (std::size_t i = 0; i < length; ++i) {
            url += alphabet[next() % (sizeof alphabet - 1)];
        }
        const std::size_t offset = next() % 16;
        std::memset(buffer, 'Q', sizeof buffer);
        std::memcpy(buffer + offset, url.c_str(), url.size() + 1);
        const char* at = buffer + offset;
        ASSERT_EQ(module_readings(at), oracle_readings(at)) << url;
        if (!twhc::host_part(at).rare) {
            ASSERT_EQ(oracle_readings(at).size(), 1u) << url;
        }
    }
}

}  // namespace
