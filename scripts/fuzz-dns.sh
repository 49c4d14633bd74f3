#!/usr/bin/env bash
# Builds the DNS response decoder's fuzz target (clang, libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it for a bounded
# time, seeded with the hostile packets of tests/data/dns-corpus. New inputs
# go to a scratch folder, never into the kept corpus; a crash leaves its
# input under the build folder and fails the script.
#   scripts/fuzz-dns.sh [seconds]     (default 60, at most 60)
# VARNHOLT_FUZZ_BUILD names the build folder (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || (( seconds < 1 )); then
    echo "usage: $0 [seconds, 1 to 60]" >&2
    exit 2
fi
(( seconds > 60 )) && seconds=60
build="${VARNHOLT_FUZZ_BUILD:-build-fuzz}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DVARNHOLT_FUZZ=ON -DVARNHOLT_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_dnsresponse

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/fuzz-artifacts"
"$build/tests/fuzz/fuzz_dnsresponse" -max_total_time="$seconds" -max_len=512 -timeout=5 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/" "$scratch" tests/data/dns-corpus
