# Sourced by the scripts that install Debian packages: running as root or
# through sudo, and refreshing the package lists.

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# A mirror in the middle of a sync fails an update now and then: try again,
# and go on with what was fetched if it keeps failing, so that the install
# that follows says what is really missing.
apt_update() {
    local try
    for try in 1 2 3; do
        if as_root apt-get -o DPkg::Lock::Timeout=300 -o Acquire::Retries=3 update -qq; then
            return 0
        fi
        echo "apt-get update failed (try $try of 3)" >&2
        [ "$try" = 3 ] || sleep $((try * 10))
    done
    return 0
}

# Installs the packages given. When the lists of one architecture are behind
# the other's (a security update fetched for amd64 but not for i386), the
# 32-bit packages cannot match their 64-bit halves; the install is tried
# again from the release itself, whose lists agree.
apt_install() {
    local install=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300
        install -y -qq --no-install-recommends)
    if as_root "${install[@]}" "$@" >/dev/null; then
        return 0
    fi
    local release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || return 1
    echo "apt-get install failed; trying again from $release alone" >&2
    as_root "${install[@]}" -t "$release" "$@" >/dev/null
}
