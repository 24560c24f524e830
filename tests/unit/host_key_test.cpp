#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headercheck/host_key.h"
#include "tests/support/pseudo_random.h"
#include "tests/support/reference_host_key.h"

namespace {

std::string folded_key(const std::string& url)
{
    std::string key(twhc::host_key_view(url.c_str()));
    for (char& c : key) {
        c = static_cast<char>(twhc::fold_ascii(static_cast<unsigned char>(c)));
    }
    return key;
}

struct KeyCase {
    const char* url;
    const char* key;
};

class HostKey : public testing::TestWithParam<KeyCase> {};

TEST_P(HostKey, ReducesUrlToHostKey)
{
    EXPECT_EQ(folded_key(GetParam().url), GetParam().key) << GetParam().url;
    EXPECT_EQ(twhc::host_key_view(GetParam().url),
              twhc_reference::host_key_view(GetParam().url)) << GetParam().url;
}

INSTANTIATE_TEST_SUITE_P(
    Urls, HostKey,
    testing::Values(
        // port, "www." and capitals go, in that order
        KeyCase{"https://www.Example.com:443/a?b#c", "example.com"},
        KeyCase{"https://WWW.example.com/", "www.example.com"},
        KeyCase{"https://Www.example.com/", "www.example.com"},
        KeyCase{"https://www.www.example.com/", "www.example.com"},
        KeyCase{"https://www./", "www."},
        KeyCase{"https://www.x", "x"},
        KeyCase{"https://sub.example.com/", "sub.example.com"},
        // no scheme: the host runs from the start
        KeyCase{"example.com:81/path", "example.com"},
        KeyCase{"example.com", "example.com"},
        KeyCase{"mailto:someone", "mailto"},
        // "://" after the first '/', '?' or '#' never picks the host
        KeyCase{"example.org/?next=https://example.com", "example.org"},
        KeyCase{"example.org?next=https://example.com", "example.org"},
        KeyCase{"example.org#https://example.com", "example.org"},
        KeyCase{"https:/example.com/", "https"},
        // the host ends at the first '/', '?' or '#'
        KeyCase{"https://example.com?x=1", "example.com"},
        KeyCase{"https://example.com#frag", "example.com"},
        // user information is dropped up to the last '@'
        KeyCase{"https://user:pw@example.com/", "example.com"},
        KeyCase{"https://user@example.com/", "example.com"},
        KeyCase{"https://a@b@example.com:8080/", "example.com"},
        KeyCase{"https://user:pw@www.Example.com:1/", "example.com"},
        // bracketed IPv6 literals keep their colons
        KeyCase{"http://[::1]/", "[::1]"},
        KeyCase{"http://[::1]:8080/", "[::1]"},
        KeyCase{"http://u:p@[fe80::1]:1/", "[fe80::1]"},
        KeyCase{"http://[::1/", "[:"},
        // the host's first byte is never a port separator
        KeyCase{"https://:8080/", ":8080"},
        KeyCase{"https://a:/", "a"},
        // no host at all
        KeyCase{"https:///x", ""},
        KeyCase{"//example.com/x", ""},
        KeyCase{"https://user@/x", ""},
        KeyCase{"", ""},
        KeyCase{"/", ""},
        // bytes >= 0x80 are never folded
        KeyCase{"https://\xC3\x84X.example/", "\xC3\x84x.example"}));

std::string normalised(const std::string& entry)
{
    std::vector<char> out(entry.size() + 1, 'x');
    const std::size_t length = twhc::normalise_entry(entry, out.data());
    EXPECT_EQ(out[length], '\0');
    return std::string(out.data(), length);
}

TEST(NormaliseEntry, FollowsTheHostKeyRules)
{
    EXPECT_EQ(normalised("Example.COM"), "example.com");
    EXPECT_EQ(normalised("www.example.com"), "example.com");
    EXPECT_EQ(normalised("WWW.example.com"), "www.example.com");
    EXPECT_EQ(normalised("www."), "www.");
    EXPECT_EQ(normalised(""), "");
}

}  // namespace

namespace {

TEST(FoldAscii8, AgreesWithTheByteFoldInEveryLane)
{
    for (unsigned value = 0; value < 256; ++value) {
        for (unsigned lane = 0; lane < 8; ++lane) {
            const std::uint64_t word = (0x4142435A5B607A61u & ~(0xFFull << (8 * lane))) |
                                       (static_cast<std::uint64_t>(value) << (8 * lane));
            std::uint64_t expected = 0;
            for (unsigned i = 0; i < 8; ++i) {
                const auto byte = static_cast<unsigned char>(word >> (8 * i));
                expected |= static_cast<std::uint64_t>(twhc::fold_ascii(byte)) << (8 * i);
            }
            ASSERT_EQ(twhc::fold_ascii8(word), expected) << value << " in lane " << lane;
        }
    }
}

// The block scan must agree with the byte-at-a-time reduction wherever the URL sits relative to
// a 16-byte boundary and wherever its delimiters fall.
TEST(HostKeyView, AgreesWithTheReferenceAtEveryAlignment)
{
    static const char alphabet[] = "ab:/?#@[]wW.";
    tw_test::PseudoRandom next(12345);
    alignas(16) char buffer[128];
    for (int round = 0; round < 40000; ++round) {
        const std::size_t length = next() % 48;
        const std::size_t offset = next() % 16;
        std::string url;
        for (std::size_t i = 0; i < length; ++i) {
            url += alphabet[next() % (sizeof alphabet - 1)];
        }
        if (next() % 4 == 0) {
            url = "http://" + url;
        }
        std::memset(buffer, 'Q', sizeof buffer);
        std::memcpy(buffer + offset, url.c_str(), url.size() + 1);
        const std::string_view fast = twhc::host_key_view(buffer + offset);
        const std::string_view slow = twhc_reference::host_key_view(buffer + offset);
        ASSERT_EQ(fast.data(), slow.data()) << url << " at offset " << offset;
        ASSERT_EQ(fast.size(), slow.size()) << url << " at offset " << offset;
    }
}

}  // namespace

