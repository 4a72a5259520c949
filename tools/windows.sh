#!/usr/bin/env bash
# Oxbell for 64-bit Windows, cross-built on Debian with mingw-w64 and tested under Wine.
# Usage: tools/windows.sh COMMAND
#   toolchain   builds OpenSSL and a static Qt for Windows from the release's source packages into
#               the cache, unless the cache holds them already
#   ready       exits 0 when the cache holds the toolchain this script would build, 1 when not;
#               builds and installs nothing
#   build       toolchain, then the client into build-windows/ and its installer into
#               build-windows/packages/
#   test        the QtTest suites that apply to Windows, the client and the installer, under Wine
# Environment:
#   OXBELL_WINDOWS_CACHE     where toolchains are kept between runs (/var/cache/oxbell-windows)
#   OXBELL_WINDOWS_PYPY_DIR  an unpacked PyPy for Windows for the installer; without it the
#                            installer holds no interpreter
#   OXBELL_JOBS              parallel jobs (the number of processors)
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
cache=${OXBELL_WINDOWS_CACHE:-/var/cache/oxbell-windows}
jobs=${OXBELL_JOBS:-$(nproc)}
target=x86_64-w64-mingw32

# What Qt is configured with. Oxbell uses Core, Network, Gui, Widgets and Test; the rest is left out
# to save build time. The +dfsg source has neither wintab nor sqlite.
qt_options=(
    -xplatform win32-g++ -static -release -opensource -confirm-license
    -openssl-linked -no-opengl -no-dbus -no-icu -no-direct2d
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype
    -no-feature-sql -no-sql-sqlite -no-feature-xml -no-feature-concurrent -no-feature-printer
    -no-feature-vulkan -no-feature-tabletevent -no-feature-bearermanagement
    -nomake examples -nomake tests
)
openssl_options=(mingw64 no-shared no-tests)
# Bumped when the way the toolchain is built changes in a way the options above do not show.
toolchain_recipe=1

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo -n "$@"
    fi
}

apt_get() {
    as_root apt-get -o DPkg::Lock::Timeout=900 "$@"
}

codename() {
    (. /etc/os-release && echo "$VERSION_CODENAME")
}

# The release's main suite, as source entries of their own: apt-get source takes the version from
# there, since the security suite does not serve every .dsc it lists.
source_list=/etc/apt/sources.list.d/oxbell-windows-src.sources
add_source_entries() {
    local release entries
    release=$(codename)
    entries="Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $release
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
    if [ ! -e "$source_list" ] || [ "$(cat "$source_list")" != "$entries" ]; then
        printf '%s\n' "$entries" | as_root tee "$source_list" >/dev/null
    fi
    if [ -z "$(main_source_version openssl)" ] || [ -z "$(main_source_version qtbase-opensource-src)" ]; then
        apt_get update -qq -o Dir::Etc::sourcelist="$source_list" -o Dir::Etc::sourceparts=- \
            -o APT::Get::List-Cleanup=0
    fi
}

main_source_version() {
    apt-cache madison "$1" 2>/dev/null |
        awk -F' [|] ' -v suite=" $(codename)/main Sources" 'index($3, suite) { print $2; exit }'
}

compiler_version() {
    dpkg-query -W -f='${Version}' "g++-mingw-w64-x86-64-posix" 2>/dev/null || echo none
}

# The toolchain's directory in the cache, named after everything that goes into it.
toolchain_dir() {
    echo "$cache/$(describe_toolchain | sha256sum | cut -c1-16)"
}

describe_toolchain() {
    cat <<EOF
recipe $toolchain_recipe
openssl $(main_source_version openssl) ${openssl_options[*]}
qtbase $(main_source_version qtbase-opensource-src) ${qt_options[*]}
g++-mingw-w64-x86-64-posix $(compiler_version)
EOF
}

# Compiler names without a flavour suffix, all meaning the posix-thread flavour, whichever flavour
# the system's alternatives choose.
make_compiler_links() {
    local dir=$1 tool name
    mkdir -p "$dir"
    for tool in /usr/bin/$target-*; do
        name=${tool##*/}
        case $name in
        *-win32) ;;
        *-posix) ln -sf "$tool" "$dir/${name%-posix}" ;;
        *) [ -e "$dir/$name" ] || ln -s "$tool" "$dir/$name" ;;
        esac
    done
}

