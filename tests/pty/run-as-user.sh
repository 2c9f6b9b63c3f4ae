#!/bin/sh
# Runs a test binary again as an ordinary user when the tests run as root:
# exclusive opens keep out ordinary users and root by different means, and
# both must hold.
#
# usage: run-as-user.sh BINARY [SHARED-LIBRARY...] [-- TEST-ARGS...]
#
# The binary and its libraries are copied to a fresh directory the user can
# read, so a build directory closed to others does not matter.
set -eu

if [ "$(id -u)" != 0 ]; then
    echo "not running as root: the suite has already run as an ordinary user"
    exit 77
fi

user=nobody
group=$(id -gn "$user" 2>/dev/null || echo nogroup)
binary=$1
shift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cp "$binary" "$work/"
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    cp -L "$1" "$work/"
    shift
done
[ $# -gt 0 ] && shift
chmod -R a+rX "$work"

cd "$work"
LD_LIBRARY_PATH="$work${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    setpriv --reuid="$user" --regid="$group" --clear-groups \
    "$work/$(basename "$binary")" "$@"
