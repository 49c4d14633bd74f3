#!/usr/bin/env bash
# Mailing list load/save benchmark: a 1,000,000-row, 8-field ";" list
# (about 100 MB) read by awk, copied by cp, and loaded into and saved from
# the project table. Goals: load/awk <= 1.5, save/cp <= 3,
# peak memory of the load / file size <= 3.
#
#   bench/list_bench.sh [ROWS]
#
# The program is built (incrementally) in the Release build folder
# build-release, or $LIST_BENCH_BUILD; the folder is configured when new.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${LIST_BENCH_BUILD:-$root/build-release}"
rows="${1:-1000000}"

bench="$(bench_build list_bench "$build")"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
list="$work/list.txt"

awk -v rows="$rows" 'BEGIN {
    for (i = 0; i < rows; i++)
        printf "user%07d@example%03d.com;First%07d;Last%07d;Street %d;City%05d;%05d;+49 30 %08d;note %d\r\n",
            i, i % 997, i, i, i % 300, i % 20000, i % 99999, i, i
}' >"$list"
size=$(stat -c %s "$list")
cat "$list" >/dev/null # warm the page cache

now() { date +%s%N; }
best_of_3 awk -F';' '{n+=NF} END {print n}' "$list"; awk_ms=$best
best_of_3 cp "$list" "$work/copy.txt"; cp_ms=$best

load_ms=""; save_ms=""; peak_kb=""; before_kb=""
for _ in 1 2 3; do
    out=$("$bench" "$list" "$work/saved.txt" ";")
    l=$(awk '$1=="load_ms"{print $2}' <<<"$out")
    s=$(awk '$1=="save_ms"{print $2}' <<<"$out")
    peak_kb=$(awk '$1=="peak_after_load_kb"{print $2}' <<<"$out")
    before_kb=$(awk '$1=="rss_before_kb"{print $2}' <<<"$out")
    rows_loaded=$(awk '$1=="rows"{print $2}' <<<"$out")
    if [[ -z "$load_ms" ]] || awk -v a="$l" -v b="$load_ms" 'BEGIN{exit !(a<b)}'; then load_ms=$l; fi
    if [[ -z "$save_ms" ]] || awk -v a="$s" -v b="$save_ms" 'BEGIN{exit !(a<b)}'; then save_ms=$s; fi
done

if ! cmp -s "$list" "$work/saved.txt"; then
    echo "FAIL: the saved list differs from the loaded one" >&2
    exit 1
fi

awk -v size="$size" -v rows="$rows_loaded" -v awk_ms="$awk_ms" -v cp_ms="$cp_ms" \
    -v load_ms="$load_ms" -v save_ms="$save_ms" -v peak_kb="$peak_kb" -v before_kb="$before_kb" 'BEGIN {
    printf "file            %.1f MB, %d rows\n", size / 1048576, rows
    printf "awk             %d ms\n", awk_ms
    printf "cp              %d ms\n", cp_ms
    printf "load            %.1f ms\n", load_ms
    printf "save            %.1f ms\n", save_ms
    printf "peak RSS        %.1f MB (%.1f MB before the load)\n", peak_kb / 1024, before_kb / 1024
    printf "load/awk        %.2f (goal <= 1.5)\n", load_ms / (awk_ms > 0 ? awk_ms : 1)
    printf "save/cp         %.2f (goal <= 3)\n", save_ms / (cp_ms > 0 ? cp_ms : 1)
    printf "peak/filesize   %.2f (goal <= 3)\n", peak_kb * 1024 / size
}'
