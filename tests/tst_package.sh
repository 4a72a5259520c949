#!/usr/bin/env bash
# Builds the Debian packages of a finished build and checks them as installed: declared
# dependencies, file lists and modes, no private key in either package, desktop file and AppStream
# metadata, the service's hardening, the keys the server package makes (really installed, upgraded
# and purged when run as root on a machine without the package), and a headless grading run of a
# client built for that server's public files against it, the server started with the paths its
# systemd unit names.
set -euo pipefail
build=$(cd "${1:?usage: tst_package.sh BUILD_DIR}" && pwd)

fail() {
    echo "tst_package: FAIL: $*" >&2
    exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
rm -rf "$build/packages"
cpack_output=$(cd "$build" && cpack -G DEB 2>&1) || fail "cpack: $cpack_output"
client=$build/packages/oxbell_${version}_$arch.deb
server=$build/packages/oxbell-server_${version}_$arch.deb

# dependencies DEB PACKAGE...: each package is a dependency (or an alternative of one). A package
# given as NAME|OTHER may be either: Debian 13 renamed libraries for 64-bit time (libssl3t64).
dependencies() {
    local deb=$1 depends found name
    shift
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
    depends=", $(dpkg-deb -f "$deb" Depends | sed 's/ |/,/g'),"
    for package in "$@"; do
        found=
        for name in ${package//|/ }; do
            [[ $depends == *", $name "* || $depends == *", $name,"* ]] && found=yes
        done
        [ -n "$found" ] || fail "$(basename "$deb") does not depend on $package: $depends"
    done
}
qtcore='libqt5core5a|libqt5core5t64' ssl='libssl3|libssl3t64'
dependencies "$client" pypy3 "$qtcore" 'libqt5network5|libqt5network5t64' 'libqt5gui5|libqt5gui5t64' \
    'libqt5widgets5|libqt5widgets5t64' "$ssl"
dependencies "$server" adduser init-system-helpers "$qtcore" libsqlite3-0 "$ssl"

work=$(mktemp -d "${TMPDIR:-/tmp}/tst_package.XXXXXX")
server_pid=
installed=
cleanup() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" || true
    [ -n "$installed" ] && dpkg --purge oxbell-server >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
dpkg-deb -x "$client" "$root"
dpkg-deb -x "$server" "$root"

# A package is readable by every local user: none may carry a private key, in data or control files.
mkdir -p "$work/scan"
for deb in "$client" "$server"; do
    dpkg-deb -R "$deb" "$work/scan/$(basename "$deb")"
done
keys_found=$(grep -rlaF "PRIVATE KEY" "$work/scan" || true)
[ -z "$keys_found" ] || fail "private key material in a package: $keys_found"
# Nor a path of the build tree, where any user of another machine could plant keys or courses.
build_paths=$(grep -rlaF "$build" "$work/scan" || true)
[ -z "$build_paths" ] || fail "the build tree is named by: $build_paths"

# The application directory holds what the program needs and nothing of the build (tests, benchmarks).
app=$root/usr/lib/oxbell
listing=$(cd "$app" && find . ! -type d | sort | tr '\n' ' ')
[ "$listing" = "./certs/GandiStandardSSLCA.pem ./oxbell ./oxbell.py ./pypy/bin/pypy " ] ||
    fail "application directory holds: $listing"
[ "$(readlink "$root/usr/bin/oxbell")" = ../lib/oxbell/oxbell ] || fail "/usr/bin/oxbell does not link to the program"
[ "$(readlink "$app/pypy/bin/pypy")" = /usr/bin/pypy3 ] || fail "pypy/bin/pypy does not link to Debian's pypy3"
# scripts DEB SCRIPT...: the package holds these maintainer scripts, and they parse.
scripts() {
    local deb=$1
    shift
    for script in "$@"; do
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" | sh -n || fail "$(basename "$deb"): $script"
    done
}
scripts "$server" postinst prerm postrm
scripts "$client" prerm

desktop=$(echo "$root"/usr/share/applications/*.desktop)
desktop-file-validate "$desktop" || fail "desktop file"
# The id's top-level domain is the reserved .invalid, unknown to the validator.
appstreamcli validate --no-net --strict --override=cid-maybe-not-rdns=pedantic \
    "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null || fail "AppStream metadata"
[ -x "$root/usr/bin/$(sed -n 's/^Exec=//p' "$desktop")" ] || fail "the desktop file runs no installed command"
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16x16 32x32 48x48 256x256; do
    [ -f "$root/usr/share/icons/hicolor/$size/apps/$icon.png" ] || fail "no $size icon"
done

# Neither the checkout nor where a tree is built leaves a trace in the packages: a copy of the sources
# (new files, with other access and change times) built in another directory, trusting the same
# server (the practice keys are made anew by each build), gives the same files.
sources=$(cd "$(dirname "$0")/.." && pwd)
copy=$work/elsewhere/main
mkdir -p "$copy"
tar -C "$sources" --exclude='./build*' -cf - . | tar -x -C "$copy"
elsewhere=$work/elsewhere/build
cmake -S "$copy" -B "$elsewhere" -G Ninja -Wno-dev -DOXBELL_TESTS=OFF -DOXBELL_BENCH=OFF \
    -DCMAKE_BUILD_TYPE="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" \
    -DOXBELL_SERVER_KEY_PEM="$build/pki/session-public.pem" \
    -DOXBELL_SERVER_CA_PEM="$build/pki/intermediate.pem" >"$work/elsewhere.log" 2>&1 &&
    cmake --build "$elsewhere" >>"$work/elsewhere.log" 2>&1 &&
    (cd "$elsewhere" && cpack -G DEB) >>"$work/elsewhere.log" 2>&1 ||
    fail "build in a second directory: $(tail -20 "$work/elsewhere.log")"
for deb in "$elsewhere"/packages/*.deb; do
    dpkg-deb -x "$deb" "$work/elsewhere-root"
done
diff -r --no-dereference "$root" "$work/elsewhere-root" >"$work/elsewhere.diff" ||
    fail "packages built in two directories differ: $(head -20 "$work/elsewhere.diff")"

# Every installed path the unit names exists in the package (the database folder is systemd's, the
# keys are made on installing).
unit=$root/usr/lib/systemd/system/oxbell-server.service
exec_start=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$unit" | sed -n 's/^ExecStart=//p')
for word in $exec_start; do
    case $word in
    /var/lib/oxbell-server/* | /etc/oxbell-server/*) ;;
    /*) [ -e "$root$word" ] || fail "the unit names $word, which the package does not install" ;;
    esac
done
option() { echo "$exec_start" | sed -n "s/.*--$1 \([^ ]*\).*/\1/p"; }
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] && awk "BEGIN { exit !($exposure <= 2.0) }" || fail "the unit's exposure is ${exposure:-unknown}, above 2.0"

# A client trusts one server: one trust option without the other stops the configure.
if one=$(cmake -S "$(dirname "$0")/.." -B "$work/one-option" -DOXBELL_SERVER_KEY_PEM=/dev/null 2>&1); then
    fail "configure with OXBELL_SERVER_KEY_PEM alone succeeded"
fi
[[ $one == *"OXBELL_SERVER_CA_PEM is not"* ]] || fail "configure with one trust option: $one"

# The keys: made by really installing the server package where that is possible (root, no package
# installed before), else by the command its postinst runs, into a folder of this test.
server_command=$root$(echo "$exec_start" | cut -d' ' -f1)
keys=$work/keys
as_service=()
courses=$root$(option courses)
if [ "$(id -u)" = 0 ] && ! dpkg -s oxbell-server >/dev/null 2>&1; then
    installed=yes
    dpkg -i "$server" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
    keys=/etc/oxbell-server
    server_command=/usr/bin/oxbell-server
    as_service=(setpriv --reuid=oxbell-server --regid=oxbell-server --init-groups)
    courses=$(option courses)
    chmod 711 "$work"
else
    echo "tst_package: not root, or oxbell-server installed already: keys made in $keys, not installed" >&2
    "$server_command" make-keys --dir "$keys" >/dev/null || fail "make-keys"
fi
private_owner=$(id -un)
[ -n "$installed" ] && private_owner=oxbell-server
for file in root.pem chain.pem leaf.key session-private.pem session-public.pem; do
    case $file in
    *.key | *-private.pem) expected="600 $private_owner" ;;
    *) expected="644 $(id -un)" ;;
    esac
    [ "$(stat -c '%a %U' "$keys/$file")" = "$expected" ] || fail "$keys/$file: $(stat -c '%a %U' "$keys/$file")"
