// The hosts that the clients an agent patches may take a URL to, where they read it differently.
// A decision made for one of them alone sends the headers where the skip list says never for a
// user of another client; so a rare host part is read every way a client reads it, and the URL is
// skipped when any reading is skipped, and a propagation target only when every reading is one:
//
//   - the host part as WHATWG, urllib3 and requests read it, the authority ending at '/', '?',
//     '#' or '\' (host_key.h): every URL has this one;
//   - the authority read on past a '\', to '/', '?' or '#', as httpx 0.28 and urllib.request do:
//     "http://evil.example\@api.example.com/p" is api.example.com there;
//   - the authority ending at an escaped '\' ("%5C"), as httpx 0.23 writes out a URL whose host
//     was cut at a '\' and still connects to the host before it: "http://api.example.com%5Cp";
//   - of each, besides its IDNA 2008 form (the idna package's, canonical_host.h), the IDNA 2003
//     form of an international name (the standard library's codec: urllib.request,
//     http.client), also where IDNA 2008 refuses it: "ap\u00adi.example.com" is api.example.com
//     and "faß.example" fass.example there.
//
// A URL of name bytes only, without a '\', has one reading, and never comes here. Pure byte logic:
// the module passes its interpreter's lower-casing and IDNA 2003 codec in.
#pragma once

#include <cstddef>
#include <string_view>

#include "canonical_host.h"
#include "host_key.h"
#include "host_rules.h"

namespace twhc {

// Where a reader ends a URL's authority.
enum class AuthorityEnd {
    at_backslash,          // '/', '?', '#' or '\' (host_part's reading)
    past_backslash,        // '/', '?' or '#'
    at_escaped_backslash,  // '/', '?', '#', '\' or "%5C" in either case
};

namespace detail {

inline bool ends_authority(const char* at, AuthorityEnd end)
{
    const char c = *at;
    if (c == '\0' || c == '/' || c == '?' || c == '#') {
        return true;
    }
    if (c == '\\') {
        return end != AuthorityEnd::past_backslash;
    }
    // The bytes after a '%' are read only while none of them is the NUL.
    return end == AuthorityEnd::at_escaped_backslash && c == '%' && at[1] == '5' && (at[2] == 'C' || at[2] == 'c');
}

}  // namespace detail

// The host part of a NUL-terminated URL as a reader that ends the authority so takes it: without
// user information up to the last '@', a bracketed literal whole, otherwise without a port from
// the last ':' on (after the host's first byte). With at_backslash it is host_part's.
inline std::string_view reader_host_part(const char* url, AuthorityEnd end)
{
    const std::size_t start = detail::authority_start(url);
    std::size_t stop = start;
    std::size_t host = start;
    while (!detail::ends_authority(url + stop, end)) {
        if (url[stop] == '@') {
            host = stop + 1;
        }
        ++stop;
    }
    if (host >= stop) {
        return {};
    }
    const std::string_view text{url + host, stop - host};
    if (text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close != std::string_view::npos) {
            return slice(text, 0, close + 1);
        }
    }
    const std::size_t colon = text.rfind(':');
    return colon != std::string_view::npos && colon > 0 ? slice(text, 0, colon) : text;
}

// Enough for every reading: three host parts, each in two international forms.
constexpr std::size_t kMostReadings = 6;

// The canonical hosts of a URL's readings, each once. One that could not be made for want of
// memory is kept as no host, which no rule matches and only "*" makes a target.
class Readings {
public:
    Readings() = default;
    Readings(const Readings&) = delete;
    Readings& operator=(const Readings&) = delete;

    std::size_t count() const { return count_; }
    std::string_view host(std::size_t i) const { return hosts_[i].view(); }
    bool is_address(std::size_t i) const { return is_address_[i]; }

