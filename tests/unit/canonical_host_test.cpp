#include <gtest/gtest.h>

#include <string>

#include "headercheck/canonical_host.h"
#include "tests/support/pseudo_random.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/simple_lower_case.h"

namespace {

struct Canonical {
    std::string text;
    bool is_address;
    twhc::CanonicalOutcome outcome;
};

Canonical canonical(std::string_view raw, const twhc::LowerCase& lower = tw_test::kSimpleLowerCase)
{
    twhc::HostBuffer out;
    bool is_address = false;
    const twhc::CanonicalOutcome outcome = twhc::canonical_host(raw, lower, out, &is_address);
    return {std::string(out.view()), is_address, outcome};
}

struct StepCase {
    const char* raw;
    const char* canonical;
    bool is_address;
};

class CanonicalHost : public testing::TestWithParam<StepCase> {};

TEST_P(CanonicalHost, GivesOneFormForEverySpelling)
{
    const StepCase& c = GetParam();
    const Canonical got = canonical(c.raw);
    EXPECT_EQ(got.outcome, twhc::CanonicalOutcome::done);
    EXPECT_EQ(got.text, c.canonical) << c.raw;
    EXPECT_EQ(got.is_address, c.is_address) << c.raw;
    EXPECT_EQ(twhc_reference::canonical(c.raw).text, c.canonical) << c.raw;
    // Stable: the canonical form of a canonical host is itself.
    EXPECT_EQ(canonical(got.text).text, got.text) << c.raw;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CanonicalHost,
    testing::Values(
        // the common host: folded, nothing else; "www." stays (only the key drops it)
        StepCase{"Example.COM", "example.com", false},
        StepCase{"www.example.com", "www.example.com", false},
        StepCase{"", "", false},
        // tab, LF and CR are removed, wherever they are
        StepCase{"ex\tam\nple.c\rom", "example.com", false},
        StepCase{"%2\t5", "%25", false},
        // escapes decoded; '%', NUL, tab, LF, CR and a stray '%' stay escaped, in one spelling
        StepCase{"api%2Eexample%2ecom", "api.example.com", false},
        StepCase{"%41%42c", "abc", false},
        StepCase{"a%25b", "a%25b", false},
        StepCase{"a%b", "a%25b", false},
        StepCase{"a%", "a%25", false},
        StepCase{"a%0A%0d%09%00", "a%0a%0d%09%00", false},
        StepCase{"%%34%31", "%2541", false},
        StepCase{"a%2Fb", "a/b", false},
        // one trailing dot goes; a last empty label keeps its dot; a lone dot leaves nothing
        StepCase{"example.com.", "example.com", false},
        StepCase{"example.com..", "example.com..", false},
        StepCase{".", "", false},
        StepCase{"www.", "www", false},
        StepCase{"%2E", "", false},
        // IPv4 in every form: decimal, hex, octal, 1 to 4 parts
        StepCase{"127.0.0.1", "127.0.0.1", true},
        StepCase{"127.1", "127.0.0.1", true},
        StepCase{"0x7F.1", "127.0.0.1", true},
        StepCase{"0X7f000001", "127.0.0.1", true},
        StepCase{"2130706433", "127.0.0.1", true},
        StepCase{"0177.0.0.01", "127.0.0.1", true},
        StepCase{"1.2.3.4.", "1.2.3.4", true},
        StepCase{"%31.2.3.4", "1.2.3.4", true},
        StepCase{"0x", "0.0.0.0", true},
        // not numbers: names, as they are
        StepCase{"1.2.3.4.5", "1.2.3.4.5", false},
        StepCase{"256.0.0.1", "256.0.0.1", false},
        StepCase{"4294967296", "4294967296", false},
        StepCase{"09", "09", false},
        StepCase{"1..2", "1..2", false},
        StepCase{"a.1", "a.1", false},
        StepCase{"1.example", "1.example", false},
        // IPv6: bracketed or bare, always bracketed in RFC 5952 text
        StepCase{"[::1]", "[::1]", true},
        StepCase{"::1", "[::1]", true},
        StepCase{"[0:0:0:0:0:0:0:1]", "[::1]", true},
        StepCase{"[::0001]", "[::1]", true},
        StepCase{"[2001:DB8:0:0:1:0:0:1]", "[2001:db8::1:0:0:1]", true},
        StepCase{"[::FFFF:1.2.3.4]", "[::ffff:102:304]", true},
        StepCase{"[::\t1]", "[::1]", true},
        StepCase{"[fe80::1%25eth0]", "[fe80::1%25eth0]", false},
        StepCase{"[::1", "[::1", false},
        StepCase{"example.com:8080", "example.com:8080", false},
        // international names: lower-cased, split at four kinds of dot, Punycode per label
        StepCase{"bücher.example", "xn--bcher-kva.example", false},
        StepCase{"BÜCHER.Example", "xn--bcher-kva.example", false},
        StepCase{"b%C3%BCcher.example", "xn--bcher-kva.example", false},
        StepCase{"xn--BCHER-KVA.example", "xn--bcher-kva.example", false},
        StepCase{"bücher.example.", "xn--bcher-kva.example", false},
        StepCase{"bücher\xEF\xBD\xA1" "example\xE3\x80\x82", "xn--bcher-kva.example", false},
        StepCase{"api\xEF\xBC\x8E" "example\xEF\xBC\x8E" "com", "api.example.com", false},
        StepCase{"\xCE\xB1\xCE\xB2\xCE\xB3", "xn--mxacd", false},
        StepCase{"\xE2\x84\xAA" "elvin", "kelvin", false},
        StepCase{"1.\xC3\xBC", "1.xn--tda", false},
        // a name that can't be encoded keeps its bytes: invalid UTF-8, a label too long
        StepCase{"\xFF" "A.example", "\xFF" "a.example", false},
        StepCase{"%C3.example", "\xC3.example", false},
        StepCase{"\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC.x",
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC"
                 "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC.x",
                 false}));

twhc::LowerCase::Result refuse(void*, std::string_view, twhc::HostBuffer&) { return twhc::LowerCase::unchanged; }
twhc::LowerCase::Result stop(void*, std::string_view, twhc::HostBuffer&) { return twhc::LowerCase::stopped; }

TEST(CanonicalHost, ANameTheLowerCaserRefusesIsEncodedAsItIs)
{
    EXPECT_EQ(canonical("BÜCHER.example", {refuse, nullptr}).text, "xn--bcher-2pa.example");
    EXPECT_EQ(canonical("bücher.example", {refuse, nullptr}).text, "xn--bcher-kva.example");
}

TEST(CanonicalHost, AStopRequestStopsOnlyANameThatNeedsLowerCasing)
{
    EXPECT_EQ(canonical("bücher.example", {stop, nullptr}).outcome, twhc::CanonicalOutcome::stopped);
    EXPECT_EQ(canonical("Bucher.example", {stop, nullptr}).outcome, twhc::CanonicalOutcome::done);
    EXPECT_EQ(canonical("%FF.example", {stop, nullptr}).outcome, twhc::CanonicalOutcome::done);
}

TEST(CanonicalHost, LongHostsMoveToTheHeap)
{
    std::string raw;
    for (int i = 0; i < 200; ++i) {
        raw += "Label-" + std::to_string(i) + ".";
    }
    raw.pop_back();
    const Canonical got = canonical(raw + "%2E");
    EXPECT_EQ(got.text, twhc_reference::folded(raw));
}

// Random hosts from the bytes that steer the steps: every step agrees with the oracle and the
// form is stable.
TEST(CanonicalHost, AgreesWithTheReferenceAndIsStable)
{
    static const char* const pieces[] = {"a", "B", ".", "%", "2e", "2E", "25", "0", "1", "x", "ff", ":", "[", "]",
                                         "\t", "\xC3\xBC", "\xC3\x9C", "\xEF\xBC\x8E", "\xFF", "www.", "%C3", "%BC", "-"};
    tw_test::PseudoRandom next(99);
    for (int round = 0; round < 50000; ++round) {
        std::string raw;
        const std::size_t count = next() % 12;
        for (std::size_t i = 0; i < count; ++i) {
            raw += pieces[next() % (sizeof pieces / sizeof pieces[0])];
        }
        const Canonical got = canonical(raw);
        const twhc_reference::Canonical expected = twhc_reference::canonical(raw);
        ASSERT_EQ(got.text, expected.text) << raw;
        ASSERT_EQ(got.is_address, expected.is_address) << raw;
        ASSERT_EQ(canonical(got.text).text, got.text) << raw;
    }
}

}  // namespace
