#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test Oxbell.
# Idempotent: packages already present are left alone; needs root or sudo only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config ninja-build
    qtbase5-dev qtbase5-dev-tools
    libssl-dev openssl
    libsqlite3-dev libcpp-httplib-dev
    pypy3
    clang lld libclang-rt-14-dev
    libbenchmark-dev
    curl xvfb xauth x11-utils zip
    at-spi2-core python3-pyatspi dbus-daemon qtbase5-private-dev
    squid microsocks tcpdump
    dpkg-dev desktop-file-utils appstream librsvg2-bin
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo -n)
else
    echo "Missing packages (${missing[*]}) and neither root nor sudo is available." >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
