#!/usr/bin/env bash
# Prints the share of the project's C++ lines that are tests: the files
# under tests/ against every C++ source and header in the repository
# (generated files and build trees excluded).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
count() { git ls-files -- "$@" | grep -E '\.(cpp|h)$' | xargs -r cat | wc -l; }
all=$(count .)
tests=$(count tests)
awk -v t="$tests" -v a="$all" 'BEGIN {
    printf "tests: %d of %d C++ lines (%.1f%%)\n", t, a, a ? 100 * t / a : 0
}'
