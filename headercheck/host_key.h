// Byte-level logic of the header check: reducing a URL to the host key that is looked up in the
// skip-domain table, normalising table entries the same way, and the table scan. Nothing here
// knows about Python, so it is unit-tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

// The host key of a NUL-terminated URL, as a view into the URL itself, not yet case-folded.
// Empty when the URL has no host part (the caller then injects without a lookup).
//
// The URL is read only as far as its host part: a 2 KB query string is never touched, so the
// cost does not grow with the URL.
inline std::string_view host_key_view(const char* url)
{
    // A scheme ends at a ':' that precedes every '/', '?' and '#' and is followed by "//"; a
    // "://" inside a path, query or fragment never picks the host.
    std::size_t scheme_end = 0;
    while (url[scheme_end] != '\0' && url[scheme_end] != ':' && url[scheme_end] != '/' &&
           url[scheme_end] != '?' && url[scheme_end] != '#') {
        ++scheme_end;
    }
    std::size_t start = 0;
    if (url[scheme_end] == ':' && url[scheme_end + 1] == '/' && url[scheme_end + 2] == '/') {
        start = scheme_end + 3;
    }

    // One pass to the end of the authority, remembering the last '@' (user information ends
    // there) and the last ':' (a port starts there).
    const char* const authority = url + start;
    std::ptrdiff_t last_at = -1;
    std::ptrdiff_t last_colon = -1;
    std::ptrdiff_t end = 0;
    for (;; ++end) {
        const char c = authority[end];
        if (c == '\0' || c == '/' || c == '?' || c == '#') {
            break;
        }
        if (c == '@') {
            last_at = end;
        } else if (c == ':') {
            last_colon = end;
        }
    }

    const std::ptrdiff_t host = last_at + 1;
    if (host >= end) {
        return {};
    }
    if (authority[host] == '[') {
        // A bracketed IPv6 literal keeps its colons; whatever follows the ']' is a port.
        const void* close = std::memchr(authority + host, ']', static_cast<std::size_t>(end - host));
        if (close != nullptr) {
            const char* after = static_cast<const char*>(close) + 1;
            return {authority + host, static_cast<std::size_t>(after - (authority + host))};
        }
    }
    // The first byte of the host is never taken as a port separator.
    const std::ptrdiff_t host_end = last_colon > host ? last_colon : end;
    return strip_www({authority + host, static_cast<std::size_t>(host_end - host)});
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

// Up to the first eight bytes of a key, folded and packed, padded with zeros: compared with an
// entry's head before the entry itself is read, so most entries cost one load and two compares.
inline std::uint64_t folded_head(std::string_view key)
{
    std::uint64_t head = 0;
    const std::size_t n = key.size() < 8 ? key.size() : 8;
    for (std::size_t i = 0; i < n; ++i) {
        head |= static_cast<std::uint64_t>(fold_ascii(static_cast<unsigned char>(key[i]))) << (8 * i);
    }
    return head;
}

// What the scan reads of an entry before its bytes: laid out contiguously, one per entry.
struct EntryHead {
    std::uint64_t head;    // folded_head of the entry
    std::uint64_t length;  // its length in bytes
};

inline EntryHead entry_head(std::string_view normalised_entry)
{
    return {folded_head(normalised_entry), normalised_entry.size()};
}

// Whether the (unfolded) host key equals one of the normalised entries. An empty key matches
// nothing, and neither does an empty entry.
inline bool table_contains(std::string_view key, const EntryHead* heads, const char* const* entries,
                           std::size_t count)
{
    if (key.empty()) {
        return false;
    }
    const std::uint64_t head = folded_head(key);
    for (std::size_t i = 0; i < count; ++i) {
        if (heads[i].length != key.size() || heads[i].head != head) {
            continue;
        }
        const char* entry = entries[i];
        std::size_t j = 8;
        while (j < key.size() && fold_ascii(static_cast<unsigned char>(key[j])) ==
                                     static_cast<unsigned char>(entry[j])) {
            ++j;
        }
        if (j >= key.size()) {
            return true;
        }
    }
    return false;
}

}  // namespace twhc
