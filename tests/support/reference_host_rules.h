// Host rules written the plain way: every entry read and compared with the host one after another,
// the oracle that the hashed rules are checked with; and rules built the way the module builds
// them, as the fixture.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "headercheck/canonical_host.h"
#include "headercheck/host_rules.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/simple_lower_case.h"

namespace twhc_reference {

// Whether host (canonical, folded) lies under domain (canonical): at a label boundary, below it.
inline bool is_under(const std::string& host, const std::string& domain)
{
    return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

// Whether one entry, as written, matches a canonical host.
inline bool entry_matches(const std::string& entry, const Canonical& host)
{
    if (host.text.empty()) {
        return false;
    }
    if (entry == "*") {
        return true;
    }
    const bool below_only = entry.size() > 2 && entry.compare(0, 2, "*.") == 0;
    const bool with_apex = entry.size() > 1 && entry[0] == '.';
    const std::string domain = below_only ? entry.substr(2) : with_apex ? entry.substr(1) : std::string();
    if ((below_only || with_apex) && domain.find('*') == std::string::npos) {
        const Canonical canonical_domain = canonical(domain);
        if (!canonical_domain.text.empty() && !canonical_domain.is_address) {
            return !host.is_address && (is_under(host.text, canonical_domain.text) ||
                                        (with_apex && host.text == canonical_domain.text));
        }
    }
    return key_of(canonical(entry).text) == key_of(host.text);
}

inline bool rules_match(const std::vector<std::string>& entries, const Canonical& host)
{
    for (const std::string& entry : entries) {
        if (entry_matches(entry, host)) {
            return true;
        }
    }
    return false;
}

// Entries made into rules as the module makes them.
class RuleTable {
public:
    explicit RuleTable(const std::vector<std::string>& raw)
    {
        // Reserved once: the indexes point into the strings, which must never move.
        texts_.reserve(raw.size());
        std::vector<twhc::RuleKind> kinds;
        std::size_t domains = 0;
        for (const std::string& entry : raw) {
            twhc::HostBuffer out;
            twhc::RuleKind kind{};
            twhc::canonical_rule(entry, tw_test::kSimpleLowerCase, out, &kind);
            texts_.emplace_back(out.view());
            kinds.push_back(kind);
            domains += kind == twhc::RuleKind::domain_and_below || kind == twhc::RuleKind::below_domain;
        }
        twhc::make_rules(raw.size() - domains, domains, &rules_);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            twhc::add_rule(rules_, kinds[i], texts_[i]);
        }
    }
    ~RuleTable() { twhc::free_rules(rules_); }
    RuleTable(const RuleTable&) = delete;
    RuleTable& operator=(const RuleTable&) = delete;

    const twhc::HostRules& rules() const { return rules_; }

    // The module's decision for a URL: the quick host as it stands, any other canonical.
    bool matches(const char* url) const
    {
        const twhc::HostPart part = twhc::host_part(url);
        if (!part.rare) {
            return twhc::rules_match<twhc::KeyCase::any_case_name>(rules_, part.text, false);
        }
        twhc::HostBuffer canonical_host;
        bool is_address = false;
        twhc::canonical_host(part.text, tw_test::kSimpleLowerCase, canonical_host, &is_address);
        return twhc::rules_match<twhc::KeyCase::folded>(rules_, canonical_host.view(), is_address);
    }

private:
    std::vector<std::string> texts_;
    twhc::HostRules rules_{};
};

// The oracle's decision for a URL.
inline bool url_matches(const std::vector<std::string>& entries, const char* url)
{
    return rules_match(entries, canonical(host_part(url)));
}

// The oracle's injection decision: not to a host the skip list matches; with targets (not null),
// only to one of theirs, a URL without a host only when they hold "*".
inline bool should_inject(const std::vector<std::string>* skip, const std::vector<std::string>* targets, const char* url)
{
    const Canonical host = canonical(host_part(url));
    if (skip != nullptr && rules_match(*skip, host)) {
        return false;
    }
    if (targets == nullptr) {
        return true;
    }
    if (host.text.empty()) {
        for (const std::string& entry : *targets) {
            if (entry == "*") {
                return true;
            }
        }
        return false;
    }
    return rules_match(*targets, host);
}

// The module's injection decision, with its tables built as it builds them.
inline bool module_should_inject(const RuleTable* skip, const RuleTable* targets, const char* url)
{
    const twhc::HostRules* skip_rules = skip != nullptr ? &skip->rules() : nullptr;
    const twhc::HostRules* target_rules = targets != nullptr ? &targets->rules() : nullptr;
    const twhc::HostPart part = twhc::host_part(url);
    if (!part.rare) {
        return twhc::should_inject<twhc::KeyCase::any_case_name>(skip_rules, target_rules, part.text, false);
    }
    twhc::HostBuffer canonical_host;
    bool is_address = false;
    twhc::canonical_host(part.text, tw_test::kSimpleLowerCase, canonical_host, &is_address);
    return twhc::should_inject<twhc::KeyCase::folded>(skip_rules, target_rules, canonical_host.view(), is_address);
}

}  // namespace twhc_reference
