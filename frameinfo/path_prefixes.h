// Where the application's code lives, as its deployment says: path prefixes whose files are the
// application's (include) or are not (exclude), over the built-in rule. Bytes in, bool out:
// unit-tested and fuzzed without an interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "../common/bytes16.h"
#include "user_code.h"

namespace twfi {

// A path lies under a prefix when it equals the prefix or continues it after a '/'; a prefix that
// ends in '/' is continued by anything. Either way the prefix is matched at a boundary of the path
// (a '/', or the path's end) by its stem, the prefix less one trailing '/'.
enum StemFlags : std::uint8_t {
    kIncludeBelow = 1,   // an include prefix: a path continuing the stem after a '/'
    kIncludeItself = 2,  // an include prefix without a trailing '/': the stem itself
    kExcludeBelow = 4,
    kExcludeItself = 8,
};

struct PrefixStem {
    const char* bytes;  // null: an empty slot
    std::uint32_t length;
    std::uint8_t flags;
};

// Both lists in one table of stems (open addressing, at most half full). A path is looked up only
// where a stem could end in it: at each length some stem has, and only when the path has a
// boundary there and a filter of a bit per stem (chosen by its length and last byte) lets it by.
// Empty (no table) when both lists are.
struct UserCodeRules {
    PrefixStem* slots = nullptr;
    std::size_t slot_mask = 0;
    char* text = nullptr;  // every stem's bytes
    std::uint64_t filter[16] = {};
    // Every stem's length, once, shortest first, then UINT32_MAX, which no path reaches.
    std::uint32_t* lengths = nullptr;
    std::size_t length_count = 0;
};

namespace detail {

// One of the filter's 1,024 bits.
inline unsigned filter_bit(std::size_t length, unsigned char last)
{
    return (static_cast<std::uint32_t>(length) * 0x9E3779B1u ^ last * 0x85EBCA77u) >> 22;
}

inline bool filter_has(const UserCodeRules& rules, unsigned bit)
{
    return (rules.filter[bit >> 6] >> (bit & 63) & 1) != 0;
}

inline std::uint64_t stem_hash(const char* bytes, std::size_t length)
{
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    if (length >= 8) {
        std::memcpy(&head, bytes, 8);
        std::memcpy(&tail, bytes + length - 8, 8);
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            head |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
        }
    }
    const std::uint64_t mixed = (head * 0x9E3779B97F4A7C15u) ^ (tail * 0xC2B2AE3D27D4EB4Fu) ^ length;
    return (mixed ^ (mixed >> 29)) * 0x165667B19E3779F9u;
}

// The slot of a stem: the one holding it, or the empty one where it would go.
inline PrefixStem* find_slot(const UserCodeRules& rules, const char* bytes, std::size_t length)
{
    for (std::size_t at = stem_hash(bytes, length) >> 7;; ++at) {
        PrefixStem* slot = &rules.slots[at & rules.slot_mask];
        if (slot->bytes == nullptr ||
            (slot->length == length && (length == 0 || std::memcmp(slot->bytes, bytes, length) == 0))) {
            return slot;
        }
    }
}

inline std::string_view stem_of(std::string_view prefix)
{
    return !prefix.empty() && prefix.back() == '/' ? prefix.substr(0, prefix.size() - 1) : prefix;
}

// The flags of the stem that ends at a boundary of path (a '/' at length, or the end), or 0.
inline std::uint8_t flags_at(const UserCodeRules& rules, const char* path, std::size_t length)
{
    const unsigned char last = length == 0 ? 0 : static_cast<unsigned char>(path[length - 1]);
    if (!filter_has(rules, filter_bit(length, last))) {
        return 0;
    }
    const PrefixStem* slot = find_slot(rules, path, length);
    return slot->bytes == nullptr ? 0 : slot->flags;
}

// Adds a length to the sorted lengths, once.
inline void add_length(UserCodeRules& rules, std::uint32_t length)
{
    std::size_t at = 0;
    while (at < rules.length_count && rules.lengths[at] < length) {
        ++at;
    }
    if (at < rules.length_count && rules.lengths[at] == length) {
        return;
    }
    // The sentinel moves up with the longer lengths.
    std::memmove(rules.lengths + at + 1, rules.lengths + at, (rules.length_count + 1 - at) * sizeof(std::uint32_t));
    rules.lengths[at] = length;
    ++rules.length_count;
}

}  // namespace detail

