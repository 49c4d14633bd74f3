#!/usr/bin/env bash
# Sending over a slow link: a 2,000-row personalised mailing (2 KB plain
# text) sent by `varnholt-cli send` through the project's account, with one
# connection and with four, against smtp-source with one and with four
# sessions (-s 1 / -s 4, the same count of 2 KB messages, connections kept
# open), all to Postfix's smtp-sink through the same link with a 20 ms round
# trip (bench/slowlink.py holding each chunk 10 ms per direction; this
# machine's kernel has no netem). smtp-source sends one command at a time,
# so it pays about four round trips a message; a client that pipelines its
# commands (RFC 2920) pays fewer.
# Goals: varnholt(1) >= 3 x smtp-source -s 1 and varnholt(4) >= 3 x
# smtp-source -s 4, in messages per second. One run each: over this link
# the times are set by round trips, not by the machine's load.
# The link's round trip is measured first (NOOP through it), and so is its
# own ceiling (smtp-source -s 4 through the link without delay), which the
# figures must stay well below to mean anything.
#
# Usage: bench/pipeline_bench.sh [ROWS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh

rows=${1:-2000}
delay_ms=10
# No run may take longer than two messages a second would.
limit=$(( rows / 2 + 60 ))
build=${PIPELINE_BENCH_BUILD:-build-release}
PATH=$PATH:/usr/sbin

scripts/install-packages.sh scripts/packages.txt scripts/packages-bench.txt

bench_cli "$build"

