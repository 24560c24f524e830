// International host names become what the clients connect to: each label with non-ASCII
// characters is sent as "xn--" and its Punycode (RFC 3492). These are the byte-level pieces of
// that conversion: strict UTF-8 in and out, and the Punycode encoder. Pure byte logic on a rare
// path: plain loops into caller-supplied buffers, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace twhc {

// Strict: a host whose bytes are not valid UTF-8 is no international name and keeps its bytes,
// so an overlong form or an encoded surrogate must never be read as the character it imitates.
constexpr bool decode_utf8(std::string_view bytes, char32_t* out, std::size_t capacity, std::size_t* count)
{
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 1;
        char32_t code_point = lead;
        char32_t smallest = 0;
        if (lead >= 0x80) {
            if (lead < 0xC2 || lead > 0xF4) {
                return false;
            }
            length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            code_point = lead & (0x7Fu >> length);
            if (bytes.size() - i < length) {
                return false;
            }
            for (std::size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(bytes[i + k]);
                if ((next & 0xC0) != 0x80) {
                    return false;
                }
                code_point = code_point << 6 | (next & 0x3Fu);
            }
            if (code_point < smallest || (code_point >= 0xD800 && code_point <= 0xDFFF) ||
                code_point > 0x10FFFF) {
                return false;
            }
        }
        if (written == capacity) {
            return false;
        }
        out[written++] = code_point;
        i += length;
    }
    *count = written;
    return true;
}

// Returns 0 for what is not a Unicode scalar value (a surrogate, or above U+10FFFF), so that
// whatever it writes is valid UTF-8.
constexpr std::size_t encode_utf8(char32_t code_point, char* out)
{
    const auto byte = [](char32_t bits) { return static_cast<char>(static_cast<unsigned char>(bits)); };
    if (code_point < 0x80) {
        out[0] = byte(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = byte(0xC0 | code_point >> 6);
        out[1] = byte(0x80 | (code_point & 0x3F));
        return 2;
    }
    if ((code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
        return 0;
    }
    if (code_point < 0x10000) {
        out[0] = byte(0xE0 | code_point >> 12);
        out[1] = byte(0x80 | (code_point >> 6 & 0x3F));
        out[2] = byte(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = byte(0xF0 | code_point >> 18);
    out[1] = byte(0x80 | (code_point >> 12 & 0x3F));
    out[2] = byte(0x80 | (code_point >> 6 & 0x3F));
    out[3] = byte(0x80 | (code_point & 0x3F));
    return 4;
}

// RFC 3492's parameters for Punycode.
constexpr std::uint32_t kPunycodeBase = 36;
constexpr std::uint32_t kPunycodeTmin = 1;
constexpr std::uint32_t kPunycodeTmax = 26;
constexpr std::uint32_t kPunycodeSkew = 38;
constexpr std::uint32_t kPunycodeDamp = 700;
constexpr std::uint32_t kPunycodeInitialBias = 72;
constexpr std::uint32_t kPunycodeInitialN = 128;

constexpr std::uint32_t punycode_adapt(std::uint32_t delta, std::uint32_t points, bool first_time)
{
    delta = first_time ? delta / kPunycodeDamp : delta / 2;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((kPunycodeBase - kPunycodeTmin) * kPunycodeTmax) / 2) {
        delta /= kPunycodeBase - kPunycodeTmin;
        k += kPunycodeBase;
    }
    return k + (kPunycodeBase - kPunycodeTmin + 1) * delta / (delta + kPunycodeSkew);
}

// Lower-case digits, as the clients send them: the skip entry must equal their form byte for byte.
constexpr char punycode_digit(std::uint32_t value)
{
    return static_cast<char>(value < 26 ? 'a' + value : '0' + (value - 26));
}

// RFC 3492, section 6.3, with 32-bit arithmetic that fails rather than wraps.
constexpr bool punycode_encode(const char32_t* code_points, std::size_t count, char* out,
                               std::size_t capacity, std::size_t* length)
{
    constexpr std::uint32_t kMax = 0xFFFFFFFFu;
    if (count >= kMax) {
        return false;
    }
    std::size_t written = 0;
    const auto put = [&](char byte) {
        if (written == capacity) {
            return false;
        }
        out[written++] = byte;
        return true;
    };
    std::uint32_t basic = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (code_points[i] < kPunycodeInitialN) {
            if (!put(static_cast<char>(code_points[i]))) {
                return false;
            }
            ++basic;
        }
    }
    if (basic > 0 && !put('-')) {
        return false;
    }
    std::uint32_t n = kPunycodeInitialN;
    std::uint32_t delta = 0;
    std::uint32_t bias = kPunycodeInitialBias;
    for (std::uint32_t handled = basic; handled < count; ++delta, ++n) {
        std::uint32_t next = kMax;
        for (std::size_t i = 0; i < count; ++i) {
            if (code_points[i] >= n && code_points[i] < next) {
                next = code_points[i];
            }
        }
        if (next - n > (kMax - delta) / (handled + 1)) {
            return false;
        }
        delta += (next - n) * (handled + 1);
        n = next;
        for (std::size_t i = 0; i < count; ++i) {
            if (code_points[i] < n) {
                if (delta == kMax) {
                    return false;
                }
                ++delta;
            } else if (code_points[i] == n) {
                std::uint32_t q = delta;
                for (std::uint32_t k = kPunycodeBase;; k += kPunycodeBase) {
                    const std::uint32_t t = k <= bias                  ? kPunycodeTmin
                                            : k >= bias + kPunycodeTmax ? kPunycodeTmax
                                                                        : k - bias;
                    if (q < t) {
                        break;
                    }
                    if (!put(punycode_digit(t + (q - t) % (kPunycodeBase - t)))) {
                        return false;
                    }
                    q = (q - t) / (kPunycodeBase - t);
                }
                if (!put(punycode_digit(q))) {
                    return false;
                }
                bias = punycode_adapt(delta, handled + 1, handled == basic);
                delta = 0;
                ++handled;
            }
        }
    }
    *length = written;
    return true;
}

}  // namespace twhc
