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
cli_args=(--home "$work/home")

# Every run is checked: a dry run that skipped its row (an attachment it
# could not read, a refused address) exits 0 and writes nothing, and a
# preview that printed nothing would be timed as a fast one.
check_message() { # FILE WHAT
    local size
    size=$(stat -c %s "$1" 2>/dev/null || echo 0)
    if (( size < expected_min )); then
        echo "FAIL: $2 wrote $size bytes to \"$1\", fewer than the attachment's base64 ($expected_min)" >&2
        [[ -s "$work/cli.err" ]] && tail -n 5 "$work/cli.err" >&2
        exit 1
    fi
}
run_cli() { # OUT ARGS...: `varnholt-cli ARGS...`, its standard output to OUT
    local out="$1" rc=0
    shift
    "$cli" "${cli_args[@]}" "$@" >"$out" 2>"$work/cli.err" || rc=$?
    if (( rc != 0 )); then
        echo "FAIL: varnholt-cli $* exited with status $rc:" >&2
        tail -n 5 "$work/cli.err" >&2
        exit 1
    fi
}

# Best of three runs each; the folder of the last dry run is removed
# before the next one starts, outside the time taken. The preview writes
# to /dev/null like base64; one more run, into a file, is checked.
dry_ms=""; preview_ms=""
for _ in 1 2 3; do
    rm -rf "$work/out"
    t0=$(date +%s%N); run_cli /dev/null send "$work/proj/p.eml" --dry-run "$work/out"; t1=$(date +%s%N)
    check_message "$work/out/000001.eml" "the dry run"
    ms=$(( (t1 - t0) / 1000000 ))
    if [[ -z "$dry_ms" || $ms -lt $dry_ms ]]; then dry_ms=$ms; fi

    t0=$(date +%s%N); run_cli /dev/null preview "$work/proj/p.eml" --row 1; t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    if [[ -z "$preview_ms" || $ms -lt $preview_ms ]]; then preview_ms=$ms; fi
done
rm -rf "$work/out"
run_cli "$work/preview.eml" preview "$work/proj/p.eml" --row 1
check_message "$work/preview.eml" "the preview"
rm -f "$work/preview.eml"

# Peak memory (the maximum resident set size) of one more run of each.
peak_of() { # WHAT ARGS...: prints the peak in KB of `varnholt-cli ARGS...`
    local what="$1" rc=0
    shift
    /usr/bin/time -f '%M' -o "$work/peak.txt" "$cli" "${cli_args[@]}" "$@" >/dev/null 2>"$work/cli.err" || rc=$?
    if (( rc != 0 )); then
        echo "FAIL: $what exited with status $rc:" >&2
        tail -n 5 "$work/cli.err" >&2
        exit 1
    fi
    tail -n 1 "$work/peak.txt"
}
dry_kb=$(peak_of "the dry run" send "$work/proj/p.eml" --dry-run "$work/out")
check_message "$work/out/000001.eml" "the dry run"
preview_kb=$(peak_of "the preview" preview "$work/proj/p.eml" --row 1)

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
