// Byte-level logic of the header check: reducing a URL to the host key that is looked up in the
// skip-domain table, and normalising table entries the same way. Nothing here knows about Python,
// so it is unit-tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

namespace detail {

// Where the authority starts: after a scheme's "://", or at the start when there is none. A
// scheme ends at a ':' that precedes every '/', '?' and '#' and is followed by "//", so a "://"
// inside a path, query or fragment never picks the host.
TW_NO_ASAN inline std::size_t authority_start(const char* url)
{
    // Nearly every URL the agent sees starts one of these two ways. The patterns are loaded the
    // way the URL is, so the comparison holds in either byte order.
    std::uint64_t first8 = 0;
    if (tw::load8_within_page(url, &first8)) {
        if (first8 == load8("https://")) {
            return 8;
        }
        const std::uint64_t first7 = load8("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x00");
        if ((first8 & first7) == (load8("http://\0") & first7)) {
            return 7;
        }
    }
    std::size_t position = 0;
    for (;;) {
        const tw::Bytes16 block = tw::load_bytes16(url + position);
        if (const tw::ByteMask first = block.where(':', '/', '?', '#', '\0')) {
            position += first.lowest();
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
        const tw::ByteMask stops = block.where('/', '?', '#', '\0');
        const tw::ByteMask before_stop = stops.below_lowest();
        if (const tw::ByteMask at = block.where('@') & before_stop) {
            last_at = static_cast<std::ptrdiff_t>(position + at.highest());
        }
        if (const tw::ByteMask colon = block.where(':') & before_stop) {
            last_colon = static_cast<std::ptrdiff_t>(position + colon.highest());
        }
        if (stops) {
            end = position + stops.lowest();
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

}  // namespace twhc
