// Fuzzes the URL-to-key reduction. Checks, for every input: the host part lies inside the URL and
// agrees with the byte-at-a-time reduction; a host the scan lets through the quick path holds name
// bytes only, is its own canonical host and is the URL's one reading; the canonical host agrees
// with the oracle and is its own canonical host (the form is stable); the readings are the
// oracle's; and an entry made from the URL's host, or from any of its readings, matches the URL.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "headercheck/canonical_host.h"
#include "headercheck/host_key.h"
#include "headercheck/readings.h"
#include "tests/support/reference_host_key.h"
#include "tests/support/reference_host_rules.h"
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

std::string canonical(std::string_view raw)
{
    twhc::HostBuffer out;
    bool is_address = false;
    check(twhc::canonical_host(raw, tw_test::kSimpleLowerCase, out, &is_address) == twhc::CanonicalOutcome::done);
    return std::string(out.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A Python str never holds a NUL by the time it gets here: the URL ends at the first one.
    const std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    char* url = exact_copy(data, length);

    const twhc::HostPart part = twhc::host_part(url);
    const std::string_view reference = twhc_reference::host_part(url);
    check(part.text.size() == reference.size());
    check(part.text.empty() || (part.text.data() == reference.data() && part.text.data() + part.text.size() <= url + length));

    const twhc_reference::Canonical expected = twhc_reference::canonical(reference);
    const std::string host = canonical(part.text);
    check(host == expected.text);
    check(canonical(host) == host);
    if (!part.rare && !part.text.empty()) {
        check(part.text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
              std::string_view::npos);
        check(twhc_reference::folded(part.text) == host);
    }

    const twhc_reference::ModuleKey key = twhc_reference::module_url_key(url);
    check(twhc_reference::folded(key.text) == twhc_reference::key_of(host));
    if (!key.text.empty()) {
        // The host as a client connects to it, written as an entry, skips the URL; so does the
        // same entry written in capitals (which international names may not survive, so only
        // for ASCII hosts).
        const twhc_reference::IndexedTable<> table({host});
        check(table.contains(url));
        const bool ascii = std::all_of(host.begin(), host.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) {
            std::string shouted = host;
            for (char& c : shouted) {
                c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
            }
            check(twhc_reference::IndexedTable<>({shouted}).contains(url));
        }
    }

    // Every reading, as the oracle reads the URL, each once; and each, as a skip entry, skips it.
    twhc::Readings readings;
    check(twhc::url_readings(url, part.text, tw_test::kSimpleLowerCase, tw_test::kSimpleIdna2003, readings) ==
          twhc::CanonicalOutcome::done);
    const std::vector<twhc_reference::Canonical> expected_readings = twhc_reference::readings(url);
    check(readings.count() == expected_readings.size());
    for (const twhc_reference::Canonical& reading : expected_readings) {
        bool found = false;
        for (std::size_t i = 0; i < readings.count(); ++i) {
            found = found || (readings.host(i) == reading.text && readings.is_address(i) == reading.is_address);
        }
        check(found);
        if (!reading.text.empty()) {
            const std::vector<std::string> skip{reading.text};
            const twhc_reference::RuleTable table(skip);
            check(!twhc_reference::module_should_inject(&table, nullptr, url));
        }
    }
    if (!part.rare) {
        check(expected_readings.size() == 1);
    }

    std::free(url);
    return 0;
}
