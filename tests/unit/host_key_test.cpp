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

// A table built the way the module builds it.
struct Table {
    explicit Table(std::vector<std::string> raw) : entries(std::move(raw))
    {
        for (std::string& entry : entries) {
            entry = normalised(entry);
            heads.push_back(twhc::entry_head(entry));
            tags.push_back(twhc::folded_tag(entry));
            pointers.push_back(entry.c_str());
        }
        tags.resize(twhc::tag_bytes(tags.size()), 0);
    }
    bool contains(const std::string& url) const
    {
        const twhc::TableView view{pointers.data(), heads.data(), tags.data(), pointers.size()};
        return twhc::table_contains(twhc::host_key_view(url.c_str()), view);
    }
    std::vector<std::string> entries;
    std::vector<twhc::EntryHead> heads;
    std::vector<std::uint8_t> tags;
    std::vector<const char*> pointers;
};

TEST(TableContains, MatchesWholeHostsOnly)
{
    const Table table({"example.com"});
    EXPECT_TRUE(table.contains("https://www.Example.com:443/a?b#c"));
    EXPECT_TRUE(table.contains("example.com:81/path"));
    EXPECT_TRUE(table.contains("https://user:pw@example.com/"));
    EXPECT_FALSE(table.contains("https://WWW.example.com/"));
    EXPECT_FALSE(table.contains("https://sub.example.com/"));
    EXPECT_FALSE(table.contains("https://example.co/"));
    EXPECT_FALSE(table.contains("https://example.comm/"));
    EXPECT_FALSE(table.contains("https:///x"));
}

TEST(TableContains, ComparesBeyondTheHeadAndAcrossEntries)
{
    // Same length and same first eight bytes: only the tail tells them apart.
    const Table table({"service-a.internal", "service-b.internal", "Short", ""});
    EXPECT_TRUE(table.contains("http://service-b.internal/"));
    EXPECT_TRUE(table.contains("http://SERVICE-A.INTERNAL/"));
    EXPECT_FALSE(table.contains("http://service-c.internal/"));
    EXPECT_TRUE(table.contains("http://short/"));
    EXPECT_FALSE(table.contains("http://shor/"));
}

TEST(TableContains, WwwEntriesMatchTheirOwnKey)
{
    const Table table({"www.example.com", "WWW.other.org"});
    EXPECT_TRUE(table.contains("https://www.example.com/"));
    EXPECT_TRUE(table.contains("https://example.com/"));
    EXPECT_TRUE(table.contains("https://WWW.other.org/"));
    EXPECT_FALSE(table.contains("https://other.org/"));
    EXPECT_FALSE(table.contains("https://www.other.org/"));
}

TEST(TableContains, EmptyTableAndEmptyKeyMatchNothing)
{
    const Table empty({});
    EXPECT_FALSE(empty.contains("https://example.com/"));
    const Table with_empty_entry({""});
    EXPECT_FALSE(with_empty_entry.contains("https:///"));
    EXPECT_FALSE(with_empty_entry.contains(""));
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

namespace {

// Tables of every size around the 16-entry groups, against a plain search of the normalised keys.
TEST(TableContains, AgreesWithAPlainSearchForEverySize)
{
    tw_test::PseudoRandom next(99);
    const auto random_host = [&next] {
        static const char letters[] = "abAB.-0";
        std::string host;
        const std::size_t length = 1 + next() % 20;
        for (std::size_t i = 0; i < length; ++i) {
            host += letters[next() % (sizeof letters - 1)];
        }
        return host;
    };
    for (std::size_t size = 0; size < 70; ++size) {
        std::vector<std::string> raw;
        for (std::size_t i = 0; i < size; ++i) {
            raw.push_back(random_host());
        }
        const Table table(raw);
        for (int probe = 0; probe < 200; ++probe) {
            const std::string host = probe % 3 == 0 && size > 0 ? raw[next() % size] : random_host();
            const std::string url = "https://" + host + "/path";
            const std::string key = folded_key(url);
            bool expected = false;
            for (const std::string& entry : table.entries) {
                expected = expected || (!key.empty() && entry == key);
            }
            ASSERT_EQ(table.contains(url), expected) << url << " with " << size << " entries";
        }
    }
}

}  // namespace
