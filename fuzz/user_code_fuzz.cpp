// Fuzzes the user-code rule against the plain sequence of substring searches it replaces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frameinfo/user_code.h"
#include "tests/support/reference_user_code.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The exact size, so that a read past the path's NUL is caught.
    char* path = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(path, data, size);
    path[size] = '\0';
    if (twfi::is_user_code(path) != twfi_reference::is_user_code(path)) {
        std::abort();
    }
    std::free(path);
    return 0;
}
