#!/usr/bin/env bash
# Builds the Debian packages of a finished build and checks them as installed: declared
# dependencies, file lists and modes, desktop file and AppStream metadata, and a headless grading
# run of the unpacked client against the unpacked practice server, each using only its installed
# files (the server started with the paths its systemd unit names).
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

# dependencies DEB PACKAGE...: each package is a dependency (or an alternative of one).
dependencies() {
    local deb=$1 depends
    shift
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
    depends=", $(dpkg-deb -f "$deb" Depends | sed 's/ |/,/g'),"
    for package in "$@"; do
        [[ $depends == *", $package "* || $depends == *", $package,"* ]] ||
            fail "$(basename "$deb") does not depend on $package: $depends"
    done
}
dependencies "$client" pypy3 libqt5core5a libqt5network5 libqt5gui5 libqt5widgets5 libssl3
dependencies "$server" adduser libqt5core5a libsqlite3-0 libssl3

work=$(mktemp -d "${TMPDIR:-/tmp}/tst_package.XXXXXX")
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" || true
    rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
dpkg-deb -x "$client" "$root"
dpkg-deb -x "$server" "$root"

# The application directory holds what the program needs and nothing of the build (tests, benchmarks).
app=$root/usr/lib/oxbell
listing=$(cd "$app" && find . ! -type d | sort | tr '\n' ' ')
[ "$listing" = "./certs/GandiStandardSSLCA.pem ./oxbell ./oxbell.py ./pypy/bin/pypy " ] ||
    fail "application directory holds: $listing"
[ "$(readlink "$root/usr/bin/oxbell")" = ../lib/oxbell/oxbell ] || fail "/usr/bin/oxbell does not link to the program"
[ "$(readlink "$app/pypy/bin/pypy")" = /usr/bin/pypy3 ] || fail "pypy/bin/pypy does not link to Debian's pypy3"
for key in leaf.key session-private.pem; do
    [ "$(stat -c %a "$root/etc/oxbell-server/$key")" = 600 ] || fail "$key is readable by others"
done
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

# Every installed path the unit names exists in the package (the database folder is systemd's).
unit=$root/usr/lib/systemd/system/oxbell-server.service
exec_start=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$unit" | sed -n 's/^ExecStart=//p')
for word in $exec_start; do
    case $word in
    /var/lib/oxbell-server/*) ;;
    /*) [ -e "$root$word" ] || fail "the unit names $word, which the package does not install" ;;
    esac
done
option() { echo "$exec_start" | sed -n "s/.*--$1 \([^ ]*\).*/\1/p"; }

server_command=$root$(echo "$exec_start" | cut -d' ' -f1)
source "$build/oxbell-names.sh"
"$server_command" add-user --db "$work/server.db" --email "$OXBELL_HEADLESS_EMAIL" --password "$OXBELL_HEADLESS_PASSWORD" >/dev/null
touch "$work/server.out"
"$server_command" serve --db "$work/server.db" --port 0 --courses "$root$(option courses)" \
    --cert "$root$(option cert)" --key "$root$(option key)" --session-key "$root$(option session-key)" \
    >"$work/server.out" 2>"$work/server.log" </dev/null &
server_pid=$!
port=
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on [^ ]*:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || fail "the unpacked server did not start: $(cat "$work/server.log")"
    sleep 0.1
done
[ -n "$port" ] || fail "the unpacked server did not start"

home=$work/home
mkdir -p "$home/.config/oxbell"
printf '{"proctor_server": {"url": "https://localhost:%s"}}\n' "$port" >"$home/.config/oxbell/app_settings.json"
result=$(HOME=$home XDG_CONFIG_HOME=$home/.config \
    "$root/usr/bin/oxbell" -headless-test </dev/null) || fail "headless run: $result"
echo "$result" | grep -q '"exitCode": 0' || fail "headless run: $result"
echo "$result" | grep -q '"errorMessages"' && fail "headless run: $result"
grep -qF "oxbell version: \"$version\"" "$home/Documents/oxbell.log" || fail "the program's version is not $version"
echo "tst_package: PASS ($(basename "$client"), $(basename "$server"))"
