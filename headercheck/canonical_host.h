// The canonical host: one form for every spelling of one destination, which both a URL's key and
// every table entry go through, so that they can never disagree. The steps, in order:
//
//   1. ASCII tab, LF and CR are removed;
//   2. percent-escapes are decoded, but for those of '%', NUL, tab, LF and CR, which stay escaped
//      (in lower-case hex), as does a '%' that starts no escape: the form is then stable under
//      itself, and no key holds a NUL;
//   3. a name with bytes from 0x80 up becomes what the idna package makes of its lower-cased form,
//      as urllib3 and httpx connect to it: split at '.' and the three ideographic and full-width
//      dots, each label with non-ASCII characters as "xn--" and its Punycode;
//   4. one trailing '.' is dropped;
//   5. an IPv6 address, bracketed (as in a URL) or bare (as an entry may give it), becomes its
//      RFC 5952 text in brackets;
//   6. a host whose last label is a number is read as an IPv4 address, in dotted decimal;
//   7. A-Z are folded.
//
// Step 3 has a second form, IDNA 2003's (idna2003_host), which the standard library connects with
// and readings.h takes beside this one.
//
// A leading "www." is dropped afterwards, from the key only (key_of): rules about domains match
// the host as it is. The common host (ASCII letters, digits, dots, hyphens) needs none of these
// steps but 4 and 7, and the URL scan (host_key.h) says so before any of this runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "host_key.h"
#include "ip_address.h"
#include "punycode.h"

namespace twhc {

// Bytes of a host being made canonical: the inline room holds any DNS name, a longer host moves
// to the heap. A failed allocation is remembered, not thrown.
class HostBuffer {
public:
    HostBuffer() = default;
    HostBuffer(const HostBuffer&) = delete;
    HostBuffer& operator=(const HostBuffer&) = delete;
    ~HostBuffer()
    {
        if (data_ != inline_) {
            std::free(data_);
        }
    }

