// The first half of reducing a URL to the key looked up in the tables: finding the part of the URL
// that names its host, in one 16-byte scan that also notes whether that host needs any of the
// rare canonical steps (canonical_host.h). Nothing here knows about Python, so it is unit-tested
// and fuzzed on its own.
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

inline std::uint32_t load4(const char* bytes)
{
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One trailing '.' names the same DNS name without it; of "a..", whose last label is empty, the
// dot is kept, so that the canonical form of a canonical host is itself. A lone "." leaves nothing.
constexpr std::string_view drop_trailing_dot(std::string_view host)
{
    const std::size_t size = host.size();
    if (size > 0 && host[size - 1] == '.' && (size == 1 || host[size - 2] != '.')) {
        host.remove_suffix(1);
    }
    return host;
}

// A leading "www." in any case is dropped once, when something follows it: "www.example.com" and
// "WWW.example.com" are keyed as example.com.
inline std::string_view strip_www(std::string_view host)
{
    // Bit 5 set on the three letters folds them; the dot must be exact.
    if (host.size() > 4 && (load4(host.data()) | load4("\x20\x20\x20\x00")) == load4("www.")) {
        host.remove_prefix(4);
    }
    return host;
}

namespace detail {

// The bytes a host may end with that send it the rare way: a dot (dropped there), or what a
// number ends with (a digit, a hexadecimal letter, the 'x' of a bare "0x"). Most names end
// otherwise, and one load tells.
struct LastByteClass {
    bool may_be_rare[256];
};

constexpr LastByteClass make_last_byte_class()
{
    LastByteClass table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(fold_ascii(static_cast<unsigned char>(byte)));
        table.may_be_rare[byte] = c == '.' || is_digit(c) || (c >= 'a' && c <= 'f') || c == 'x';
    }
    return table;
}

inline constexpr LastByteClass kLastByteClass = make_last_byte_class();

}  // namespace detail

// Whether a non-empty host ends in a dot, or in a label that starts with a digit: only such a
// label can be a number (decimal, octal, or "0x" hexadecimal), which makes the host an IPv4
// address.
inline bool ends_rare(std::string_view host)
{
    if (!detail::kLastByteClass.may_be_rare[static_cast<unsigned char>(host.back())]) {
        return false;
    }
    if (host.back() == '.') {
        return true;
    }
    const std::size_t dot = host.rfind('.');
    return is_digit(host[dot == std::string_view::npos ? 0 : dot + 1]);
}

// The part of a URL that names its host, as a view into the URL.
struct HostPart {
    std::string_view text;  // empty when the URL names no host
    // The text holds a '%', a ':', a control byte or one from 0x80 up, is a bracketed literal, or
    // ends in a label that may be a number: the rare canonical steps apply. So do a '\' that ends
    // the authority and a '%' in the user information, after which clients read other hosts
    // (readings.h). Otherwise its canonical host is the text without a trailing dot, in any case.
    bool rare;
};

namespace detail {

// What a byte other than a name byte (an ASCII letter, digit, '.' or '-') does in an authority.
// Any other byte in a host sends it the rare way: a quick key holds name bytes only.
// A '\' and a '%' are rare bytes, told apart only once one is met: four roles keep the dispatch
// of the common bytes (the stop, '@', ':') as cheap as it is.
struct AuthorityByte {
    enum Role : std::uint8_t { rare, stop, at_sign, colon };
    Role role[256];
};

constexpr AuthorityByte make_authority_byte()
{
    AuthorityByte table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        const bool stop = byte == '/' || byte == '?' || byte == '#' || byte == '\0';
        table.role[byte] = stop          ? AuthorityByte::stop
                           : byte == '@' ? AuthorityByte::at_sign
                           : byte == ':' ? AuthorityByte::colon
                                         : AuthorityByte::rare;
    }
    return table;
}