    // The next reading is made in next(), then kept by keep() unless it is one already taken.
    HostBuffer& next() { return hosts_[count_]; }
    void keep(bool is_address, bool made)
    {
        HostBuffer& made_host = hosts_[count_];
        if (!made) {
            made_host.clear();
            is_address = false;
        }
        for (std::size_t i = 0; i < count_; ++i) {
            if (hosts_[i].view() == made_host.view() && is_address_[i] == is_address) {
                made_host.clear();
                return;
            }
        }
        is_address_[count_++] = is_address;
    }

private:
    HostBuffer hosts_[kMostReadings];
    bool is_address_[kMostReadings] = {};
    std::size_t count_ = 0;
};

namespace detail {

// The readings of one host part: its IDNA 2008 form, and its IDNA 2003 form where it has one.
inline CanonicalOutcome add_readings(std::string_view host_part, const LowerCase& lower, const Idna2003& encode,
                                     Readings& readings)
{
    bool is_address = false;
    CanonicalOutcome outcome = canonical_host(host_part, lower, readings.next(), &is_address);
    if (outcome == CanonicalOutcome::stopped) {
        return outcome;
    }
    readings.keep(is_address, outcome == CanonicalOutcome::done);
    if (!has_high_byte(host_part) && host_part.find('%') == std::string_view::npos) {
        // Only a byte from 0x80 up, as it is or escaped, makes an international name.
        return CanonicalOutcome::done;
    }
    bool exists = false;
    outcome = idna2003_host(host_part, lower, encode, readings.next(), &is_address, &exists);
    if (outcome == CanonicalOutcome::stopped) {
        return outcome;
    }
    if (exists || outcome == CanonicalOutcome::no_memory) {
        readings.keep(is_address, outcome == CanonicalOutcome::done);
    } else {
        readings.next().clear();
    }
    return CanonicalOutcome::done;
}

}  // namespace detail

// Every reading of a URL whose host part (host_part(url).text) is part: done, or stopped when the
// lower-casing or the encoder says so (the readings are then incomplete and must not be used).
inline CanonicalOutcome url_readings(const char* url, std::string_view part, const LowerCase& lower,
                                     const Idna2003& encode, Readings& readings)
{
    if (detail::add_readings(part, lower, encode, readings) == CanonicalOutcome::stopped) {
        return CanonicalOutcome::stopped;
    }
    // The other readers part from the first only at a '\' or a "%5C" in the authority.
    bool backslash = false;
    bool escaped_backslash = false;
    for (const char* at = url + detail::authority_start(url); !detail::ends_authority(at, AuthorityEnd::past_backslash);
         ++at) {
        backslash = backslash || *at == '\\';
        escaped_backslash = escaped_backslash || detail::ends_authority(at, AuthorityEnd::at_escaped_backslash);
    }
    if (!backslash && !escaped_backslash) {
        return CanonicalOutcome::done;
    }
    const std::string_view others[] = {backslash ? reader_host_part(url, AuthorityEnd::past_backslash) : part,
                                       escaped_backslash ? reader_host_part(url, AuthorityEnd::at_escaped_backslash) : part};
    for (std::size_t i = 0; i < sizeof others / sizeof others[0]; ++i) {
        const std::string_view other = others[i];
        const bool read_before = (other.data() == part.data() && other.size() == part.size()) ||
                                 (i == 1 && other.data() == others[0].data() && other.size() == others[0].size());
        if (!read_before && detail::add_readings(other, lower, encode, readings) == CanonicalOutcome::stopped) {
            return CanonicalOutcome::stopped;
        }
    }
    return CanonicalOutcome::done;
}

// The decision over every reading: no reading skipped, and, with targets, every reading a target.
inline bool should_inject_every(const HostRules* skip, const HostRules* targets, const Readings& readings)
{
    for (std::size_t i = 0; i < readings.count(); ++i) {
        if (!should_inject<KeyCase::folded>(skip, targets, readings.host(i), readings.is_address(i))) {
            return false;
        }
    }
    return true;
}

}  // namespace twhc
