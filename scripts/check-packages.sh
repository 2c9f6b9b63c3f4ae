#!/usr/bin/env bash
# Builds the Debian packages (cpack -G DEB) and checks them as a user meets
# them: four packages with their dependencies and files, the gateway's
# maintainer scripts run against a scratch folder, unpacked into a scratch
# root (dpkg -x, no chroot); there the installed xolhost finds the installed
# module, the man pages carry the programs' options, bash completion
# completes, the unit passes systemd-analyze, and the development files
# build and run the example host against the installed simulator
# (scripts/check-install.sh).
#   check-packages.sh BUILD SCRATCH
set -euo pipefail
build=$1
scratch=$2
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${XOL_JOBS:-2}
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$triplet

fail() {
    echo "check-packages: $*" >&2
    exit 1
}

cmake -S "$root" -B "$build" -G Ninja -DXOL_WERROR=ON -DXOL_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$triplet" >/dev/null
ninja -C "$build" -j "$jobs" >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; fail "cpack -G DEB failed"; }

shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -eq 4 ] || fail "expected four packages, got: ${debs[*]##*/}"
deb() {
    local file=("$build/$1"_*.deb)
    [ ${#file[@]} -eq 1 ] || fail "no package $1"
    echo "${file[0]}"
}

# What each package must hold. The tools declare libxolest1 themselves: they
# load it at run time, where the shared-library scan cannot see it.
version=$(dpkg-deb -f "$(deb libxolest1)" Version)
declare -A depends=([libxolest-dev]="libxolest1 (= $version)" [xolest-tools]="libxolest1 (= $version)"
    [xolest-gateway]="xolest-tools (= $version)")
declare -A files=(
    [libxolest1]="$lib/libxolest.so.1 $lib/libkeldor.so.1"
    [libxolest-dev]="usr/include/xolest/xolest.h usr/include/xolest/keldor.h $lib/libkeldor.so
        $lib/pkgconfig/xolest.pc $lib/pkgconfig/keldor.pc $lib/cmake/xolest/xolestConfig.cmake
        $lib/cmake/xolest/xolestTargets.cmake usr/share/xolest/examples/host/example_host.c
        usr/share/xolest/examples/host/CMakeLists.txt"
    [xolest-tools]="usr/bin/xolhost usr/bin/xolpanel usr/share/man/man1/xolhost.1.gz
        usr/share/man/man1/xolpanel.1.gz usr/share/bash-completion/completions/xolhost
        usr/share/bash-completion/completions/xolpanel usr/share/xolest/scenarios/demo.json"
    [xolest-gateway]="usr/lib/systemd/system/xolhost@.service etc/xolest/example.toml.sample"
)
all=
for package in libxolest1 libxolest-dev xolest-tools xolest-gateway; do
    files[$package]+=" usr/share/doc/$package/copyright usr/share/doc/$package/changelog.Debian.gz"
    if [ -n "${depends[$package]:-}" ]; then
        declared=$(dpkg-deb -f "$(deb "$package")" Depends | tr ',' '\n' | sed 's/^ *//')
        grep -qxF -- "${depends[$package]}" <<<"$declared" ||
            fail "$package does not depend on ${depends[$package]}: $declared"
    fi
    listing=$(dpkg-deb -c "$(deb "$package")" | awk '{ sub(/^\.\//, "", $6); print $6 }')
    all+=$(grep -v '/$' <<<"$listing")$'\n'
    for path in ${files[$package]}; do
        grep -qxF -- "$path" <<<"$listing" || fail "$package lacks $path"
    done
    # Libraries go to the multiarch folder only (systemd's units to its own).
    stray=$(grep -E '^usr/lib/[^/]+$|^usr/lib/[^/]+/' <<<"$listing" |
        grep -v -e "^usr/lib/$triplet/" -e '^usr/lib/systemd/' || true)
    [ -z "$stray" ] || fail "$package installs outside usr/lib/$triplet: $stray"
done
gateway_depends=$(dpkg-deb -f "$(deb xolest-gateway)" Depends)
grep -qw adduser <<<"$gateway_depends" || fail "xolest-gateway does not depend on adduser"
recommends=$(dpkg-deb -f "$(deb xolest-tools)" Recommends)
grep -qw bash-completion <<<"$recommends" || fail "xolest-tools does not recommend bash-completion"
# dpkg refuses to install two packages that hold the same file.
twice=$(sort <<<"$all" | uniq -d | grep . || true)
[ -z "$twice" ] || fail "files in more than one package: $twice"

# Lintian as Debian's archive runs it: no errors (warnings are shown).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup.sh installs it)"
lintian --fail-on error "${debs[@]}" >"$build/lintian.log" 2>&1 || {
    cat "$build/lintian.log" >&2
    fail "lintian reports errors"
}
echo "lintian: no errors, $(grep -c '^W: ' "$build/lintian.log" || true) warning(s)"

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
for file in "${debs[@]}"; do
    dpkg -x "$file" "$scratch"
done
bin=$scratch/usr/bin

# The .pc files name /usr itself, so pkg-config drops the system folders.
for pc in xolest keldor; do
    grep -qx 'prefix=/usr' "$scratch/$lib/pkgconfig/$pc.pc" ||
        fail "$pc.pc does not say prefix=/usr: $(head -n 1 "$scratch/$lib/pkgconfig/$pc.pc")"
done

# The installed xolhost loads the installed module, with no option, and
# drives the simulator with it.
described=$("$bin/xolhost" describe --json)
grep -qF "\"module\":\"$scratch/$lib/libxolest.so.1\"" <<<"$described" ||
    fail "the installed xolhost does not load $scratch/$lib/libxolest.so.1: $described"
answer=$("$bin/xolhost" --simulate read P0017 2>&1) ||
    fail "the installed xolhost could not read P0017 from the simulator: $answer"
grep -q 'P0017.*0x09' <<<"$answer" || fail "the installed xolhost read P0017 as: $answer"

# Man pages: the options come from the program, the rest from dist/man.
for program in xolhost xolpanel; do
    page=$(zcat "$scratch/usr/share/man/man1/$program.1.gz")
    for want in '^\.SH OPTIONS' '^\\fB\\-\\-[a-z]' '^\.SH DESCRIPTION' '^\.SH EXAMPLES' \
        '^\.SH "EXIT STATUS"'; do
        grep -qE -- "$want" <<<"$page" || fail "the man page of $program has no $want"
    done
done
grep -qF '.B xolhost read [OPTIONS] address' <<<"$(zcat "$scratch/usr/share/man/man1/xolhost.1.gz")" ||
    fail "the man page of xolhost lacks its commands"

# Bash completion, as typed: words so far -> what completes.
completions=(
    "xolhost sc|scan"
    "xolhost --par|--parity"
    "xolhost --parity m|mark"
    "xolhost read --no|--no-scan"
    "xolpanel --baud 96|9600"
)
for case in "${completions[@]}"; do
    got=$(PATH="$bin:$PATH" bash -c '
        source "$1/usr/share/bash-completion/completions/${2%% *}"
        read -ra COMP_WORDS <<<"$2"
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _xolest_complete
        echo "${COMPREPLY[*]}"' _ "$scratch" "${case%|*}")
    [ "$got" = "${case#*|}" ] || fail "completing \"${case%|*}\" gave \"$got\", not \"${case#*|}\""
done

bash "$root/scripts/check-gateway-scripts.sh" "$(deb xolest-gateway)" "$scratch/gateway-scripts"
# The unit as systemd sees it, running the unpacked program.
if command -v systemd-analyze >/dev/null; then
    bash "$root/tests/service/unit_check.sh" "$scratch/usr/lib/systemd/system/xolhost@.service" \
        "$bin/xolhost"
else
    echo "check-packages: systemd-analyze is not installed: the unit is not verified"
fi

# The development files: host programs built against them, and the example
# host run against the installed simulator.
bash "$root/scripts/check-install.sh" --installed "$scratch/usr"
echo "packages: ${debs[*]##*/} built, unpacked and checked"