// Counted among the bytes after the last '@' and kept across it: an escape in the user
// information may hide a '\' that a client wrote out, and the host then has other readings. The
// bits from here up survive an '@' (one AND with a sign-extended 32-bit mask on x86-64); a URL
// with 2^31 other odd bytes reaches them too, and only takes the rare path.
constexpr std::size_t kStickyOddByte = std::size_t{1} << 31;
constexpr std::size_t kStickyBits = ~(kStickyOddByte - 1);

inline constexpr AuthorityByte kAuthorityByte = make_authority_byte();

// Where the authority starts: after a scheme's "://", or at the start when there is none. A
// scheme ends at a ':' that precedes every '/', '?', '#' and '\' and is followed by "//", so a
// "://" after the host part never picks the host.
TW_HOT_SCAN inline std::size_t authority_start(const char* url)
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
        if (const tw::ByteMask first = block.where(':', '/', '?', '#', '\\', '\0')) {
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

// The host part of a NUL-terminated URL: after a scheme, up to the first '/', '?', '#' or '\'
// (where http(s) clients end the authority), without user information up to the last '@', and
// without a port from the last ':' on; a bracketed IPv6 literal is kept whole.
//
// Only the scheme and the authority are read, 16 bytes at a time: a 2 KB query costs nothing.
TW_HOT_SCAN inline HostPart host_part(const char* url)
{
    const std::size_t start = detail::authority_start(url);

    // To the end of the authority, remembering the last '@' (user information ends there), the
    // last ':' (a port starts there), and how many bytes other than name bytes follow that '@'
    // (a host with a ':' may be an IPv6 address written bare).
    auto last_at = static_cast<std::ptrdiff_t>(start) - 1;
    std::ptrdiff_t last_colon = -1;
    std::size_t odd_bytes = 0;
    std::size_t position = start;
    std::size_t end = 0;
    for (;;) {
        // The bytes of a name need no second look: a common authority has nothing but its stop
        // outside them. The NUL is such a byte; no byte after it is ever looked at.
        const tw::Bytes16 block = tw::load_bytes16(url + position);
        for (tw::ByteMask marks = block.where_outside_name(); marks; marks = marks.without_lowest()) {
            const std::size_t at = position + marks.lowest();
            switch (detail::kAuthorityByte.role[static_cast<unsigned char>(url[at])]) {
            case detail::AuthorityByte::stop:
                end = at;
                goto scanned;
            case detail::AuthorityByte::at_sign:
                last_at = static_cast<std::ptrdiff_t>(at);
                odd_bytes &= detail::kStickyBits;
                break;
            case detail::AuthorityByte::colon:
                last_colon = static_cast<std::ptrdiff_t>(at);
                ++odd_bytes;
                break;
            case detail::AuthorityByte::rare:
                if (url[at] == '\\') {
                    // Clients read on past a '\' (readings.h): never the quick path, even for no host.
                    end = at;
                    odd_bytes |= detail::kStickyOddByte;
                    goto scanned;
                }
                odd_bytes += url[at] == '%' ? detail::kStickyOddByte | 1 : 1;
                break;
            }
        }
        position += block.span();
    }
scanned:
    const auto host = static_cast<std::size_t>(last_at + 1);
    if (host >= end) {
        return {{}, odd_bytes != 0};
    }
    if (odd_bytes != 0 && url[host] == '[') {
        // A bracketed IPv6 literal keeps its colons; whatever follows the ']' is a port.
        for (std::size_t close = host + 1; close < end; ++close) {
            if (url[close] == ']') {
                return {{url + host, close + 1 - host}, true};
            }
        }
    }
    // The first byte of the host is never taken as a port separator.
    const bool has_port = last_colon > static_cast<std::ptrdiff_t>(host);
    const std::string_view text{url + host, (has_port ? static_cast<std::size_t>(last_colon) : end) - host};
    // Beside the port's own colon, any byte after the user information other than a name byte
    // sends the host the rare way; one in the port does so for nothing, and nothing worse.
    return {text, odd_bytes > static_cast<std::size_t>(has_port) || ends_rare(text)};
}

}  // namespace twhc
