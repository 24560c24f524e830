// Rules about hosts as users write them in a skip list or a list of propagation targets: a host
// (with the "www." rule), a domain with everything under it (".example.com"), everything under a
// domain but the domain itself ("*.example.com"), and every host ("*"), the conventions of
// NO_PROXY in curl and Python's urllib and of proxy bypass lists in Go and Node. Hosts and domains
// are kept in hash indexes of their own, so that a lookup costs the same at any size: one for the
// whole host, and one per label boundary that a loaded domain could stand at. Pure byte logic.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "canonical_host.h"
#include "skip_table.h"

namespace twhc {

// What an entry says, read from the entry as written.
enum class RuleKind {
    host,              // anything that is none of the below: a host, matched as a whole
    domain_and_below,  // ".example.com": example.com and every host under it
    below_domain,      // "*.example.com": every host under example.com, not example.com itself
    every_host,        // "*"
};

struct RuleSpelling {
    RuleKind kind;
    std::string_view text;  // the host or the domain, to be made canonical
};

// How an entry reads. A '*' anywhere else, or a prefix with nothing after it, leaves a host.
inline RuleSpelling read_rule(std::string_view entry)
{
    if (entry.size() == 1 && entry[0] == '*') {
        return {RuleKind::every_host, {}};
    }
    std::string_view domain;
    RuleKind kind = RuleKind::host;
    if (entry.size() > 1 && entry[0] == '.') {
        domain = slice(entry, 1);
        kind = RuleKind::domain_and_below;
    } else if (entry.size() > 2 && entry[0] == '*' && entry[1] == '.') {
        domain = slice(entry, 2);
        kind = RuleKind::below_domain;
    }
    if (kind == RuleKind::host || domain.find('*') != std::string_view::npos) {
        return {RuleKind::host, entry};
    }
    return {kind, domain};
}

namespace detail {

// canonical_rule with the host made canonical by canonicalize(text, out, &is_address).
template <typename Canonicalize>
inline CanonicalOutcome canonical_rule_by(std::string_view entry, Canonicalize canonicalize, HostBuffer& out,
                                          RuleKind* kind)
{
    const RuleSpelling spelling = read_rule(entry);
    *kind = spelling.kind;
    bool is_address = false;
    if (spelling.kind == RuleKind::every_host) {
        return CanonicalOutcome::done;
    }
    if (spelling.kind != RuleKind::host) {
        const CanonicalOutcome outcome = canonicalize(spelling.text, out, &is_address);
        if (outcome != CanonicalOutcome::done || (!out.view().empty() && !is_address)) {
            return outcome;
        }
        out.clear();
        *kind = RuleKind::host;
    }
    const CanonicalOutcome outcome = canonicalize(entry, out, &is_address);
    if (outcome == CanonicalOutcome::done) {
        const std::size_t dropped = out.size() - key_of(out.view()).size();
        if (dropped > 0) {
            std::memmove(out.data(), out.data() + dropped, out.size() - dropped);
            out.truncate(out.size() - dropped);
        }
    }
    return outcome;
}

}  // namespace detail

// An entry made canonical as the rules keep it: its kind, and in out (empty at first) the text it
// is indexed by: a host's key, a domain's canonical host. A domain that is empty or an address
// once canonical is kept as a host, as written (as before there were domains: it matches
// nothing a client sends).
inline CanonicalOutcome canonical_rule(std::string_view entry, const LowerCase& lower, HostBuffer& out, RuleKind* kind)
{
    return detail::canonical_rule_by(
        entry, [&lower](std::string_view text, HostBuffer& host, bool* is_address) {
            return canonical_host(text, lower, host, is_address);
        },
        out, kind);
}

// The entry's second form, where its international name has one under IDNA 2003 (urllib.request's
// reading) that is not its first: "faß.example" is xn--fa-hia.example to the idna package and
// fass.example to the standard library, and a skip list means both. *exists is false when there
// is none, or it is the first form again.
inline CanonicalOutcome idna2003_rule(std::string_view entry, const LowerCase& lower, const Idna2003& encode,
                                      HostBuffer& out, RuleKind* kind, bool* exists)
{
    *exists = false;
    if (!detail::has_high_byte(entry) && entry.find('%') == std::string_view::npos) {
        // Only a byte from 0x80 up, written as it is or escaped, makes an international name.
        return CanonicalOutcome::done;
    }
    bool every_form_exists = true;
    const CanonicalOutcome outcome = detail::canonical_rule_by(
        entry, [&lower, &encode, &every_form_exists](std::string_view text, HostBuffer& host, bool* is_address) {
            bool form_exists = false;
            const CanonicalOutcome made = idna2003_host(text, lower, encode, host, is_address, &form_exists);
            every_form_exists = every_form_exists && form_exists;
            return made;
        },
        out, kind);
    if (outcome != CanonicalOutcome::done || !every_form_exists) {
        out.clear();
        return outcome;
    }
    HostBuffer first;
    RuleKind first_kind{};
    const CanonicalOutcome first_outcome = canonical_rule(entry, lower, first, &first_kind);
    if (first_outcome != CanonicalOutcome::done) {
        out.clear();
        return first_outcome;
    }
    *exists = first_kind != *kind || first.view() != out.view();
    if (!*exists) {
        out.clear();
    }
    return CanonicalOutcome::done;
}

// Marks of a domain's slot: what the domain itself matches as, beside what lies under it.
constexpr std::uint32_t kBelowDomain = 1;
constexpr std::uint32_t kDomainItself = 2;

// The labels a host has: one more than its dots.
inline std::size_t label_count(std::string_view host)
{
    std::size_t labels = 1;
    for (const char byte : host) {
        labels += byte == '.';
    }
    return labels;
}

// The last eight bytes of text, bit 5 set in each as the hash has it, as a number whose top byte
// is text's last: a shorter text's bytes fill the top, zeros the rest. The suffixes of one host
// share their last bytes, so the host's word gives every suffix's (suffix_word).
inline std::uint64_t tail_word(std::string_view text)
{
    std::uint64_t word = 0;
    if (text.size() >= 8) {
        word = load8(text.data() + text.size() - 8);
        if constexpr (std::endian::native == std::endian::big) {
            word = __builtin_bswap64(word);
        }
        return word | 0x2020202020202020u;
    }
    for (const char byte : text) {
        word = word >> 8 | static_cast<std::uint64_t>(static_cast<unsigned char>(byte) | 0x20) << 56;
    }
    return word;
}

// The word of the last length bytes of a text whose tail_word is tail.
constexpr std::uint64_t suffix_word(std::uint64_t tail, std::size_t length)
{
    if (length >= 8) [[likely]] {
        return tail;
    }
    return tail >> (64 - 8 * length);
}

// A number for a domain of this length whose last bytes' word is word, whose top bits choose its
// bit of the filter: a product's top bits, which every bit of the factors reaches.
constexpr std::uint64_t filter_bit(std::uint64_t word, std::size_t length)
{
    return (word ^ (static_cast<std::uint64_t>(length) << 58)) * 0x9E3779B97F4A7C15u;
}

// A table's rules. The indexes point into the entries' canonical texts, which the table owns.
struct HostRules {
    SkipIndex* hosts = nullptr;    // keys of host entries (canonical, without "www.")
    std::size_t host_count = 0;    // entries indexed in hosts
    SkipIndex* domains = nullptr;  // canonical domains, marked kBelowDomain and perhaps kDomainItself
    // A bit for each domain, chosen by its length and last eight bytes (filter_bit), in 16 times
    // as many bits as there are domains: most suffixes of a host that are no domain are told by
    // one bit, without a hash of their own or a probe of the index.
    std::uint64_t* domain_filter = nullptr;
    unsigned domain_filter_shift = 0;  // 64 - log2(bits); the number of bits is a power of two
    std::uint32_t fewest_domain_labels = 0;
    std::uint32_t most_domain_labels = 0;
    bool every_host = false;
    // Any rule but a host's: one test keeps a table of hosts alone at the cost it had before
    // there were other rules.
    bool beyond_hosts = false;
};

inline void free_rules(HostRules& rules)
{
    std::free(rules.hosts);
    std::free(rules.domains);
    std::free(rules.domain_filter);
    rules = HostRules{};
}

// Indexes with room for the given numbers of host and domain entries; false when memory runs out
// (nothing is then held).
inline bool make_rules(std::size_t hosts, std::size_t domains, HostRules* rules)
{
    *rules = HostRules{};
    rules->hosts = skip_index_create(hosts);
    if (rules->hosts == nullptr) {
        return false;
    }
    if (domains == 0) {
        return true;
    }
    std::size_t bits = 64;
    while (bits / 16 < domains && bits < (SIZE_MAX >> 1)) {
        bits <<= 1;
    }
    rules->domains = skip_index_create(domains);
    rules->domain_filter = static_cast<std::uint64_t*>(std::calloc(bits / 64, sizeof(std::uint64_t)));
    rules->domain_filter_shift = 64u - static_cast<unsigned>(std::countr_zero(bits));
    if (rules->domains == nullptr || rules->domain_filter == nullptr) {
        free_rules(*rules);
        return false;
    }
    return true;
}

// Adds an entry as canonical_rule gives it; the text must outlive the rules.
inline void add_rule(HostRules& rules, RuleKind kind, std::string_view canonical)
{
    switch (kind) {
    case RuleKind::every_host:
        rules.every_host = true;
        rules.beyond_hosts = true;
        return;
    case RuleKind::host:
        skip_index_insert(*rules.hosts, canonical);
        ++rules.host_count;
        return;
    case RuleKind::domain_and_below:
    case RuleKind::below_domain:
        break;
    }
    const auto labels = static_cast<std::uint32_t>(label_count(canonical) < UINT32_MAX ? label_count(canonical) : UINT32_MAX);
    if (rules.most_domain_labels == 0 || labels < rules.fewest_domain_labels) {
        rules.fewest_domain_labels = labels;
    }
    if (labels > rules.most_domain_labels) {
        rules.most_domain_labels = labels;
    }
    skip_index_insert(*rules.domains, canonical, kind == RuleKind::domain_and_below ? kBelowDomain | kDomainItself : kBelowDomain);
    const std::uint64_t bit = filter_bit(suffix_word(tail_word(canonical), canonical.size()), canonical.size());
    const std::uint64_t index = bit >> rules.domain_filter_shift;
    rules.domain_filter[index / 64] |= std::uint64_t{1} << (index % 64);
    rules.beyond_hosts = true;
}

inline bool filter_may_hold(const HostRules& rules, std::uint64_t bit)
{
    const std::uint64_t index = bit >> rules.domain_filter_shift;
    return (rules.domain_filter[index / 64] >> (index % 64) & 1) != 0;
}

// The loaded domain equal to a non-empty suffix of a host, if any, once the filter has let it by.
template <KeyCase kCase>
inline const SkipSlot* find_domain(const HostRules& rules, std::string_view suffix)
{
    return detail::find<kCase>(*rules.domains, suffix, FoldedKeyHash{}(suffix), nullptr);
}

// Whether the suffix of a host after the dot at position dot is a loaded domain: the filter on
// its length and last bytes (tail being the host's tail_word) first, the index only then.
template <KeyCase kCase>
inline bool suffix_is_domain(const HostRules& rules, std::string_view host, std::uint64_t tail, std::size_t dot)
{
    const std::size_t length = host.size() - dot - 1;
    return length > 0 && filter_may_hold(rules, filter_bit(suffix_word(tail, length), length)) &&
           find_domain<kCase>(rules, slice(host, dot + 1)) != nullptr;
}

// Whether a host with labels labels is itself a loaded domain that matches itself.
template <KeyCase kCase>
inline bool host_is_domain(const HostRules& rules, std::string_view host, std::uint64_t tail, std::size_t labels)
{
    if (labels < rules.fewest_domain_labels || labels > rules.most_domain_labels ||
        !filter_may_hold(rules, filter_bit(suffix_word(tail, host.size()), host.size()))) {
        return false;
    }
    const SkipSlot* itself = find_domain<kCase>(rules, host);
    return itself != nullptr && (itself->flags & kDomainItself) != 0;
}

// The hosts whose dots one word holds, a bit a byte; a longer host is walked byte by byte.
constexpr std::size_t kDotWordBytes = 64;

// Walks a host's dots from the right, next_dot() giving each position in turn and npos after
// the last, looking the suffix after each up, only at the depths loaded domains have; then the
// whole host.
template <KeyCase kCase, typename NextDot>
inline bool walk_labels(const HostRules& rules, std::string_view host, NextDot next_dot)
{
    const std::uint64_t tail = tail_word(host);
    // The suffix after the first dot from the right has one label, after the next two, and so on.
    std::size_t labels = 1;
    for (std::size_t dot = next_dot(); dot != std::string_view::npos; dot = next_dot(), ++labels) {
        if (labels > rules.most_domain_labels) {
            return false;
        }
        if (labels >= rules.fewest_domain_labels && suffix_is_domain<kCase>(rules, host, tail, dot)) {
            return true;
        }
    }
    return host_is_domain<kCase>(rules, host, tail, labels);
}

template <KeyCase kCase>
[[gnu::noinline]] bool under_long_domain(const HostRules& rules, std::string_view host)
{
    std::size_t position = host.size();
    return walk_labels<kCase>(rules, host, [&position, host]() {
        while (position > 0) {
            if (host[--position] == '.') {
                return position;
            }
        }
        return std::string_view::npos;
    });
}

// under_domain for a host of 17 to 64 bytes (or one that the first read, at a page's end, did not
// cover): its dots from 16-byte reads into one word, a bit a byte.
template <KeyCase kCase>
[[gnu::noinline]] TW_NO_ASAN bool under_domain_of_words(const HostRules& rules, std::string_view host)
{
    std::uint64_t dots = 0;
    for (std::size_t position = 0; position < host.size();) {
        const tw::Bytes16 block = tw::load_bytes16(host.data() + position);
        dots |= std::uint64_t{block.where('.').positions()} << position;
        position += block.span();
    }
    if (host.size() < kDotWordBytes) {
        dots &= (std::uint64_t{1} << host.size()) - 1;
    }
    return walk_labels<kCase>(rules, host, [&dots]() {
        if (dots == 0) {
            return std::string_view::npos;
        }
        const auto dot = static_cast<std::size_t>(std::bit_width(dots) - 1);
        dots ^= std::uint64_t{1} << dot;
        return dot;
    });
}

// Whether a non-empty host lies under one of the domains, or is one of those that match
// themselves. The dots of most hosts come from one 16-byte read, page-safe (what follows the
// host in its buffer is read but never counted).
template <KeyCase kCase>
TW_NO_ASAN inline bool under_domain(const HostRules& rules, std::string_view host)
{
    const tw::Bytes16 block = tw::load_bytes16(host.data());
    if (host.size() > block.span()) {
        return host.size() <= kDotWordBytes ? under_domain_of_words<kCase>(rules, host)
                                            : under_long_domain<kCase>(rules, host);
    }
    tw::ByteMask dots = block.where('.') & tw::ByteMask::below(static_cast<unsigned>(host.size()));
    return walk_labels<kCase>(rules, host, [&dots]() {
        return dots ? static_cast<std::size_t>(dots.pop_highest()) : std::string_view::npos;
    });
}

// The rules beside the hosts'. An empty host (a URL without one) matches none, "*" included.
template <KeyCase kCase>
inline bool beyond_hosts_match(const HostRules& rules, std::string_view host, bool is_address)
{
    return !host.empty() &&
           (rules.every_host || (rules.domains != nullptr && !is_address && under_domain<kCase>(rules, host)));
}

// Whether the rules match a canonical host (not yet folded when kCase says so). An empty host
// (a URL without one) matches no rule, "*" included; an address is never under a domain.
template <KeyCase kCase>
inline bool rules_match(const HostRules& rules, std::string_view host, bool is_address)
{
    if (rules.host_count > 0 && skip_index_contains<kCase>(*rules.hosts, key_of(host))) {
        return true;
    }
    return rules.beyond_hosts && beyond_hosts_match<kCase>(rules, host, is_address);
}

// The decision for a canonical host (not yet folded when kCase says so): not to a host the skip
// rules match, and, when there are targets, only to one they match. A URL without a host is no
// target but of "*". Either table may be null: no skip list, or no targets loaded.
template <KeyCase kCase>
inline bool should_inject(const HostRules* skip, const HostRules* targets, std::string_view host, bool is_address)
{
    if (skip != nullptr && rules_match<kCase>(*skip, host, is_address)) {
        return false;
    }
    if (targets == nullptr) {
        return true;
    }
    return host.empty() ? targets->every_host : rules_match<kCase>(*targets, host, is_address);
}

}  // namespace twhc
