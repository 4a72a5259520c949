#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every test twice, in a
# normal build (build/, Ninja) followed by its Debian packages and their checks, and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/, CMake's default generator,
# Unix Makefiles, so that both generators keep working); then a bounded fuzzing run (build-fuzz/).
# Any failure stops with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh build test </dev/null

jobs=$(nproc)

# suite DIR GENERATOR CMAKE_OPTIONS...
suite() {
    local dir=$1 generator=$2
    shift 2
    echo "== $dir: configure and build ($generator)" >&2
    # A tree made with another generator is configured afresh.
    local fresh=()
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -qxF "CMAKE_GENERATOR:INTERNAL=$generator" "$dir/CMakeCache.txt"; then
        fresh=(--fresh)
    fi
    cmake "${fresh[@]}" -S . -B "$dir" -G "$generator" -Wno-dev "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    echo "== $dir: tests" >&2
    (cd "$dir" && ctest --output-on-failure -j"$jobs" </dev/null)
}

# Everything on, whatever an earlier demo left out of the tree.
all=(-DOXBELL_TESTS=ON -DOXBELL_PACKAGING=ON -DOXBELL_WERROR=ON)
suite build Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOXBELL_BENCH=ON "${all[@]}"
echo "== build: Debian packages" >&2
bash tests/tst_package.sh build
suite build-asan "Unix Makefiles" -DCMAKE_BUILD_TYPE=Debug -DOXBELL_SANITIZE=ON -DOXBELL_BENCH=OFF "${all[@]}"

# The course tree fed arbitrary catalogues for a bounded time. New inputs grow a corpus in the
# build tree; the committed seeds stay as they are. Qt is built without frame pointers, so only
# slow unwinding shows the Qt frames the leak suppressions name, and only the longest stacks reach them
# through the parser's recursion on deeply nested input.
echo "== build-fuzz: course tree fuzzing" >&2
cmake -S . -B build-fuzz -G Ninja -Wno-dev -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOXBELL_FUZZ=ON -DOXBELL_TESTS=OFF -DOXBELL_BENCH=OFF -DOXBELL_WERROR=ON >/dev/null
cmake --build build-fuzz --target fuzz_coursetree -j"$jobs"
mkdir -p build-fuzz/corpus-coursetree
ASAN_OPTIONS=fast_unwind_on_malloc=0:malloc_context_size=255 LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp" \
    build-fuzz/bin/fuzz_coursetree -max_total_time=60 -detect_leaks=1 -dict=fuzz/coursetree.dict \
    -artifact_prefix=build-fuzz/ build-fuzz/corpus-coursetree fuzz/corpus </dev/null
