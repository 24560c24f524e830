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
#include "headercheck/readings.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/simple_lower_case.h"

namespace twhc_reference {

// Whether host (canonical, folded) lies under domain (canonical): at a label boundary, below it.
inline bool is_under(const std::string& host, const std::string& domain)
{
    return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

// How an entry's host is made canonical: in its first form, or in its IDNA 2003 form (false when
// it has none).
using EntryForm = bool (*)(std::string_view raw, Canonical* out);

inline bool first_form(std::string_view raw, Canonical* out)
{
    *out = canonical(raw);
    return true;
}

inline bool idna2003_form(std::string_view raw, Canonical* out) { return canonical_idna2003(raw, out); }

// Whether one entry, as written and made canonical in the given form, matches a canonical host.
inline bool entry_matches(const std::string& entry, const Canonical& host, EntryForm form = first_form)
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
        Canonical canonical_domain;
        if (!form(domain, &canonical_domain)) {
            return false;
        }
        if (!canonical_domain.text.empty() && !canonical_domain.is_address) {
            return !host.is_address && (is_under(host.text, canonical_domain.text) ||
                                        (with_apex && host.text == canonical_domain.text));
        }
    }
    Canonical canonical_entry;
    return form(entry, &canonical_entry) && key_of(canonical_entry.text) == key_of(host.text);
}

// Whether any entry matches the host; a skip entry in either of its forms, a target in its first.
inline bool rules_match(const std::vector<std::string>& entries, const Canonical& host, bool second_forms = false)
{
    for (const std::string& entry : entries) {
        if (entry_matches(entry, host) || (second_forms && entry_matches(entry, host, idna2003_form))) {
            return true;
        }
    }
    return false;
}

// Entries made into rules as the module makes them: a skip list (second_forms) with each entry's
// IDNA 2003 form too, where it differs.
class RuleTable {
public:
    explicit RuleTable(const std::vector<std::string>& raw, bool second_forms = true)
    {
        // Reserved once: the indexes point into the strings, which must never move.
        texts_.reserve(2 * raw.size());
        std::vector<twhc::RuleKind> kinds;
        std::size_t domains = 0;
        const auto keep = [&](const twhc::HostBuffer& out, twhc::RuleKind kind) {
            texts_.emplace_back(out.view());
            kinds.push_back(kind);
            domains += kind == twhc::RuleKind::domain_and_below || kind == twhc::RuleKind::below_domain;
        };
        for (const std::string& entry : raw) {
            twhc::HostBuffer out;
            twhc::RuleKind kind{};
            twhc::canonical_rule(entry, tw_test::kSimpleLowerCase, out, &kind);
            keep(out, kind);
            twhc::HostBuffer second;
            bool exists = false;
            if (second_forms &&
                twhc::idna2003_rule(entry, tw_test::kSimpleLowerCase, tw_test::kSimpleIdna2003, second, &kind, &exists) ==
                    twhc::CanonicalOutcome::done &&
                exists) {
                keep(second, kind);
            }
        }
        twhc::make_rules(texts_.size() - domains, domains, &rules_);
        for (std::size_t i = 0; i < texts_.size(); ++i) {
            twhc::add_rule(rules_, kinds[i], texts_[i]);
        }
    }
    ~RuleTable() { twhc::free_rules(rules_); }
    RuleTable(const RuleTable&) = delete;
    RuleTable& operator=(const RuleTable&) = delete;

    const twhc::HostRules& rules() const { return rules_; }

    // Whether the rules match the URL as the module reads it: the quick host as it stands, any
    // other in every reading.
    bool matches(const char* url) const
    {
        const twhc::HostPart part = twhc::host_part(url);
        if (!part.rare) {
            return twhc::rules_match<twhc::KeyCase::any_case_name>(rules_, part.text, false);
        }
        twhc::Readings readings;
        twhc::url_readings(url, part.text, tw_test::kSimpleLowerCase, tw_test::kSimpleIdna2003, readings);
        for (std::size_t i = 0; i < readings.count(); ++i) {
            if (twhc::rules_match<twhc::KeyCase::folded>(rules_, readings.host(i), readings.is_address(i))) {
                return true;
            }
        }
        return false;
    }

private:
    std::vector<std::string> texts_;
    twhc::HostRules rules_{};
};

// The oracle's decision for a URL: whether the entries, as skip entries, match any reading.
inline bool url_matches(const std::vector<std::string>& entries, const char* url)
{
    for (const Canonical& host : readings(url)) {
        if (rules_match(entries, host, true)) {
            return true;
        }
    }
    return false;
}

// The oracle's injection decision: no reading a host the skip list matches; with targets (not
// null), every reading one of theirs, a URL without a host only when they hold "*".
inline bool should_inject(const std::vector<std::string>* skip, const std::vector<std::string>* targets, const char* url)
{
    for (const Canonical& host : readings(url)) {
        if (skip != nullptr && rules_match(*skip, host, true)) {
            return false;
        }
        if (targets == nullptr) {
            continue;
        }
        bool every_host = false;
        for (const std::string& entry : *targets) {
            every_host = every_host || entry == "*";
        }
        if (host.text.empty() ? !every_host : !rules_match(*targets, host)) {
            return false;
        }
    }
    return true;
}

// The module's injection decision, with its tables built as it builds them (the skip list with
// second forms).
inline bool module_should_inject(const RuleTable* skip, const RuleTable* targets, const char* url)
{
    const twhc::HostRules* skip_rules = skip != nullptr ? &skip->rules() : nullptr;
    const twhc::HostRules* target_rules = targets != nullptr ? &targets->rules() : nullptr;
    const twhc::HostPart part = twhc::host_part(url);
    if (!part.rare) {
        return twhc::should_inject<twhc::KeyCase::any_case_name>(skip_rules, target_rules, part.text, false);
    }
    twhc::Readings readings;
    twhc::url_readings(url, part.text, tw_test::kSimpleLowerCase, tw_test::kSimpleIdna2003, readings);
    return twhc::should_inject_every(skip_rules, target_rules, readings);
}

}  // namespace twhc_reference
