#!/usr/bin/env bash
# Installs what the tests need, builds the project's code with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole suite.
# Any sanitizer report fails the test that produced it.
# With no arguments it then fuzzes the DNS response decoder for a bounded
# time (VARNHOLT_FUZZ_SECONDS, default 60; 0 skips it); arguments go to
# ctest and run only the tests they select.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh scripts/packages.txt scripts/packages-test.txt
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNHOLT_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
(cd build-test && ctest --output-on-failure -j"$(nproc)" "$@")

fuzz_seconds="${VARNHOLT_FUZZ_SECONDS:-60}"
if (( $# == 0 && fuzz_seconds > 0 )); then
    scripts/fuzz-dns.sh "$fuzz_seconds"
fi
