#!/usr/bin/env bash
# The address scan over a generated tree of HTML and plain text:
# `varnholt-cli extract --find emails --unique FOLDER --output X` against the
# pipeline `rg -o --no-filename -e '[^\s"<>;=:/]+@[^\s"<>;=]+' FOLDER | sort -u`
# over the same tree. Goal: at most 1.0 x the pipeline's time, with values
# equal to a reference of the e-mail finder's rules computed here.
#
# The tree (FILES files, about SIZE_MB MiB, a fixed seed) holds addresses in
# the usual places (mailto: links, text, angle brackets, after "E-mail:",
# some in upper case, popular ones in many files) and near misses; the
# generator lists the value of every "@" it wrote. Both commands run three
# times, taking turns after an untimed run of each (the tree in the page
# cache); the fastest wall time of each counts. Then bench/extract_bench.py
# scans the tree with its own small implementation of the finder's rules
# and compares: varnholt's values against it (letter case ignored, as
# --unique does) and against the generator's list; the rg pipeline's values
# are counted and their differences from the rules shown by kind.
#
# With EVERY above 1, one text block (about 1 kB) in EVERY is followed by an
# address instead of 0 to 3 after every block: a sparse tree, where reading
# and the search for "@" take the time, not the values.
#
# Usage: bench/extract_bench.sh [SIZE_MB] [FILES] [EVERY]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_lib.sh

size_mb=${1:-1024}
files=${2:-10000}
every=${3:-1}
build=${EXTRACT_BENCH_BUILD:-build-release}

scripts/install-packages.sh scripts/packages.txt scripts/packages-bench.txt
bench_cli "$build"

work=$(mktemp -d "${TMPDIR:-/tmp}/extract_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree="$work/tree"

t0=$(date +%s%N)
/usr/bin/python3 bench/extract_bench.py generate "$tree" "$size_mb" "$files" "$work/expected.txt" "$every"
echo "generated in $(( ($(date +%s%N) - t0) / 1000000 )) ms under $tree"
bytes=$(du -sb --apparent-size "$tree" | cut -f1)

ours=("$cli" extract --find emails --unique "$tree" --output "$work/varnholt.txt")
pipeline=(bash -c 'set -o pipefail; rg -o --no-filename -e '\''[^\s"<>;=:/]+@[^\s"<>;=]+'\'' "$1" | sort -u >"$2"'
          _ "$tree" "$work/rg.txt")

# timed COMMAND...: sets $ms to the command's wall time; a failed run stops
# the script with its last words (timed, it would count as a fast run).
timed() {
    local t0 t1 rc=0
    t0=$(date +%s%N); "$@" >/dev/null 2>"$work/err" || rc=$?; t1=$(date +%s%N)
    if (( rc != 0 )); then
        echo "FAIL: \"$*\" exited with status $rc:" >&2
        tail -n 5 "$work/err" >&2
        exit 1
    fi
    ms=$(( (t1 - t0) / 1000000 ))
}

timed "${ours[@]}"
timed "${pipeline[@]}"
best_ours=""; best_rg=""
for round in 1 2 3; do
    timed "${ours[@]}"; t_ours=$ms
    timed "${pipeline[@]}"; t_rg=$ms
    echo "round $round: varnholt-cli extract ${t_ours} ms, rg | sort -u ${t_rg} ms"
    [[ -z "$best_ours" || $t_ours -lt $best_ours ]] && best_ours=$t_ours
    [[ -z "$best_rg" || $t_rg -lt $best_rg ]] && best_rg=$t_rg
done

echo "judging the values ..."
rc=0
/usr/bin/python3 bench/extract_bench.py judge "$tree" "$work/expected.txt" "$work/varnholt.txt" "$work/rg.txt" || rc=$?

/usr/bin/python3 - "$bytes" "$files" "$best_ours" "$best_rg" "$(nproc)" "${LC_ALL:-${LC_COLLATE:-${LANG:-POSIX}}}" <<'PY'
import sys
size, files, ours, rg, cores, locale = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]
mb = size / (1 << 20)
print(f"tree: {files} files, {mb:.1f} MiB; best of 3, wall time ({cores} cores; rg uses them all, "
      f"varnholt one; sort's locale {locale}):")
print(f"    varnholt-cli extract --find emails --unique: {ours / 1000:7.3f} s, {mb / (ours / 1000):7.1f} MiB/s")
print(f"    rg -o ... | sort -u:                         {rg / 1000:7.3f} s, {mb / (rg / 1000):7.1f} MiB/s")
print(f"    ratio varnholt / rg pipeline: {ours / rg:.2f}x (goal <= 1.0x)")
PY
if (( rc != 0 )); then
    echo "FAIL: varnholt's values are not the reference's (above)" >&2
    exit 1
fi
