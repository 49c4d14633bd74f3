#!/usr/bin/env bash
# Sending a whole mailing from the command line: a 100,000-row project
# (8 columns, a 2 KB personalised plain text) sent by `varnholt-cli send`
# through one kept-open connection to Postfix's smtp-sink on 127.0.0.1,
# against smtp-source (the same count of 2 KB messages on one connection)
# and against a shell loop that sends the first 1,000 rows with msmtp (its
# time scaled to the whole list), in one run.
# Goals: at least 0.8 x smtp-source's messages per second; peak memory at
# most 2 x that of holding the list alone (`list stats` on the same file).
# smtp-source and the send take turns three times; the best time of each
# counts.
#
# Usage: bench/send_bench.sh [ROWS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh

rows=${1:-100000}
msmtp_rows=$(( rows < 1000 ? rows : 1000 ))
build=${SEND_BENCH_BUILD:-build-release}
PATH=$PATH:/usr/sbin

scripts/install-packages.sh scripts/packages.txt scripts/packages-bench.txt

bench_cli "$build"

work=$(mktemp -d)
sink=""
cleanup() {
    [[ -n "$sink" ]] && { kill "$sink" 2>/dev/null; wait "$sink" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

bench_mailing_setup "$work" "$rows"


# smtp-source (the reference) and varnholt-cli send, taken in turns three
# times so that both meet the same machine load; the fastest run of each
# counts, and the largest peak memory of ours. The first send finds no
# results of an earlier run beside the project, the later ones do (and read
# them), so the first one's peak is shown on its own as well.
ref_ms=""; ours_ms=""; ours_kb=0; first_kb=""
for _ in 1 2 3; do
    t0=$(date +%s%N)
    smtp-source -s 1 -d -m "$rows" -l 2048 -f bench@example.test -t user@example.test "127.0.0.1:$port"
    t1=$(date +%s%N)
    ms_run=$(ms "$t0" "$t1")
    if [[ -z "$ref_ms" || $ms_run -lt $ref_ms ]]; then ref_ms=$ms_run; fi

    t0=$(date +%s%N)
    /usr/bin/time -v -o "$work/send.time" "$cli" --home "$work/home" send "$work/proj/bench.eml" \
        --results "$work/results.txt" >"$work/send.out" 2>"$work/send.err" || {
        echo "varnholt-cli send failed:" >&2; tail -n 5 "$work/send.err" "$work/send.out" "$work/send.time" >&2; exit 1; }
    t1=$(date +%s%N)
    ms_run=$(ms "$t0" "$t1")
    if [[ -z "$ours_ms" || $ms_run -lt $ours_ms ]]; then ours_ms=$ms_run; fi
    kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/send.time")
    if (( kb > ours_kb )); then ours_kb=$kb; fi
    [[ -n "$first_kb" ]] || first_kb=$kb
done
sent=$(grep -c ';Ok;' "$work/results.txt" || true)

# The list alone, loaded by the same program.
/usr/bin/time -v -o "$work/list.time" "$cli" list stats "$work/proj/bench.txt" --delimiter ';' >/dev/null
list_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/list.time")

# msmtp: one process and one connection per message, as a shell script
# would send a mailing; the merged messages come from the dry run.
"$cli" --home "$work/home" send "$work/proj/bench.eml" --dry-run "$work/eml" >/dev/null 2>&1 &
dry=$!
wait "$dry"
files=("$work"/eml/*.eml)
t0=$(date +%s%N)
for ((i = 0; i < msmtp_rows; ++i)); do
    msmtp --host=127.0.0.1 --port="$port" --auth=off --tls=off --from=bench@example.test \
        "user$((i + 1))@example.test" <"${files[$i]}"
done
t1=$(date +%s%N)
msmtp_ms=$(ms "$t0" "$t1")

/usr/bin/python3 - "$rows" "$sent" "$ref_ms" "$ours_ms" "$msmtp_rows" "$msmtp_ms" "$ours_kb" "$list_kb" "$first_kb" <<'PY'
import sys
rows, sent, ref_ms, ours_ms, mrows, mms, ours_kb, list_kb, first_kb = map(int, sys.argv[1:])
ref = rows * 1000 / max(ref_ms, 1)
ours = rows * 1000 / max(ours_ms, 1)
msmtp = mrows * 1000 / max(mms, 1)
print(f"smtp-source:      {rows} messages of 2 KB, one connection: {ref:8.0f} msgs/s ({ref_ms / 1000:.1f} s, best of 3)")
print(f"varnholt-cli send: {rows} rows ({sent} accepted), one connection: {ours:8.0f} msgs/s ({ours_ms / 1000:.1f} s, best of 3)")
print(f"msmtp loop:       {mrows} rows, scaled to {rows}: {msmtp:8.0f} msgs/s ({mms / 1000 * rows / mrows:.1f} s)")
print(f"ratio send / smtp-source: {ours / ref:.2f}x (goal >= 0.8x); send / msmtp: {ours / msmtp:.1f}x")
print(f"peak memory: send {ours_kb / 1024:.1f} MB, list alone {list_kb / 1024:.1f} MB, "
      f"ratio {ours_kb / max(list_kb, 1):.2f}x (goal <= 2x); "
      f"first send, no earlier results: {first_kb / 1024:.1f} MB, {first_kb / max(list_kb, 1):.2f}x")
PY
