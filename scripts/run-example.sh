#!/usr/bin/env bash
# Installs what is needed, builds Varnholt and runs its main job on the
# bundled example project.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh scripts/packages.txt
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNHOLT_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"

cli=build/src/cli/varnholt-cli
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
out="$home/messages"
"$cli" --home "$home" send examples/offer/offer.eml --dry-run "$out"
ls -l "$out"
first=$(ls "$out" | head -n 1)
echo "---- $first ----"
cat "$out/$first"
