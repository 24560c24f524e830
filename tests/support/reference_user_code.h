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

#include <string_view>
#include <vector>

namespace twfi_reference {

// Whether path lies under prefix, as the words say it: it equals the prefix, or continues it
// after a '/', or the prefix ends in '/' and the path continues it at all.
inline bool lies_under(std::string_view path, std::string_view prefix)
{
    if (path.substr(0, prefix.size()) != prefix) {
        return false;
    }
    return path.size() == prefix.size() || (!prefix.empty() && prefix.back() == '/') || path[prefix.size()] == '/';
}

inline bool is_user_code(const char* path, const std::vector<std::string_view>& include,
                         const std::vector<std::string_view>& exclude)
{
    if (path[0] == '<') {
        return false;
    }
    for (std::string_view prefix : include) {
        if (lies_under(path, prefix)) {
            return true;
        }
    }
    for (std::string_view prefix : exclude) {
        if (lies_under(path, prefix)) {
            return false;
        }
    }
    return is_user_code(path);
}

}  // namespace twfi_reference
