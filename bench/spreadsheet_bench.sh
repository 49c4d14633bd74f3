#!/usr/bin/env bash
# Spreadsheet import benchmark: a 1,000,000-row, 8-column .xlsx written by
# Python's openpyxl (text with leading zeros, integers, decimals, dates)
# imported by `varnholt-cli list import --format spreadsheet` into a list
# file, against openpyxl in read-only mode writing the same list. Goals:
# import/python <= 0.25 in time, <= 1.0 in peak memory.
#
#   bench/spreadsheet_bench.sh [ROWS]
#
# The command line is built (incrementally) in the Release build folder
# build-b-release, or $SPREADSHEET_BENCH_BUILD; the folder is configured
# when new. Dates are compared in the C locale's short form.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${SPREADSHEET_BENCH_BUILD:-$root/build-b-release}"
rows="${1:-1000000}"
bench_cli "$build"
export LC_ALL=C.UTF-8

if ! /usr/bin/python3 -c 'import openpyxl' 2>/dev/null; then
    echo "FAIL: Python's openpyxl is missing (Debian: python3-openpyxl)" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
book="$work/book.xlsx"

/usr/bin/python3 - "$book" "$rows" <<'PY'
import datetime, sys, openpyxl
path, rows = sys.argv[1], int(sys.argv[2])
wb = openpyxl.Workbook(write_only=True)
ws = wb.create_sheet("Recipients")
ws.append(["email", "first", "last", "zip", "city", "customer", "balance", "joined"])
base = datetime.date(2000, 1, 1)
for i in range(1, rows):
    ws.append([f"user{i:07d}@example{i % 991}.com", f"First{i}", f"Last{i}", f"{i % 100000:05d}",
               f"City{i % 20000}", i, (i % 10000) / 4, base + datetime.timedelta(days=i % 9000)])
wb.save(path)
PY
size=$(stat -c %s "$book")
cat "$book" >/dev/null # warm the page cache

# The same work in Python: every row, values as shown (no trailing ".0",
# dates as "5 Mar 2024"), ";"-joined, CR LF, eight fields a line.
cat >"$work/py_import.py" <<'PY'
import datetime, sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1], read_only=True)
ws = wb.worksheets[0]
def text(v):
    if v is None:
        return ""
    if isinstance(v, bool):
        return "TRUE" if v else "FALSE"
    if isinstance(v, (datetime.datetime, datetime.date)):
        return f"{v.day} {v.strftime('%b')} {v.year}"
    if isinstance(v, float):
        return str(int(v)) if v.is_integer() and abs(v) < 1e15 else repr(v)
    return str(v)
with open(sys.argv[2], "w", newline="", encoding="utf-8") as out:
    for row in ws.iter_rows(values_only=True):
        cells = [text(v) for v in row]
        while cells and cells[-1] == "":
            cells.pop()
        if cells:
            out.write(";".join(cells + [""] * (8 - len(cells))) + "\r\n")
PY

# One timed run each (Python's takes over a minute), with its peak memory
# (maximum resident set, KB) from the same run.
measure() {
    /usr/bin/python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t0 = time.monotonic()
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
ms = int((time.monotonic() - t0) * 1000)
if r.returncode != 0:
    sys.stderr.write(f"FAIL: {' '.join(sys.argv[1:])} exited with status {r.returncode}:\n")
    sys.stderr.write(r.stderr.decode(errors="replace")[-2000:])
    sys.exit(1)
print(ms, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}
out=$(measure /usr/bin/python3 "$work/py_import.py" "$book" "$work/python.txt")
read -r python_ms python_peak_kb <<<"$out"
out=$(measure "$cli" list import "$book" --format spreadsheet --output "$work/imported.txt")
read -r import_ms import_peak_kb <<<"$out"

if ! cmp -s "$work/python.txt" "$work/imported.txt"; then
    echo "FAIL: the imported list differs from openpyxl's" >&2
    diff <(head -c 100000 "$work/python.txt") <(head -c 100000 "$work/imported.txt") | head -5 >&2
    exit 1
fi

awk -v size="$size" -v rows="$rows" -v py="$python_ms" -v imp="$import_ms" -v peak="$import_peak_kb" \
    -v pypeak="$python_peak_kb" 'BEGIN {
    printf "workbook          %.1f MB, %d rows, 8 columns\n", size / 1048576, rows
    printf "openpyxl          %d ms (peak %.1f MB)\n", py, pypeak / 1024
    printf "varnholt import   %d ms (peak %.1f MB)\n", imp, peak / 1024
    printf "time import/py    %.3f (goal <= 0.25)\n", imp / (py > 0 ? py : 1)
    printf "memory import/py  %.3f (goal <= 1.0)\n", peak / (pypeak > 0 ? pypeak : 1)
}'
