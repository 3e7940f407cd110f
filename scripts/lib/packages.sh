# What the project's scripts share for installing what a machine lacks, sourced by each of them.
# Debian's apt-get and dpkg, as root directly or through sudo.

# Prints, one a line, the packages of the arguments that dpkg does not list as installed.
missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            echo "$package"
    done
}

# Runs a command as root: directly when the script is root, else through sudo.
as_root() {
    if ((EUID == 0)); then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "${0##*/}: needs root or sudo for: $*" >&2
        return 1
    fi
}

# Runs an apt-get command as root, without questions; another apt-get may hold the dpkg lock for
# a while, so it is tried again for up to five minutes.
apt_get() {
    local attempt
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@" </dev/null && return
        echo "${0##*/}: 'apt-get $*' failed (attempt $attempt), retrying in 30 s" >&2
        sleep 30
    done
    return 1
}

# Installs the packages of the arguments (none: nothing), saying so first.
install_packages() {
    (($# > 0)) || return 0
    echo "${0##*/}: installing $*"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "$@" >/dev/null
}
