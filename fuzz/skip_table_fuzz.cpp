// Fuzzes the skip table over a table and keys made from the input: its lookups must agree with
// comparing the key with every entry, with the real hash and with one of four bits, under which
// nearly every entry collides with another; keys are looked up folded, and those of name bytes
// only also as the quick path has them, in any case. Then the lines as host rules (plain hosts,
// ".domain", "*.domain", "*" mixed), asked about URLs made of the lines and their suffixes, and
// split into a skip list and propagation targets: the hashed rules must answer as the oracle
// that reads every entry in turn.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "headercheck/host_key.h"
#include "headercheck/skip_table.h"
#include "tests/support/reference_host_rules.h"
#include "tests/support/reference_skip_table.h"

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct FourBitHash {
    std::uint64_t operator()(std::string_view key) const
    {
        return twhc::FoldedKeyHash{}(key) & 0xC000000300000000u;
    }
};

// A key in an allocation of exactly its size, so that a read past it is caught.
template <twhc::KeyCase kCase, typename Hash>
bool contains_exact_copy(const twhc::SkipIndex& index, std::string_view key)
{
    char* copy = static_cast<char*>(std::malloc(key.size() + 1));
    std::memcpy(copy, key.data(), key.size());
    copy[key.size()] = '\0';
    const bool found = twhc::skip_index_contains<kCase, Hash>(index, {copy, key.size()});
    std::free(copy);
    return found;
}

bool name_bytes_only(std::string_view key)
{
    return key.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == std::string_view::npos;
}

template <typename Hash>
void check_table(const std::vector<std::string>& raw, const std::vector<std::string>& keys)
{
    const twhc_reference::IndexedTable<Hash> table(raw);
    for (const std::string& key : keys) {
        const bool expected = twhc_reference::table_contains(table.entries(), key);
        check(contains_exact_copy<twhc::KeyCase::folded, Hash>(table.index(), twhc_reference::folded(key)) == expected);
        if (name_bytes_only(key)) {
            check(contains_exact_copy<twhc::KeyCase::any_case_name, Hash>(table.index(), key) == expected);
        }
    }
}

}  // namespace

// Lines of the input: the entries; each line is also looked up as a key, as are its variants
// with one byte cut from either end.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> raw;
    std::vector<std::string> keys;
    for (std::size_t start = 0; start <= input.size() && raw.size() < 200;) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        const std::string_view line = input.substr(start, end - start);
        // The module cuts an entry at its first NUL.
        raw.emplace_back(line.substr(0, std::min(line.find('\0'), line.size())));
        keys.push_back(raw.back());
        if (!raw.back().empty()) {
            keys.push_back(raw.back().substr(1));
            keys.push_back(raw.back().substr(0, raw.back().size() - 1));
        }
        start = end + 1;
    }
    check_table<twhc::FoldedKeyHash>(raw, keys);
    check_table<FourBitHash>(raw, keys);

    const twhc_reference::RuleTable rules(raw);
    // The lines again as a skip list (even lines) and propagation targets (odd lines).
    std::vector<std::string> skip;
    std::vector<std::string> targets;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        (i % 2 == 0 ? skip : targets).push_back(raw[i]);
    }
    const twhc_reference::RuleTable skip_table(skip);
    const twhc_reference::RuleTable target_table(targets, false);
    for (const std::string& key : keys) {
        // The key as a host, and each of its suffixes after a dot.
        for (std::size_t from = 0;;) {
            const std::string url = "https://" + key.substr(from) + "/";
            check(rules.matches(url.c_str()) == twhc_reference::url_matches(raw, url.c_str()));
            check(twhc_reference::module_should_inject(&skip_table, &target_table, url.c_str()) ==
                  twhc_reference::should_inject(&skip, &targets, url.c_str()));
            check(twhc_reference::module_should_inject(&skip_table, nullptr, url.c_str()) ==
                  twhc_reference::should_inject(&skip, nullptr, url.c_str()));
            const std::size_t dot = key.find('.', from);
            if (dot == std::string::npos) {
                break;
            }
            from = dot + 1;
        }
    }
    // A URL without a host: no skip, and a target only of "*".
    check(twhc_reference::module_should_inject(&skip_table, &target_table, "/path") ==
          twhc_reference::should_inject(&skip, &targets, "/path"));
    return 0;
}
