#!/usr/bin/env bash
# Runs the maintainer scripts of the xolest-gateway package as dpkg would,
# against a scratch folder instead of the system: the paths they touch are
# moved under it, and adduser, getent and systemctl are stand-ins that note
# how they were called. Checks that installing makes the xolest user once,
# that an upgrade restarts the running instances, that removing stops them
# and keeps the journals, and that purging says so and removes them.
#   check-gateway-scripts.sh DEB SCRATCH
set -euo pipefail
deb=$1
scratch=$2

fail() {
    echo "check-gateway-scripts: $*" >&2
    exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch/control" "$scratch/bin" "$scratch/run/systemd/system" \
    "$scratch/etc/systemd/system/multi-user.target.wants"
scratch=$(cd "$scratch" && pwd)
dpkg-deb -e "$deb" "$scratch/control"
grep -qx /etc/xolest/example.toml.sample "$scratch/control/conffiles" ||
    fail "the example configuration is not a conffile"
state=$scratch/var/lib/xolest
for script in postinst prerm postrm; do
    [ -x "$scratch/control/$script" ] || fail "no executable $script"
    sh -n "$scratch/control/$script" || fail "$script is not valid sh"
    sed -e "s#/var/lib/xolest#$state#g" -e "s#/run/systemd/system#$scratch/run/systemd/system#g" \
        -e "s#/etc/systemd/system#$scratch/etc/systemd/system#g" \
        "$scratch/control/$script" >"$scratch/$script"
done

calls=$scratch/calls
for command in adduser systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$command" "$calls" >"$scratch/bin/$command"
done
# getent knows the user once adduser has made it.
printf '#!/bin/sh\ngrep -q "^adduser" "%s" 2>/dev/null\n' "$calls" >"$scratch/bin/getent"
chmod +x "$scratch/bin/"*
run() {
    : >"$calls"
    PATH="$scratch/bin:$PATH" sh "$scratch/$1" "${@:2}" 2>"$scratch/stderr" ||
        fail "$* failed: $(cat "$scratch/stderr")"
}

run postinst configure
grep -q "^adduser --system --group --no-create-home --home $state .*xolest$" "$calls" ||
    fail "a first install does not make the system user: $(cat "$calls")"
grep -q "^systemctl --system daemon-reload" "$calls" || fail "systemd is not told of the unit"
! grep -q try-restart "$calls" || fail "a first install restarts instances"

echo "adduser before" >"$calls"
PATH="$scratch/bin:$PATH" sh "$scratch/postinst" configure 1.0.0-1
grep -c "^adduser" "$calls" | grep -qx 1 || fail "an upgrade makes the user again"
grep -q "^systemctl try-restart xolhost@\*.service" "$calls" ||
    fail "an upgrade does not restart the running instances: $(cat "$calls")"

run prerm remove
grep -q "^systemctl stop xolhost@\*.service" "$calls" || fail "removing does not stop the instances"

mkdir -p "$state"
echo journal >"$state/north.journal"
ln -s /dev/null "$scratch/etc/systemd/system/multi-user.target.wants/xolhost@north.service"
run postrm remove
[ -f "$state/north.journal" ] || fail "removing the package removed the journals"

run postrm purge
[ ! -e "$state" ] || fail "purging left $state"
grep -q "removing $state" "$scratch/stderr" || fail "purging does not say what it removes"
[ ! -L "$scratch/etc/systemd/system/multi-user.target.wants/xolhost@north.service" ] ||
    fail "purging left the enabled instance's link"
echo "maintainer scripts: user made once, instances restarted on upgrade and stopped on" \
    "removal, journals kept on removal and removed on purge"