inline void free_rules(UserCodeRules& rules)
{
    std::free(rules.slots);
    std::free(rules.text);
    std::free(rules.lengths);
    rules = UserCodeRules{};
}

// The rules of two lists of prefixes (UTF-8 bytes), in one table; false when memory runs out,
// with nothing allocated. Both lists empty give the empty rules, which change nothing.
inline bool make_rules(const std::string_view* include, std::size_t include_count, const std::string_view* exclude,
                       std::size_t exclude_count, UserCodeRules* out)
{
    *out = UserCodeRules{};
    const std::size_t count = include_count + exclude_count;
    if (count == 0) {
        return true;
    }
    std::size_t text_size = 1;
    for (std::size_t i = 0; i < count; ++i) {
        text_size += (i < include_count ? include[i] : exclude[i - include_count]).size();
    }
    std::size_t capacity = 4;
    while (capacity < 2 * count) {
        capacity *= 2;
    }
    UserCodeRules rules;
    rules.slots = static_cast<PrefixStem*>(std::calloc(capacity, sizeof(PrefixStem)));
    rules.text = static_cast<char*>(std::malloc(text_size));
    rules.lengths = static_cast<std::uint32_t*>(std::malloc((count + 1) * sizeof(std::uint32_t)));
    if (rules.slots == nullptr || rules.text == nullptr || rules.lengths == nullptr) {
        free_rules(rules);
        return false;
    }
    rules.slot_mask = capacity - 1;
    rules.lengths[0] = UINT32_MAX;
    char* free_text = rules.text;
    for (std::size_t i = 0; i < count; ++i) {
        const bool included = i < include_count;
        const std::string_view prefix = included ? include[i] : exclude[i - include_count];
        const std::string_view stem = detail::stem_of(prefix);
        const bool itself = stem.size() == prefix.size();
        PrefixStem* slot = detail::find_slot(rules, stem.data(), stem.size());
        if (slot->bytes == nullptr) {
            if (!stem.empty()) {
                std::memcpy(free_text, stem.data(), stem.size());
            }
            *slot = PrefixStem{free_text, static_cast<std::uint32_t>(stem.size()), 0};
            free_text += stem.size();
            const unsigned char last = stem.empty() ? 0 : static_cast<unsigned char>(stem.back());
            const unsigned bit = detail::filter_bit(stem.size(), last);
            rules.filter[bit >> 6] |= std::uint64_t{1} << (bit & 63);
            detail::add_length(rules, static_cast<std::uint32_t>(stem.size()));
        }
        slot->flags = static_cast<std::uint8_t>(
            slot->flags | (included ? kIncludeBelow | (itself ? kIncludeItself : 0) : kExcludeBelow | (itself ? kExcludeItself : 0)));
    }
    *out = rules;
    return true;
}

namespace detail {

// Looks the path up at each length a stem has, up to the path's own: a prefix can only end where
// the path has a '/' or ends. A stem never holds a NUL, so one that matches lies wholly before
// the path's first NUL.
inline bool is_user_code_under(const char* path, std::size_t size, const UserCodeRules& rules)
{
    if (path[0] == '<') {
        return false;
    }
    bool excluded = false;
    for (const std::uint32_t* next = rules.lengths; *next <= size; ++next) {
        const std::size_t length = *next;
        const char boundary = path[length];
        if (boundary != '/' && boundary != '\0') {
            continue;
        }
        const std::uint8_t flags = flags_at(rules, path, length);
        const bool below = boundary == '/';
        if (flags & (below ? kIncludeBelow : kIncludeItself)) {
            return true;
        }
        excluded = excluded || (flags & (below ? kExcludeBelow : kExcludeItself)) != 0;
    }
    return !excluded && is_user_code(path);
}

}  // namespace detail

// Under the rules, whether path is the application's: never a path that begins with '<'; a path
// under an include prefix is; one under an exclude prefix (and no include prefix) is not; any
// other is as the built-in rule says. path[size] is a NUL; the path is judged by its text before
// its first NUL. (A caller that keeps the built-in rule's cost when there are no prefixes tests
// for them itself, and calls detail::is_user_code_under out of line.)
inline bool is_user_code(const char* path, std::size_t size, const UserCodeRules& rules)
{
    return rules.slots == nullptr ? is_user_code(path) : detail::is_user_code_under(path, size, rules);
}

}  // namespace twfi
