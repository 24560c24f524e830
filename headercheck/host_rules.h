// Rules about hosts as users write them in a skip list or a list of propagation targets: a host
// (with the "www." rule), a domain with everything under it (".example.com"), everything under a
// domain but the domain itself ("*.example.com"), and every host ("*"), the conventions of
// NO_PROXY in curl and Python's urllib and of proxy bypass lists in Go and Node. Hosts and domains
// are kept in hash indexes of their own, so that a lookup costs the same at any size: one for the
// whole host, and one per label boundary that a loaded domain could stand at. Pure byte logic.
#pragma once

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

// An entry made canonical as the rules keep it: its kind, and in out (empty at first) the text it
// is indexed by: a host's key, a domain's canonical host. A domain that is empty or an address
// once canonical is kept as a host, as written (as before there were domains: it matches
// nothing a client sends).
inline CanonicalOutcome canonical_rule(std::string_view entry, const LowerCase& lower, HostBuffer& out, RuleKind* kind)
{
    const RuleSpelling spelling = read_rule(entry);
    *kind = spelling.kind;
    bool is_address = false;
    if (spelling.kind == RuleKind::every_host) {
        return CanonicalOutcome::done;
    }
    if (spelling.kind != RuleKind::host) {
        const CanonicalOutcome outcome = canonical_host(spelling.text, lower, out, &is_address);
        if (outcome != CanonicalOutcome::done || (!out.view().empty() && !is_address)) {
            return outcome;
        }
        out.clear();
        *kind = RuleKind::host;
    }
    const CanonicalOutcome outcome = canonical_host(entry, lower, out, &is_address);
    if (outcome == CanonicalOutcome::done) {
        const std::size_t dropped = out.size() - key_of(out.view()).size();
        if (dropped > 0) {
            std::memmove(out.data(), out.data() + dropped, out.size() - dropped);
            out.truncate(out.size() - dropped);
        }
    }
    return outcome;
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

// A table's rules. The indexes point into the entries' canonical texts, which the table owns.
struct HostRules {
    SkipIndex* hosts = nullptr;    // keys of host entries (canonical, without "www.")
    SkipIndex* domains = nullptr;  // canonical domains, marked kBelowDomain and perhaps kDomainItself
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
    rules = HostRules{};
}

// Indexes with room for the given numbers of host and domain entries; false when memory runs out
// (nothing is then held).
inline bool make_rules(std::size_t hosts, std::size_t domains, HostRules* rules)
{
    *rules = HostRules{};
    rules->hosts = skip_index_create(hosts);
    rules->domains = domains > 0 ? skip_index_create(domains) : nullptr;
    if (rules->hosts == nullptr || (domains > 0 && rules->domains == nullptr)) {
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
    rules.beyond_hosts = true;
}

// Whether a host lies under one of the domains, or is one of those that match themselves. Looks
// the host's suffixes up from the right, one per label boundary, only at the depths that loaded
// domains have.
template <KeyCase kCase>
inline bool under_domain(const HostRules& rules, std::string_view host)
{
    std::size_t labels = 0;
    for (std::size_t i = host.size(); i-- > 0;) {
        if (host[i] != '.') {
            continue;
        }
        ++labels;
        if (labels >= rules.fewest_domain_labels &&
            skip_index_contains<kCase>(*rules.domains, slice(host, i + 1))) {
            return true;
        }
        if (labels >= rules.most_domain_labels) {
            return false;
        }
    }
    ++labels;
    return labels >= rules.fewest_domain_labels &&
           (skip_index_flags<kCase>(*rules.domains, host) & kDomainItself) != 0;
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
    if (skip_index_contains<kCase>(*rules.hosts, key_of(host))) {
        return true;
    }
    return rules.beyond_hosts && beyond_hosts_match<kCase>(rules, host, is_address);
}

}  // namespace twhc