work=$(mktemp -d)
sink=""
links=()
cleanup() {
    local p
    for p in "${links[@]}" $sink; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

bench_mailing_setup "$work" "$rows"

# start_link DELAY_MS: a slow link to the sink; sets $link to its port.
start_link() {
    local out="$work/link.$1"
    /usr/bin/python3 bench/slowlink.py "$port" "$1" >"$out" &
    links+=($!)
    link=""
    for _ in $(seq 50); do
        link=$(head -n 1 "$out")
        [[ -n "$link" ]] && return
        sleep 0.1
    done
    echo "the slow link did not start" >&2
    exit 1
}

start_link 0
fast=$link
start_link "$delay_ms"
slow=$link

# The round trip: NOOP through the link and straight to the sink, the
# median of 20 each.
rtt() {
    /usr/bin/python3 - "$1" <<'PY'
import socket, statistics, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
f = s.makefile("rb")
f.readline()
times = []
for _ in range(20):
    t = time.perf_counter()
    s.sendall(b"NOOP\r\n")
    if not f.readline().startswith(b"250"):
        sys.exit("NOOP was not answered with 250")
    times.append((time.perf_counter() - t) * 1000)
s.sendall(b"QUIT\r\n")
print(f"{statistics.median(times):.2f}")
PY
}
rtt_link=$(rtt "$slow")
rtt_direct=$(rtt "$port")

# source_run SESSIONS LINK_PORT: sets $run_ms to smtp-source's wall time.
source_run() {
    local t0 t1
    t0=$(date +%s%N)
    timeout -k 10 "$limit" smtp-source -s "$1" -d -m "$rows" -l 2048 -f bench@example.test -t user@example.test \
        "127.0.0.1:$2" || { echo "smtp-source -s $1 failed or took over $limit s" >&2; exit 1; }
    t1=$(date +%s%N)
    run_ms=$(ms "$t0" "$t1")
}

source_run 4 "$fast"
ceiling_ms=$run_ms
source_run 1 "$slow"
src1_ms=$run_ms
source_run 4 "$slow"
src4_ms=$run_ms

# The account sends through the link: its port replaces the sink's in the
# account line that bench_mailing_setup wrote.
sed -i "s/\^127\.0\.0\.1\^$port\^/^127.0.0.1^$slow^/" "$work/home/setupqnd.ini"
grep -q "\^127\.0\.0\.1\^$slow\^" "$work/home/setupqnd.ini" || {
    echo "could not point the account at the link" >&2; exit 1; }

# send_run NAME [OPTIONS...]: sets $run_ms and $run_sent (rows accepted),
# or $run_ms to "" when the program does not know one of the options.
send_run() {
    local name="$1" t0 t1 rc=0
    shift
    t0=$(date +%s%N)
    timeout -k 10 "$limit" "$cli" --home "$work/home" send "$work/proj/bench.eml" --restart --results "$work/$name.results" "$@" \
        >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    t1=$(date +%s%N)
    run_ms=$(ms "$t0" "$t1")
    run_sent=0
    if (( rc == 124 )); then
        echo "varnholt-cli send $* took over $limit s; its last words:" >&2
        tail -n 5 "$work/$name.err" "$work/$name.out" >&2
        exit 1
    fi
    if (( rc != 0 )); then
        local option
        for option in "$@"; do
            if [[ $option == --* ]] && grep -q -- "$option" "$work/$name.err"; then
                echo "varnholt-cli send does not take $*: $(head -n 1 "$work/$name.err")" >&2
                run_ms=""
                return
            fi
        done
        echo "varnholt-cli send failed:" >&2
        tail -n 5 "$work/$name.err" "$work/$name.out" >&2
        exit 1
    fi
    run_sent=$(grep -c ';Ok;' "$work/$name.results" || true)
}

send_run one
ours1_ms=$run_ms
ours1_sent=$run_sent
send_run four --connections 4
ours4_ms=$run_ms
ours4_sent=$run_sent

/usr/bin/python3 - "$rows" "$delay_ms" "$rtt_link" "$rtt_direct" "$ceiling_ms" "$src1_ms" "$src4_ms" \
    "$ours1_ms" "$ours1_sent" "$ours4_ms" "$ours4_sent" <<'PY'
import sys
rows, delay = int(sys.argv[1]), int(sys.argv[2])
rtt_link, rtt_direct = float(sys.argv[3]), float(sys.argv[4])
ceiling_ms, src1_ms, src4_ms = map(int, sys.argv[5:8])
ours1_ms, ours1_sent, ours4_ms, ours4_sent = sys.argv[8:12]

def rate(ms):
    return rows * 1000 / max(int(ms), 1)

print(f"link: {delay} ms each way; round trip (NOOP, median of 20) {rtt_link:.1f} ms through it, "
      f"{rtt_direct:.2f} ms without it")
print(f"link ceiling, smtp-source -s 4 without delay: {rate(ceiling_ms):8.0f} msgs/s")
src1, src4 = rate(src1_ms), rate(src4_ms)
print(f"smtp-source -s 1:             {rows} messages of 2 KB: {src1:8.1f} msgs/s ({src1_ms / 1000:.1f} s, "
      f"{src1_ms / rows / rtt_link:.1f} round trips a message)")
print(f"smtp-source -s 4:             {rows} messages of 2 KB: {src4:8.1f} msgs/s ({src4_ms / 1000:.1f} s)")

def ours(n, ms, sent, ref):
    label = f"varnholt-cli send, {n} connection{'s' if n > 1 else ' '}:"
    ratio = f"ratio varnholt({n}) / smtp-source -s {n}:"
    if not ms:
        print(f"{label} not available")
        print(f"{ratio} not available (goal >= 3.0)")
        return
    r = rate(ms)
    print(f"{label} {rows} rows ({sent} accepted): {r:8.1f} msgs/s ({int(ms) / 1000:.1f} s)")
    print(f"{ratio} {r / ref:.2f} (goal >= 3.0)")
    if int(sent) < rows:
        print(f"  (only {sent} of {rows} rows accepted: the figure counts rows, not messages delivered)")
    if r > rate(ceiling_ms) / 2:
        print("  (over half the link's ceiling: the link itself limits this figure)")

ours(1, ours1_ms, ours1_sent, src1)
ours(4, ours4_ms, ours4_sent, src4)
PY
