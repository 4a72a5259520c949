#!/usr/bin/env bash
# The main job, end to end on one machine: installs what is missing, builds, starts the practice
# course server with the demo course on 127.0.0.1, runs `oxbell -headless-test` against it, prints
# the JSON result and stops the server. The run uses a home of its own (settings, documents, log)
# under a temporary directory, so the user's own settings and log are never read or changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/install-deps.sh build </dev/null

build=${OXBELL_BUILD_DIR:-$root/build}
# A fresh tree leaves out what needs the test group's packages: the tests, the benchmarks and the
# Debian packages. A tree configured before keeps its settings (the test command turns them all on).
configure=()
[ -f "$build/CMakeCache.txt" ] || configure=(-DOXBELL_TESTS=OFF -DOXBELL_BENCH=OFF -DOXBELL_PACKAGING=OFF)
cmake -S . -B "$build" -G Ninja -Wno-dev "${configure[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target oxbell oxbell-server >&2
bin=$build/bin

run=$(mktemp -d "${TMPDIR:-/tmp}/oxbell-demo.XXXXXX")
home=$run/home
mkdir -p "$home/.config/oxbell" "$home/Documents"

server_pid=
stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid"
        wait "$server_pid" 2>/dev/null || true
    fi
}
trap stop_server EXIT

# Demo accounts: a student, and the fixed account the headless front end logs in with.
source "$build/oxbell-names.sh"
echo "$OXBELL_STUDENT_PASSWORD" | "$bin/oxbell-server" add-user --db "$run/server.db" --email "$OXBELL_STUDENT_EMAIL" >/dev/null
echo "$OXBELL_HEADLESS_PASSWORD" | "$bin/oxbell-server" add-user --db "$run/server.db" --email "$OXBELL_HEADLESS_EMAIL" >/dev/null

"$bin/oxbell-server" serve --db "$run/server.db" --port 0 >"$run/server.out" 2>"$run/server.log" </dev/null &
server_pid=$!
port=
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on [^ ]*:\([0-9][0-9]*\)$/\1/p' "$run/server.out")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "The practice server did not start; its log:" >&2
    cat "$run/server.log" >&2
    exit 1
fi
echo "Practice course server on https://localhost:$port (log: $run/server.log)" >&2

cat >"$home/.config/oxbell/app_settings.json" <<JSON
{
    "proctor_server": {
        "url": "https://localhost:$port"
    }
}
JSON

echo "Running: oxbell -headless-test" >&2
HOME=$home XDG_CONFIG_HOME=$home/.config "$bin/oxbell" -headless-test </dev/null
echo "Log of the run: $home/Documents/oxbell.log" >&2
