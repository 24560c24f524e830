// The host-key reduction written the plain way, one byte at a time: the oracle that the
// vectorised reduction of the module is checked against, in unit tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "headercheck/host_key.h"

namespace twhc_reference {

using twhc::strip_www;

// The same answer as twhc::host_key_view: a view into the URL, not yet case-folded, empty when
// the URL has no host part.
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

}  // namespace twhc_reference
