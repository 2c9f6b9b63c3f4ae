#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need, when
# any is missing. Safe to run again: it does nothing when all are present.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang clang-format clang-tidy pkg-config util-linux
    libgtest-dev libbenchmark-dev
    nlohmann-json3-dev libcli11-dev libfmt-dev
    g++-multilib libgtest-dev:i386
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    help2man dpkg-dev lintian
    ser2net socat
    libcpp-httplib-dev chromium chromium-driver
    libsqlite3-dev
    libmosquitto-dev mosquitto mosquitto-clients libmodbus-dev prometheus
    libtomlplusplus-dev systemd
)
if [ "${XOL_WITH_FUZZERS:-1}" = 1 ]; then
    packages+=(libclang-rt-14-dev)
fi

source "$(dirname "$0")/apt.sh"

# 32-bit packages need the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "setup: installing ${missing[*]:-(package lists only)}"
    apt_update
    if [ ${#missing[@]} -gt 0 ]; then
        apt_install "${missing[@]}"
    fi
fi
