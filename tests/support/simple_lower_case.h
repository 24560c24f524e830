// A lower-caser for the byte tests and the fuzzers, which run without an interpreter: ASCII,
// Latin-1, Greek and Cyrillic capitals, and the Kelvin sign (which lower-cases to ASCII 'k', as
// str.lower() has it). The module asks the interpreter instead.
#pragma once

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

inline twhc::LowerCase::Result simple_lower_case(void* /*context*/, std::string_view utf8, twhc::HostBuffer& out)
{
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code_point = 0;
        std::size_t count = 0;
        if (!twhc::decode_utf8(utf8.substr(i, length), &code_point, 1, &count)) {
            return twhc::LowerCase::unchanged;
        }
        char encoded[4];
        out.append(std::string_view(encoded, twhc::encode_utf8(simple_lower(code_point), encoded)));
        i += length;
    }
    return twhc::LowerCase::lowered;
}

inline constexpr twhc::LowerCase kSimpleLowerCase{simple_lower_case, nullptr};

}  // namespace tw_test
