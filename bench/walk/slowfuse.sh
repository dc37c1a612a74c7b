#!/usr/bin/env bash
# Times `fotarik --find` against fd (and GNU find) on a FUSE file system that answers every
# request after 200 ms (the test file system's "slow" mode: a chain of 4 folders, each
# holding a.jpg), and checks that they report the same hits. Needs root and /dev/fuse; the
# file system is mounted in a mount namespace of its own, so that nothing else on the
# machine meets it, and goes with it.
#
#   bench/walk/slowfuse.sh FOTARIK HANGFS [RUNS]
#
# Prints one line per program: "slow-fuse NAME MEDIAN_MS HITS".
set -euo pipefail

fotarik="$1"
hangfs="$2"
runs="${3:-3}"

if [ -z "${FOTARIK_SLOWFUSE_INSIDE:-}" ]; then
    if [ "$(id -u)" != 0 ] || [ ! -c /dev/fuse ] || [ ! -x "$hangfs" ] || ! command -v unshare >/dev/null; then
        echo "slow-fuse: cannot mount (needs root, /dev/fuse, unshare and $hangfs)" >&2
        exit 3
    fi
    FOTARIK_SLOWFUSE_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi

work="$(mktemp -d)"
server=""
finish() {
    # Killing the server ends every request still waiting; the mount goes with the namespace.
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    umount -l "$work/mnt" 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT
mkdir "$work/mnt"
"$hangfs" slow "$work/mnt" >/dev/null 2>"$work/hangfs.err" &
server=$!
for ((i = 0; i < 100; i++)); do
    mountpoint -q "$work/mnt" && break
    sleep 0.1
done
mountpoint -q "$work/mnt" || { echo "slow-fuse: the file system did not mount" >&2; cat "$work/hangfs.err" >&2; exit 1; }

tree="$work/mnt"
fd="$(command -v fdfind || command -v fd || true)"
run_fotarik() { "$fotarik" --find "$tree" "*.JPG;*.JPEG" >"$work/out" 2>/dev/null; }
run_fd() { "$fd" -u -t f -e jpg -e jpeg . "$tree" >"$work/out"; }
run_find() { find "$tree" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) >"$work/out"; }

measure() {
    local name="$1" fn="$2" times=()
    for ((i = 0; i < runs; i++)); do
        local t0 t1
        t0=$(date +%s%N); "$fn"; t1=$(date +%s%N)
        times+=($(((t1 - t0) / 1000000)))
    done
    local median
    median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}')
    LC_ALL=C sort "$work/out" >"$work/$name.hits"
    echo "slow-fuse $name $median $(wc -l <"$work/out")"
}

measure fotarik run_fotarik
[ -n "$fd" ] && measure fd run_fd
measure find run_find
for other in fd find; do
    if [ -f "$work/$other.hits" ] && ! cmp -s "$work/fotarik.hits" "$work/$other.hits"; then
        echo "slow-fuse: fotarik and $other differ" >&2
        exit 1
    fi
done
exit 0
