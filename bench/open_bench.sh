#!/usr/bin/env bash
# Opening a project whose list has 1,000,000 rows of 8 fields in the
# desktop program (offscreen), against the list engine's own load of the
# same file, in one run. Goals: open/load <= 1.3 in time, <= 1.5 in peak
# memory growth.
#
#   bench/open_bench.sh [ROWS]
#
# Built (incrementally) in build-release, or $LIST_BENCH_BUILD.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${LIST_BENCH_BUILD:-$root/build-release}"
rows="${1:-1000000}"

bench_build list_bench "$build" >/dev/null
bench_build open_bench "$build" >/dev/null
# The project window holds the HTML editor's browser, which as root only
# starts without its sandbox.
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:-} --no-sandbox"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
list="$work/big.txt"
awk -v rows="$rows" 'BEGIN {
    for (i = 0; i < rows; i++)
        printf "user%07d@example%03d.com;First%07d;Last%07d;Street %d;City%05d;%05d;+49 30 %08d;note %d\r\n",
            i, i % 997, i, i, i % 300, i % 20000, i % 99999, i, i
}' >"$list"
printf '[Common]\r\nSubject=Offer\r\nSectionSymbol=;\r\n' >"$work/big.eml"
cat "$list" >/dev/null # warm the page cache

val() { awk -v k="$1" '$1==k{print $2}' <<<"$2"; }
best_load=""; best_open=""; load_growth=""; open_growth=""
for _ in 1 2 3; do
    out=$("$build/bench/list_bench" "$list" "$work/saved.txt" ";")
    l=$(val load_ms "$out")
    g=$(( $(val peak_after_load_kb "$out") - $(val rss_before_kb "$out") ))
    if [[ -z "$best_load" ]] || awk -v a="$l" -v b="$best_load" 'BEGIN{exit !(a<b)}'; then best_load=$l; load_growth=$g; fi

    out=$(QT_QPA_PLATFORM=offscreen "$build/bench/open_bench" "$work/big.eml" "$work/home" 2>/dev/null)
    o=$(val open_ms "$out")
    g=$(( $(val peak_after_open_kb "$out") - $(val rss_before_kb "$out") ))
    open_rows=$(val rows "$out")
    if [[ -z "$best_open" ]] || awk -v a="$o" -v b="$best_open" 'BEGIN{exit !(a<b)}'; then best_open=$o; open_growth=$g; fi
done

awk -v rows="$open_rows" -v load="$best_load" -v open="$best_open" -v lg="$load_growth" -v og="$open_growth" 'BEGIN {
    printf "rows in window      %d\n", rows
    printf "engine load         %.1f ms, %.1f MB\n", load, lg / 1024
    printf "window usable       %.1f ms, %.1f MB\n", open, og / 1024
    printf "time   window/load  %.2f (goal <= 1.3)\n", open / load
    printf "memory window/load  %.2f (goal <= 1.5)\n", og / (lg > 0 ? lg : 1)
}'
