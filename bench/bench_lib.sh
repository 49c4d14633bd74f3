# Shared pieces of the benchmark scripts; source it after `set -euo pipefail`.

# bench_build TARGET BUILD_DIR: configures BUILD_DIR as a Release build
# without tests when it is new, builds TARGET in it and prints its path.
bench_build() {
    local target="$1" build="$2" root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    if [[ ! -f "$build/CMakeCache.txt" ]]; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNHOLT_TESTS=OFF >/dev/null
    fi
    cmake --build "$build" --target "$target" >/dev/null
    echo "$build/bench/$target"
}

# bench_cli BUILD_DIR: as bench_build, for the command line varnholt-cli;
# sets $cli to its path. Called directly (not in "$(...)"), so a failed
# build stops the script.
bench_cli() {
    bench_build varnholt-cli "$1" >/dev/null
    cli="$1/src/cli/varnholt-cli"
}

# ms T0 T1: the milliseconds between two `date +%s%N` readings.
ms() { echo $(( ($2 - $1) / 1000000 )); }

# best_of_3 COMMAND...: sets $best to the fastest of three wall times in ms;
# the command's output is discarded. A run that fails stops the script with
# the command's last words: timed, it would count as a fast run.
best_of_3() {
    best=""
    local t0 t1 ms rc err
    err=$(mktemp)
    for _ in 1 2 3; do
        rc=0
        t0=$(date +%s%N); "$@" >/dev/null 2>"$err" || rc=$?; t1=$(date +%s%N)
        if (( rc != 0 )); then
            echo "FAIL: \"$*\" exited with status $rc:" >&2
            tail -n 5 "$err" >&2
            rm -f "$err"
            exit 1
        fi
        ms=$(( (t1 - t0) / 1000000 ))
        if [[ -z "$best" || $ms -lt $best ]]; then best=$ms; fi
    done
    rm -f "$err"
}

# bench_mailing_setup WORK ROWS: a ROWS-row project WORK/proj/bench.eml
# (8 columns, the e-mail in the first, a 2 KB text merging five of them),
# a program folder WORK/home whose one account sends to smtp-sink, and the
# sink itself on a free port of 127.0.0.1. Sets $port and $sink (the sink's
# process id, for the caller's clean-up).
bench_mailing_setup() {
    local work="$1" rows="$2"
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
    # One account on the sink, no POP3 log-in (field 14 of "<Mail Info>").
    printf '<Connections>\r\nBench^bench^127.0.0.1^%s^127.0.0.1^110^^bench@example.test^^example.test^^^^1^1\r\n\r\n<Status Codes>\r\n\r\n<Mail Info>\r\n0^8.8.8.8^^10^English(en),iso-8859-1^^5^10^^10^^1^^^^^^^language.lan^\r\n' \
        "$port" >"$work/home/setupqnd.ini"

    local user=()
    [ "$(id -u)" -eq 0 ] && user=(-u nobody)
    smtp-sink "${user[@]}" "127.0.0.1:$port" 100 &
    sink=$!
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
    done
}