done
sums=$(cd "$keys" && sha256sum ./*)
if [ -n "$installed" ]; then
    mkdir -p /etc/systemd/system/oxbell-server.service.d
    printf '[Service]\nEnvironment=OXBELL_SERVER_PORT=9444\n' >/etc/systemd/system/oxbell-server.service.d/override.conf
    dpkg -i "$server" >"$work/dpkg.log" 2>&1 || fail "dpkg -i again: $(cat "$work/dpkg.log")"
else
    "$server_command" make-keys --dir "$keys" >/dev/null || fail "make-keys again"
fi
[ "$(cd "$keys" && sha256sum ./*)" = "$sums" ] || fail "installing again changed the keys"

# serve CHAIN KEY: the server on the unit's paths and session key, with this TLS chain and key, as
# the service user if installed.
serve() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" && wait "$server_pid" || true
    : >"$work/server.out"
    "${as_service[@]}" "$server_command" serve --db "$work/db/server.db" --port 0 --courses "$courses" \
        --cert "$1" --key "$2" --session-key "$keys/session-private.pem" \
        >"$work/server.out" 2>"$work/server.log" </dev/null &
    server_pid=$!
    port=
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^listening on [^ ]*:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
        [ -n "$port" ] && break
        kill -0 "$server_pid" 2>/dev/null || fail "the server did not start: $(cat "$work/server.log")"
        sleep 0.1
    done
    [ -n "$port" ] || fail "the server did not start"
}
mkdir -p "$work/db"
[ -n "$installed" ] && chown oxbell-server: "$work/db"
source "$build/oxbell-names.sh"
echo "$OXBELL_HEADLESS_PASSWORD" | "${as_service[@]}" "$server_command" add-user --db "$work/db/server.db" \
    --email "$OXBELL_HEADLESS_EMAIL" >/dev/null
serve "$keys/chain.pem" "$keys/leaf.key"

# A client for this server, built from its public files; it trusts nothing of the practice PKI.
"$server_command" client-files --dir "$keys" --out "$work/trust" >/dev/null || fail "client-files"
launcher=$(sed -n 's/^CMAKE_CXX_COMPILER_LAUNCHER:[A-Z]*=//p' "$build/CMakeCache.txt")
cmake -S "$(dirname "$0")/.." -B "$work/client" -G Ninja -Wno-dev -DOXBELL_TESTS=OFF -DOXBELL_BENCH=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DOXBELL_SERVER_KEY_PEM="$work/trust/server-key.pem" \
    -DOXBELL_SERVER_CA_PEM="$work/trust/ca.pem" >"$work/client.log" 2>&1 &&
    cmake --build "$work/client" --target oxbell oxbell_pki oxbell_pypy oxbell_python >>"$work/client.log" 2>&1 ||
    fail "client build: $(tail -20 "$work/client.log")"

# headless CLIENT: a headless test run of CLIENT against the running server; prints its result.
headless() {
    local home=$work/home
    rm -rf "$home"
    mkdir -p "$home/.config/oxbell"
    printf '{"proctor_server": {"url": "https://localhost:%s"}}\n' "$port" >"$home/.config/oxbell/app_settings.json"
    HOME=$home XDG_CONFIG_HOME=$home/.config "$1" -headless-test </dev/null
}
result=$(headless "$work/client/bin/oxbell") || fail "headless run: $result"
echo "$result" | grep -q '"exitCode": 0' || fail "headless run: $result"
echo "$result" | grep -q '"errorMessages"' && fail "headless run: $result"
grep -qF "oxbell version: \"$version\"" "$work/home/Documents/oxbell.log" || fail "the program's version is not $version"
# The packaged client, built for the practice server, does not take this server for it.
result=$(headless "$root/usr/bin/oxbell") || true
echo "$result" | grep -q '"errorMessages"' || fail "the practice client accepted this machine's server: $result"
# Nor does the client for this server take the practice server of the build.
install -m 600 -o "$private_owner" "$build/pki/leaf.key" "$work/practice.key"
install -m 644 "$build/pki/chain.pem" "$work/practice.pem"
serve "$work/practice.pem" "$work/practice.key"
result=$(headless "$work/client/bin/oxbell") || true
echo "$result" | grep -q '"errorMessages"' || fail "the client accepted the practice PKI: $result"

if [ -n "$installed" ]; then
    kill -TERM "$server_pid" && wait "$server_pid" || true
    server_pid=
    dpkg --purge oxbell-server >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.log")"
    installed=
    [ ! -e /etc/oxbell-server ] || fail "purge left $(ls -A /etc/oxbell-server)"
    [ ! -e /etc/systemd/system/oxbell-server.service.d ] || fail "purge left the unit's drop-in"
fi
echo "tst_package: PASS ($(basename "$client"), $(basename "$server"))"
