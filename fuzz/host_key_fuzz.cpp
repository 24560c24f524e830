// Fuzzes the URL-to-host-key reduction and the table scan. Checks, for every input: the key lies
// inside the URL and is never longer than it, it agrees with the byte-at-a-time reduction,
// folding it twice changes nothing more than folding it once, an entry made from the key matches
// the URL, and table lookups agree with a plain comparison of keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "headercheck/host_key.h"
#include "tests/support/reference_host_key.h"

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

std::string folded(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(twhc::fold_ascii(static_cast<unsigned char>(c)));
    }
    return out;
}

// A string in an allocation of exactly its size plus the NUL, so that a read past it is caught.
char* exact_copy(const std::uint8_t* data, std::size_t size)
{
    char* copy = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(copy, data, size);
    copy[size] = '\0';
    return copy;
}

bool contains(const std::vector<std::string>& normalised, std::string_view key)
{
    std::vector<twhc::EntryHead> heads;
    std::vector<std::uint8_t> tags;
    std::vector<const char*> entries;
    for (const std::string& entry : normalised) {
        heads.push_back(twhc::entry_head(entry));
        tags.push_back(twhc::folded_tag(entry));
        entries.push_back(entry.c_str());
    }
    tags.resize(twhc::tag_bytes(tags.size()), 0);
    return twhc::table_contains(key, {entries.data(), heads.data(), tags.data(), entries.size()});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A Python str never holds a NUL by the time it gets here: the URL ends at the first one.
    const std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    char* url = exact_copy(data, length);

    const std::string_view key = twhc::host_key_view(url);
    check(key.size() <= length);
    check(key.empty() || (key.data() >= url && key.data() + key.size() <= url + length));
    const std::string_view reference = twhc_reference::host_key_view(url);
    check(key.data() == reference.data() || (key.empty() && reference.empty()));
    check(key.size() == reference.size());

    const std::string key_folded = folded(key);
    check(folded(key_folded) == key_folded);

    if (!key.empty()) {
        // An entry stands for its own key once a leading lower-case "www." is dropped.
        const bool keeps_www = key_folded.size() > 4 && key_folded.compare(0, 4, "www.") == 0;
        const std::string entry = keeps_www ? "www." + key_folded : key_folded;
        std::vector<char> normalised(entry.size() + 1);
        const std::size_t normalised_length = twhc::normalise_entry(entry, normalised.data());
        check(std::string_view(normalised.data(), normalised_length) == key_folded);
        check(contains({key_folded}, key));
    }

    // Entries cut from the input itself: the scan must agree with comparing keys one by one.
    std::vector<std::string> table;
    for (std::size_t start = 0; start < length && table.size() < 40; start += 1 + start % 7) {
        std::string raw(url + start, std::min<std::size_t>(length - start, 1 + (start * 13) % 24));
        std::vector<char> out(raw.size() + 1);
        table.emplace_back(out.data(), twhc::normalise_entry(raw, out.data()));
    }
    bool expected = false;
    for (const std::string& entry : table) {
        expected = expected || (!key.empty() && entry == key_folded);
    }
    check(contains(table, key) == expected);

    std::free(url);
    return 0;
}
