#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter that the build and the tests can use.
#
# Order of preference:
#   1. $TW_PYTHON, when set (a user's own interpreter; used as it is);
#   2. python3.14 on PATH (a machine that has one must use it as it is);
#   3. an interpreter unpacked from Debian's testing/unstable binaries into a cache folder
#      ($TW_CACHE_DIR, default ~/.cache/tw-native), made runnable on this older glibc with patchelf.
#
# With --debug it prints the debug build (python3.14d) instead. Idempotent: a complete root in the
# cache is reused without touching the network. All progress goes to stderr; stdout is the path.
set -euo pipefail

want_debug=0
[ "${1:-}" = "--debug" ] && want_debug=1

fail() { echo "provision-python: $*" >&2; exit 1; }

if [ -n "${TW_PYTHON:-}" ] && [ $want_debug -eq 0 ]; then
    [ -x "$TW_PYTHON" ] || command -v "$TW_PYTHON" >/dev/null 2>&1 \
        || fail "TW_PYTHON=$TW_PYTHON is not an executable interpreter."
    command -v "$TW_PYTHON"; exit 0
fi
if [ -n "${TW_PYTHON_DEBUG:-}" ] && [ $want_debug -eq 1 ]; then
    command -v "$TW_PYTHON_DEBUG"; exit 0
fi
if [ $want_debug -eq 0 ] && command -v python3.14 >/dev/null 2>&1; then
    command -v python3.14; exit 0
fi
if [ $want_debug -eq 1 ] && command -v python3.14d >/dev/null 2>&1; then
    command -v python3.14d; exit 0
fi

cache="${TW_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tw-native}"
root="$cache/py314-root"
# Bumped whenever the layout of the unpacked root changes, so that an older cache is redone.
stamp="$root/.complete-3"
exe="$root/usr/bin/python3.14"
[ $want_debug -eq 1 ] && exe="$root/usr/bin/python3.14d"

if [ -f "$stamp" ] && [ -x "$exe" ]; then
    echo "$exe"; exit 0
fi

command -v apt-get >/dev/null 2>&1 && command -v dpkg >/dev/null 2>&1 \
    || fail "no python3.14 on PATH and no apt-get/dpkg to fetch one; set TW_PYTHON to a CPython 3.14 interpreter."

if ! command -v patchelf >/dev/null 2>&1; then
    echo "provision-python: installing patchelf" >&2
    { apt-get update -qq && apt-get install -y -qq patchelf; } >&2 \
        || fail "could not install patchelf, which an unpacked interpreter needs; set TW_PYTHON to a CPython 3.14 interpreter."
fi

# The archive this machine already uses, with another suite: never a host name of our own.
archive=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | tr ' ' '\n' | grep -v -- '-security' | grep . | head -n 1 || true)
if [ -z "$archive" ] && [ -f /etc/apt/sources.list ]; then
    archive=$(awk '$1=="deb" && $0 !~ /security/ {print $2; exit}' /etc/apt/sources.list)
fi
[ -n "$archive" ] || fail "no Debian archive in this machine's apt sources; set TW_PYTHON to a CPython 3.14 interpreter."

apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/etc/preferences.d" "$cache/debs"
: > "$apt_dir/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
packages=(python3.14 python3.14-dev python3.14-dbg python3-pytest python3-scikit-build-core python3-pip)

apt_private() {
    apt-get -q \
        -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists" \
        -o Dir::State::status="$apt_dir/status" -o Dir::Cache="$apt_dir" \
        -o Dir::Cache::archives="$apt_dir/archives" \
        -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::PreferencesParts="$apt_dir/etc/preferences.d" \
        -o APT::Architecture=amd64 -o APT::Install-Recommends=false \
        -o Debug::NoLocking=true "$@"
}

fetched=0
for suite in testing unstable; do
    echo "deb [signed-by=$keyring] $archive $suite main" > "$apt_dir/sources.list"
    echo "provision-python: fetching Python 3.14 from Debian $suite (cache: $cache)" >&2
    if apt_private update >&2 && apt_private install -y --download-only "${packages[@]}" >&2; then
        fetched=1; break
    fi
done
[ $fetched -eq 1 ] || fail "could not download python3.14 from Debian testing or unstable; set TW_PYTHON to a CPython 3.14 interpreter."

rm -rf "$root.tmp"
mkdir -p "$root.tmp"
for deb in "$apt_dir"/archives/*.deb; do
    dpkg -x "$deb" "$root.tmp"
done

# The binaries want a newer glibc than the host's: point them at the unpacked loader and libraries.
for bin in "$root.tmp"/usr/bin/python3.14 "$root.tmp"/usr/bin/python3.14d; do
    [ -f "$bin" ] || continue
    patchelf --set-interpreter "$root/usr/lib64/ld-linux-x86-64.so.2" \
             --force-rpath --set-rpath "$root/usr/lib/x86_64-linux-gnu" "$bin"
done

# The generic pyconfig.h includes <x86_64-linux-gnu/python3.14/pyconfig.h>, which the host
# compiler would look for among its own headers. Point it at the unpacked multiarch ones instead,
# relative to itself. The debug headers are mostly links to these, so the same file serves both:
# a build for python3.14d defines Py_DEBUG itself (as the CMake project does).
cat > "$root.tmp/usr/include/python3.14/pyconfig.h" <<'PYCONFIG'
#if defined(Py_DEBUG)
#include "../x86_64-linux-gnu/python3.14d/pyconfig.h"
#else
#include "../x86_64-linux-gnu/python3.14/pyconfig.h"
#endif
PYCONFIG
rm -f "$root.tmp/usr/include/python3.14d/pyconfig.h"
ln -s ../python3.14/pyconfig.h "$root.tmp/usr/include/python3.14d/pyconfig.h"

rm -rf "$root"
mv "$root.tmp" "$root"
"$root/usr/bin/python3.14" -c 'import sys; assert sys.version_info[:2] == (3, 14)' \
    || fail "the unpacked python3.14 does not run on this machine; set TW_PYTHON to a CPython 3.14 interpreter."
touch "$stamp"
echo "$exe"
