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
#   screenshot  the window under Wine on Xvfb against the practice server, into
#               docs/screenshots/windows-wine.png
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

# Wine: a prefix of its own under the build tree, whose home (Documents and the like) lies there
# too; no dialog that waits for someone to install Mono or Gecko; every program with an end.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
in_wine() {
    local seconds=$1
    shift
    timeout --kill-after=10 "$seconds" "$wine" "$@"
}
new_prefix() {
    export WINEPREFIX=$1 HOME=$1.home
    rm -rf "$WINEPREFIX" "$HOME"
    mkdir -p "$HOME"
    in_wine 300 wineboot --init >/dev/null 2>&1
    # QtTest on Windows writes to the debugger, not to its standard output, unless told otherwise;
    # Wine passes no QT_ variable of this machine's environment on, but the user's own.
    in_wine 60 reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /t REG_SZ /d 1 /f >/dev/null
    timeout 120 "$wineserver" -w
}
end_wine() {
    [ -n "${WINEPREFIX:-}" ] && timeout 60 "$wineserver" -k 2>/dev/null || true
}
wine_user_dir() {
    echo "$WINEPREFIX/drive_c/users/$(id -un)"
}

failures=()
check() {
    local name=$1
    shift
    if "$@"; then
        echo "PASS $name" >&2
    else
        echo "FAIL $name" >&2
        failures+=("$name")
    fi
}

# The test programs start the practice server of this machine through the broker.
broker_pid=
start_broker() {
    local run=$1
    mkfifo "$run/broker.in"
    python3 "$source_dir/tests/support/hostbroker.py" "$host_dir/bin/oxbell-server" "$WINEPREFIX" \
        <"$run/broker.in" >"$run/broker.port" &
    broker_pid=$!
    exec 9>"$run/broker.in"
    for _ in $(seq 1 100); do
        [ -s "$run/broker.port" ] && break
        sleep 0.1
    done
    OXBELL_HOST_BROKER_PORT=$(cat "$run/broker.port")
    export OXBELL_HOST_BROKER_PORT
}
stop_broker() {
    if [ -n "$broker_pid" ]; then
        exec 9>&-
        wait "$broker_pid" 2>/dev/null || true
        broker_pid=
    fi
}

# A practice server with the headless account, serving the certificates of the Windows build's PKI.
server_pid=
start_server() {
    local run=$1 pki=$build_dir/pki port=
    source "$build_dir/oxbell-names.sh"
    "$host_dir/bin/oxbell-server" add-user --db "$run/server.db" --email "$OXBELL_HEADLESS_EMAIL" \
        --password "$OXBELL_HEADLESS_PASSWORD" >/dev/null
    "$host_dir/bin/oxbell-server" serve --db "$run/server.db" --courses "$host_dir/courses/demo" \
        --cert "$pki/chain.pem" --key "$pki/leaf.key" --session-key "$pki/session-private.pem" \
        --host 127.0.0.1 --port 0 >"$run/server.out" 2>"$run/server.log" </dev/null &
    server_pid=$!
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^listening on [^ ]*:\([0-9][0-9]*\)$/\1/p' "$run/server.out")
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || { cat "$run/server.log" >&2; return 1; }
    local settings
    settings="$(wine_user_dir)/AppData/Local/oxbell/oxbell"
    mkdir -p "$settings"
    printf '{\n    "proctor_server": {\n        "url": "https://localhost:%s"\n    }\n}\n' "$port" \
        >"$settings/app_settings.json"
}
stop_server() {
    if [ -n "$server_pid" ]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}

# The headless test run names Windows in its log and gets as far as the script: TLS and the session
# keys (the catalogue comes decrypted), the download, the run. Without an interpreter the run itself
# fails.
headless_reaches_run() {
    local run=$1 log
    in_wine 300 "$build_dir/bin/oxbell.exe" -headless-test >"$run/headless.json" </dev/null || true
    log=$HOME/oxbell.log
    grep -q '"exitCode"' "$run/headless.json" && grep -q 'Operating System: Windows' "$log" &&
        grep -q 'Login email:' "$log" &&
        grep -q 'Courses:' "$log" && grep -q 'Running grading script.' "$log" &&
        grep -q 'Running script with servers' "$log"
}

