// Fuzzes the user-code rule against the plain sequence of substring searches it replaces, and the
// rule under path prefixes against the words that define it. The input's last line is the path;
// each line before it a prefix, an include one when it begins with '+', else an exclude one (less
// its first byte).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "frameinfo/path_prefixes.h"
#include "frameinfo/user_code.h"
#include "tests/support/reference_user_code.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t last_line = input.rfind('\n') == std::string_view::npos ? 0 : input.rfind('\n') + 1;
    // The exact size, so that a read past the path's NUL is caught.
    const std::size_t path_size = size - last_line;
    char* path = static_cast<char*>(std::malloc(path_size + 1));
    std::memcpy(path, data + last_line, path_size);
    path[path_size] = '\0';
    if (twfi::is_user_code(path) != twfi_reference::is_user_code(path)) {
        std::abort();
    }
    std::vector<std::string_view> include;
    std::vector<std::string_view> exclude;
    for (std::size_t start = 0; start < last_line;) {
        const std::size_t end = input.find('\n', start);
        const std::string_view line = input.substr(start, end - start);
        if (!line.empty()) {
            // A prefix is judged by its text before a NUL, as a path is.
            const std::string_view prefix = line.substr(1, line.substr(1).find('\0'));
            (line[0] == '+' ? include : exclude).push_back(prefix);
        }
        start = end + 1;
    }
    twfi::UserCodeRules rules;
    if (!twfi::make_rules(include.data(), include.size(), exclude.data(), exclude.size(), &rules)) {
        std::abort();
    }
    if (twfi::is_user_code(path, path_size, rules) != twfi_reference::is_user_code(path, include, exclude)) {
        std::abort();
    }
    twfi::free_rules(rules);
    std::free(path);
    return 0;
}
