// The numeric hosts: IPv4 in every spelling a client's resolver accepts, and IPv6 text, each read
// the way WHATWG's URL parser reads it and written back in the one form a skip entry is kept in.
// Pure byte logic on a rare path (only hosts whose last label is a number, or bracketed ones):
// plain loops, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace twhc {

// What text.substr(pos, count) gives, without its range check, which would need the C++ runtime
// for its exception: pos must not exceed text.size().
constexpr std::string_view slice(std::string_view text, std::size_t pos, std::size_t count = std::string_view::npos)
{
    const std::size_t rest = text.size() - pos;
    return {text.data() + pos, count < rest ? count : rest};
}

// The value of an ASCII digit in bases up to 16, or 16 for any other byte: a single comparison
// against the radix then rejects both non-digits and digits too large for the base.
constexpr unsigned hex_digit_value(char byte)
{
    if (byte >= '0' && byte <= '9') {
        return static_cast<unsigned>(byte - '0');
    }
    const char lower = static_cast<char>(byte | 0x20);
    if (lower >= 'a' && lower <= 'f') {
        return static_cast<unsigned>(lower - 'a' + 10);
    }
    return 16;
}

constexpr bool has_hex_prefix(std::string_view part)
{
    return part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
}

// One trailing dot names the same host (a fully qualified name), so both readers set it aside.
constexpr std::string_view without_trailing_dot(std::string_view host)
{
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    return host;
}

// A host whose last label is a number is an IPv4 address or nothing: never a name to look up.
constexpr bool ends_in_number(std::string_view host)
{
    host = without_trailing_dot(host);
    const std::size_t dot = host.rfind('.');
    std::string_view last = dot == std::string_view::npos ? host : slice(host, dot + 1);
    if (last.empty()) {
        return false;
    }
    unsigned radix = 10;
    if (has_hex_prefix(last)) {
        radix = 16;
        last.remove_prefix(2);
    }
    for (const char byte : last) {
        if (hex_digit_value(byte) >= radix) {
            return false;
        }
    }
    return true;
}

// Any value above 32 bits is out of range for every part, so the running value stops there and
// a thousand-digit part cannot wrap around into a valid one.
constexpr std::uint64_t kIpv4PartTooLarge = std::uint64_t{1} << 32;

// One part: decimal, "0x" hex (no digits at all reads as 0) or leading-zero octal.
constexpr bool parse_ipv4_part(std::string_view part, std::uint64_t* value)
{
    if (part.empty()) {
        return false;
    }
    unsigned radix = 10;
    if (has_hex_prefix(part)) {
        radix = 16;
        part.remove_prefix(2);
    } else if (part.size() >= 2 && part[0] == '0') {
        radix = 8;
        part.remove_prefix(1);
    }
    std::uint64_t result = 0;
    for (const char byte : part) {
        const unsigned digit = hex_digit_value(byte);
        if (digit >= radix) {
            return false;
        }
        result = result * radix + digit;
        if (result > kIpv4PartTooLarge) {
            result = kIpv4PartTooLarge;
        }
    }
    *value = result;
    return true;
}

// The leading parts are one byte each; the last fills the bytes that are left ("127.1" is
// 127.0.0.1, "2130706433" is the whole address).
constexpr bool parse_ipv4(std::string_view host, std::uint32_t* address)
{
    host = without_trailing_dot(host);
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    for (;;) {
        const std::size_t dot = host.find('.');
        if (count == 4 || !parse_ipv4_part(slice(host, 0, dot), &parts[count])) {
            return false;
        }
        ++count;
        if (dot == std::string_view::npos) {
            break;
        }
        host.remove_prefix(dot + 1);
    }
    const std::size_t leading = count - 1;
    if (parts[leading] >= std::uint64_t{1} << (8 * (4 - leading))) {
        return false;
    }
    std::uint64_t result = parts[leading];
    for (std::size_t i = 0; i < leading; ++i) {
        if (parts[i] > 255) {
            return false;
        }
        result |= parts[i] << (8 * (3 - i));
    }
    *address = static_cast<std::uint32_t>(result);
    return true;
}

constexpr char* write_decimal_byte(unsigned value, char* out)
{
    if (value >= 100) {
        *out++ = static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
        *out++ = static_cast<char>('0' + value / 10 % 10);
    }
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

constexpr std::size_t format_ipv4(std::uint32_t address, char* out)
{
    char* end = out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        end = write_decimal_byte(address >> shift & 0xFF, end);
        if (shift != 0) {
            *end++ = '.';
        }
    }
    return static_cast<std::size_t>(end - out);
}

