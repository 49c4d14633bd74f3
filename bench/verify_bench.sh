#!/usr/bin/env bash
# Address verification against a local unbound serving DOMAINS domains under
# bench.test (half with one MX, a fifth with two, a fifth with an A record
# only, a tenth NXDOMAIN), with CONNECTIONS queries at once:
#
# (a) `varnholt-cli verify` over a list of DOMAINS x PER addresses (shuffled,
#     PER addresses a domain), against its pacing floor: one new query per
#     dispatch tick of 1000 / CONNECTIONS ms, so (queries unbound received) /
#     CONNECTIONS seconds. Goal: within 5% of the floor.
# (b) The query engine without the pacing (verify_bench: DnsMxQuery, one per
#     domain, CONNECTIONS in flight) against adnshost doing the same raw MX
#     queries, fed one new domain per answer so that it too keeps CONNECTIONS
#     in flight (it has no option that bounds them). Goal: at most 1.0 x
#     adnshost's time. adnshost with every domain at once is shown too; such
#     a flood overflows the sockets' receive buffers, and adnshost sends the
#     lost queries again after 2 s.
# (c) The time of (a) against adnshost, for the record: (a) is bounded by the
#     pacing, not by the queries.
#
# adnshost asks port 53 only, so unbound listens on a free high port of
# 127.0.0.1 (for varnholt) and on port 53 of another loopback address (for
# adnshost); the script must run as root for the latter. Each query sent is
# counted by unbound (unbound-control stats), and every answer is checked
# against the zone, so a fast wrong run does not count.
#
# Usage: bench/verify_bench.sh [DOMAINS] [PER] [CONNECTIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh

domains=${1:-2000}
per=${2:-5}
connections=${3:-100}
build=${VERIFY_BENCH_BUILD:-build-release}
PATH=$PATH:/usr/sbin

if [ "$(id -u)" -ne 0 ]; then
    echo "verify_bench.sh: run it as root: adnshost asks port 53 only, so unbound must listen there" >&2
    exit 1
fi
scripts/install-packages.sh scripts/packages.txt scripts/packages-bench.txt

bench=$(bench_build verify_bench "$build")
bench_cli "$build"

