#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev patchelf binutils)
case "${1:-}" in
    # The reliability checks: sanitizer runtimes, libFuzzer.
    --checks) packages=(clang libclang-rt-14-dev libasan8 libubsan1 valgrind) ;;
    # The cross build for 64-bit Arm, and the emulator its tests run under.
    --aarch64) packages=(g++-aarch64-linux-gnu qemu-user-static) ;;
    # The benchmarks also count instructions and draw a plot with the system's Python.
    --bench) packages=(valgrind python3-matplotlib) ;;
    # A real host with several interpreters: Apache with mod_wsgi, which embeds the system's
    # python3 (the modules are built for it, against its headers).
    --modwsgi) packages=(apache2 libapache2-mod-wsgi-py3 python3-dev) ;;
esac
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
# A package's own service (apache2's) must not start on install: the tests run their own.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod +x "$policy"
    trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
