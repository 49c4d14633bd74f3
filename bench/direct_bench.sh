#!/usr/bin/env bash
# Direct delivery of a whole mailing: RECIPIENTS rows spread evenly over
# DOMAINS domains, sent by `varnholt-cli send --direct --connections
# CONNECTIONS` to each domain's own exchanger, against smtp-source sending
# the same count of messages of the same size to the same exchangers, in
# one run. Goal: at least 0.7 x smtp-source's messages per second with
# `-s CONNECTIONS -d` (sessions kept open, one message after the other).
#
# The set-up, all on loopback: dnsmasq on a free port of 127.0.0.1 serving
# one MX record for each domain (TTL 300 s, as real zones have minutes to
# days), the exchangers mx0 .. mx7 on 127.0.0.2 .. 127.0.0.9, each an
# smtp-sink on one common free port that keeps nothing and counts the
# messages it took (-c). A short run with a small list first sends to sinks
# that keep every message, to show that each recipient got exactly one.
#
# smtp-source talks to one host, so one runs per sink, all at once, timed as
# one wall time: the messages are split among them as the list's domains
# fall on the sinks, and the sessions in the same proportion (at least one
# each). Besides the goal's reference, smtp-source without -d (a new
# connection for every message) is shown for the record: direct delivery
# keeps a session open for the next recipient of the same exchanger, so it
# sits between the two.
#
# smtp-source and the send take turns three times; the best time of each
# counts. Every send must report RECIPIENTS sent in its --json output, and
# the sinks must have counted RECIPIENTS more messages.
#
# Usage: bench/direct_bench.sh [RECIPIENTS] [DOMAINS] [CONNECTIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh

recipients=${1:-10000}
domains=${2:-100}
connections=${3:-20}
sinks=8
build=${DIRECT_BENCH_BUILD:-build-release}
PATH=$PATH:/usr/sbin

scripts/install-packages.sh scripts/packages.txt scripts/packages-bench.txt
bench_cli "$build"

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work" # smtp-sink runs as nobody and writes its counters and dumps here

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
dns_port=$(free_port)

# The zone for dnsmasq, the big and the small project, and the share of
# each sink (messages for the big list) for smtp-source.
/usr/bin/python3 - "$work" "$recipients" "$domains" "$sinks" <<'PY'
import os, sys
work, recipients, domains, sinks = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def sink_of(d):
    return d % sinks
with open(work + "/dnsmasq.conf", "w") as f:
    f.write("local=/test/\n")
    for s in range(sinks):
        f.write(f"host-record=mx{s}.test,127.0.0.{2 + s}\n")
    for d in range(domains):
        f.write(f"mx-host=d{d:03d}.test,mx{sink_of(d)}.test,10\n")
body = "Dear [Column#2] [Column#3],\r\n\r\nwe will ship to [Column#4], [Column#5] [Column#6].\r\n" \
       "Your customer number: [Column#7].\r\n\r\n"
filler = "This line pads the message to a realistic size for a newsletter text.\r\n"
while len(body) < 2048:
    body += filler
def project(folder, rows):
    os.makedirs(folder, exist_ok=True)
    with open(folder + "/bench.txt", "w", newline="") as f:
        # Row i to domain i % domains: consecutive rows go to different
        # domains and sinks, as in a list sorted by name.
        for i in range(rows):
            f.write(f"user{i}@d{i % domains:03d}.test;First{i};Last{i};Street {i};{10000 + i % 90000};"
                    f"Town{i % 977};Customer {i:08d};Note {i * 7 % 1000}\r\n")
    with open(folder + "/bench.mml", "w", newline="") as f:
        f.write(body[:2048])
    with open(folder + "/bench.eml", "w", newline="") as f:
        f.write("[Common]\r\nSubject=News for [Column#2]\r\nSectionSymbol=;\r\nColumn=0\r\nColumnA=0\r\n"
                "CharSet=English(en),iso-8859-1\r\nNIniInfo=0\r\nHTML=0\r\nCreate Log=0\r\nTimeOut=30\r\n")
project(work + "/proj", recipients)
project(work + "/small", min(recipients, 2 * domains))
share = [0] * sinks
for i in range(recipients):
    share[sink_of(i % domains)] += 1
with open(work + "/shares", "w") as f:
    f.write(" ".join(map(str, share)) + "\n")
PY
read -r -a shares <"$work/shares"

# One account (its server is never used: direct delivery sends as its
# sender address, bench@example.test).
mkdir -p "$work/home"
printf '<Connections>\r\nBench^bench^127.0.0.1^25^127.0.0.1^110^^bench@example.test^^example.test^^^^1^1\r\n\r\n<Status Codes>\r\n\r\n<Mail Info>\r\n0^8.8.8.8^^10^English(en),iso-8859-1^^5^10^^10^^1^^^^^^^language.lan^\r\n' \
    >"$work/home/setupqnd.ini"

