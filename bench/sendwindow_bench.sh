#!/usr/bin/env bash
# The same 100,000-row mailing (8 columns, a 2 KB personalised plain text)
# sent through Postfix's smtp-sink on 127.0.0.1 from the sending window
# (offscreen, "Send Mail" clicked by bench/sendwindow_bench.cpp) and from
# `varnholt-cli send`, in one run. Goal: the window reaches at least 0.8 x
# the command line's messages per second. The window's responsiveness: the
# largest gap between ticks of a 50 ms timer during the run, and the time
# from a click on "Stop" (after 5,000 messages) to the end of the run.
#
# Usage: bench/sendwindow_bench.sh [ROWS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh

rows=${1:-100000}
build=${SEND_BENCH_BUILD:-build-release}
PATH=$PATH:/usr/sbin
scripts/install-packages.sh scripts/packages.txt scripts/packages-bench.txt

bench_cli "$build"
window=$(bench_build sendwindow_bench "$build")

work=$(mktemp -d)
sink=""
cleanup() {
    [[ -n "$sink" ]] && { kill "$sink" 2>/dev/null; wait "$sink" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

bench_mailing_setup "$work" "$rows"


t0=$(date +%s%N)
"$cli" --home "$work/home" send "$work/proj/bench.eml" --results "$work/results.txt" \
    >"$work/send.out" 2>"$work/send.err" || {
    echo "varnholt-cli send failed:" >&2; tail -n 5 "$work/send.err" "$work/send.out" >&2; exit 1; }
t1=$(date +%s%N)
cli_ms=$(ms "$t0" "$t1")
cli_sent=$(grep -c ';Ok;' "$work/results.txt" || true)

export QT_QPA_PLATFORM=offscreen
t0=$(date +%s%N)
"$window" "$work/proj/bench.eml" "$work/home" >"$work/window.out"
t1=$(date +%s%N)
win_ms=$(ms "$t0" "$t1")
"$window" "$work/proj/bench.eml" "$work/home" stop >"$work/stop.out"

val() { sed -n "s/^$1 //p" "$2"; }
/usr/bin/python3 - "$rows" "$cli_sent" "$cli_ms" "$win_ms" "$(val good "$work/window.out")" \
    "$(val send_ms "$work/window.out")" "$(val max_tick_gap_ms "$work/window.out")" \
    "$(val ticks "$work/window.out")" "$(val stop_ms "$work/stop.out")" "$(val max_tick_gap_ms "$work/stop.out")" <<'PY'
import sys
rows, cli_sent, cli_ms, win_ms, win_good, win_send_ms, gap, ticks, stop_ms, stop_gap = map(int, sys.argv[1:])
cli = rows * 1000 / max(cli_ms, 1)
win = rows * 1000 / max(win_ms, 1)
print(f"varnholt-cli send: {rows} rows ({cli_sent} accepted): {cli:8.0f} msgs/s ({cli_ms / 1000:.1f} s, whole process)")
print(f"sending window:    {rows} rows ({win_good} accepted): {win:8.0f} msgs/s ({win_ms / 1000:.1f} s, whole process;"
      f" run alone {win_send_ms / 1000:.1f} s)")
print(f"ratio window / cli: {win / cli:.2f}x (goal >= 0.8x)")
print(f"responsiveness: 50 ms timer, {ticks} ticks, largest gap {gap} ms; "
      f"'Stop' after 5,000 messages answered in {stop_ms} ms (largest gap {stop_gap} ms)")
PY