    bool append(std::string_view bytes)
    {
        if (!make_room(bytes.size())) {
            return false;
        }
        if (!bytes.empty()) {
            std::memcpy(data_ + size_, bytes.data(), bytes.size());
        }
        size_ += bytes.size();
        return true;
    }
    bool append(char byte) { return append(std::string_view(&byte, 1)); }
    void clear() { size_ = 0; }
    void truncate(std::size_t size) { size_ = size < size_ ? size : size_; }
    char* data() { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    bool failed() const { return failed_; }

private:
    bool make_room(std::size_t more)
    {
        if (failed_) {
            return false;
        }
        if (capacity_ - size_ >= more) {
            return true;
        }
        std::size_t capacity = capacity_;
        while (capacity - size_ < more) {
            if (capacity > SIZE_MAX / 2) {
                failed_ = true;
                return false;
            }
            capacity *= 2;
        }
        char* grown = static_cast<char*>(std::malloc(capacity));
        if (grown == nullptr) {
            failed_ = true;
            return false;
        }
        std::memcpy(grown, data_, size_);
        if (data_ != inline_) {
            std::free(data_);
        }
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    char inline_[256];
    char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = sizeof inline_;
    bool failed_ = false;
};

// How a name with non-ASCII characters is lower-cased before it is encoded: the module asks the
// interpreter (Unicode's full mappings, exactly those of the clients' str.lower()); byte tests
// bring their own.
struct LowerCase {
    enum Result { lowered, unchanged, stopped };
    // Appends the lower-cased form of valid UTF-8 text to out: lowered; or nothing: unchanged,
    // when it can't (the name then keeps its bytes); or stopped, when the caller must stop (the
    // module's interpreter has a stop request pending).
    Result (*function)(void* context, std::string_view utf8, HostBuffer& out);
    void* context;
};

// How a name with non-ASCII characters is encoded by IDNA 2003 (nameprep, then Punycode label by
// label), as the standard library's "idna" codec encodes it for urllib.request and http.client:
// soft hyphens dropped, "ß" as "ss", fullwidth letters folded, where the idna package's IDNA 2008
// refuses or keeps them. The module asks the interpreter's codec; byte tests bring their own.
struct Idna2003 {
    // encoded: the ASCII name was appended to out; refused: the codec has no form of it.
    enum Result { encoded, refused, no_memory, stopped };
    Result (*function)(void* context, std::string_view utf8, HostBuffer& out);
    void* context;
};

enum class CanonicalOutcome { done, no_memory, stopped };

// A canonical host, as a view of the URL (the common host, not yet folded) or of a buffer.
struct CanonicalHost {
    std::string_view text;
    bool is_address;  // an IPv4 or IPv6 address: never under a domain
};

namespace detail {

constexpr bool stays_escaped(unsigned char byte)
{
    return byte == '%' || byte == '\0' || byte == '\t' || byte == '\n' || byte == '\r';
}

inline bool append_escape(HostBuffer& out, unsigned char byte)
{
    const char escape[3] = {'%', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    return out.append(std::string_view(escape, 3));
}

// Steps 2 and 3 into out.
inline bool remove_controls_and_decode(std::string_view raw, HostBuffer& out)
{
    HostBuffer clean;
    for (const char byte : raw) {
        if (byte != '\t' && byte != '\n' && byte != '\r' && !clean.append(byte)) {
            return false;
        }
    }
    const std::string_view text = clean.view();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte != '%') {
            if (!out.append(static_cast<char>(byte))) {
                return false;
            }
            continue;
        }
        if (i + 2 < text.size() && hex_digit_value(text[i + 1]) < 16 && hex_digit_value(text[i + 2]) < 16) {
            const auto decoded = static_cast<unsigned char>(hex_digit_value(text[i + 1]) * 16 + hex_digit_value(text[i + 2]));
            i += 2;
            if (stays_escaped(decoded) ? !append_escape(out, decoded) : !out.append(static_cast<char>(decoded))) {
                return false;
            }
        } else if (!append_escape(out, '%')) {
            return false;
        }
    }
    return true;
}

inline bool has_high_byte(std::string_view text)
{
    for (const char byte : text) {
        if (static_cast<unsigned char>(byte) >= 0x80) {
            return true;
        }
    }
    return false;
}

// Whether text is valid UTF-8, by the strict decoder, one sequence at a time.
inline bool is_valid_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code_point = 0;
        std::size_t count = 0;
        if (!decode_utf8(slice(text, i, length), &code_point, 1, &count)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The length of the label separator at text[i]: '.' or the UTF-8 of U+3002, U+FF0E or U+FF61;
// 0 when there is none.
inline std::size_t label_separator(std::string_view text, std::size_t i)
{
    if (text[i] == '.') {
        return 1;
    }
    const std::string_view rest = slice(text, i, 3);
    return rest == "\xE3\x80\x82" || rest == "\xEF\xBC\x8E" || rest == "\xEF\xBD\xA1" ? 3 : 0;
}

// Longest label that is encoded: the idna package refuses a label of more than 63 bytes, which
// a label of 64 code points outside ASCII always becomes. Such a name keeps its bytes.
constexpr std::size_t kMaxLabelCodePoints = 63;

// Step 4 for lower-cased valid UTF-8: false when a label can't be encoded.
inline bool encode_international(std::string_view text, HostBuffer& out)
{
    std::size_t start = 0;
    for (std::size_t i = 0;; ++i) {
        const std::size_t separator = i < text.size() ? label_separator(text, i) : 1;
        if (separator == 0) {
            continue;
        }
        const std::string_view label = slice(text, start, i - start);
        if (!has_high_byte(label)) {
            if (!out.append(label)) {
                return false;
            }
        } else {
            char32_t code_points[kMaxLabelCodePoints];
            std::size_t count = 0;
            char encoded[kMaxLabelCodePoints];
            std::size_t length = 0;
            if (!decode_utf8(label, code_points, kMaxLabelCodePoints, &count) ||
                !punycode_encode(code_points, count, encoded, sizeof encoded - 4, &length) ||
                !out.append("xn--") || !out.append(std::string_view(encoded, length))) {
                return false;
            }
        }
        if (i >= text.size()) {
            return true;
        }
        if (!out.append('.')) {
            return false;
        }
        i += separator - 1;
        start = i + 1;
    }
}

inline bool append_folded(HostBuffer& out, std::string_view text)
{
    const std::size_t from = out.size();
    if (!out.append(text)) {
        return false;
    }
    char* bytes = out.data();
    for (std::size_t i = from; i < out.size(); ++i) {
        bytes[i] = static_cast<char>(fold_ascii(static_cast<unsigned char>(bytes[i])));
    }
    return true;
}

inline bool append_ipv6(HostBuffer& out, const std::uint16_t pieces[8])
{
    char text[39];
    const std::size_t length = format_ipv6(pieces, text);
    return out.append('[') && out.append(std::string_view(text, length)) && out.append(']');
}

}  // namespace detail

namespace detail {

// Steps 4 to 7, for a host decoded and, when international, encoded.
inline CanonicalOutcome finish_canonical(std::string_view text, HostBuffer& out, bool* is_address)
{
    text = drop_trailing_dot(text);
    // An IPv6 address, bracketed as in a URL or bare as an entry may give it.
    if (text.find(':') != std::string_view::npos) {
        const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
        std::uint16_t pieces[8];
        if (parse_ipv6(bracketed ? slice(text, 1, text.size() - 2) : text, pieces)) {
            *is_address = true;
            return detail::append_ipv6(out, pieces) ? CanonicalOutcome::done : CanonicalOutcome::no_memory;
        }
    }

    std::uint32_t address = 0;
    if (ends_in_number(text) && parse_ipv4(text, &address)) {
        char dotted[15];
        *is_address = true;
        return out.append(std::string_view(dotted, format_ipv4(address, dotted))) ? CanonicalOutcome::done
                                                                                  : CanonicalOutcome::no_memory;
    }
    return detail::append_folded(out, text) ? CanonicalOutcome::done : CanonicalOutcome::no_memory;
}

// Anything but valid UTF-8 is no name a client can encode: it keeps its bytes.
inline bool is_international(std::string_view decoded)
{
    return has_high_byte(decoded) && is_valid_utf8(decoded);
}

}  // namespace detail

// The canonical host of raw (a URL's host part, or a table entry) into out, which starts empty.
inline CanonicalOutcome canonical_host(std::string_view raw, const LowerCase& lower, HostBuffer& out,
                                       bool* is_address)
{
    *is_address = false;
    HostBuffer decoded;
    if (!detail::remove_controls_and_decode(raw, decoded)) {
        return CanonicalOutcome::no_memory;
    }
    std::string_view text = decoded.view();

    HostBuffer lowered;
    HostBuffer international;
    if (detail::is_international(text)) {
        switch (lower.function(lower.context, text, lowered)) {
        case LowerCase::lowered:
            break;
        case LowerCase::unchanged:
            lowered.clear();
            if (!lowered.append(text)) {
                return CanonicalOutcome::no_memory;
            }
            break;
        case LowerCase::stopped:
            return CanonicalOutcome::stopped;
        }
        if (lowered.failed()) {
            return CanonicalOutcome::no_memory;
        }
        if (detail::encode_international(lowered.view(), international)) {
            text = international.view();
        } else if (international.failed()) {
            return CanonicalOutcome::no_memory;
        }
    }
    return detail::finish_canonical(text, out, is_address);
}

// Whether IDNA 2003 is known to encode a name as IDNA 2008 does, without asking the encoder (which
// the module has only as Python code, costly): nameprep leaves the Latin-1 letters but "ß" as
// str.lower() leaves them (case folded, already in NFKC, none removed or prohibited), and ASCII.
inline bool idna2003_is_idna2008(std::string_view decoded)
{
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const auto byte = static_cast<unsigned char>(decoded[i]);
        if (byte < 0x80) {
            continue;
        }
        // U+00C0 to U+00FF are C3 80 to C3 BF; U+00D7 and U+00F7 (signs) and U+00DF ("ß") differ.
        if (byte != 0xC3 || i + 1 == decoded.size()) {
            return false;
        }
        const auto next = static_cast<unsigned char>(decoded[++i]);
        if (next < 0x80 || next > 0xBF || next == 0x97 || next == 0x9F || next == 0xB7) {
            return false;
        }
    }
    return true;
}

// The canonical host of raw with its international name in IDNA 2003's form instead, into out:
// *exists is false (and out left empty) when raw holds no international name, the encoder
// refuses it, or the form is known to be the IDNA 2008 one. Where it exists it may still equal
// canonical_host's. The form is the
// name the resolver is asked for, and nameprep makes ASCII of fullwidth '%' and the like: it is
// made canonical as an entry naming it would be, so that such an entry meets it.
inline CanonicalOutcome idna2003_host(std::string_view raw, const LowerCase& lower, const Idna2003& encode,
                                      HostBuffer& out, bool* is_address, bool* exists)
{
    *is_address = false;
    *exists = false;
    HostBuffer decoded;
    if (!detail::remove_controls_and_decode(raw, decoded)) {
        return CanonicalOutcome::no_memory;
    }
    if (!detail::is_international(decoded.view()) || idna2003_is_idna2008(decoded.view())) {
        return CanonicalOutcome::done;
    }
    HostBuffer encoded;
    switch (encode.function(encode.context, decoded.view(), encoded)) {
    case Idna2003::encoded:
        break;
    case Idna2003::refused:
        return CanonicalOutcome::done;
    case Idna2003::no_memory:
        return CanonicalOutcome::no_memory;
    case Idna2003::stopped:
        return CanonicalOutcome::stopped;
    }
    if (encoded.failed()) {
        return CanonicalOutcome::no_memory;
    }
    *exists = true;
    return canonical_host(encoded.view(), lower, out, is_address);
}

// The key a canonical host is looked up by: without a leading "www.".
inline std::string_view key_of(std::string_view canonical) { return strip_www(canonical); }

}  // namespace twhc
