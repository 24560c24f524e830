#!/usr/bin/env bash
# Prints the path of a CPython interpreter that the build and the tests can use.
#
#   tools/provision-python.sh [--version 3.14|3.15] [--debug] [--arch x86_64|aarch64]
#   tools/provision-python.sh --auditwheel
#   tools/provision-python.sh --bench-peers
#   tools/provision-python.sh --clients
#
# For the host (x86-64), in order of preference:
#   1. $TW_PYTHON (or $TW_PYTHON_DEBUG with --debug), when set and of the version asked for;
#   2. python3.X (python3.Xd) on PATH;
#   3. an interpreter unpacked from Debian's testing/unstable binaries into a cache folder
#      ($TW_CACHE_DIR, default ~/.cache/tw-native), made runnable on this older glibc with patchelf.
#
# With --arch aarch64 it prints a program that runs Debian testing's arm64 python3.X under
# qemu-user, from an arm64 root unpacked into the same cache (the headers of that root serve the
# cross build: see cmake/aarch64-linux-gnu.cmake). The program works as sys.executable: child
# interpreters, venvs and an arm64 LD_PRELOAD all reach the emulated process.
#
# With --auditwheel it prints a folder to put on PYTHONPATH (beside the 3.14 root's own, which has
# its other requirement, packaging) for Debian testing's pure-Python auditwheel and pyelftools.
#
# With --bench-peers it prints such a folder for the peers' code that make bench compares with:
# OpenTelemetry's HTTP utilities, the Sentry SDK and Elastic's APM agent, with what they import,
# all pure Python (architecture all; wrapt, which the APM agent imports, also carries modules
# compiled for Debian's own interpreters, and runs as Python code wherever they do not load), from
# Debian testing or unstable. Nothing is installed into any Python.
#
# With --clients it prints such a folder for the HTTP clients whose chosen host the skip decision
# is tested against: urllib3, requests, httpx and idna, with exactly what they need to import.
# Requests is given chardet, not charset-normalizer, which Debian builds as compiled code. With
# --version 3.11 they are Debian 12's (urllib3 1.26, requests 2.28, httpx 0.23), the clients an
# application on that release's python3.11 has; otherwise Debian testing's.
#
# Idempotent: a complete root in the cache is reused without touching the network. All progress
# goes to stderr; stdout is the path.
set -euo pipefail

version=3.14
version_given=0
want_debug=0
# A pure-Python set of packages to unpack instead of an interpreter: auditwheel or bench-peers.
pure=""
arch=x86_64
while [ $# -gt 0 ]; do
    case "$1" in
        --debug) want_debug=1 ;;
        --version) version=$2; version_given=1; shift ;;
        --arch) arch=$2; shift ;;
        --auditwheel) pure=auditwheel ;;
        --bench-peers) pure=bench-peers ;;
        --clients) pure=clients ;;
        *) echo "provision-python: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
case "$arch" in x86_64|aarch64) ;; *) echo "provision-python: no support for --arch $arch" >&2; exit 2 ;; esac