user=(); dns_user=()
[ "$(id -u)" -eq 0 ] && { user=(-u nobody); dns_user=(--user=nobody); }

dnsmasq --keep-in-foreground --conf-file="$work/dnsmasq.conf" --no-resolv --no-hosts \
    --listen-address=127.0.0.1 --bind-interfaces --port="$dns_port" --pid-file= --local-ttl=300 \
    "${dns_user[@]}" 2>"$work/dnsmasq.err" &
pids+=($!)

wait_for_port() { # HOST PORT
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:$2" >&2
    exit 1
}

# start_sinks [DUMP]: one smtp-sink per exchanger address; with DUMP, each
# keeps its messages in DUMP/s<N>/, else it only counts them (-c, into
# $work/count<N>).
sink_pids=()
start_sinks() {
    local s dump=()
    sink_pids=()
    for ((s = 0; s < sinks; ++s)); do
        if [[ $# -gt 0 ]]; then
            mkdir -p "$1/s$s"; chmod 777 "$1/s$s"
            dump=(-d "$1/s$s/%M.")
            smtp-sink "${user[@]}" "${dump[@]}" "127.0.0.$((2 + s)):$port" 100 &
        else
            smtp-sink "${user[@]}" -c "127.0.0.$((2 + s)):$port" 100 >"$work/count$s" &
        fi
        sink_pids+=($!)
        pids+=($!)
    done
    for ((s = 0; s < sinks; ++s)); do wait_for_port "127.0.0.$((2 + s))" "$port"; done
}
stop_sinks() {
    local pid
    for pid in "${sink_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${sink_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    sink_pids=()
}
# Messages all sinks have counted so far.
counted() {
    local s total=0 n
    for ((s = 0; s < sinks; ++s)); do
        n=$(tr '\r' '\n' <"$work/count$s" | sed -n 's/.*mesg=\([0-9]*\).*/\1/p' | tail -n 1)
        total=$((total + ${n:-0}))
    done
    echo "$total"
}


send() { # PROJECT.eml RESULTS: the direct send, its --json output in $work/send.json
    "$cli" --home "$work/home" send "$1" --direct --connections "$connections" \
        --dns "127.0.0.1:$dns_port" --smtp-port "$port" --restart --json --results "$2" \
        >"$work/send.json" 2>"$work/send.err" || {
        echo "varnholt-cli send --direct failed:" >&2; tail -n 5 "$work/send.err" "$work/send.json" >&2; exit 1; }
}
sent_of() { /usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["sent"])' "$work/send.json"; }

wait_for_port 127.0.0.1 "$dns_port" # dnsmasq listens on TCP as well as UDP

# The small list to sinks that keep every message: each recipient got
# exactly one, and the size of what we send, for smtp-source's -l.
start_sinks "$work/dump"
send "$work/small/bench.eml" "$work/small.results"
stop_sinks
small_rows=$(wc -l <"$work/small/bench.txt")
read -r msg_bytes small_ok <<<"$(/usr/bin/python3 - "$work/dump" "$small_rows" "$domains" <<'PY'
import collections, glob, sys
dump, rows, domains = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
seen = collections.Counter()
sizes = []
for path in glob.glob(dump + "/s*/*"):
    data = open(path, "rb").read()
    # smtp-sink's own lines come first, its Received header last of them.
    at = data.find(b"\nReceived: ")
    start = data.find(b"\n", at + 1) + 1
    while 0 < start < len(data) and data[start:start + 1] == b"\t":
        start = data.find(b"\n", start) + 1
    message = data[start:]
    sizes.append(len(message) + message.count(b"\n"))  # CRLF on the wire
    for line in message.split(b"\n"):
        if line.startswith(b"To: "):
            seen[line[4:].strip().decode()] += 1
            break
want = {f"user{i}@d{i % domains:03d}.test" for i in range(rows)}
ok = set(seen) == want and all(n == 1 for n in seen.values())
print(sum(sizes) // max(len(sizes), 1), "yes" if ok else f"no({len(seen)}/{rows},max={max(seen.values(), default=0)})")
PY
)"
if [[ "$small_ok" != yes ]]; then
    echo "FAIL: the small run did not deliver each of its $small_rows recipients exactly once: $small_ok" >&2
    exit 1
fi

# smtp-source's payload excludes its few header lines: a little less than ours.
payload=$(( msg_bytes > 300 ? msg_bytes - 200 : msg_bytes ))

# smtp_source KEEP: one smtp-source per sink at once, KEEP "-d" or "".
split=""
smtp_source() {
    local s sessions left_sessions=$connections left_sinks=$sinks src=()
    split=""
    for ((s = 0; s < sinks; ++s)); do
        (( shares[s] > 0 )) || { left_sinks=$((left_sinks - 1)); continue; }
        # Sessions in proportion to the messages, at least one, 20 in all.
        sessions=$(( (connections * shares[s] + recipients / 2) / recipients ))
        (( sessions >= 1 )) || sessions=1
        (( sessions <= left_sessions - (left_sinks - 1) )) || sessions=$(( left_sessions - (left_sinks - 1) ))
        (( left_sinks > 1 )) || sessions=$left_sessions
        (( sessions >= 1 )) || sessions=1
        left_sessions=$((left_sessions - sessions)); left_sinks=$((left_sinks - 1))
        split+="${split:+, }${shares[s]}/$sessions"
        smtp-source -s "$sessions" $1 -m "${shares[s]}" -l "$payload" -f bench@example.test \
            -t "user@d$(printf %03d "$s").test" "127.0.0.$((2 + s)):$port" &
        src+=($!)
    done
    local rc=0 pid
    for pid in "${src[@]}"; do wait "$pid" || rc=1; done
    return $rc
}

start_sinks
ref_ms=""; ref_nod_ms=""; ours_ms=""; runs=()
for round in 1 2 3; do
    before=$(counted)
    t0=$(date +%s%N); smtp_source -d; t1=$(date +%s%N)
    ms_run=$(ms "$t0" "$t1")
    sleep 0.3 # the counters are written when a session ends
    got=$(( $(counted) - before ))
    (( got == recipients )) || { echo "FAIL: smtp-source -d: the sinks counted $got of $recipients" >&2; exit 1; }
    if [[ -z "$ref_ms" || $ms_run -lt $ref_ms ]]; then ref_ms=$ms_run; fi
    runs+=("round $round: smtp-source -d ${ms_run} ms")

    before=$(counted)
    t0=$(date +%s%N); smtp_source ""; t1=$(date +%s%N)
    ms_run=$(ms "$t0" "$t1")
    sleep 0.3
    got=$(( $(counted) - before ))
    (( got == recipients )) || { echo "FAIL: smtp-source: the sinks counted $got of $recipients" >&2; exit 1; }
    if [[ -z "$ref_nod_ms" || $ms_run -lt $ref_nod_ms ]]; then ref_nod_ms=$ms_run; fi
    runs+=("round $round: smtp-source (no -d) ${ms_run} ms")

    before=$(counted)
    t0=$(date +%s%N); send "$work/proj/bench.eml" "$work/results.txt"; t1=$(date +%s%N)
    ms_run=$(ms "$t0" "$t1")
    sleep 0.3
    sent=$(sent_of)
    got=$(( $(counted) - before ))
    (( sent == recipients )) || { echo "FAIL: send --direct reported $sent of $recipients sent" >&2; exit 1; }
    (( got == recipients )) || { echo "FAIL: send --direct: the sinks counted $got of $recipients" >&2; exit 1; }
    if [[ -z "$ours_ms" || $ms_run -lt $ours_ms ]]; then ours_ms=$ms_run; fi
    runs+=("round $round: send --direct ${ms_run} ms")
done
stop_sinks

printf '%s\n' "${runs[@]}"
echo "smtp-source per exchanger (messages/sessions): $split"
/usr/bin/python3 - "$recipients" "$domains" "$connections" "$msg_bytes" "$payload" "$small_rows" \
    "$ref_ms" "$ref_nod_ms" "$ours_ms" <<'PY'
import sys
rows, domains, conns, size, payload, small, ref_ms, nod_ms, ours_ms = map(int, sys.argv[1:])
ref = rows * 1000 / max(ref_ms, 1)
nod = rows * 1000 / max(nod_ms, 1)
ours = rows * 1000 / max(ours_ms, 1)
print(f"check: {small} recipients over {domains} domains each received exactly one message "
      f"of {size} bytes on average")
print(f"smtp-source -s {conns} -d, {rows} messages of {payload}+ bytes over 8 exchangers: "
      f"{ref:7.0f} msgs/s ({ref_ms / 1000:.2f} s, best of 3)")
print(f"smtp-source -s {conns}, a connection per message:                   "
      f"{nod:7.0f} msgs/s ({nod_ms / 1000:.2f} s, best of 3)")
print(f"varnholt-cli send --direct --connections {conns}, {rows} rows over {domains} domains: "
      f"{ours:7.0f} msgs/s ({ours_ms / 1000:.2f} s, best of 3; {rows} sent)")
print(f"ratio send --direct / smtp-source -d: {ours / ref:.2f}x (goal >= 0.7x); "
      f"/ smtp-source without -d: {ours / nod:.2f}x")
PY
