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

// Whether the key, folded, equals the normalised entry of the same length from byte 8 on (the
// first eight are known equal from the heads). Reads no byte outside either string.
inline bool tail_equal(const char* key, const char* entry, std::size_t length)
{
    std::size_t i = 8;
    for (; i + 8 <= length; i += 8) {
        if (fold_ascii8(load8(key + i)) != load8(entry + i)) {
            return false;
        }
    }
    // The last, partial chunk is compared as the final eight bytes, overlapping what was seen.
    return i >= length || fold_ascii8(load8(key + length - 8)) == load8(entry + length - 8);
}

// A hash of a key as folded, so that a URL's key (not yet folded) and the normalised entry equal
// to it hash alike. head is folded_head(key), which the lookup needs anyway.
struct FoldedKeyHash {
    std::uint64_t operator()(std::string_view key, std::uint64_t head) const
    {
        constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15u;
        std::uint64_t hash = (head ^ (key.size() * 0xC2B2AE3D27D4EB4Fu)) * kOdd;
        if (key.size() > 8) {
            std::size_t i = 8;
            for (; i + 8 < key.size(); i += 8) {
                hash = (std::rotl(hash, 27) ^ fold_ascii8(load8(key.data() + i))) * kOdd;
            }
            hash = (std::rotl(hash, 27) ^ fold_ascii8(load8(key.data() + key.size() - 8))) * kOdd;
        }
        // Both ends of the word are used (the group from the low bits, the tag from the top
        // byte), so every input bit must reach both.
        hash ^= hash >> 33;
        hash *= 0xFF51AFD7ED558CCDu;
        hash ^= hash >> 33;
        hash *= 0xC4CEB9FE1A85EC53u;
        return hash ^ (hash >> 33);
    }
};

// What a lookup compares before reading an entry's bytes past the head.
struct SkipSlot {
    std::uint64_t head;    // folded_head of the entry
    std::uint64_t length;  // its length in bytes
    const char* entry;     // the normalised entry, owned by the table
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

// Walks key's probe sequence, a group at a time from the one its hash chooses (head and hash are
// the key's). True when an entry equal to the key (folded) is there; otherwise false, with
// *empty_slot set to the first empty slot of the sequence, which is where the key belongs.
inline bool find(const SkipIndex& index, std::string_view key, std::uint64_t head, std::uint64_t hash,
                 std::size_t* empty_slot)
{
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t group = hash & index.group_mask;; group = (group + 1) & index.group_mask) {
        const tw::Bytes16 tags = tw::load_group16(index.tags + 16 * group);
        for (tw::ByteMask candidates = tags.where(tag); candidates; candidates = candidates.without_lowest()) {
            const SkipSlot& slot = index.slots[16 * group + candidates.lowest()];
            if (slot.head == head && slot.length == key.size() && tail_equal(key.data(), slot.entry, key.size())) {
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

// Whether the (unfolded) host key equals one of the indexed entries. An empty key matches nothing.
template <typename Hash = FoldedKeyHash>
inline bool skip_index_contains(const SkipIndex& index, std::string_view key)
{
    if (key.empty()) {
        return false;
    }
    const std::uint64_t head = folded_head(key);
    std::size_t unused = 0;
    return detail::find(index, key, head, Hash{}(key, head), &unused);
}

// Adds a normalised entry, which must outlive the index. An empty entry (it never matches) and
// one already present (a duplicate changes no answer) add nothing. The index must have been made
// for at least as many entries as are added.
template <typename Hash = FoldedKeyHash>
inline void skip_index_insert(SkipIndex& index, std::string_view entry)
{
    if (entry.empty()) {
        return;
    }
    const std::uint64_t head = folded_head(entry);
    const std::uint64_t hash = Hash{}(entry, head);
    std::size_t slot = 0;
    if (detail::find(index, entry, head, hash, &slot)) {
        return;
    }
    index.tags[slot] = detail::tag_of(hash);
    index.slots[slot] = {head, entry.size(), entry.data()};
}

}  // namespace twhc
