// The rule that tells the application's own source files from installed libraries, the standard
// library and the agent itself. Bytes in, bool out: unit-tested and fuzzed without an interpreter.
#pragma once

#include <cstring>

namespace twfi {

// path: NUL-terminated UTF-8 bytes; a path with an embedded NUL is judged by its text before it.
// Tests are on the raw bytes and case-sensitive; a marker may stand anywhere in the path, not
// only as a whole component.
inline bool is_user_code(const char* path)
{
    // Code compiled from a string, frozen modules, the interactive prompt.
    if (path[0] == '<') {
        return false;
    }
    static constexpr const char* not_user_code[] = {
        "site-packages",
        "dist-packages",
        "/lib/python",
        // The standard library on Fedora, RHEL and SUSE layouts.
        "/lib64/python",
        "\\lib\\python",
        // The agent's own source tree.
        "tw-vantrel",
    };
    for (const char* marker : not_user_code) {
        if (std::strstr(path, marker) != nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace twfi
