#!/usr/bin/env bash
# Regenerates the README's pictures of the window (docs/screenshots/login.png, main.png,
# settings.png) from a real session: the window front end, on Qt's offscreen platform, logs in to
# the practice server, turns in the warm-up problem and opens the settings. The session runs in a
# home of its own under a temporary directory. OXBELL_BUILD_DIR picks the build tree (default build/).
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
HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share QT_QPA_PLATFORM=offscreen \
    "$build/bin/tst_gui" --child screenshots "$root/docs/screenshots" </dev/null
echo "docs/screenshots: login.png main.png settings.png" >&2