work=$(mktemp -d)
unbound_pid=""
cleanup() {
    [[ -n "$unbound_pid" ]] && { kill "$unbound_pid" 2>/dev/null; wait "$unbound_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

# The zone, the domain list, the project with its addresses, and free ports:
# a high port on 127.0.0.1 (UDP and TCP, unbound opens both), another one for
# unbound-control, and a 127.53.x.y address whose port 53 is free.
setup=$(/usr/bin/python3 - "$work" "$domains" "$per" <<'PY'
import os, random, socket, sys
work, domains, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
names = [f"dom{i:05d}.bench.test" for i in range(domains)]
with open(work + "/zone.conf", "w") as z:
    z.write('  local-zone: "bench.test." static\n')
    for i, name in enumerate(names):
        kind = i % 10
        if kind <= 6:  # 0-4: one MX, 5-6: two MX
            for pref, mx in ((10, "mx1"), (20, "mx2"))[: 1 if kind <= 4 else 2]:
                z.write(f'  local-data: "{name}. MX {pref} {mx}.{name}."\n')
                z.write(f'  local-data: "{mx}.{name}. A 127.0.0.1"\n')
        elif kind <= 8:  # A only: NODATA for MX
            z.write(f'  local-data: "{name}. A 127.0.0.1"\n')
        # 9: nothing, NXDOMAIN
with open(work + "/domains.txt", "w") as f:
    f.write("".join(n + "\n" for n in names))
addresses = [f"user{j}@{n}" for n in names for j in range(per)]
random.Random(7).shuffle(addresses)
os.makedirs(work + "/proj", exist_ok=True)
os.makedirs(work + "/home", exist_ok=True)
with open(work + "/proj/bench.txt", "w", newline="") as f:
    f.write("".join(f"{a};Name {k}\r\n" for k, a in enumerate(addresses)))
with open(work + "/proj/bench.eml", "w", newline="") as f:
    f.write("[Common]\r\nSubject=bench\r\nSectionSymbol=;\r\nColumn=0\r\nColumnA=0\r\n")

def free(addr, port):
    try:
        for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
            s = socket.socket(socket.AF_INET, kind)
            s.bind((addr, port))
            s.close()
        return True
    except OSError:
        return False

def free_high():
    while True:
        s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
        if free("127.0.0.1", port):
            return port

rng = random.Random()
while True:
    addr = f"127.53.{rng.randrange(1, 255)}.{rng.randrange(1, 255)}"
    if free(addr, 53):
        break
print(free_high(), free_high(), addr)
PY
)
read -r port control_port adns_addr <<<"$setup"

cat >"$work/unbound.conf" <<EOF
server:
  interface: 127.0.0.1@$port
  interface: $adns_addr@53
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  logfile: ""
  verbosity: 0
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  module-config: "iterator"
  statistics-cumulative: no
$(cat "$work/zone.conf")
remote-control:
  control-enable: yes
  control-interface: 127.0.0.1
  control-port: $control_port
  control-use-cert: no
EOF
unbound -d -c "$work/unbound.conf" >"$work/unbound.log" 2>&1 &
unbound_pid=$!
uc() { unbound-control -c "$work/unbound.conf" "$@"; }
for _ in $(seq 100); do
    uc status >/dev/null 2>&1 && break
    sleep 0.1
done
uc status >/dev/null || { echo "unbound did not start:" >&2; tail -n 5 "$work/unbound.log" >&2; exit 1; }

# The queries unbound received since the last call (stats resets them).
received() { uc stats | sed -n 's/^total.num.queries=//p'; }

# adnshost in pipe mode with raw MX queries (-t mx-: no address look-ups of
# the exchanges), answers in any order (-a). With IN_FLIGHT 0 every domain
# is written at once; otherwise IN_FLIGHT first and one more per answer read.
# Prints the seconds from its start to the last answer and the answers by
# kind.
adns_run() {
    /usr/bin/python3 - "$adns_addr" "$work/domains.txt" "$1" <<'PY'
import os, subprocess, sys, time
ns, path, in_flight = sys.argv[1], sys.argv[2], int(sys.argv[3])
domains = [l.strip() for l in open(path) if l.strip()]
in_flight = in_flight or len(domains)
kinds = {}
t0 = time.perf_counter()
p = subprocess.Popen(["adnshost", "+e", "--config", "nameserver " + ns, "-a", "-t", "mx-", "-f"],
                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
sent = min(in_flight, len(domains))
p.stdin.write("".join(d + "\n" for d in domains[:sent]).encode())
if sent == len(domains):
    p.stdin.close()
buf, rrs_left, answered, most = b"", 0, 0, sent
while answered < len(domains):
    chunk = os.read(p.stdout.fileno(), 65536)
    if not chunk:
        break
    lines = (buf + chunk).split(b"\n")
    buf = lines.pop()
    new = 0
    for line in lines:
        if rrs_left:  # a record of the answer before
            rrs_left -= 1
            continue
        # "<id> <nrrs> <statustype> <statusnum> <statusabbrev> ..."
        f = line.split(b" ")
        rrs_left = int(f[1])
        kinds[f[4].decode()] = kinds.get(f[4].decode(), 0) + 1
        new += 1
    answered += new
    if new and sent < len(domains):
        more = domains[sent:sent + new]
        sent += len(more)
        most = max(most, sent - answered)
        p.stdin.write("".join(d + "\n" for d in more).encode())
        if sent == len(domains):
            p.stdin.close()
seconds = time.perf_counter() - t0
p.wait()
print(f"{seconds:.4f} {answered} {most} " + ",".join(f"{k}={v}" for k, v in sorted(kinds.items())))
PY
}

expect_mx=0; expect_nodata=0; expect_nx=0
for ((i = 0; i < domains; ++i)); do
    case $(( i % 10 )) in 9) ((++expect_nx)) ;; 7|8) ((++expect_nodata)) ;; *) ((++expect_mx)) ;; esac
done
adns_expected="nodata=$expect_nodata,nxdomain=$expect_nx,ok=$expect_mx"

