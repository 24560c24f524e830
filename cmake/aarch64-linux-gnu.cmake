# Cross build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu).
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DTW_AARCH64_ROOT=<root> -DPython3_EXECUTABLE=<root>/usr/bin/python3.14-emulated
#
# TW_AARCH64_ROOT is the arm64 root that tools/provision-python.sh --arch aarch64 unpacks. The
# interpreter named is that root's, run under qemu-user: FindPython asks it for its headers and
# extension suffix as it would a native one. The C library headers stay the cross compiler's own
# (the root's come after them, for the Python headers' multiarch pyconfig.h only): mixing two
# glibc versions' headers breaks the build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(TW_AARCH64_ROOT "" CACHE PATH "The arm64 root unpacked by tools/provision-python.sh --arch aarch64")
if(NOT TW_AARCH64_ROOT)
  message(FATAL_ERROR "set TW_AARCH64_ROOT to the arm64 root (tools/provision-python.sh --arch aarch64)")
endif()
# try_compile projects see only what is passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TW_AARCH64_ROOT)
set(CMAKE_C_FLAGS_INIT "-idirafter ${TW_AARCH64_ROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TW_AARCH64_ROOT}/usr/include")
find_program(TW_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TW_QEMU_AARCH64} -L ${TW_AARCH64_ROOT})

# Programs are the host's; libraries and headers are looked for in the root only.
set(CMAKE_FIND_ROOT_PATH ${TW_AARCH64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
