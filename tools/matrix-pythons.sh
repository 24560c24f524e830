#!/usr/bin/env bash
# Prints "VERSION PATH" for each of CPython 3.11, 3.12 and 3.13 found on this machine (pyenv's
# versions, or python3.X on PATH), and for 3.15 (provisioned like 3.14 when missing); the test
# command builds and tests against each one. TW_MATRIX_PYTHONS="/path/to/python3.12 ..." replaces
# the search.
set -euo pipefail
if [ -n "${TW_MATRIX_PYTHONS:-}" ]; then
    for python in $TW_MATRIX_PYTHONS; do
        echo "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') $python"
    done
    exit 0
fi
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for version in 3.11 3.12 3.13; do
    python=$(ls -d "$pyenv_root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$python" ] || python=$(command -v "python$version" || true)
    [ -n "$python" ] && echo "$version $python"
done
echo "3.15 $("$(dirname "$0")/provision-python.sh" --version 3.15)"