# (b): the engine and adnshost (bounded, and all at once) take turns three
# times; the fastest of each counts.
# Datagrams the kernel dropped for a full receive buffer, machine-wide.
udp_drops() { awk '$1 == "Udp:" && $2 ~ /^[0-9]+$/ { print $6 }' /proc/net/snmp; }
smaller() { awk -v a="$1" -v b="${2:-1e9}" 'BEGIN { print (a + 0 < b + 0) ? a : b }'; }
best_ours=""; best_adns=""; best_flood=""
for round in 1 2 3; do
    received >/dev/null
    out=$("$bench" "127.0.0.1:$port" "$work/domains.txt" "$connections")
    r_ours=$(received)
    read -r _ s_ours _ _ _ a_ours _ flight_ours _ with_ours _ without_ours _ err_ours <<<"$out"
    out=$(adns_run "$connections")
    r_adns=$(received)
    read -r s_adns _ flight_adns kinds_adns <<<"$out"
    drops0=$(udp_drops)
    out=$(adns_run 0)
    r_flood=$(received)
    drops=$(( $(udp_drops) - drops0 ))
    read -r s_flood _ _ kinds_flood <<<"$out"
    if (( a_ours != domains || with_ours != expect_mx || without_ours != expect_nodata + expect_nx || err_ours != 0 \
          || r_ours != domains )); then
        echo "FAIL: verify_bench answered $a_ours of $domains ($with_ours with MX, $without_ours without, $err_ours errors;" \
             "expected $expect_mx and $((expect_nodata + expect_nx))); unbound received $r_ours" >&2
        exit 1
    fi
    # adnshost sends a query again when its answer is slow to come.
    for got in "$kinds_adns:$r_adns" "$kinds_flood:$r_flood"; do
        if [[ "${got%:*}" != "$adns_expected" ]] || (( ${got#*:} < domains )); then
            echo "FAIL: adnshost answered ${got%:*}, unbound received ${got#*:} (expected $adns_expected, $domains)" >&2
            exit 1
        fi
    done
    printf 'round %d: verify_bench %.3f s (%d in flight, %d sent), adnshost %.3f s (%d in flight, %d sent), adnshost all at once %.3f s (%d sent, %d datagrams dropped)\n' \
        "$round" "$s_ours" "$flight_ours" "$r_ours" "$s_adns" "$flight_adns" "$r_adns" "$s_flood" "$r_flood" "$drops"
    best_ours=$(smaller "$s_ours" "$best_ours")
    best_adns=$(smaller "$s_adns" "$best_adns")
    best_flood=$(smaller "$s_flood" "$best_flood")
done

# (a): the whole verification, paced.
received >/dev/null
t0=$(date +%s%N)
rc=0
"$cli" --home "$work/home" --json verify "$work/proj/bench.eml" --dns "127.0.0.1:$port" \
    --connections "$connections" --timeout 5 >"$work/verify.json" 2>"$work/verify.err" || rc=$?
t1=$(date +%s%N)
r_verify=$(received)
# Exit 1 says some addresses are unavailable, as the zone has them.
if (( rc > 1 )); then
    echo "varnholt-cli verify failed ($rc):" >&2; tail -n 5 "$work/verify.err" >&2; exit 1
fi

/usr/bin/python3 - "$work/verify.json" "$(( (t1 - t0) / 1000000 ))" "$r_verify" "$connections" "$domains" "$per" \
    "$expect_mx" "$best_ours" "$best_adns" "$best_flood" "$port" "$adns_addr" <<'PY'
import json, sys
path, wall_ms, received, conns, domains, per, expect_mx = sys.argv[1], *map(int, sys.argv[2:8])
ours, adns, flood = map(float, sys.argv[8:11])
port, adns_addr = sys.argv[11:13]
doc = json.load(open(path))
rows = domains * per
if doc["records"] != rows or doc["available"] != expect_mx * per or doc["unavailable"] != rows - expect_mx * per:
    sys.exit(f"FAIL: verify found {doc['available']} available, {doc['unavailable']} unavailable of "
             f"{doc['records']} (expected {expect_mx * per} of {rows})")
run = doc["seconds"]
wall = wall_ms / 1000
floor = received / conns
print(f"unbound on 127.0.0.1:{port} (adnshost: {adns_addr}:53), {domains} domains: {expect_mx} with MX, "
      f"{domains - expect_mx} without")
print(f"(b) MX queries, {conns} in flight, no pacing, best of 3:")
print(f"    DnsMxQuery (verify_bench): {domains} queries in {ours:.3f} s, {domains / ours:8.0f} queries/s")
print(f"    adnshost, fed to keep {conns} in flight: {domains} queries in {adns:.3f} s, {domains / adns:8.0f} queries/s")
print(f"    adnshost, all {domains} at once:          {domains} queries in {flood:.3f} s, {domains / flood:8.0f} queries/s"
      " (when over 2 s: datagrams dropped by a full receive buffer, sent again after adnshost's 2 s)")
print(f"    ratio DnsMxQuery / adnshost: {ours / adns:.2f}x (goal <= 1.0x); / adnshost all at once: {ours / flood:.2f}x")
print(f"(a) varnholt-cli verify, {rows} addresses, {conns} connections: {wall:.2f} s "
      f"(the run itself {run:.2f} s); unbound received {received} queries; "
      f"{doc['available']} available, {doc['unavailable']} unavailable")
print(f"    pacing floor {received} / {conns} = {floor:.2f} s: run / floor {run / floor:.3f} "
      f"(goal <= 1.05), whole command / floor {wall / floor:.3f}")
print(f"(c) for the record, bounded by the pacing: verify / adnshost ({conns} in flight) {wall / adns:.0f}x")
PY
