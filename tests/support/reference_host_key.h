// The URL-to-key reduction written the plain way, one byte at a time with std::string: the oracle
// that the module's scan and canonical steps are checked against, in unit tests and fuzzing. The
// numeric forms and Punycode come from their own headers, which have tests of their own (against
// inet_aton, inet_pton and RFC 3492's samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "headercheck/ip_address.h"
#include "headercheck/punycode.h"
#include "tests/support/simple_lower_case.h"

namespace twhc_reference {

// Where a reader ends the authority: at '/', '?', '#' and '\' (WHATWG, urllib3, requests), past a
// '\' (httpx 0.28, urllib.request), or also at "%5C" (what httpx 0.23 writes out for a '\').
enum class Reader { whatwg, past_backslash, escaped_backslash };

// The host part of a URL: after a scheme (a ':' before any '/', '?', '#', '\', followed by "//"),
// up to the first '/', '?', '#' or '\' (or where the reader ends the authority); without user
// information up to the last '@'; a bracketed literal whole; otherwise without anything from the
// last ':' on.
inline std::string_view host_part(const char* url, Reader reader = Reader::whatwg)
{
    const auto ends_scheme = [](char c) { return c == '\0' || c == '/' || c == '?' || c == '#' || c == '\\'; };
    const auto ends_authority = [reader](const char* at) {
        const char c = *at;
        if (c == '\\') {
            return reader != Reader::past_backslash;
        }
        if (reader == Reader::escaped_backslash && c == '%' && at[1] == '5' && (at[2] == 'C' || at[2] == 'c')) {
            return true;
        }
        return c == '\0' || c == '/' || c == '?' || c == '#';
    };
    std::size_t scheme_end = 0;
    while (!ends_scheme(url[scheme_end]) && url[scheme_end] != ':') {
        ++scheme_end;
    }
    std::size_t start = 0;
    if (url[scheme_end] == ':' && url[scheme_end + 1] == '/' && url[scheme_end + 2] == '/') {
        start = scheme_end + 3;
    }
    const char* const authority = url + start;
    std::ptrdiff_t last_at = -1;
    std::ptrdiff_t last_colon = -1;
    std::ptrdiff_t end = 0;
    for (; !ends_authority(authority + end); ++end) {
        if (authority[end] == '@') {
            last_at = end;
        } else if (authority[end] == ':') {
            last_colon = end;
        }
    }
    const std::ptrdiff_t host = last_at + 1;
    if (host >= end) {
        return {};
    }
    if (authority[host] == '[') {
        for (std::ptrdiff_t i = host; i < end; ++i) {
            if (authority[i] == ']') {
                return {authority + host, static_cast<std::size_t>(i + 1 - host)};
            }
        }
    }
    const std::ptrdiff_t host_end = last_colon > host ? last_colon : end;
    return {authority + host, static_cast<std::size_t>(host_end - host)};
}

inline int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

inline std::string folded(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    return out;
}

// Tab, LF and CR removed; escapes decoded but those of '%', NUL, tab, LF and CR, which (like a
// '%' that starts none) are written "%xx" in lower-case hex.
inline std::string decoded(std::string_view raw)
{
    std::string clean;
    for (char c : raw) {
        if (c != '\t' && c != '\n' && c != '\r') {
            clean += c;
        }
    }
    std::string out;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        int value = '%';
        if (clean[i] != '%') {
            out += clean[i];
            continue;
        }
        if (i + 2 < clean.size() && hex_value(clean[i + 1]) >= 0 && hex_value(clean[i + 2]) >= 0) {
            value = hex_value(clean[i + 1]) * 16 + hex_value(clean[i + 2]);
            i += 2;
        }
        if (value == '%' || value == 0 || value == '\t' || value == '\n' || value == '\r') {
            static const char digits[] = "0123456789abcdef";
            out += '%';
            out += digits[value >> 4];
            out += digits[value & 15];
        } else {
            out += static_cast<char>(value);
        }
    }
    return out;
}

