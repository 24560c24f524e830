#include <gtest/gtest.h>

#include <cstdint>
#include <cctype>
#include <string>
#include <vector>

#include "headercheck/host_key.h"
#include "headercheck/skip_table.h"
#include "tests/support/pseudo_random.h"
#include "tests/support/reference_skip_table.h"

namespace {

using twhc_reference::IndexedTable;

TEST(SkipTable, MatchesWholeNormalisedHostsOnly)
{
    const IndexedTable<> table({"example.com", "service-a.internal", "service-b.internal", "Short", "",
                                "www.example.org", "WWW.other.org", "example.com"});
    EXPECT_TRUE(table.contains("https://www.Example.com:443/a?b#c"));
    EXPECT_TRUE(table.contains("example.com:81/path"));
    EXPECT_TRUE(table.contains("https://user:pw@example.com/"));
    EXPECT_TRUE(table.contains("https://WWW.example.com/"));
    EXPECT_FALSE(table.contains("https://sub.example.com/"));
    EXPECT_FALSE(table.contains("https://example.co/"));
    EXPECT_FALSE(table.contains("https://example.comm/"));
    // same length and first eight bytes: only the tail tells them apart
    EXPECT_TRUE(table.contains("http://SERVICE-B.INTERNAL/"));
    EXPECT_FALSE(table.contains("http://service-c.internal/"));
    EXPECT_TRUE(table.contains("http://short/"));
    EXPECT_FALSE(table.contains("http://shor/"));
    // a "www." entry, in any case, stands for its own key
    EXPECT_TRUE(table.contains("https://www.example.org/"));
    EXPECT_TRUE(table.contains("https://example.org/"));
    EXPECT_TRUE(table.contains("https://WWW.other.org/"));
    EXPECT_TRUE(table.contains("https://other.org/"));
    // the empty entry never matches, and an empty key matches nothing
    EXPECT_FALSE(table.contains("https:///x"));
    EXPECT_FALSE(table.contains(""));
    EXPECT_FALSE(IndexedTable<>({}).contains("https://example.com/"));
}

// Hashes that force collisions: the lookup must stay exact when tags and groups say nothing.
struct OneGroupOneTag {
    std::uint64_t operator()(std::string_view) const { return 0x5A00000300000000u; }
};
struct SharedTag {
    std::uint64_t operator()(std::string_view key) const
    {
        return (twhc::FoldedKeyHash{}(key) & 0x00FFFFFFFFFFFFFFu) | 0x5A00000000000000u;
    }
};
struct SharedGroup {
    std::uint64_t operator()(std::string_view key) const
    {
        return twhc::FoldedKeyHash{}(key) & 0xFF000000FFFFFFFFu;
    }
};
struct FourGroupsFourTags {
    std::uint64_t operator()(std::string_view key) const
    {
        return twhc::FoldedKeyHash{}(key) & 0xC000000300000000u;
    }
};

// Hosts from a small alphabet, so that near misses (one byte off, one byte more or less, another
// case) are common, and lengths on both sides of the 8-byte head.
std::string random_host(tw_test::PseudoRandom& next)
{
    static const char letters[] = "abAB.-0";
    std::string host;
    const std::size_t length = 1 + next() % 20;
    for (std::size_t i = 0; i < length; ++i) {
        host += letters[next() % (sizeof letters - 1)];
    }
    return host;
}

std::string near_miss(std::string host, tw_test::PseudoRandom& next)
{
    switch (next() % 5) {
    case 0: host[next() % host.size()] ^= 1; break;
    case 1: host += 'a'; break;
    case 2: host.pop_back(); break;
    case 3: host.insert(0, "x"); break;
    default: host[next() % host.size()] = static_cast<char>(std::toupper(host.back())); break;
    }
    return host;
}

template <typename Hash>
void check_against_oracle(std::size_t size, std::uint32_t seed, int probes)
{
    tw_test::PseudoRandom next(seed);
    std::vector<std::string> raw;
    for (std::size_t i = 0; i < size; ++i) {
        // Large tables take distinct-looking service names, small ones the crowded alphabet.
        raw.push_back(size > 4096 ? "svc" + std::to_string(next() % (size * 2)) + ".internal" : random_host(next));
    }
    const IndexedTable<Hash> table(raw);
    for (int probe = 0; probe < probes; ++probe) {
        std::string host = size > 4096 ? "svc" + std::to_string(next() % (size * 2)) + ".internal" : random_host(next);
        if (size > 0 && probe % 3 == 0) {
            host = raw[next() % size];
        } else if (size > 0 && probe % 3 == 1) {
            host = near_miss(raw[next() % size], next);
        }
        const std::string url = "https://" + host + "/path";
        ASSERT_EQ(table.contains(url), twhc_reference::table_contains(table.entries(), twhc_reference::url_key(url.c_str())))
            << url << " with " << size << " entries";
    }
}

std::vector<std::size_t> table_sizes()
{
    std::vector<std::size_t> sizes{0, 1, 2, 3, 14, 15, 16, 17, 28, 29, 56, 57};
    for (std::size_t power = 32; power <= 65536; power *= 2) {
        sizes.insert(sizes.end(), {power - 1, power, power + 1});
    }
    return sizes;
}

class SkipTableSize : public testing::TestWithParam<std::size_t> {};

TEST_P(SkipTableSize, AgreesWithALinearScan)
{
    check_against_oracle<twhc::FoldedKeyHash>(GetParam(), static_cast<std::uint32_t>(GetParam()) + 7, 600);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SkipTableSize, testing::ValuesIn(table_sizes()));

TEST(SkipTable, AgreesWithALinearScanAtAMillionEntries)
{
    check_against_oracle<twhc::FoldedKeyHash>(1u << 20, 1, 30);
}

TEST(SkipTable, StaysExactUnderForcedCollisions)
{
    for (const std::size_t size : {1u, 15u, 16u, 17u, 100u, 1000u}) {
        check_against_oracle<OneGroupOneTag>(size, 3, 300);
        check_against_oracle<SharedTag>(size, 4, 300);
        check_against_oracle<SharedGroup>(size, 5, 300);
        check_against_oracle<FourGroupsFourTags>(size, 6, 300);
    }
}

TEST(SkipTable, DuplicatesTakeOneSlot)
{
    // A million copies of one host must not make a probe sequence a million slots long.
    const std::vector<std::string> raw(1u << 20, "Example.com");
    const IndexedTable<OneGroupOneTag> table(raw);
    EXPECT_TRUE(table.contains("https://example.com/"));
    EXPECT_FALSE(table.contains("https://example.co/"));
}

// A URL's key is hashed before folding, its entry after: both must land in the same place.
TEST(SkipTable, HashIgnoresAsciiCaseAtEveryLength)
{
    tw_test::PseudoRandom next(77);
    for (std::size_t length = 1; length <= 40; ++length) {
        for (int round = 0; round < 50; ++round) {
            std::string key;
            for (std::size_t i = 0; i < length; ++i) {
                key += "aZ.-9Qx"[next() % 7];
            }
            ASSERT_EQ(twhc::FoldedKeyHash{}(key), twhc::FoldedKeyHash{}(twhc_reference::folded(key))) << key;
        }
    }
}

TEST(SkipTable, LeavesAnEmptySlotInEveryFullTable)
{
    for (std::size_t count = 0; count < 5000; ++count) {
        ASSERT_LT(count, twhc::skip_index_groups(count) * 16) << count;
        ASSERT_LE(count, twhc::skip_index_groups(count) * 14) << count;
    }
}

}  // namespace
