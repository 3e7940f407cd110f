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

# Fetches the package lists. A mirror in the middle of a sync fails some of them ("File has
# unexpected size"); apt keeps the others and the lists it had, which usually hold what is asked
# for, so a failure is said and not fatal: the install that follows tells.
update_package_lists() {
    local attempt
    for attempt in 1 2; do
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null && return 0
        echo "${0##*/}: 'apt-get update' failed (attempt $attempt)" >&2
        sleep 10
    done
    echo "${0##*/}: going on with the package lists there are" >&2
}

# Installs the packages of the arguments (none: nothing), saying so first. Another apt-get may
# hold the dpkg lock for a while, or a list may be behind its mirror, so the lists are fetched
# again and the install tried again for a few minutes.
install_packages() {
    (($# > 0)) || return 0
    echo "${0##*/}: installing $*"
    local attempt
    for attempt in 1 2 3 4 5; do
        update_package_lists
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "$@" </dev/null >/dev/null && return 0
        echo "${0##*/}: 'apt-get install $*' failed (attempt $attempt), retrying in 30 s" >&2
        sleep 30
    done
    return 1
}
