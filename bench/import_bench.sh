#!/usr/bin/env bash
# List import benchmark: a 1,000,000-row quoted CSV (8 columns; some fields
# hold quotes, commas and doubled quotes) imported by `varnholt-cli list
# import --csv` into a list file, against Python's csv module reading it and
# writing the same list. Goals: import/python <= 1.0, peak memory of the
# import / file size <= 3.
#
#   bench/import_bench.sh [ROWS]
#
# The command line is built (incrementally) in the Release build folder
# build-release, or $IMPORT_BENCH_BUILD; the folder is configured when new.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${IMPORT_BENCH_BUILD:-$root/build-release}"
rows="${1:-1000000}"
bench_cli "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
csv="$work/source.csv"

/usr/bin/python3 - "$csv" "$rows" <<'PY'
import csv, sys
path, rows = sys.argv[1], int(sys.argv[2])
with open(path, "w", newline="", encoding="utf-8") as f:
    w = csv.writer(f, lineterminator="\r\n")
    w.writerow(["email", "first", "last", "company", "street", "zip", "city", "note"])
    for i in range(1, rows):
        company = f'Firm {i % 997}, Ltd' if i % 3 == 0 else f'Firm {i % 997}'
        note = f'said "hello {i}", twice' if i % 5 == 0 else f'note {i}'
        w.writerow([f"user{i:07d}@example{i % 991}.com", f"First{i}", f"Last{i}", company,
                    f"Street {i % 300}", f"{10000 + i % 89999}", f"City{i % 20000}", note])
PY
size=$(stat -c %s "$csv")
cat "$csv" >/dev/null # warm the page cache

# The same work in Python: read the CSV, write the list (";"-joined fields,
# CR LF, as wide as the widest record; no ";" occurs in the fields).
cat >"$work/py_import.py" <<'PY'
import csv, sys
with open(sys.argv[1], newline="", encoding="utf-8") as f:
    records = list(csv.reader(f))
width = max(len(r) for r in records)
with open(sys.argv[2], "w", newline="", encoding="utf-8") as out:
    for r in records:
        out.write(";".join(r + [""] * (width - len(r))) + "\r\n")
PY

best_of_3 /usr/bin/python3 "$work/py_import.py" "$csv" "$work/python.txt"; python_ms=$best
best_of_3 "$cli" list import "$csv" --format delimited --delimiter , --csv --output "$work/imported.txt"
import_ms=$best

if ! cmp -s "$work/python.txt" "$work/imported.txt"; then
    echo "FAIL: the imported list differs from Python's" >&2
    exit 1
fi

# Peak memory (maximum resident set) of one import, in KB.
peak_kb=$(/usr/bin/python3 - "$cli" "$csv" "$work/imported.txt" <<'PY'
import resource, subprocess, sys
cli, csv_path, out = sys.argv[1:4]
subprocess.run([cli, "list", "import", csv_path, "--format", "delimited", "--delimiter", ",", "--csv",
                "--output", out], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
)
python_peak_kb=$(/usr/bin/python3 - "$work/py_import.py" "$csv" "$work/python.txt" <<'PY'
import resource, subprocess, sys
subprocess.run(["/usr/bin/python3"] + sys.argv[1:4], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
)

awk -v size="$size" -v rows="$rows" -v py="$python_ms" -v imp="$import_ms" -v peak="$peak_kb" \
    -v pypeak="$python_peak_kb" 'BEGIN {
    printf "file              %.1f MB, %d rows, 8 columns\n", size / 1048576, rows
    printf "python csv        %d ms (peak %.1f MB)\n", py, pypeak / 1024
    printf "varnholt import   %d ms (peak %.1f MB)\n", imp, peak / 1024
    printf "import/python     %.2f (goal <= 1.0)\n", imp / (py > 0 ? py : 1)
    printf "peak/filesize     %.2f (goal <= 3)\n", peak * 1024 / size
}'
