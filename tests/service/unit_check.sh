#!/usr/bin/env bash
# Checks the systemd unit as systemd sees it, when systemd is installed:
# systemd-analyze verify finds nothing wrong, the hardening's exposure
# (systemd-analyze security --offline=yes) is 2.5 or lower and is printed,
# and its watchdog allows the longest step xolhost computes for the
# driver's default line.
#   unit_check.sh UNIT XOLHOST
set -euo pipefail
unit=$1
xolhost=$2

fail() {
    echo "unit_check: $*" >&2
    exit 1
}

if ! command -v systemd-analyze >/dev/null; then
    echo "unit_check: systemd-analyze is not installed (scripts/setup.sh installs systemd)"
    exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# verify wants the program to exist where ExecStart names it: the copy
# names the one under test. An instance stands for the template.
sed -E "s#^ExecStart=[^ ]+#ExecStart=$xolhost#" "$unit" >"$scratch/xolhost@north.service"
grep -q "^ExecStart=$xolhost " "$scratch/xolhost@north.service" || fail "no ExecStart in $unit"
systemd-analyze verify --man=no "$scratch/xolhost@north.service" >"$scratch/verify.log" 2>&1 || {
    cat "$scratch/verify.log" >&2
    fail "systemd-analyze verify refuses $unit"
}
[ ! -s "$scratch/verify.log" ] || { cat "$scratch/verify.log" >&2; fail "systemd-analyze verify warns"; }

systemd-analyze security --offline=yes --threshold=25 "$scratch/xolhost@north.service" \
    >"$scratch/security.log" 2>&1 || {
    cat "$scratch/security.log" >&2
    fail "the exposure is above 2.5"
}
exposure=$(grep -o 'Overall exposure level for [^:]*: [0-9.]* [A-Z]*' "$scratch/security.log") ||
    fail "systemd-analyze security gave no exposure: $(tail -n 3 "$scratch/security.log")"
echo "$exposure"
level=$(awk '{ print $(NF-1) }' <<<"$exposure")
awk -v level="$level" 'BEGIN { exit !(level <= 2.5) }' || fail "exposure $level is above 2.5"
grep -q ' OK$' <<<"$exposure" || fail "the exposure is not rated OK: $exposure"

# WatchdogSec= in minutes (32min) or seconds (1874, 1874s).
watchdog=$(sed -nE 's/^WatchdogSec=//p' "$unit")
case $watchdog in
*min) seconds=$((${watchdog%min} * 60)) ;;
*s) seconds=${watchdog%s} ;;
*) seconds=$watchdog ;;
esac
needed=$("$xolhost" --json config | sed -nE 's/.*"watchdog_seconds":([0-9]+).*/\1/p')
[ -n "$needed" ] || fail "xolhost config gave no watchdog figure"
[ "$seconds" -ge "$needed" ] ||
    fail "WatchdogSec=$watchdog is shorter than the $needed s the default line needs"
echo "watchdog: WatchdogSec=$watchdog ($seconds s), the default line needs $needed s"
