#!/usr/bin/env bash
# Fails when a C++ source differs from what the pinned clang-format makes of it.
# The version is pinned because each release formats a little differently.
# Usage: scripts/check_format.sh [--fix]   (PYTHON picks the interpreter; default python3)
set -euo pipefail
cd "$(dirname "$0")/.."
version=19.1.7
venv=build/venv-clang-format
if ! "$venv/bin/clang-format" --version 2>/dev/null | grep -q " $version"; then
  "${PYTHON:-python3}" -m venv "$venv"
  "$venv/bin/pip" install -q "clang-format==$version"
fi
mapfile -t files < <(git ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc')
if [ "${1:-}" = --fix ]; then
  "$venv/bin/clang-format" -i "${files[@]}"
else
  "$venv/bin/clang-format" --dry-run -Werror "${files[@]}"
  echo "${#files[@]} files formatted as clang-format $version makes them"
fi
