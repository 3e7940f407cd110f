#!/usr/bin/env bash
# qzb mount served by the system's FUSE: the tree and bytes qzb extract writes, reads at any
# offset and from several readers, a bad block, names left out, unmounting, refusals before
# mounting, and the archive cut or removed while mounted.
# Usage: mount_test.sh QZB MAKE_MOUNT_ARCHIVES SAMPLE_ARCHIVE. Status 77: skipped.
set -uo pipefail
qzb=$1 maker=$2 sample=$3

if [[ ! -c /dev/fuse ]] || ! command -v fusermount3 >/dev/null; then
    echo "SKIPPED: no /dev/fuse or no fusermount3 here (Debian: fuse3); the mount is not tested"
    exit 77
fi
if ! (exec 3<>/dev/fuse) 2>/dev/null; then
    echo "SKIPPED: /dev/fuse cannot be opened by this user; the mount is not tested"
    exit 77
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qzb-mount-test.XXXXXX")
mount_points=()
cleanup() {
    local point
    for point in "${mount_points[@]}"; do
        ! mountpoint -q "$point" || fusermount3 -u -z "$point"
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# A fresh, empty mount point in $mp.
new_mount_point() {
    mp=$(mktemp -d "$scratch/mnt.XXXXXX")
    mount_points+=("$mp")
}

# Mounts in the foreground, standard error to $mp.log; $pid is the mount's process. Waits until
# the mount answers (or the process ends).
mount_foreground() {
    new_mount_point
    # With job control, so that the shell does not start it with SIGINT ignored.
    set -m
    "$qzb" mount -f "$@" "$mp" 2>"$mp.log" &
    pid=$!
    set +m
    until mountpoint -q "$mp"; do
        kill -0 "$pid" 2>/dev/null || { fail "qzb mount -f $* did not mount"; return 1; }
        sleep 0.05
    done
}

# Unmounts $mp with fusermount3 and waits for the serving process: none may be left.
unmount_and_wait() {
    local server
    server=$(pgrep -f -- "$mp")
    fusermount3 -u "$mp" || fail "fusermount3 -u $mp"
    [[ -z $server ]] || tail --pid="$server" -f /dev/null
    ! mountpoint -q "$mp" || fail "$mp still mounted"
    ! pgrep -f -- "$mp" >/dev/null || fail "a process serving $mp is left"
}

"$maker" "$scratch" || { echo "FAILED: cannot make the archives" >&2; exit 1; }

# The tree and every byte, as qzb extract writes them; modes less the umask, owner, times.
umask 027
for archive in "$sample" "$scratch/tree.qzb"; do
    new_mount_point
    "$qzb" mount "$archive" "$mp" || { fail "qzb mount $archive"; continue; }
    extracted=$mp.extracted
    "$qzb" extract --quiet "$archive" "$extracted" >/dev/null
    if [[ $archive == "$scratch/tree.qzb" ]]; then
        # Several readers at once, on a mount nothing was read from yet.
        readers=()
        for reader in 1 2 3 4; do
            cmp "$mp/big/large.bin" "$extracted/big/large.bin" &
            readers+=($!)
        done
        for reader in "${readers[@]}"; do
            wait "$reader" || fail "a concurrent reader of big/large.bin got other bytes"
        done
    fi
    diff -r "$extracted" "$mp" || fail "$archive: the mount differs from qzb extract"
    file=$(cd "$mp" && find . -type f | head -n 1)
    [[ $(stat -c '%a %u %Y' "$mp/$file") == "440 $(id -u) $(stat -c %Y "$archive")" ]] ||
        fail "$archive: $file shows $(stat -c '%a %u %Y' "$mp/$file")"
    [[ $(stat -c '%a' "$mp") == 550 ]] || fail "$archive: the root shows $(stat -c %a "$mp")"
    df "$mp" >/dev/null || fail "$archive: statfs"
    unmount_and_wait
done
umask 022

# Reads at random offsets against qzb cat, on a fresh mount: the kernel has none of it yet.
new_mount_point
"$qzb" mount --cache-size 256K "$scratch/tree.qzb" "$mp" || fail "qzb mount --cache-size 256K"
for entry in big/large.bin big/raw.bin dir3/sub2/file38.txt; do
    "$qzb" cat "$scratch/tree.qzb" "$entry" >"$scratch/whole"
    size=$(stat -c %s "$scratch/whole")
    RANDOM=24
    for read in $(seq 1 40); do
        offset=$(((RANDOM * 32768 + RANDOM) % size))
        length=$((RANDOM % 9000 + 1))
        cmp <(dd status=none bs=64K iflag=skip_bytes,count_bytes skip=$offset count=$length \
                 if="$mp/$entry") \
            <(dd status=none bs=64K iflag=skip_bytes,count_bytes skip=$offset count=$length \
                 if="$scratch/whole") ||
            fail "$entry: $length bytes at $offset differ from qzb cat"
    done
done
unmount_and_wait

# A bad block: EIO for its reads only, one line however often it is read; SIGINT unmounts.
if mount_foreground "$scratch/bad.qzb"; then
    read_block() { dd status=none bs=64K skip="$1" count=1 if="$mp/bad.bin" | wc -c; }
    [[ $(read_block 0) == 65536 ]] || fail "bad.bin: block 0 does not read"
    for again in 1 2; do
        ! dd status=none bs=64K skip=1 count=1 if="$mp/bad.bin" of=/dev/null 2>"$scratch/dd" &&
            grep -q "Input/output error" "$scratch/dd" || fail "bad.bin: block 1 does not give EIO"
    done
    [[ $(read_block 2) == 65536 ]] || fail "bad.bin: block 2 does not read"
    cmp <("$qzb" cat "$scratch/bad.qzb" good.bin) "$mp/good.bin" || fail "good.bin differs"
    kill -INT "$pid"
    wait "$pid" || fail "qzb mount -f ended with $? on SIGINT"
    ! mountpoint -q "$mp" || fail "SIGINT left $mp mounted"
    [[ $(grep -c . "$mp.log") == 1 ]] && grep -q "^qzb: bad.bin: block 1 " "$mp.log" ||
        fail "the bad block's lines: $(cat "$mp.log")"
fi

# Names refused, repeated, and a file where a directory is needed; SIGTERM unmounts.
if mount_foreground "$scratch/names.qzb"; then
    expected=". ./clash ./clash/inner.txt ./dot ./dot/x.txt ./kept ./kept/back.txt"
    expected+=" ./kept/first.txt ./only ./only/dir"
    listed=$(cd "$mp" && find . | LC_ALL=C sort | tr '\n' ' ')
    [[ $listed == "$expected " ]] || fail "names.qzb shows $listed"
    [[ $(cat "$mp/kept/first.txt") == first ]] || fail "the first of two entries does not win"
    kill -TERM "$pid"
    wait "$pid" || fail "qzb mount -f ended with $? on SIGTERM"
    ! mountpoint -q "$mp" || fail "SIGTERM left $mp mounted"
    for name in "../outside.txt" "/absolute.txt" "" "clash"; do
        [[ $(grep -cF "qzb: $name: left out" "$mp.log") == 1 ]] ||
            fail "\"$name\" is not told once: $(cat "$mp.log")"
    done
    [[ $(grep -c . "$mp.log") == 4 ]] || fail "names.qzb's lines: $(cat "$mp.log")"
fi

# Refused before mounting: one "qzb: " line, status 1, nothing mounted.
mkdir "$scratch/full" && touch "$scratch/full/file" "$scratch/plain"
printf 'not an archive' >"$scratch/junk.qzb"
while IFS='|' read -r what archive point; do
    out=$("$qzb" mount "$archive" "$point" 2>&1 >/dev/null)
    status=$?
    [[ $status == 1 && $(wc -l <<<"$out") == 1 && $out == "qzb: "* ]] ||
        fail "$what: status $status, \"$out\""
    ! mountpoint -q "$point" 2>/dev/null || { fusermount3 -u "$point"; fail "$what: mounted"; }
done <<EOT
a mount point with files in it|$sample|$scratch/full
a mount point that is a file|$sample|$scratch/plain
a mount point that is missing|$sample|$scratch/missing
an archive that is missing|$scratch/missing.qzb|$scratch/full
an archive that is not one|$scratch/junk.qzb|$scratch/full
EOT
out=$("$qzb" mount --cache-size 12X "$sample" "$scratch/full" 2>&1)
[[ $? == 1 && $out == "qzb: --cache-size 12X: "* ]] || fail "--cache-size 12X: \"$out\""

# The archive cut, then removed, while mounted: EIO past the cut, the rest still read, and the
# mount unmounts as ever.
cp "$scratch/tree.qzb" "$scratch/cut.qzb"
new_mount_point
"$qzb" mount "$scratch/cut.qzb" "$mp" || fail "qzb mount cut.qzb"
head -c 1000 "$mp/big/large.bin" >/dev/null || fail "cut.qzb: the start of large.bin"
truncate -s $(($(stat -c %s "$scratch/cut.qzb") / 2)) "$scratch/cut.qzb"
! tail -c 1000 "$mp/big/large.bin" >/dev/null 2>&1 || fail "cut.qzb: a read past the cut succeeds"
rm "$scratch/cut.qzb"
[[ $(cat "$mp/dir0/sub0/file0.txt" | wc -c) == $(stat -c %s "$extracted/dir0/sub0/file0.txt") ]] ||
    fail "removed archive: an entry before the cut does not read"
unmount_and_wait

if ((failures > 0)); then
    echo "$failures failures" >&2
    exit 1
fi
echo "qzb mount: all cases passed"
