// The skip-table lookup written the plain way, one entry after another, and a table built the way
// the module builds it: the oracle and the fixture that the hashed index is checked with, in unit
// tests and fuzzing.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "headercheck/host_key.h"
#include "headercheck/skip_table.h"

namespace twhc_reference {

inline std::string folded(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(twhc::fold_ascii(static_cast<unsigned char>(c)));
    }
    return out;
}

inline std::string normalised(std::string_view entry)
{
    std::string out(entry.size() + 1, '\0');
    out.resize(twhc::normalise_entry(entry, out.data()));
    return out;
}

// Whether the (unfolded) key equals one of the normalised entries, compared one by one.
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

// Raw entries normalised and indexed as the module does it, with the hash as a parameter so that
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
            entries_.push_back(normalised(entry));
            twhc::skip_index_insert<Hash>(*index_, entries_.back());
        }
    }
    ~IndexedTable() { std::free(index_); }
    IndexedTable(const IndexedTable&) = delete;
    IndexedTable& operator=(const IndexedTable&) = delete;

    bool contains_key(std::string_view key) const { return twhc::skip_index_contains<Hash>(*index_, key); }
    bool contains(const std::string& url) const { return contains_key(twhc::host_key_view(url.c_str())); }
    const std::vector<std::string>& entries() const { return entries_; }

private:
    std::vector<std::string> entries_;
    twhc::SkipIndex* index_;
};

}  // namespace twhc_reference
