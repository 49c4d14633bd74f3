#!/usr/bin/env bash
# MIME assembly benchmark: a message with a 200 MB attachment assembled into
# /dev/null, against `base64 -w 60` and `cp` of the same file, in one run.
# Goals: assembly <= 1.5 x base64 time; the assembler's peak memory less
# than 20 MB above that of an empty message. Then a project carrying the
# same attachment through `varnholt-cli send --dry-run` and `preview`:
# each <= 1.5 x base64 time and at most 60 MB of memory.
#
#   bench/mime_bench.sh [MEGABYTES]
#
# The program is built (incrementally) in the Release build folder
# build-mime-bench, or $MIME_BENCH_BUILD; the folder is configured when new.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/bench/bench_lib.sh"
megabytes="${1:-200}"
build="${MIME_BENCH_BUILD:-$root/build-mime-bench}"
bench=$(bench_build mime_bench "$build")
cmake --build "$build" --target varnholt-cli >/dev/null
cli="$build/src/cli/varnholt-cli"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file="$work/attachment.bin"
head -c "$((megabytes * 1048576))" /dev/urandom >"$file"
cat "$file" >/dev/null # warm the page cache

best_of_3 base64 -w 60 "$file"; base64_ms=$best
best_of_3 cp "$file" "$work/copy.bin"; cp_ms=$best
rm -f "$work/copy.bin"
best_of_3 "$bench" "$file"; assemble_ms=$best

figure() { awk -v k="$1" '$1==k{print $2}' <<<"$2"; }
full=$("$bench" "$file" 2>&1 >/dev/null)
empty=$("$bench" 2>&1 >/dev/null)
bytes=$(figure bytes "$full")
peak_kb=$(figure peak_kb "$full")
empty_kb=$(figure peak_kb "$empty")

# The attachment's base64 lines alone: 4/3 of the file plus CR LF per 60.
expected_min=$(( megabytes * 1048576 * 4 / 3 ))
if (( bytes < expected_min )); then
    echo "FAIL: the message has $bytes bytes, fewer than the attachment's base64" >&2
    exit 1
fi

# A one-row project whose message carries the attachment.
mkdir -p "$work/proj" "$work/home"
printf '[Common]\r\nSubject=Report for [Column#2]\r\nSectionSymbol=;\r\nColumn=0\r\nHTML=0\r\n[Attachment]\r\nCount=1\r\n0=%s\r\n' \
    "$file" >"$work/proj/p.eml"
printf 'Dear [Column#2],\r\nthe report is attached.\r\n' >"$work/proj/p.mml"
printf 'ann@example.test;Ann\r\n' >"$work/proj/p.txt"
dry() { rm -rf "$work/out"; "$cli" --home "$work/home" send "$work/proj/p.eml" --dry-run "$work/out"; }
preview() { "$cli" --home "$work/home" preview "$work/proj/p.eml" --row 1; }
best_of_3 dry; dry_ms=$best
best_of_3 preview; preview_ms=$best
peak_of() { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1; }
dry_kb=$(peak_of "$cli" --home "$work/home" send "$work/proj/p.eml" --dry-run "$work/out2")
preview_kb=$(peak_of "$cli" --home "$work/home" preview "$work/proj/p.eml" --row 1)
dry_bytes=$(stat -c %s "$work/out2/000001.eml")
if (( dry_bytes < expected_min )); then
    echo "FAIL: the dry run wrote $dry_bytes bytes, fewer than the attachment's base64" >&2
    exit 1
fi

awk -v mb="$megabytes" -v b64="$base64_ms" -v cp_ms="$cp_ms" -v asm_ms="$assemble_ms" -v bytes="$bytes" \
    -v peak="$peak_kb" -v empty="$empty_kb" -v dry_ms="$dry_ms" -v preview_ms="$preview_ms" \
    -v dry_kb="$dry_kb" -v preview_kb="$preview_kb" 'BEGIN {
    printf "attachment       %d MB\n", mb
    printf "base64 -w 60     %d ms\n", b64
    printf "cp               %d ms\n", cp_ms
    printf "assemble         %d ms (%.1f MB written)\n", asm_ms, bytes / 1048576
    printf "assemble/base64  %.2f (goal <= 1.5)\n", asm_ms / (b64 > 0 ? b64 : 1)
    printf "assemble/cp      %.2f\n", asm_ms / (cp_ms > 0 ? cp_ms : 1)
    printf "peak RSS         %.1f MB (empty message %.1f MB)\n", peak / 1024, empty / 1024
    printf "peak - empty     %.1f MB (goal < 20)\n", (peak - empty) / 1024
    printf "dry run          %d ms, %.2f x base64 (goal <= 1.5), peak %.1f MB (goal <= 60)\n", dry_ms, dry_ms / (b64 > 0 ? b64 : 1), dry_kb / 1024
    printf "preview          %d ms, %.2f x base64 (goal <= 1.5), peak %.1f MB (goal <= 60)\n", preview_ms, preview_ms / (b64 > 0 ? b64 : 1), preview_kb / 1024
}'