// The IPv4 tail of an IPv6 address is read strictly: four decimal bytes, no leading zeros, so
// that "::1.2.3.04" is not an address (an octal reading would give another one).
constexpr bool parse_dotted_quad(std::string_view text, std::uint32_t* address)
{
    std::uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        if (part != 0) {
            if (text.empty() || text[0] != '.') {
                return false;
            }
            text.remove_prefix(1);
        }
        if (text.empty() || text[0] < '0' || text[0] > '9' ||
            (text[0] == '0' && text.size() > 1 && text[1] >= '0' && text[1] <= '9')) {
            return false;
        }
        unsigned value = 0;
        while (!text.empty() && text[0] >= '0' && text[0] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[0] - '0');
            if (value > 255) {
                return false;
            }
            text.remove_prefix(1);
        }
        result = result << 8 | value;
    }
    *address = result;
    return text.empty();
}

// The text between the brackets. "::" stands for one or more zero pieces; the pieces after it
// are moved to the end once the whole text has been read.
constexpr bool parse_ipv6(std::string_view text, std::uint16_t pieces[8])
{
    constexpr std::size_t kNoCompression = 9;
    std::uint16_t address[8] = {};
    std::size_t piece = 0;
    std::size_t compress = kNoCompression;
    std::size_t i = 0;
    const std::size_t size = text.size();
    if (size > 0 && text[0] == ':') {
        if (size < 2 || text[1] != ':') {
            return false;
        }
        i = 2;
        compress = piece = 1;
    }
    while (i < size) {
        if (piece == 8) {
            return false;
        }
        if (text[i] == ':') {
            if (compress != kNoCompression) {
                return false;
            }
            ++i;
            compress = ++piece;
            continue;
        }
        unsigned value = 0;
        std::size_t length = 0;
        while (length < 4 && i < size && hex_digit_value(text[i]) < 16) {
            value = value * 16 + hex_digit_value(text[i]);
            ++i;
            ++length;
        }
        if (i < size && text[i] == '.') {
            std::uint32_t ipv4 = 0;
            if (length == 0 || piece > 6 || !parse_dotted_quad(slice(text, i - length), &ipv4)) {
                return false;
            }
            address[piece++] = static_cast<std::uint16_t>(ipv4 >> 16);
            address[piece++] = static_cast<std::uint16_t>(ipv4 & 0xFFFF);
            break;
        }
        if (i < size) {
            if (text[i] != ':' || i + 1 == size) {
                return false;
            }
            ++i;
        }
        address[piece++] = static_cast<std::uint16_t>(value);
    }
    if (compress != kNoCompression) {
        for (std::size_t last = 7, moves = piece - compress; last != 0 && moves > 0; --last, --moves) {
            const std::uint16_t moved = address[compress + moves - 1];
            address[compress + moves - 1] = address[last];
            address[last] = moved;
        }
    } else if (piece != 8) {
        return false;
    }
    for (std::size_t k = 0; k < 8; ++k) {
        pieces[k] = address[k];
    }
    return true;
}

// RFC 5952's form, which is also WHATWG's: lower-case hex without leading zeros, and the first
// of the longest runs of two or more zero pieces written as "::" (a lone zero stays "0").
constexpr std::size_t format_ipv6(const std::uint16_t pieces[8], char* out)
{
    std::size_t run_start = 8;
    std::size_t run_length = 1;
    for (std::size_t i = 0; i < 8; ++i) {
        std::size_t end = i;
        while (end < 8 && pieces[end] == 0) {
            ++end;
        }
        if (end - i > run_length) {
            run_start = i;
            run_length = end - i;
        }
        i = end > i ? end - 1 : i;
    }
    char* end = out;
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == run_start) {
            if (i == 0) {
                *end++ = ':';
            }
            *end++ = ':';
            i += run_length - 1;
            continue;
        }
        const unsigned value = pieces[i];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = value >> shift & 0xF;
            if (digit != 0 || started || shift == 0) {
                *end++ = "0123456789abcdef"[digit];
                started = true;
            }
        }
        if (i != 7) {
            *end++ = ':';
        }
    }
    return static_cast<std::size_t>(end - out);
}

}  // namespace twhc