fail() { echo "provision-python: $*" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
python="python$version"
flat=${version//./}

if [ "$arch" = x86_64 ] && [ -z "$pure" ]; then
    is_version() { "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; }
    if [ $want_debug -eq 0 ] && [ -n "${TW_PYTHON:-}" ] && is_version "$TW_PYTHON"; then
        command -v "$TW_PYTHON"; exit 0
    fi
    if [ $want_debug -eq 1 ] && [ -n "${TW_PYTHON_DEBUG:-}" ] && is_version "$TW_PYTHON_DEBUG"; then
        command -v "$TW_PYTHON_DEBUG"; exit 0
    fi
    if [ $want_debug -eq 0 ] && command -v "$python" >/dev/null 2>&1; then
        command -v "$python"; exit 0
    fi
    if [ $want_debug -eq 1 ] && command -v "${python}d" >/dev/null 2>&1; then
        command -v "${python}d"; exit 0
    fi
fi

cache="${TW_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tw-native}"
# The suites to fetch from, first found first; a set of clients of one release names its own.
suites=""
if [ -n "$pure" ]; then
    root="$cache/$pure-root"
    # Bumped whenever a set gains a package, so that an older cache is redone.
    stamp="$root/.complete-1"
    [ "$pure" = bench-peers ] && stamp="$root/.complete-2"
    exe="$root/usr/lib/python3/dist-packages"
    if [ "$pure" = auditwheel ]; then
        packages=(python3-auditwheel python3-pyelftools)
    elif [ "$pure" = clients ]; then
        packages=(python3-urllib3 python3-requests python3-httpx python3-idna python3-httpcore
                  python3-h11 python3-certifi python3-chardet)
        if [ $version_given -eq 1 ] && [ "$version" = 3.11 ]; then
            # httpx 0.23 parses URLs with rfc3986; httpcore 0.16 imports anyio and sniffio.
            root="$cache/clients-py3.11-root"
            stamp="$root/.complete-1"
            exe="$root/usr/lib/python3/dist-packages"
            packages+=(python3-rfc3986 python3-anyio python3-sniffio)
            suites=bookworm
        fi
    else
        packages=(python3-opentelemetry-util-http python3-opentelemetry-semantic-conventions
                  python3-typing-extensions python3-sentry-sdk python3-urllib3 python3-certifi
                  python3-elastic-apm python3-wrapt)
    fi
    apt_arch=amd64
elif [ "$arch" = x86_64 ]; then
    root="$cache/py$flat-root"
    # Bumped whenever the layout of the unpacked root changes, so that an older cache is redone.
    stamp="$root/.complete-3"
    exe="$root/usr/bin/$python"
    [ $want_debug -eq 1 ] && exe="$root/usr/bin/${python}d"
    packages=("$python" "$python-dev" "$python-dbg" python3-pytest python3-scikit-build-core python3-pip)
    apt_arch=amd64
else
    root="$cache/aarch64-py$flat-root"
    stamp="$root/.complete-1"
    exe="$root/usr/bin/$python-emulated"
    [ $want_debug -eq 1 ] && fail "no debug interpreter for aarch64"
    packages=("$python" "$python-dev" python3-pytest)
    apt_arch=arm64
fi

build_launcher() {
    # A static launcher rather than a shell script: a dynamically linked wrapper would have the
    # host's loader try (and fail, noisily) to preload an arm64 LD_PRELOAD library. It sits beside
    # the guest interpreter, so that the guest finds its standard library from its own path.
    gcc -static -O2 -Wall -Werror -o "$exe" "$here/qemu-launcher.c" \
        -DTW_QEMU="\"$(command -v qemu-aarch64-static)\"" -DTW_SYSROOT="\"$root\"" \
        -DTW_GUEST="\"$root/usr/bin/$python\"" \
        || fail "could not build the emulation launcher"
}

if [ -f "$stamp" ] && [ -e "$exe" ]; then
    # The launcher is rebuilt when its source changes; the root stays.
    [ "$arch" = x86_64 ] || [ "$exe" -nt "$here/qemu-launcher.c" ] || build_launcher
    echo "$exe"; exit 0
fi

command -v apt-get >/dev/null 2>&1 && command -v dpkg >/dev/null 2>&1 \
    || fail "no $python to use and no apt-get/dpkg to fetch one; set TW_PYTHON to a CPython $version interpreter."

needed=(patchelf)
[ "$arch" = aarch64 ] && needed+=(qemu-user-static gcc)
for tool in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$tool" 2>/dev/null | grep -q "install ok installed" && continue
    echo "provision-python: installing $tool" >&2
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool"; } >&2 \
        || fail "could not install $tool, which an unpacked interpreter needs."
done

# The archive this machine already uses, with another suite: never a host name of our own.
archive=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | tr ' ' '\n' | grep -v -- '-security' | grep . | head -n 1 || true)
if [ -z "$archive" ] && [ -f /etc/apt/sources.list ]; then
    archive=$(awk '$1=="deb" && $0 !~ /security/ {print $2; exit}' /etc/apt/sources.list)
fi
[ -n "$archive" ] || fail "no Debian archive in this machine's apt sources; set TW_PYTHON to a CPython $version interpreter."

# A private apt state per architecture: nothing of the machine's own apt is touched.
apt_dir="$cache/apt"
[ "$apt_arch" = amd64 ] || apt_dir="$cache/apt-$apt_arch"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/etc/preferences.d"
: > "$apt_dir/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

apt_private() {
    apt-get -q \
        -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists" \
        -o Dir::State::status="$apt_dir/status" -o Dir::Cache="$apt_dir" \
        -o Dir::Cache::archives="$apt_dir/archives" \
        -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::PreferencesParts="$apt_dir/etc/preferences.d" \
        -o APT::Architecture="$apt_arch" -o APT::Architectures="$apt_arch" \
        -o APT::Install-Recommends=false -o Debug::NoLocking=true "$@"
}

# Testing first (3.14, 3.15), then unstable, then this machine's own release (arm64 3.11 is in
# Debian 12's).
own_suite=$(sed -n 's/^Suites:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
            | tr ' ' '\n' | grep -v -- '-' | grep . | head -n 1 || true)
fetched=0
for suite in ${suites:-testing unstable $own_suite}; do
    echo "deb [arch=$apt_arch signed-by=$keyring] $archive $suite main" > "$apt_dir/sources.list"
    echo "provision-python: fetching ${packages[*]} ($apt_arch) from Debian $suite (cache: $cache)" >&2
    # Downloaded into a folder of this root's own, so that roots of other versions never mix.
    rm -f "$apt_dir"/archives/*.deb
    apt_private update >&2 || continue
    if [ -n "$pure" ]; then
        # Pure Python, each package named with what it imports: no dependencies resolved.
        (cd "$apt_dir/archives" && apt_private download "${packages[@]}" >&2) && { fetched=1; break; }
    elif apt_private install -y --download-only "${packages[@]}" >&2; then
        fetched=1; break
    fi
done
[ $fetched -eq 1 ] || fail "could not download $python ($apt_arch) from Debian testing, unstable or $own_suite; set TW_PYTHON to a CPython $version interpreter."

rm -rf "$root.tmp"
mkdir -p "$root.tmp"
for deb in "$apt_dir"/archives/*.deb; do
    dpkg -x "$deb" "$root.tmp"
done
rm -f "$apt_dir"/archives/*.deb

if [ -n "$pure" ]; then
    rm -rf "$root"
    mv "$root.tmp" "$root"
elif [ "$arch" = x86_64 ]; then
    # The binaries want a newer glibc than the host's: point them at the unpacked loader and libraries.
    for bin in "$root.tmp/usr/bin/$python" "$root.tmp/usr/bin/${python}d"; do
        [ -f "$bin" ] || continue
        patchelf --set-interpreter "$root/usr/lib64/ld-linux-x86-64.so.2" \
                 --force-rpath --set-rpath "$root/usr/lib/x86_64-linux-gnu" "$bin"
    done
    # The generic pyconfig.h includes <x86_64-linux-gnu/pythonX.Y/pyconfig.h>, which the host
    # compiler would look for among its own headers. Point it at the unpacked multiarch ones,
    # relative to itself. The debug headers are mostly links to these, so the same file serves
    # both: a build for the debug interpreter defines Py_DEBUG itself (as the CMake project does).
    cat > "$root.tmp/usr/include/$python/pyconfig.h" <<PYCONFIG
#if defined(Py_DEBUG)
#include "../x86_64-linux-gnu/${python}d/pyconfig.h"
#else
#include "../x86_64-linux-gnu/$python/pyconfig.h"
#endif
PYCONFIG
    if [ -d "$root.tmp/usr/include/${python}d" ]; then
        rm -f "$root.tmp/usr/include/${python}d/pyconfig.h"
        ln -s "../$python/pyconfig.h" "$root.tmp/usr/include/${python}d/pyconfig.h"
    fi
    rm -rf "$root"
    mv "$root.tmp" "$root"
    "$root/usr/bin/$python" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$version'.split('.')))" \
        || fail "the unpacked $python does not run on this machine; set TW_PYTHON to a CPython $version interpreter."
else
    # The emulator resolves the guest's absolute paths inside the root first; the arm64 loader is
    # asked for under /lib, which merged-/usr packages only ship under /usr/lib.
    for dir in lib bin sbin; do
        [ -e "$root.tmp/$dir" ] || ln -s "usr/$dir" "$root.tmp/$dir"
    done
    rm -rf "$root"
    mv "$root.tmp" "$root"
    build_launcher
    # Without compiled bytecode every emulated start takes seconds. Serially: parallel workers
    # crash under emulation.
    echo "provision-python: byte-compiling the arm64 $python standard library under emulation (once)" >&2
    "$exe" -m compileall -q -x '/(test|idlelib|tkinter|turtledemo|lib2to3)/' \
        "$root/usr/lib/$python" "$root/usr/lib/python3/dist-packages" >/dev/null 2>&1 || true
    "$exe" -c "import platform, sys; assert platform.machine() == 'aarch64' and sys.version_info[:2] == tuple(map(int, '$version'.split('.')))" \
        || fail "the arm64 $python does not run under emulation here."
fi
touch "$stamp"
echo "$exe"
