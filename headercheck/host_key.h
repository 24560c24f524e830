// Byte-level logic of the header check: reducing a URL to the host key that is looked up in the
// skip-domain table, normalising table entries the same way, and the table scan. Nothing here
// knows about Python, so it is unit-tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <emmintrin.h>

#include "../common/bytes16.h"

namespace twhc {

constexpr unsigned char fold_ascii(unsigned char byte)
{
    // ASCII only, whatever the process locale: a host name's letters are ASCII, and a locale
    // that folds bytes >= 0x80 would corrupt UTF-8.
    return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

// A leading lower-case "www." is dropped once, and only when something follows it.
constexpr std::string_view strip_www(std::string_view host)
{
    if (host.size() > 4 && host.substr(0, 4) == "www.") {
        host.remove_prefix(4);
    }
    return host;
}

namespace detail {

constexpr std::uint64_t pack8(const char (&text)[9])
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(text[i]);
    }
    return value;
}

// Where the authority starts: after a scheme's "://", or at the start when there is none. A
// scheme ends at a ':' that precedes every '/', '?' and '#' and is followed by "//", so a "://"
// inside a path, query or fragment never picks the host.
TW_NO_ASAN inline std::size_t authority_start(const char* url)
{
    // Nearly every URL the agent sees starts one of these two ways.
    if ((reinterpret_cast<std::uintptr_t>(url) & 4095) <= 4096 - 8) {
        // An intrinsic rather than memcpy: a library memcpy would be checked against the string's
        // bounds, and the URL may be shorter than eight bytes.
        const auto first8 = static_cast<std::uint64_t>(
            _mm_cvtsi128_si64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(url))));
        if (first8 == pack8("https://")) {
            return 8;
        }
        if ((first8 & 0x00FFFFFFFFFFFFFFu) == (pack8("http://\0") & 0x00FFFFFFFFFFFFFFu)) {
            return 7;
        }
    }
    std::size_t position = 0;
    for (;;) {
        const tw::Bytes16 block = tw::load_bytes16(url + position);
        const std::uint32_t first = block.where(':', '/', '?', '#', '\0');
        if (first != 0) {
            position += tw::lowest_bit(first);
            break;
        }
        position += block.span();
    }
    if (url[position] == ':' && url[position + 1] == '/' && url[position + 2] == '/') {
        return position + 3;
    }
    return 0;
}

}  // namespace detail

// The host key of a NUL-terminated URL, as a view into the URL itself, not yet case-folded.
// Empty when the URL has no host part (the caller then injects without a lookup).
//
// Only the scheme and the authority are read, 16 bytes at a time: a 2 KB query costs nothing.
TW_NO_ASAN inline std::string_view host_key_view(const char* url)
{
    const std::size_t start = detail::authority_start(url);

    // To the end of the authority, remembering the last '@' (user information ends there) and
    // the last ':' (a port starts there).
    std::ptrdiff_t last_at = -1;
    std::ptrdiff_t last_colon = -1;
    std::size_t position = start;
    std::size_t end = 0;
    for (;;) {
        const tw::Bytes16 block = tw::load_bytes16(url + position);
        const std::uint32_t stops = block.where('/', '?', '#', '\0');
        const std::uint32_t before_stop = tw::below_lowest(stops);
        if (const std::uint32_t at = block.where('@') & before_stop) {
            last_at = static_cast<std::ptrdiff_t>(position + tw::highest_bit(at));
        }
        if (const std::uint32_t colon = block.where(':') & before_stop) {
            last_colon = static_cast<std::ptrdiff_t>(position + tw::highest_bit(colon));
        }
        if (stops != 0) {
            end = position + tw::lowest_bit(stops);
            break;
        }
        position += block.span();
    }

    const std::size_t host = last_at >= 0 ? static_cast<std::size_t>(last_at) + 1 : start;
    if (host >= end) {
        return {};
    }
    if (url[host] == '[') {
        // A bracketed IPv6 literal keeps its colons; whatever follows the ']' is a port.
        const void* close = std::memchr(url + host, ']', end - host);
        if (close != nullptr) {
            return {url + host, static_cast<std::size_t>(static_cast<const char*>(close) + 1 - (url + host))};
        }
    }
    // The first byte of the host is never taken as a port separator.
    const std::size_t host_end =
        last_colon > static_cast<std::ptrdiff_t>(host) ? static_cast<std::size_t>(last_colon) : end;
    return strip_www({url + host, host_end - host});
}

