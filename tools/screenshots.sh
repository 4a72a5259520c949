#!/usr/bin/env bash
# Regenerates the README's pictures of the window (docs/screenshots/login.png, main.png,
# settings.png, and main-scale2.png at twice the scale, as on a high-resolution screen) from real
# sessions: the window front end, on Qt's offscreen platform, logs in to the practice server, turns
# in the warm-up problem and opens the settings. The sessions run in a home of their own under a
# temporary directory. OXBELL_BUILD_DIR picks the build tree (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/install-deps.sh build </dev/null

build=${OXBELL_BUILD_DIR:-$root/build}
# A fresh tree leaves out the benchmarks, whose library only the test command installs.
configure=()
[ -f "$build/CMakeCache.txt" ] || configure=(-DOXBELL_BENCH=OFF)
cmake -S . -B "$build" -G Ninja -Wno-dev "${configure[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target tst_gui >&2

home=$(mktemp -d "${TMPDIR:-/tmp}/oxbell-screenshots.XXXXXX")
trap 'rm -rf "$home"' EXIT
mkdir -p docs/screenshots
session() {
    HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share QT_QPA_PLATFORM=offscreen \
        "$build/bin/tst_gui" --child screenshots "$1" </dev/null
}
session "$root/docs/screenshots"
mkdir "$home/scale2"
QT_SCALE_FACTOR=2 session "$home/scale2"
mv "$home/scale2/main.png" docs/screenshots/main-scale2.png
echo "docs/screenshots: login.png main.png settings.png main-scale2.png" >&2
