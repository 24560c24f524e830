// The skip-domain table's index: open addressing over groups of sixteen one-byte tags, the hash
// of the whole folded key choosing the group and the tag. A lookup compares one group of tags at
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

// A hash of a key that ignores ASCII case, so that a quick key (name bytes in any case) and the
// entry equal to it hash alike. It sets bit 5 of every byte instead of folding: that also merges
// a few pairs of other bytes ('@' and '`', say), which costs nothing but a rare extra comparison.
struct FoldedKeyHash {
    std::uint64_t operator()(std::string_view key) const
    {
        constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15u;
        constexpr std::uint64_t kCaseBits = 0x2020202020202020u;
        const char* bytes = key.data();
        const std::size_t length = key.size();
        constexpr std::uint64_t kOtherOdd = 0xC2B2AE3D27D4EB4Fu;
        std::uint64_t hash = length * kOtherOdd;
        if (length >= 8) {
            // Most host names are 9 to 16 bytes: the first and the last eight, each multiplied
            // on its own, and no loop.
            for (std::size_t i = 8; i + 8 < length; i += 8) {
                hash = (std::rotl(hash, 27) ^ (load8(bytes + i) | kCaseBits)) * kOdd;
            }
            hash ^= ((load8(bytes) | kCaseBits) * kOdd) ^ (((load8(bytes + length - 8) | kCaseBits) + length) * kOtherOdd);
        } else if (length >= 4) {
            const std::uint64_t words = load4(bytes) | std::uint64_t{load4(bytes + length - 4)} << 32;
            hash = (hash ^ (words | kCaseBits)) * kOdd;
        } else if (length > 0) {
            const auto byte = [bytes](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])); };
            hash = (hash ^ ((byte(0) | byte(length / 2) << 8 | byte(length - 1) << 16) | kCaseBits)) * kOdd;
        }
        // The tag is taken from the top byte, the group from the low bits: the product's high
        // half, which every input bit reaches, is folded into the low half.
        return hash ^ (hash >> 32);
    }
};

// Where an indexed entry is.
struct SkipSlot {
    const char* entry;    // the normalised entry, owned by the table
    std::size_t length;   // its length in bytes
};

// The index over a table's entries. One malloc'd block holds this header, then the tags, then
// the slots; std::free releases it whole.
struct SkipIndex {
    std::size_t group_mask;  // number of groups - 1; the number is a power of two
    std::uint8_t* tags;      // 16 per group; 0 marks an empty slot
    SkipSlot* slots;         // 16 per group, meaningful where the tag is not 0
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
    return sizeof(SkipIndex) + skip_index_groups(count) * 16 * (1 + sizeof(SkipSlot));
}

// An empty index with room for count entries; null when memory runs out.
inline SkipIndex* skip_index_create(std::size_t count)
{
    const std::size_t slots = skip_index_groups(count) * 16;
    auto* index = static_cast<SkipIndex*>(std::malloc(skip_index_bytes(count)));
    if (index == nullptr) {
        return nullptr;
    }
    index->group_mask = slots / 16 - 1;
    index->tags = reinterpret_cast<std::uint8_t*>(index + 1);
    // The tags end on a multiple of 16 bytes after the header, which keeps the slots aligned.
    index->slots = reinterpret_cast<SkipSlot*>(index->tags + slots);
    std::memset(index->tags, 0, slots);
    return index;
}

namespace detail {

constexpr std::uint8_t tag_of(std::uint64_t hash)
{
    const auto tag = static_cast<std::uint8_t>(hash >> 56);
    return tag != 0 ? tag : 1;
}

// Walks key's probe sequence, a group at a time from the one its hash chooses. True when an entry
// equal to the key is there; otherwise false, with *empty_slot set to the first empty slot of the
// sequence, which is where the key belongs.
template <KeyCase kCase>
inline bool find(const SkipIndex& index, std::string_view key, std::uint64_t hash, std::size_t* empty_slot)
{
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t group = hash & index.group_mask;; group = (group + 1) & index.group_mask) {
        const tw::Bytes16 tags = tw::load_group16(index.tags + 16 * group);
        for (tw::ByteMask candidates = tags.where(tag); candidates; candidates = candidates.without_lowest()) {
            const SkipSlot& slot = index.slots[16 * group + candidates.lowest()];
            if (slot.length == key.size() && key_equals<kCase>(key.data(), slot.entry, key.size())) {
                return true;
            }
        }
        // Entries are never removed, so the first group with an empty slot ends every sequence
        // that passes through it.
        if (const tw::ByteMask empty = tags.where(0)) {
            *empty_slot = 16 * group + empty.lowest();
            return false;
        }
    }
}

}  // namespace detail

// Whether the key equals one of the indexed entries. An empty key matches nothing.
template <KeyCase kCase, typename Hash = FoldedKeyHash>
inline bool skip_index_contains(const SkipIndex& index, std::string_view key)
{
    std::size_t unused = 0;
    return !key.empty() && detail::find<kCase>(index, key, Hash{}(key), &unused);
}

// Adds an entry (a canonical key), which must outlive the index. An empty entry (it never matches) and
// one already present (a duplicate changes no answer) add nothing. The index must have been made
// for at least as many entries as are added.
template <typename Hash = FoldedKeyHash>
inline void skip_index_insert(SkipIndex& index, std::string_view entry)
{
    if (entry.empty()) {
        return;
    }
    const std::uint64_t hash = Hash{}(entry);
    std::size_t slot = 0;
    if (detail::find<KeyCase::folded>(index, entry, hash, &slot)) {
        return;
    }
    index.tags[slot] = detail::tag_of(hash);
    index.slots[slot] = {entry.data(), entry.size()};
}

}  // namespace twhc
