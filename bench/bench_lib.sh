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

# best_of_3 COMMAND...: sets $best to the fastest of three wall times in ms;
# the command's output is discarded.
best_of_3() {
    best=""
    local t0 t1 ms
    for _ in 1 2 3; do
        t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N)
        ms=$(( (t1 - t0) / 1000000 ))
        if [[ -z "$best" || $ms -lt $best ]]; then best=$ms; fi
    done
}
