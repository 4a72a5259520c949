#!/usr/bin/env bash
# Installs the Debian packages (12 or 13) Oxbell needs, by group:
#   build  building and running the program and the practice course server (tools/demo.sh)
#   test   what only the test command adds (tools/test.sh): proxies, packet capture, an X server,
#          the packaging checks, clang for fuzzing (with llvm-symbolizer, without which the fuzzer's
#          leak report names no function of Qt's and its suppressions match nothing), the benchmark
#          library
#   fresh  what tools/fresh-check.sh needs to make a fresh Debian root
#   windows  what tools/windows.sh needs: the mingw-w64 cross compiler (posix threads: the win32
#          flavour has no std::mutex, std::thread or std::future), Wine, NSIS, and what unpacking
#          and building Debian's source packages of OpenSSL and Qt asks for, the icon tools, an
#          X server for the window under Wine and the tools that picture it
# Usage: tools/install-deps.sh [build] [test] [fresh] [windows]; without a group, build and test.
# Idempotent: packages already present are left alone; needs root or sudo only when something is
# missing. A system service that comes with a package (squid) is neither started nor left enabled:
# the tests run their own instances on loopback.
set -euo pipefail

build_packages=(
    build-essential cmake pkg-config ninja-build
    qtbase5-dev qtbase5-dev-tools
    libssl-dev openssl
    libsqlite3-dev libboost-dev
    pypy3
)
test_packages=(
    clang lld libclang-rt-dev llvm
    libbenchmark-dev
    curl xvfb xauth x11-utils zip
    at-spi2-core python3-pyatspi dbus-daemon qtbase5-private-dev
    squid microsocks tcpdump
    dpkg-dev file desktop-file-utils appstream librsvg2-bin
    systemd init-system-helpers adduser sqlite3
)
fresh_packages=(debootstrap git)
windows_packages=(
    g++-mingw-w64-x86-64-posix wine64 nsis
    dpkg-dev xz-utils perl python3 librsvg2-bin icoutils xvfb xauth x11-utils x11-apps netpbm
)
# Packages that install a system service of the same name.
service_packages=(squid)

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(build test)
packages=()
for group in "${groups[@]}"; do
    case $group in
    build) packages+=("${build_packages[@]}") ;;
    test) packages+=("${test_packages[@]}") ;;
    fresh) packages+=("${fresh_packages[@]}") ;;
    windows) packages+=("${windows_packages[@]}") ;;
    *)
        echo "Unknown package group: $group (build, test, fresh or windows)" >&2
        exit 2
        ;;
    esac
done

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

# Services of the packages about to be installed are denied their start while apt-get runs
# (invoke-rc.d and deb-systemd-invoke ask /usr/sbin/policy-rc.d), unless a policy is in place already.
new_services=()
for p in "${service_packages[@]}"; do
    [[ " ${missing[*]} " == *" $p "* ]] && new_services+=("$p")
done
policy=/usr/sbin/policy-rc.d
own_policy=
if [ ${#new_services[@]} -gt 0 ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Written by Oxbell'\''s tools/install-deps.sh while it installs packages.\nexit 101\n' |
        "${as_root[@]}" tee "$policy" >/dev/null
    "${as_root[@]}" chmod 755 "$policy"
    own_policy=yes
fi
remove_policy() {
    [ -n "$own_policy" ] && "${as_root[@]}" rm -f "$policy"
    own_policy=
}
trap remove_policy EXIT

export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
remove_policy

# Installed, but neither enabled at boot nor running now.
for service in "${new_services[@]}"; do
    if command -v systemctl >/dev/null 2>&1; then
        "${as_root[@]}" systemctl disable --quiet "$service.service" 2>/dev/null || true
        [ -d /run/systemd/system ] && { "${as_root[@]}" systemctl stop "$service.service" 2>/dev/null || true; }
    fi
    if [ -x "/etc/init.d/$service" ]; then
        command -v update-rc.d >/dev/null 2>&1 && { "${as_root[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true; }
        "${as_root[@]}" "/etc/init.d/$service" stop >/dev/null 2>&1 || true
    fi
done
