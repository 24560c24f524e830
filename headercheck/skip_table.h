// A table's hash index: open addressing over groups of sixteen one-byte tags, the hash of the
// whole folded key choosing the group and the tag. A lookup compares one group of tags at
// a time and, with at most 7/8 of the slots in use, nearly always stops in the first group, so
// its cost does not grow with the table. Pure byte logic: unit-tested and fuzzed without Python.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "../common/bytes16.h"
#include "host_key.h"

namespace twhc {

// How a key relates to the entries, which are canonical hosts and so folded already. A key read
// straight from a URL by the quick path holds name bytes only (letters, digits, '.', '-') in any
// case: setting bit 5 folds exactly those (digits, '.' and '-' have it set), a single operation
// per eight bytes. A key made by the rare canonical steps is folded, and compared as it is.
enum class KeyCase { any_case_name, folded };

// Whether the key equals the entry, which has the same length. Reads no byte outside either
// string: short keys are compared as two overlapping words.
template <KeyCase kCase>
inline bool key_equals(const char* key, const char* entry, std::size_t length)
{
    constexpr std::uint64_t kFold = kCase == KeyCase::any_case_name ? 0x2020202020202020u : 0;
    if (length >= 8) {
        // Most host names are 9 to 16 bytes: the first and the last eight, no loop.
        for (std::size_t i = 8; i + 8 < length; i += 8) {
            if ((load8(key + i) | kFold) != load8(entry + i)) {
                return false;
            }
        }
        // The last chunk is the final eight bytes, overlapping what was seen.
        return (load8(key) | kFold) == load8(entry) && (load8(key + length - 8) | kFold) == load8(entry + length - 8);
    }
    if (length >= 4) {
        return (load4(key) | static_cast<std::uint32_t>(kFold)) == load4(entry) &&
               (load4(key + length - 4) | static_cast<std::uint32_t>(kFold)) == load4(entry + length - 4);
    }
    for (std::size_t i = 0; i < length; ++i) {
        if ((static_cast<unsigned char>(key[i]) | static_cast<unsigned char>(kFold)) != static_cast<unsigned char>(entry[i])) {
            return false;
        }
    }
    return true;
}

// Both halves of the 128-bit product, folded: every bit of either factor reaches every bit of
// the result, where a plain 64-bit product only carries each bit upward.
inline std::uint64_t folded_product(std::uint64_t a, std::uint64_t b)
{
#if defined(__SIZEOF_INT128__)
    __extension__ using Wide = unsigned __int128;
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#else
    const std::uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32, b_low = b & 0xFFFFFFFFu, b_high = b >> 32;
    const std::uint64_t low = a_low * b_low, middle1 = a_high * b_low, middle2 = a_low * b_high;
    const std::uint64_t carry = ((low >> 32) + (middle1 & 0xFFFFFFFFu) + (middle2 & 0xFFFFFFFFu)) >> 32;
    const std::uint64_t high = a_high * b_high + (middle1 >> 32) + (middle2 >> 32) + carry;
    return (a * b) ^ high;
#endif
}

// A hash of a key that ignores ASCII case, so that a quick key (name bytes in any case) and the
// entry equal to it hash alike. It sets bit 5 of every byte instead of folding: that also merges
// a few pairs of other bytes ('@' and '`', say), which costs nothing but a rare extra comparison.
// One folded product of the key's first and last eight bytes (most host names are 9 to 16 bytes
// long), each moved by a constant of its own, and one more for each eight bytes between.
struct FoldedKeyHash {
    std::uint64_t operator()(std::string_view key) const
    {
        constexpr std::uint64_t kFirst = 0x2D358DCCAA6C78A5u;
        constexpr std::uint64_t kLast = 0x8BB84B93962EACC9u;
        constexpr std::uint64_t kBetween = 0x4B33A62ED433D4A3u;
        constexpr std::uint64_t kCaseBits = 0x2020202020202020u;
        const char* bytes = key.data();
        const std::size_t length = key.size();
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (length >= 8) {
            first = load8(bytes) | kCaseBits;
            last = load8(bytes + length - 8) | kCaseBits;
            if (length > 16) {
                std::uint64_t between = length;
                for (std::size_t i = 8; i + 8 < length; i += 8) {
                    between = folded_product((load8(bytes + i) | kCaseBits) ^ kBetween, between ^ kLast);
                }
                first ^= between;
            }
        } else if (length >= 4) {
            first = load4(bytes) | static_cast<std::uint32_t>(kCaseBits);
            last = load4(bytes + length - 4) | static_cast<std::uint32_t>(kCaseBits);
        } else if (length > 0) {
            const auto byte = [bytes](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])); };
            first = (byte(0) | byte(length / 2) << 8 | byte(length - 1) << 16) | 0x202020u;
        }
        // The tag is taken from the top byte and the group from the bits from 32 up.
        return folded_product(first ^ kFirst, last ^ kLast ^ length);
    }
};

// Where an indexed entry is, and what the table says of it.
struct SkipSlot {
    const char* entry;     // the entry's key, owned by the table
    std::uint32_t length;  // its length in bytes
    std::uint32_t flags;   // the table's own marks, never 0; those of duplicates are merged
};

