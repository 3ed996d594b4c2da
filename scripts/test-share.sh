#!/bin/sh
# Prints how large the test code is beside the code it tests, in code lines
# as cloc counts them (blank and comment lines left out). Test code:
# tests/, fuzz/ and the tools' *_test* files; code: src/, include/, the
# tools and the benchmark. The house rule is a quarter to a third of all.
set -eu
cd "$(dirname "$0")/.."
command -v cloc >/dev/null || { echo "cloc is not installed (apt-get install cloc)" >&2; exit 1; }

lines() {  # code lines of the files listed on stdin
  cloc --quiet --csv --list-file=- |
    awk -F, '$2 == "SUM" { print $5 }'
}
tests=$(git ls-files tests fuzz 'tools/*_test*' | lines)
code=$(git ls-files src include tools bench | grep -v '_test' | lines)
echo "test code: $tests lines, code: $code lines," \
     "tests $((100 * tests / (tests + code)))% of all code"
