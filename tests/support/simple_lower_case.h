// A lower-caser for the byte tests and the fuzzers, which run without an interpreter: ASCII,
// Latin-1, Greek and Cyrillic capitals, and the Kelvin sign (which lower-cases to ASCII 'k', as
// str.lower() has it). The module asks the interpreter instead.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "headercheck/canonical_host.h"

namespace tw_test {

inline char32_t simple_lower(char32_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F)) {
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40F) {
        return c + 0x50;
    }
    return c == 0x212A ? U'k' : c;
}

// The code points of a UTF-8 string; false when it is not well formed.
inline bool decode_code_points(std::string_view utf8, std::u32string& out)
{
    out.resize(utf8.size());
    std::size_t count = 0;
    const bool valid = twhc::decode_utf8(utf8, out.data(), out.size(), &count);
    out.resize(count);
    return valid;
}

inline twhc::LowerCase::Result simple_lower_case(void* /*context*/, std::string_view utf8, twhc::HostBuffer& out)
{
    std::u32string code_points;
    if (!decode_code_points(utf8, code_points)) {
        return twhc::LowerCase::unchanged;
    }
    for (const char32_t c : code_points) {
        char encoded[4];
        out.append(std::string_view(encoded, twhc::encode_utf8(simple_lower(c), encoded)));
    }
    return twhc::LowerCase::lowered;
}

inline constexpr twhc::LowerCase kSimpleLowerCase{simple_lower_case, nullptr};

// An IDNA 2003 stand-in beside it: soft hyphens dropped, "ß" as "ss", fullwidth ASCII as ASCII,
// everything else lower-cased as above; labels split at the four dots, each with non-ASCII
// characters as "xn--" and its Punycode; an empty label (but for a last one, after a dot) or one
// of more than 63 bytes refused, as the standard library's codec refuses them.
inline twhc::Idna2003::Result simple_idna2003(void* /*context*/, std::string_view utf8, twhc::HostBuffer& out)
{
    std::u32string code_points;
    if (!decode_code_points(utf8, code_points)) {
        return twhc::Idna2003::refused;
    }
    std::u32string mapped;
    for (char32_t c : code_points) {
        if (c == 0xAD) {
            continue;
        }
        if (c == 0xDF) {
            mapped += U"ss";
            continue;
        }
        if (c == 0x3002 || c == 0xFF0E || c == 0xFF61) {
            c = U'.';
        } else if (c >= 0xFF01 && c <= 0xFF5E) {
            c -= 0xFEE0;
        }
        mapped += simple_lower(c);
    }
    std::size_t start = 0;
    for (std::size_t labels = 0;; ++labels) {
        const std::size_t dot = mapped.find(U'.', start);
        const std::u32string label = mapped.substr(start, dot == std::u32string::npos ? std::u32string::npos : dot - start);
        if (label.empty() && !(dot == std::u32string::npos && labels > 0)) {
            return twhc::Idna2003::refused;
        }
        bool ascii = true;
        for (const char32_t c : label) {
            ascii = ascii && c < 0x80;
        }
        char encoded[64];
        std::size_t length = 0;
        if (ascii) {
            for (const char32_t c : label) {
                encoded[length++ % sizeof encoded] = static_cast<char>(c);
            }
        } else if (!twhc::punycode_encode(label.data(), label.size(), encoded + 4, sizeof encoded - 4, &length)) {
            return twhc::Idna2003::refused;
        } else {
            std::memcpy(encoded, "xn--", 4);
            length += 4;
        }
        if (length > 63) {
            return twhc::Idna2003::refused;
        }
        out.append(std::string_view(encoded, length));
        if (dot == std::u32string::npos) {
            return twhc::Idna2003::encoded;
        }
        out.append('.');
        start = dot + 1;
    }
}

inline constexpr twhc::Idna2003 kSimpleIdna2003{simple_idna2003, nullptr};

}  // namespace tw_test
