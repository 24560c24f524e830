// Fuzzes the URL-to-host-key reduction. Checks, for every input: the key lies inside the URL and
// is never longer than it, it agrees with the byte-at-a-time reduction, folding it twice changes
// nothing more than folding it once, and an entry made from the key matches the URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "headercheck/host_key.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/reference_skip_table.h"

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// A string in an allocation of exactly its size plus the NUL, so that a read past it is caught.
char* exact_copy(const std::uint8_t* data, std::size_t size)
{
    char* copy = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(copy, data, size);
    copy[size] = '\0';
    return copy;
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

    const std::string key_folded = twhc_reference::folded(key);
    check(twhc_reference::folded(key_folded) == key_folded);

    if (!key.empty()) {
        // An entry stands for its own key once a leading lower-case "www." is dropped.
        const bool keeps_www = key_folded.size() > 4 && key_folded.compare(0, 4, "www.") == 0;
        const std::string entry = keeps_www ? "www." + key_folded : key_folded;
        std::vector<char> normalised(entry.size() + 1);
        const std::size_t normalised_length = twhc::normalise_entry(entry, normalised.data());
        check(std::string_view(normalised.data(), normalised_length) == key_folded);
        check(twhc_reference::IndexedTable<>({entry}).contains_key(key));
    }

    std::free(url);
    return 0;
}