// Keys longer than a slot can say are never indexed: no host name comes near.
constexpr std::size_t kLongestKey = UINT32_MAX;

// Sixteen slots and their tags, side by side: a hit reads one group's memory only.
struct SkipGroup {
    std::uint8_t tags[16];  // 0 marks an empty slot
    SkipSlot slots[16];     // meaningful where the tag is not 0
};

// The index over a table's entries. One malloc'd block holds this header, then the groups;
// std::free releases it whole.
struct SkipIndex {
    std::size_t group_mask;  // number of groups - 1; the number is a power of two
    SkipGroup* groups;
};

// Groups for count entries: at most 14 of every 16 slots used, so every probe meets an empty slot.
constexpr std::size_t skip_index_groups(std::size_t count)
{
    std::size_t groups = 1;
    while (groups * 14 < count) {
        groups <<= 1;
    }
    return groups;
}

// Bytes of the block for count entries.
constexpr std::size_t skip_index_bytes(std::size_t count)
{
    return sizeof(SkipIndex) + skip_index_groups(count) * sizeof(SkipGroup);
}

// An empty index with room for count entries; null when memory runs out.
inline SkipIndex* skip_index_create(std::size_t count)
{
    const std::size_t groups = skip_index_groups(count);
    auto* index = static_cast<SkipIndex*>(std::malloc(skip_index_bytes(count)));
    if (index == nullptr) {
        return nullptr;
    }
    index->group_mask = groups - 1;
    // The header is 16 bytes, which keeps the groups as aligned as malloc's block.
    index->groups = reinterpret_cast<SkipGroup*>(index + 1);
    for (std::size_t group = 0; group < groups; ++group) {
        std::memset(index->groups[group].tags, 0, sizeof index->groups[group].tags);
    }
    return index;
}

namespace detail {

constexpr std::uint8_t tag_of(std::uint64_t hash)
{
    const auto tag = static_cast<std::uint8_t>(hash >> 56);
    return tag != 0 ? tag : 1;
}

// Walks key's probe sequence, a group at a time from the one its hash chooses. The slot of the
// entry equal to the key when there is one, with *position (unless null) set to where it is;
// otherwise null, with *position set to the first empty slot of the sequence, which is where the
// key belongs.
template <KeyCase kCase>
inline const SkipSlot* find(const SkipIndex& index, std::string_view key, std::uint64_t hash, std::size_t* position)
{
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t group = (hash >> 32) & index.group_mask;; group = (group + 1) & index.group_mask) {
        const SkipGroup& slots = index.groups[group];
        const tw::Bytes16 tags = tw::load_group16(slots.tags);
        for (tw::ByteMask candidates = tags.where(tag); candidates; candidates = candidates.without_lowest()) {
            const SkipSlot& slot = slots.slots[candidates.lowest()];
            if (slot.length == key.size() && key_equals<kCase>(key.data(), slot.entry, key.size())) {
                if (position != nullptr) {
                    *position = 16 * group + candidates.lowest();
                }
                return &slot;
            }
        }
        // Entries are never removed, so the first group with an empty slot ends every sequence
        // that passes through it.
        if (const tw::ByteMask empty = tags.where(0)) {
            if (position != nullptr) {
                *position = 16 * group + empty.lowest();
            }
            return nullptr;
        }
    }
}

}  // namespace detail

// The flags of the indexed entry equal to the key; 0 when there is none. An empty key matches
// nothing.
template <KeyCase kCase, typename Hash = FoldedKeyHash>
inline std::uint32_t skip_index_flags(const SkipIndex& index, std::string_view key)
{
    const SkipSlot* slot = key.empty() ? nullptr : detail::find<kCase>(index, key, Hash{}(key), nullptr);
    return slot != nullptr ? slot->flags : 0;
}

// Whether the key equals one of the indexed entries. An empty key matches nothing.
template <KeyCase kCase, typename Hash = FoldedKeyHash>
inline bool skip_index_contains(const SkipIndex& index, std::string_view key)
{
    return !key.empty() && detail::find<kCase>(index, key, Hash{}(key), nullptr) != nullptr;
}

// Adds an entry (a canonical key) with its flags (not 0), which must outlive the index. An empty
// entry (it never matches) adds nothing; one already present takes no slot of its own, only its
// flags are merged. The index must have been made for at least as many entries as are added.
template <typename Hash = FoldedKeyHash>
inline void skip_index_insert(SkipIndex& index, std::string_view entry, std::uint32_t flags = 1)
{
    if (entry.empty() || entry.size() > kLongestKey) {
        return;
    }
    const std::uint64_t hash = Hash{}(entry);
    std::size_t slot = 0;
    const bool present = detail::find<KeyCase::folded>(index, entry, hash, &slot) != nullptr;
    SkipGroup& group = index.groups[slot / 16];
    if (present) {
        group.slots[slot % 16].flags |= flags;
        return;
    }
    group.tags[slot % 16] = detail::tag_of(hash);
    group.slots[slot % 16] = {entry.data(), static_cast<std::uint32_t>(entry.size()), flags};
}

}  // namespace twhc
