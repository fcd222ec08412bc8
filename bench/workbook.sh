#!/usr/bin/env bash
# Write and read time of a 70,000-row .xls workbook by our workbook library,
# against xlrd (/usr/bin/python3) reading the same file; one run each.
#   bench/workbook.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" -j2 --target workbook_bench >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
nice -n 10 "$build/tests/transloom/workbook/workbook_bench" "$out/bench.xls"