fetch_sources() {
    local into=$1 package version
    mkdir -p "$cache/sources" "$into"
    for package in openssl qtbase-opensource-src; do
        version=$(main_source_version "$package")
        if [ -z "$version" ]; then
            echo "No source package $package in the $(codename) main suite." >&2
            exit 1
        fi
        if [ ! -e "$cache/sources/${package}_${version#*:}.dsc" ]; then
            (cd "$cache/sources" && apt_get source -qq --download-only "$package=$version")
        fi
        dpkg-source -x "$cache/sources/${package}_${version#*:}.dsc" "$into/$package" >/dev/null
    done
}

build_toolchain() {
    local dir work prefix started
    dir=$(toolchain_dir)
    [ -e "$dir/ready" ] && return 0
    started=$(date +%s)
    work="$dir/work"
    prefix="$dir/prefix"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    make_compiler_links "$dir/compilers"
    export PATH="$dir/compilers:$PATH"
    fetch_sources "$work"

    echo "Building OpenSSL for Windows" >&2
    (cd "$work/openssl" &&
        ./Configure "${openssl_options[@]}" --cross-compile-prefix="$target-" --prefix="$prefix" \
            --libdir=lib >/dev/null &&
        make -s -j"$jobs" build_libs >/dev/null &&
        make -s install_dev >/dev/null)

    echo "Building Qt for Windows" >&2
    (cd "$work/qtbase-opensource-src" &&
        ./configure "${qt_options[@]}" -device-option CROSS_COMPILE="$target-" -prefix "$prefix" \
            -I "$prefix/include" -L "$prefix/lib" \
            OPENSSL_LIBS="-lssl -lcrypto -lws2_32 -lcrypt32 -luser32 -ladvapi32" &&
        make -s -j"$jobs" &&
        make -s install)

    describe_toolchain >"$dir/toolchain.txt"
    rm -rf "$work"
    touch "$dir/ready"
    echo "Toolchain built in $(($(date +%s) - started)) s: $dir" >&2
}

build_dir=$source_dir/build-windows
host_dir=$source_dir/build-windows-host
generator=${CMAKE_GENERATOR:-Ninja}

# The practice server and its demo course, for this machine: the tests under Wine talk to it.
build_host_server() {
    cmake -S "$source_dir" -B "$host_dir" -G "$generator" -Wno-dev -DCMAKE_BUILD_TYPE=Release \
        -DOXBELL_TESTS=OFF -DOXBELL_BENCH=OFF -DOXBELL_PACKAGING=OFF >/dev/null
    cmake --build "$host_dir" -j"$jobs" --target oxbell-server oxbell_demo_course
}

build_client() {
    local configure=(
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake"
        -DOXBELL_WINDOWS_PREFIX="$(toolchain_dir)/prefix"
        -DOXBELL_HOST_TREE="$host_dir"
        -DOXBELL_WINDOWS_PYPY_DIR="${OXBELL_WINDOWS_PYPY_DIR:-}"
        -DCMAKE_BUILD_TYPE=Release
        -DOXBELL_WERROR=ON
    )
    cmake -S "$source_dir" -B "$build_dir" -G "$generator" -Wno-dev "${configure[@]}" >/dev/null
    cmake --build "$build_dir" -j"$jobs"
    cmake --build "$build_dir" --target installer
}

command=${1:-}
case $command in
toolchain)
    "$source_dir/tools/install-deps.sh" windows
    add_source_entries
    build_toolchain
    ;;
build)
    "$source_dir/tools/install-deps.sh" build windows
    add_source_entries
    build_toolchain
    build_host_server
    build_client
    ;;
ready)
    command -v apt-cache >/dev/null && [ -e "$source_list" ] || exit 1
    [ -e "$(toolchain_dir)/ready" ]
    ;;
*)
    echo "Usage: $0 toolchain|ready|build|test" >&2
    exit 2
    ;;
esac