# The console front end on a terminal: the banner, the e-mail prompt, a password that is not shown
# as it is typed, and the pause after the refusal, with echo back.
console_hides_password() {
    local run=$1
    python3 - "$wine" "$build_dir/bin/oxbell.exe" >"$run/console.txt" <<'PYTHON'
import os, pty, re, select, sys, time

pid, fd = pty.fork()
if pid == 0:
    os.execvp("timeout", ["timeout", "120", sys.argv[1], sys.argv[2], "-console"])
seen = b""
# Wine's console draws a character at a time between cursor sequences.
def text():
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", seen)
def read_until(wanted, seconds=60, times=1):
    global seen
    end = time.time() + seconds
    while text().count(wanted) < times and time.time() < end:
        if select.select([fd], [], [], 1)[0]:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                break
    return text().count(wanted) >= times
# Each answer typed once its prompt has settled, as a person types: Wine's console may redraw, with
# the line before, or hold back what arrives while a read is being set up.
ok = read_until(b"Oxbell") and read_until(b"email>")
time.sleep(2)
os.write(fd, b"student@oxbell.invalid\r")
ok = ok and read_until(b"password>")
time.sleep(2)
os.write(fd, b"typed-secret\r")
# The refused login waits in the command interpreter's pause, whose key shows: echo is back after
# the password. Wine's pause, in a console the program allocated, reads a whole line; after Enter the
# e-mail prompt comes again.
ok = ok and read_until(b"Press any key")
time.sleep(2)
os.write(fd, b"x")
ok = ok and read_until(b"continue...x", 10) and not read_until(b"email>", 3, times=2)
os.write(fd, b"\r")
ok = ok and read_until(b"email>", times=2)
os.kill(pid, 9)
sys.stdout.write(text().decode(errors="replace"))
sys.exit(0 if ok and b"typed-secret" not in text() else 1)
PYTHON
}

# The window maps on an X server; its picture goes to $1.
window_shows() {
    local script
    script=$(
        cat <<'SH'
"$1" "$2" >/dev/null 2>&1 &
shown() { xwininfo -root -tree | grep -qi '"oxbell version'; }
for _ in $(seq 1 120); do
    shown && break
    sleep 1
done
sleep 5
shown && xwd -root -silent | xwdtopnm 2>/dev/null | pnmcrop 2>/dev/null | pnmtopng >"$3"
kill $!
SH
    )
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$script" window "$wine" "$build_dir/bin/oxbell.exe" "$1" &&
        [ -s "$1" ]
}

# A silent install for the user, the installed program's set-up check, a silent uninstall.
installer_round_trip() {
    local run=$1 installer app menu
    installer=$(ls "$build_dir"/packages/oxbell-*-windows-x64-setup.exe)
    app="$(wine_user_dir)/AppData/Local/Programs/Oxbell"
    menu="$(wine_user_dir)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Oxbell.lnk"
    in_wine 300 "$installer" /S && timeout 120 "$wineserver" -w || return 1
    [ -f "$app/oxbell.exe" ] && [ -f "$app/oxbell.py" ] && [ -f "$app/certs/GandiStandardSSLCA.pem" ] &&
        [ -f "$app/uninstall.exe" ] && [ -f "$menu" ] || return 1
    if [ -n "${OXBELL_WINDOWS_PYPY_DIR:-}" ]; then
        [ -f "$app/pypy/bin/pypy.exe" ] || return 1
    else
        in_wine 120 "$app/oxbell.exe" -doctor >"$run/doctor.txt" 2>&1 </dev/null || true
        grep -qi 'interpreter' "$run/doctor.txt" || return 1
    fi
    in_wine 300 "$app/uninstall.exe" /S && timeout 120 "$wineserver" -w || return 1
    [ ! -e "$app" ] && [ ! -e "$menu" ]
}

run_tests() {
    local run=$build_dir/windows-test started
    started=$(date +%s)
    [ -f "$build_dir/bin/oxbell.exe" ] || { echo "Build first: $0 build" >&2; exit 1; }
    rm -rf "$run"
    mkdir -p "$run"
    trap 'stop_broker; stop_server; end_wine' EXIT

    new_prefix "$run/suites"
    start_broker "$run"
    check "test suites" ctest --test-dir "$build_dir" --output-on-failure
    stop_broker
    end_wine

    new_prefix "$run/program"
    start_server "$run"
    check "headless test run" headless_reaches_run "$run"
    check "console" console_hides_password "$run"
    end_wine
    check "window" window_shows "$run/window.png"
    stop_server
    end_wine
    check "installer" installer_round_trip "$run"

    echo "Windows tests took $(($(date +%s) - started)) s; results in $run" >&2
    if [ ${#failures[@]} -gt 0 ]; then
        echo "Failed: ${failures[*]}" >&2
        exit 1
    fi
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
test)
    "$source_dir/tools/install-deps.sh" build windows
    run_tests
    ;;
screenshot)
    run=$build_dir/windows-screenshot
    rm -rf "$run"
    mkdir -p "$run"
    new_prefix "$run/program"
    trap 'stop_server; end_wine' EXIT
    start_server "$run"
    window_shows "$source_dir/docs/screenshots/windows-wine.png"
    ;;
*)
    echo "Usage: $0 toolchain|ready|build|test|screenshot" >&2
    exit 2
    ;;
esac
