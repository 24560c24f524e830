#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes16.h"
#include "tests/support/pseudo_random.h"

namespace {

alignas(4096) char g_pages[2 * 4096];

// The positions a byte-at-a-time search finds, as byte indexes, up to the string's span.
std::vector<unsigned> expected_positions(const char* p, unsigned span, char a, char b)
{
    std::vector<unsigned> positions;
    for (unsigned i = 0; i < span; ++i) {
        if (p[i] == a || p[i] == b) {
            positions.push_back(i);
        }
    }
    return positions;
}

std::vector<unsigned> positions_of(tw::ByteMask mask)
{
    std::vector<unsigned> positions;
    for (; mask; mask = mask.without_lowest()) {
        positions.push_back(mask.lowest());
    }
    return positions;
}

// Every start within two blocks of a page end, where the load switches to the aligned block.
TEST(Bytes16, FindsTheSameBytesAsAScalarSearchAtEveryOffset)
{
    tw_test::PseudoRandom next(4242);
    for (int round = 0; round < 200; ++round) {
        for (char& c : g_pages) {
            c = "ab:/\0@"[next() % 6];
        }
        for (unsigned offset = 4096 - 40; offset < 4096 + 8; ++offset) {
            const char* p = g_pages + offset;
            const tw::Bytes16 block = tw::load_bytes16(p);
            ASSERT_GE(block.span(), 1u);
            ASSERT_LE(offset + block.span(), offset < 4096 ? 4096u : 8192u) << "read crosses a page";
            const tw::ByteMask hits = block.where(':', '\0');
            ASSERT_EQ(positions_of(hits), expected_positions(p, block.span(), ':', '\0')) << tw::kBytesBackend << " at " << offset;
            if (hits) {
                EXPECT_EQ(hits.highest(), expected_positions(p, block.span(), ':', '\0').back());
                // Everything below the lowest hit, and nothing from it on.
                const tw::ByteMask below = hits.below_lowest() & block.where('a', 'b');
                for (const unsigned position : positions_of(below)) {
                    EXPECT_LT(position, hits.lowest());
                }
            }
        }
    }
}

// Every byte value, in every lane, at offsets where the load is unaligned and where it is shifted.
TEST(Bytes16, FindsBytesOutsideNames)
{
    for (unsigned value = 0; value < 256; ++value) {
        for (unsigned offset : {0u, 4096u - 9u}) {
            char* p = g_pages + offset;
            std::memset(p, 'a', 16);
            for (unsigned lane = 0; lane < 8; lane += 3) {
                p[lane] = static_cast<char>(value);
            }
            const tw::Bytes16 block = tw::load_bytes16(p);
            const bool name = (value >= 'a' && value <= 'z') || (value >= 'A' && value <= 'Z') ||
                              (value >= '0' && value <= '9') || value == '.' || value == '-';
            const std::vector<unsigned> expected = name ? std::vector<unsigned>{} : std::vector<unsigned>{0, 3, 6};
            ASSERT_EQ(positions_of(block.where_outside_name()), expected) << tw::kBytesBackend << " byte " << value;
        }
    }
}

TEST(Bytes16, MatchesRuntimeBytesInAGroup)
{
    alignas(16) std::uint8_t group[16];
    for (unsigned i = 0; i < 16; ++i) {
        group[i] = static_cast<std::uint8_t>(i % 4 == 0 ? 0 : 0x80 + i);
    }
    const tw::Bytes16 tags = tw::load_group16(group);
    EXPECT_EQ(positions_of(tags.where(std::uint8_t{0})), (std::vector<unsigned>{0, 4, 8, 12}));
    EXPECT_EQ(positions_of(tags.where(std::uint8_t{0x8F})), (std::vector<unsigned>{15}));
    EXPECT_FALSE(tags.where(std::uint8_t{0x7F}));
}

TEST(Bytes16, ReadsEightBytesOnlyWithinThePage)
{
    std::memcpy(g_pages + 4088, "https://", 8);
    std::uint64_t word = 0;
    ASSERT_TRUE(tw::load8_within_page(g_pages + 4088, &word));
    EXPECT_EQ(std::memcmp(&word, "https://", 8), 0);
    EXPECT_FALSE(tw::load8_within_page(g_pages + 4089, &word));
}

}  // namespace
