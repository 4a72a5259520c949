#!/usr/bin/env bash
# Runs one of the README's two commands the way a stranger would: on a freshly installed minimal
# Debian (12, bookworm, or 13, trixie), in a clean tree of the current commit with ../shared beside
# it, as root, with no standard input. What the command needs and does not install itself makes it
# fail here.
# Usage: tools/fresh-check.sh demo|test [bookworm|trixie]   (as root; bookworm when not given)
# The minimal root of each release (debootstrap --variant=minbase) is made once and kept in
# OXBELL_FRESH_CACHE (default /var/cache/oxbell-fresh-check), with the packages each release
# downloaded; every check runs in a copy of it that is removed afterwards. The command runs in namespaces of its own, so its
# mounts and every process it left behind end with it, whatever happens.
set -euo pipefail
command=${1:-}
release=${2:-bookworm}
usage() {
    echo "usage: tools/fresh-check.sh demo|test [bookworm|trixie]" >&2
    exit 2
}
case $command in
demo | test) ;;
*) usage ;;
esac
# The supported releases.
case $release in
bookworm) debian="Debian 12" ;;
trixie) debian="Debian 13" ;;
*) usage ;;
esac
cd "$(dirname "$0")/.."
source=$(pwd)
[ "$(id -u)" -eq 0 ] || {
    echo "fresh-check.sh makes a root file system and mounts in it: run it as root" >&2
    exit 1
}
[ -d ../shared ] || {
    echo "fresh-check.sh: no ../shared beside $source" >&2
    exit 1
}
bash tools/install-deps.sh fresh </dev/null

cache=${OXBELL_FRESH_CACHE:-/var/cache/oxbell-fresh-check}
mirror=${OXBELL_FRESH_MIRROR:-http://deb.debian.org/debian}
base=$cache/$release-minbase
# Each release keeps its own downloads: the same name may be another version in the other.
archives=$cache/archives-$release
mkdir -p "$archives/partial"
started=$(date +%s)
if [ ! -e "$base.complete" ]; then
    echo "fresh-check: making a minimal $debian root in $base (once)" >&2
    rm -rf --one-file-system "$base"
    debootstrap --variant=minbase "$release" "$base" "$mirror" >"$cache/debootstrap-$release.log" 2>&1 || {
        tail -20 "$cache/debootstrap-$release.log" >&2
        exit 1
    }
    touch "$base.complete"
fi

run=$(mktemp -d /var/tmp/oxbell-fresh.XXXXXX)
root=$run/root
log=$cache/$command-$release.log
cleanup() {
    # Nothing is mounted here outside the command's namespace; --one-file-system guards anyway.
    rm -rf --one-file-system "$run"
}
trap cleanup EXIT
# A check stopped by a signal removes its copy too; the command itself is stopped first, below.
trap 'exit 1' HUP INT TERM
cp -a "$base" "$root"
# What an installer writes and debootstrap does not: the local host name, and the release's updates.
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
cat >"$root/etc/apt/sources.list" <<LIST
deb $mirror $release main
deb $mirror $release-updates main
deb http://deb.debian.org/debian-security $release-security main
LIST
tree=/root/oxbell
mkdir -p "$root$tree/main"
git -C "$source" archive HEAD | tar -x -C "$root$tree/main"
cp -r ../shared "$root$tree/shared"

echo "fresh-check: tools/$command.sh on a fresh $debian root (log: $log)" >&2
status=0
# In the background, so that a signal is handled at once rather than when the command ends; the
# namespace's first process, and with it every process in it, dies with unshare.
unshare --mount --pid --fork --kill-child --propagation private bash -c '
    root=$1 archives=$2 tree=$3 command=$4
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    # Downloads are kept between checks; what is installed is never.
    mount --bind "$archives" "$root/var/cache/apt/archives"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd $tree/main && bash tools/$command.sh"
' fresh-check "$root" "$archives" "$tree" "$command" </dev/null >"$log" 2>&1 &
child=$!
# unshare ignores a polite signal while it waits: the copy is thrown away, so nothing is lost.
trap 'kill -KILL "$child" 2>/dev/null; wait "$child" || true; exit 1' HUP INT TERM
wait "$child" || status=$?
elapsed=$(($(date +%s) - started))
if [ "$status" -ne 0 ]; then
    echo "fresh-check: tools/$command.sh FAILED on a fresh $debian root (status $status, $((elapsed / 60)) min $((elapsed % 60)) s); the end of its log:" >&2
    tail -40 "$log" >&2
    exit 1
fi
echo "fresh-check: tools/$command.sh passed on a fresh $debian root in $((elapsed / 60)) min $((elapsed % 60)) s" >&2