// The key a skip-list entry stands for: the same "www." rule and folding as a URL's host key, so
// an entry matches exactly the URLs whose key equals its own. Writes entry.size() bytes or fewer
// into out (which needs room for entry.size() + 1) and terminates them; returns the length.
inline std::size_t normalise_entry(std::string_view entry, char* out)
{
    const std::string_view key = strip_www(entry);
    for (std::size_t i = 0; i < key.size(); ++i) {
        out[i] = static_cast<char>(fold_ascii(static_cast<unsigned char>(key[i])));
    }
    out[key.size()] = '\0';
    return key.size();
}

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;

// fold_ascii on eight bytes at once. No carry crosses a byte: each sum stays below 0x100.
constexpr std::uint64_t fold_ascii8(std::uint64_t bytes)
{
    const std::uint64_t low7 = bytes & (0x7F * kEveryByte);
    const std::uint64_t at_least_a = low7 + (0x80 - 'A') * kEveryByte;
    const std::uint64_t above_z = low7 + (0x7F - 'Z') * kEveryByte;
    const std::uint64_t upper = at_least_a & ~above_z & ~bytes & (0x80 * kEveryByte);
    return bytes | (upper >> 2);
}

inline std::uint64_t load8(const char* bytes)
{
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Up to the first eight bytes of a key, folded and packed, padded with zeros.
inline std::uint64_t folded_head(std::string_view key)
{
    if (key.size() >= 8) {
        return fold_ascii8(load8(key.data()));
    }
    std::uint64_t head = 0;
    std::memcpy(&head, key.data(), key.size());
    return fold_ascii8(head);
}

// What the scan knows of an entry before reading its bytes, compared whole in one 16-byte compare.
struct alignas(16) EntryHead {
    std::uint64_t head;    // folded_head of the entry
    std::uint64_t length;  // its length in bytes
};

inline EntryHead entry_head(std::string_view normalised_entry)
{
    return {folded_head(normalised_entry), normalised_entry.size()};
}

// One byte that mixes a key's length with its first and last eight folded bytes (head is its
// folded_head, already at hand in the scan). The table keeps the tags of all entries side by
// side, so sixteen entries are ruled out by one compare and only about one in 256 non-matching
// entries is looked at more closely.
inline std::uint8_t folded_tag(std::string_view key, std::uint64_t head)
{
    const std::uint64_t last8 = key.size() >= 8 ? fold_ascii8(load8(key.data() + key.size() - 8)) : 0;
    const std::uint64_t mixed = head * 0x9E3779B97F4A7C15u ^ (last8 + key.size()) * 0xC2B2AE3D27D4EB4Fu;
    return static_cast<std::uint8_t>(mixed >> 56);
}

inline std::uint8_t folded_tag(std::string_view key) { return folded_tag(key, folded_head(key)); }

// Tags are kept in groups of sixteen; the bytes past the last entry are never acted on.
constexpr std::size_t tag_bytes(std::size_t count) { return (count + 15) & ~std::size_t{15}; }

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

// The table as the scan reads it: entry i is entries[i], with heads[i] and tags[i].
struct TableView {
    const char* const* entries;
    const EntryHead* heads;
    const std::uint8_t* tags;  // tag_bytes(count) bytes
    std::size_t count;
};

// Whether the (unfolded) host key equals one of the normalised entries. An empty key matches
// nothing, and neither does an empty entry.
inline bool table_contains(std::string_view key, const TableView& table)
{
    if (key.empty()) {
        return false;
    }
    const std::uint64_t key_head = folded_head(key);
    const __m128i tag = _mm_set1_epi8(static_cast<char>(folded_tag(key, key_head)));
    const __m128i head = _mm_set_epi64x(static_cast<long long>(key.size()), static_cast<long long>(key_head));
    for (std::size_t group = 0; group < table.count; group += 16) {
        const __m128i tags = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.tags + group));
        auto candidates = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(tags, tag)));
        if (table.count - group < 16) {
            candidates &= (1u << (table.count - group)) - 1u;
        }
        for (; candidates != 0; candidates &= candidates - 1u) {
            const std::size_t i = group + static_cast<std::size_t>(__builtin_ctz(candidates));
            const __m128i entry = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.heads + i));
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(entry, head)) == 0xFFFF &&
                tail_equal(key.data(), table.entries[i], key.size())) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace twhc
