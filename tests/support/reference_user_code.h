// The user-code rule written as the plain sequence of substring searches: the oracle that the
// single-pass rule of the module is checked against, in unit tests and fuzzing.
#pragma once

#include <cstring>
#include <initializer_list>

namespace twfi_reference {

inline bool is_user_code(const char* path)
{
    if (path[0] == '<') {
        return false;
    }
    for (const char* marker : {"site-packages", "dist-packages", "/lib/python", "/lib64/python",
                               "\\lib\\python", "tw-vantrel"}) {
        if (std::strstr(path, marker) != nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace twfi_reference
