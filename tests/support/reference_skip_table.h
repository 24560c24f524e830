// The skip-table lookup written the plain way, one entry after another, and a table built the way
// the module builds it: the oracle and the fixture that the hashed index is checked with, in unit
// tests and fuzzing.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "headercheck/canonical_host.h"
#include "headercheck/skip_table.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/simple_lower_case.h"

namespace twhc_reference {

// An entry's key as the module makes it: its canonical host without a leading "www.".
inline std::string entry_key(std::string_view entry)
{
    twhc::HostBuffer canonical;
    bool is_address = false;
    twhc::canonical_host(entry, tw_test::kSimpleLowerCase, canonical, &is_address);
    return std::string(twhc::key_of(canonical.view()));
}

// The key of a URL as the module makes it: straight from the URL (name bytes in any case) when
// the scan finds nothing rare, from the canonical steps (folded) otherwise.
struct ModuleKey {
    std::string text;
    twhc::KeyCase key_case;
};

inline ModuleKey module_url_key(const char* url)
{
    const twhc::HostPart part = twhc::host_part(url);
    if (!part.rare) {
        return {std::string(twhc::key_of(part.text)), twhc::KeyCase::any_case_name};
    }
    twhc::HostBuffer canonical;
    bool is_address = false;
    twhc::canonical_host(part.text, tw_test::kSimpleLowerCase, canonical, &is_address);
    return {std::string(twhc::key_of(canonical.view())), twhc::KeyCase::folded};
}

// Whether the (unfolded) key equals one of the entries' keys, compared one by one.
inline bool table_contains(const std::vector<std::string>& entries, std::string_view key)
{
    if (key.empty()) {
        return false;
    }
    const std::string wanted = folded(key);
    for (const std::string& entry : entries) {
        if (entry == wanted) {
            return true;
        }
    }
    return false;
}

// Raw entries keyed and indexed as the module does it, with the hash as a parameter so that
// tests can force collisions.
template <typename Hash = twhc::FoldedKeyHash>
class IndexedTable {
public:
    explicit IndexedTable(const std::vector<std::string>& raw)
    {
        // Reserved once: the index points into the strings, which must never move.
        entries_.reserve(raw.size());
        index_ = twhc::skip_index_create(raw.size());
        for (const std::string& entry : raw) {
            entries_.push_back(entry_key(entry));
            twhc::skip_index_insert<Hash>(*index_, entries_.back());
        }
    }
    ~IndexedTable() { std::free(index_); }
    IndexedTable(const IndexedTable&) = delete;
    IndexedTable& operator=(const IndexedTable&) = delete;

    // Any key, folded first.
    bool contains_key(std::string_view key) const
    {
        return twhc::skip_index_contains<twhc::KeyCase::folded, Hash>(*index_, folded(key));
    }
    bool contains(const std::string& url) const
    {
        const ModuleKey key = module_url_key(url.c_str());
        return key.key_case == twhc::KeyCase::folded
                   ? twhc::skip_index_contains<twhc::KeyCase::folded, Hash>(*index_, key.text)
                   : twhc::skip_index_contains<twhc::KeyCase::any_case_name, Hash>(*index_, key.text);
    }
    const std::vector<std::string>& entries() const { return entries_; }
    const twhc::SkipIndex& index() const { return *index_; }

private:
    std::vector<std::string> entries_;
    twhc::SkipIndex* index_;
};

}  // namespace twhc_reference