// The idna package's encoding of an already lower-cased name: empty when it can't be encoded.
inline std::string international(const std::string& name)
{
    std::string out;
    std::string label;
    const auto flush = [&]() {
        bool ascii = true;
        for (char c : label) {
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        }
        if (ascii) {
            out += label;
        } else {
            char32_t code_points[64];
            std::size_t count = 0;
            char encoded[64];
            std::size_t length = 0;
            if (!twhc::decode_utf8(label, code_points, 63, &count) ||
                !twhc::punycode_encode(code_points, count, encoded, 59, &length)) {
                return false;
            }
            out += "xn--";
            out.append(encoded, length);
        }
        label.clear();
        return true;
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const std::string_view rest = std::string_view(name).substr(i, 3);
        const std::size_t separator = name[i] == '.' ? 1
                                      : (rest == "\xE3\x80\x82" || rest == "\xEF\xBC\x8E" || rest == "\xEF\xBD\xA1") ? 3
                                                                                                                     : 0;
        if (separator == 0) {
            label += name[i];
            continue;
        }
        if (!flush()) {
            return {};
        }
        out += '.';
        i += separator - 1;
    }
    return flush() ? out : std::string();
}

struct Canonical {
    std::string text;
    bool is_address;
};

// Whether decoded text is a name the clients encode: bytes from 0x80 up, and valid UTF-8.
inline bool is_international(const std::string& text)
{
    bool high = false;
    for (char c : text) {
        high = high || static_cast<unsigned char>(c) >= 0x80;
    }
    char32_t scratch[1];
    std::size_t unused = 0;
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        valid = twhc::decode_utf8(std::string_view(text).substr(i, length), scratch, 1, &unused);
        i += length;
    }
    return high && valid;
}

inline Canonical finish(std::string text);

// The canonical host of a URL's host part or of an entry.
inline Canonical canonical(std::string_view raw, const twhc::LowerCase& lower = tw_test::kSimpleLowerCase)
{
    std::string text = decoded(raw);
    if (is_international(text)) {
        twhc::HostBuffer lowered;
        std::string name = text;
        if (lower.function(lower.context, text, lowered) == twhc::LowerCase::lowered) {
            name = std::string(lowered.view());
        }
        const std::string encoded = international(name);
        if (!encoded.empty() || name.empty()) {
            text = encoded;
        }
    }
    return finish(text);
}

// The same host with its international name in its IDNA 2003 form, when it has one, made canonical
// again as the name the resolver is asked for.
inline bool canonical_idna2003(std::string_view raw, Canonical* out,
                               const twhc::Idna2003& encode = tw_test::kSimpleIdna2003)
{
    const std::string text = decoded(raw);
    twhc::HostBuffer encoded;
    if (!is_international(text) || encode.function(encode.context, text, encoded) != twhc::Idna2003::encoded) {
        return false;
    }
    *out = canonical(encoded.view());
    return true;
}

// A trailing dot dropped, an address in one spelling, ASCII folded.
inline Canonical finish(std::string text)
{
    if (!text.empty() && text.back() == '.' && (text.size() == 1 || text[text.size() - 2] != '.')) {
        text.pop_back();
    }
    if (text.find(':') != std::string::npos) {
        std::string inner = text;
        if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']') {
            inner = inner.substr(1, inner.size() - 2);
        }
        std::uint16_t pieces[8];
        if (twhc::parse_ipv6(inner, pieces)) {
            char buffer[39];
            std::string bracketed(1, '[');
            bracketed.append(buffer, twhc::format_ipv6(pieces, buffer));
            bracketed += ']';
            return {bracketed, true};
        }
    }
    std::uint32_t address = 0;
    if (twhc::ends_in_number(text) && twhc::parse_ipv4(text, &address)) {
        char buffer[15];
        return {std::string(buffer, twhc::format_ipv4(address, buffer)), true};
    }
    return {folded(text), false};
}

// The key of a canonical host: without a leading "www." when something follows it.
inline std::string key_of(const std::string& canonical_host)
{
    return canonical_host.size() > 4 && canonical_host.compare(0, 4, "www.") == 0 ? canonical_host.substr(4)
                                                                                 : canonical_host;
}

inline std::string url_key(const char* url) { return key_of(canonical(host_part(url)).text); }

// Every reading of a URL, each once: the host part as each reader takes it, in its IDNA 2008 form
// and, where it has one, its IDNA 2003 form.
inline std::vector<Canonical> readings(const char* url)
{
    std::vector<Canonical> found;
    const auto add = [&found](const Canonical& host) {
        for (const Canonical& taken : found) {
            if (taken.text == host.text && taken.is_address == host.is_address) {
                return;
            }
        }
        found.push_back(host);
    };
    for (const Reader reader : {Reader::whatwg, Reader::past_backslash, Reader::escaped_backslash}) {
        const std::string_view part = host_part(url, reader);
        add(canonical(part));
        Canonical other;
        if (canonical_idna2003(part, &other)) {
            add(other);
        }
    }
    return found;
}

}  // namespace twhc_reference
