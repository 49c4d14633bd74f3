#!/usr/bin/env bash
# List tools benchmark: `varnholt-cli list dedupe|filter|replace` (load, the
# operation and the save, as a script runs them) on a generated
# 1,000,000-row, 8-column ";" list, each against a reference tool doing the
# same work:
#   dedupe on the e-mail column   awk -F';' '!seen[tolower($2)]++'
#   filter, 100,000 keywords      awk -F';' 'NR==FNR{k[tolower($1)];next} !(tolower($2) in k)'
#   replace, 100 pairs            sed with the same 100 pairs
# Goals: each at most 1.0 x its reference; peak memory at most 3 x the file.
# The results are checked against the references' output.
#
#   bench/listtools_bench.sh [ROWS]
#
# Built (incrementally) in the Release folder build-release, or
# $LISTTOOLS_BENCH_BUILD; the folder is configured when new.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${LISTTOOLS_BENCH_BUILD:-$root/build-release}"
rows="${1:-1000000}"
bench_cli "$build"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
list="$work/list.txt"

# Column 2 holds the e-mail; every fifth address repeats an earlier one in
# other letter case, so the dedupe removes about 20 %. Lines end with LF, as
# awk and sed write them, so the outputs can be compared byte for byte
# after the program's CR LF is taken off.
awk -v rows="$rows" 'BEGIN {
    for (i = 0; i < rows; i++) {
        u = (i % 5 == 4) ? i - 3 : i
        mail = sprintf("user%07d@example%03d.com", u, u % 997)
        if (i % 5 == 4) mail = toupper(mail)
        printf "%07d;%s;First%07d;Last%07d;Street %d;City%05d;%05d;+49 30 %08d\n",
            i, mail, i, i, i % 300, i % 20000, i % 99999, i
    }
}' >"$list"
size=$(stat -c %s "$list")
# 100,000 keywords: every tenth address of the list, and as many that are in
# no record.
awk -v rows="$rows" 'BEGIN {
    for (k = 0; k < 100000; k++) {
        if (k % 2 == 0) { u = (k * 10) % rows; if (u % 5 == 4) u -= 3 }
        else u = rows + k
        printf "USER%07d@example%03d.com\n", u, u % 997
    }
}' >"$work/keywords.txt"
# 100 pairs: 97 of the list's domains become another, three never occur.
: >"$work/pairs.txt"
: >"$work/pairs.sed"
for d in $(seq 0 96); do
    printf '@example%03d.com;@example%03d.org\n' "$d" "$d" >>"$work/pairs.txt"
    printf 's/@example%03d\\.com/@example%03d.org/g\n' "$d" "$d" >>"$work/pairs.sed"
done
for d in 1 2 3; do
    printf 'nowhere%d.test;elsewhere%d.test\n' "$d" "$d" >>"$work/pairs.txt"
    printf 's/nowhere%d\\.test/elsewhere%d.test/g\n' "$d" "$d" >>"$work/pairs.sed"
done
cat "$list" "$work/keywords.txt" >/dev/null # warm the page cache

# peak_kb COMMAND...: the peak resident memory of one run, in kB.
peak_kb() {
    /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null 2>&1
    tail -n 1 "$work/time.txt"
}

# Each reference and each operation reads the same file and writes its own.
best_of_3 awk -F';' '!seen[tolower($2)]++' "$list"; awk_dedupe_ms=$best
best_of_3 "$cli" list dedupe "$list" --column 2 --output "$work/dedupe.txt"; dedupe_ms=$best
dedupe_kb=$(peak_kb "$cli" list dedupe "$list" --column 2 --output "$work/dedupe.txt")

best_of_3 awk -F';' 'NR==FNR{k[tolower($1)];next} !(tolower($2) in k)' "$work/keywords.txt" "$list"; awk_filter_ms=$best
best_of_3 "$cli" list filter "$list" --column 2 --keywords "$work/keywords.txt" --mode equal --output "$work/filter.txt"
filter_ms=$best
filter_kb=$(peak_kb "$cli" list filter "$list" --column 2 --keywords "$work/keywords.txt" --mode equal \
    --output "$work/filter.txt")

best_of_3 sed -f "$work/pairs.sed" "$list"; sed_ms=$best
best_of_3 "$cli" list replace "$list" --pairs "$work/pairs.txt" --case-sensitive --column 2 --output "$work/replace.txt"
replace_ms=$best
replace_kb=$(peak_kb "$cli" list replace "$list" --pairs "$work/pairs.txt" --case-sensitive --column 2 --output "$work/replace.txt")

# The same records as the references.
check() {
    local name="$1" ours="$2"
    shift 2
    if ! cmp -s <(tr -d '\r' <"$ours") <("$@" <"$list"); then
        echo "FAIL: $name differs from its reference" >&2
        exit 1
    fi
}
check dedupe "$work/dedupe.txt" awk -F';' '!seen[tolower($2)]++'
check filter "$work/filter.txt" awk -F';' -v kw="$work/keywords.txt" \
    'BEGIN{while ((getline l < kw) > 0) k[tolower(l)]} !(tolower($2) in k)'
check replace "$work/replace.txt" sed -f "$work/pairs.sed"

awk -v size="$size" -v rows="$rows" \
    -v ad="$awk_dedupe_ms" -v d="$dedupe_ms" -v dk="$dedupe_kb" \
    -v af="$awk_filter_ms" -v f="$filter_ms" -v fk="$filter_kb" \
    -v s="$sed_ms" -v r="$replace_ms" -v rk="$replace_kb" 'BEGIN {
    printf "file                 %.1f MB, %d rows\n", size / 1048576, rows
    printf "dedupe               %6d ms   awk %6d ms   ratio %.2f (goal <= 1.0)   peak %.0f MB = %.2f x file\n",
        d, ad, d / (ad > 0 ? ad : 1), dk / 1024, dk * 1024 / size
    printf "filter (100k words)  %6d ms   awk %6d ms   ratio %.2f (goal <= 1.0)   peak %.0f MB = %.2f x file\n",
        f, af, f / (af > 0 ? af : 1), fk / 1024, fk * 1024 / size
    printf "replace (100 pairs)  %6d ms   sed %6d ms   ratio %.2f (goal <= 1.0)   peak %.0f MB = %.2f x file\n",
        r, s, r / (s > 0 ? s : 1), rk / 1024, rk * 1024 / size
    printf "peak memory goal     <= 3 x file\n"
}'
