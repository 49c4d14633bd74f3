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

rows=${1:-100000}
build=${SEND_BENCH_BUILD:-build-release}
PATH=$PATH:/usr/sbin
command -v smtp-sink >/dev/null || { echo "smtp-sink missing (package postfix)" >&2; exit 1; }

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNHOLT_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target varnholt-cli sendwindow_bench >/dev/null
cli="$build/src/cli/varnholt-cli"
window="$build/bench/sendwindow_bench"

work=$(mktemp -d)
sink=""
cleanup() {
    [[ -n "$sink" ]] && { kill "$sink" 2>/dev/null; wait "$sink" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home" "$work/proj"
/usr/bin/python3 - "$work/proj" "$rows" <<'PY'
import sys
folder, rows = sys.argv[1], int(sys.argv[2])
with open(folder + "/bench.txt", "w", newline="") as f:
    for i in range(1, rows + 1):
        f.write(f"user{i}@example.test;First{i};Last{i};Street {i};{10000 + i % 90000};Town{i % 977};"
                f"Customer {i:08d};Note {i * 7 % 1000}\r\n")
body = "Dear [Column#2] [Column#3],\r\n\r\nwe will ship to [Column#4], [Column#5] [Column#6].\r\n" \
       "Your customer number: [Column#7].\r\n\r\n"
filler = "This line pads the message to a realistic size for a newsletter text.\r\n"
while len(body) < 2048:
    body += filler
with open(folder + "/bench.mml", "w", newline="") as f:
    f.write(body[:2048])
with open(folder + "/bench.eml", "w", newline="") as f:
    f.write("[Common]\r\nSubject=News for [Column#2]\r\nSectionSymbol=;\r\nColumn=0\r\nColumnA=0\r\n"
            "CharSet=English(en),iso-8859-1\r\nNIniInfo=0\r\nHTML=0\r\nCreate Log=0\r\n")
PY

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '<Connections>\r\nBench^bench^127.0.0.1^%s^127.0.0.1^110^^bench@example.test^^example.test^^^^1^1\r\n\r\n<Status Codes>\r\n\r\n<Mail Info>\r\n0^8.8.8.8^^10^English(en),iso-8859-1^^5^10^^10^^1^^^^^^^language.lan^\r\n' \
    "$port" >"$work/home/setupqnd.ini"

user=()
[ "$(id -u)" -eq 0 ] && user=(-u nobody)
smtp-sink "${user[@]}" "127.0.0.1:$port" 100 &
sink=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

ms() { echo $(( ($2 - $1) / 1000000 )); }

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
