#!/usr/bin/env bash
# Times `fotarik --find` against GNU find and fd on a generated tree of about 300 000 files
# in 15 000 folders, warm cache, and checks that all of them report the same hits. Each
# round runs every command once, so that a host whose speed drifts slows them alike. Beside
# them runs the floor: a plain C loop that walks the same tree in the same order with
# nothing but openat and getdents64 (../shared/bench/walkfloor.c, built with cc -O2; left
# out when it or cc is missing, or pass --floor SOURCE). With
# --cold each is also timed with the page cache emptied before every run (this needs root:
# `sync; echo 3 > /proc/sys/vm/drop_caches`; without it the script says so and times warm
# only), and the cold and warm figures are shown side by side. When
# bench_searchwindow is built, a search run of the real search window (click to idle) is
# timed on the same tree too, and its hits are checked; with --breakdown, or when the
# window needs more than 1.5 x --find, the window's walk is then timed piece by piece.
# As root, with /dev/fuse and the test file system built (tests/support/hangfs), --find and
# fd also walk a small tree on a FUSE file system that answers every request after 200 ms,
# mounted in a mount namespace of its own (--no-fuse leaves that out).
#
#   bench/walk/run.sh [--runs N] [--tree DIR] [--fotarik PATH] [--window PATH] [--floor SOURCE]
#                     [--breakdown] [--cold] [--no-fuse]
#
# The tree is made once under DIR (default: $TMPDIR/fotarik-walk-tree) and reused.
set -euo pipefail

runs=5
tree="${TMPDIR:-/tmp}/fotarik-walk-tree"
here="$(cd "$(dirname "$0")" && pwd)"
fotarik=""
window=""
breakdown=0
cold=0
floor_source="$here/../../../shared/bench/walkfloor.c"
fuse=1
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --tree) tree="$2"; shift 2 ;;
        --fotarik) fotarik="$2"; shift 2 ;;
        --window) window="$2"; shift 2 ;;
        --breakdown) breakdown=1; shift ;;
        --cold) cold=1; shift ;;
        --floor) floor_source="$2"; shift 2 ;;
        --no-fuse) fuse=0; shift ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
if [ -z "$fotarik" ]; then
    # The newest build, but never an instrumented one (build-asan, build-tsan).
    for b in "$here"/../../build*/app/fotarik; do
        case "$b" in */build-asan/* | */build-tsan/*) continue ;; esac
        if [ -x "$b" ] && { [ -z "$fotarik" ] || [ "$b" -nt "$fotarik" ]; }; then fotarik="$b"; fi
    done
fi
[ -x "$fotarik" ] || { echo "no fotarik executable found; pass --fotarik PATH" >&2; exit 2; }
if [ -z "$window" ]; then
    window="$(dirname "$fotarik")/../bench/searchwindow/bench_searchwindow"
    [ -x "$window" ] || window=""
fi
fd="$(command -v fdfind || command -v fd || true)"

if [ ! -f "$tree/.complete" ]; then
    echo "making the tree in $tree ..."
    rm -rf "$tree"
    python3 "$here/maketree.py" "$tree"
    touch "$tree/.complete"
fi
echo "tree: $(find "$tree" -type d | wc -l) folders, $(find "$tree" -type f | wc -l) files"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

floor=""
if [ -f "$floor_source" ] && command -v cc >/dev/null && cc -O2 -o "$work/walkfloor" "$floor_source"; then
    floor="$work/walkfloor"
else
    echo "(no floor loop: $floor_source missing or not built; pass --floor SOURCE)"
fi

run_fotarik() { "$fotarik" --find "$tree" "*.JPG;*.JPEG" >"$work/out" 2>"$work/err"; }
run_plain() { FOTARIK_READAHEAD_THREADS=0 "$fotarik" --find "$tree" "*.JPG;*.JPEG" >"$work/out" 2>"$work/err"; }
run_find() { find "$tree" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) >"$work/out"; }
run_fd() { "$fd" -u -t f -e jpg -e jpeg . "$tree" >"$work/out"; }
run_floor() { "$floor" "$tree" >"$work/out" 2>"$work/floor.err"; }

now_ns() { date +%s%N; }

drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches; }
if [ "$cold" = 1 ]; then
    if ! { [ "$(id -u)" = 0 ] && drop_caches 2>/dev/null; }; then
        echo "cannot drop the page cache (needs root): cold runs are left out, warm only"
        cold=0
    fi
fi

# The window's search run is timed inside its program (click to idle, after a warm-up run of
# its own); it keeps its hits in $work/out like the others.
run_window() {
    QT_QPA_PLATFORM=offscreen "$window" "$tree" --runs 1 --hits "$work/out" --no-breakdown "$@" \
        >"$work/window.log" 2>"$work/window.err" || { cat "$work/window.err" >&2; exit 1; }
}
run_window_cold() { run_window --cold; }

median() {
    sort -n | awk '{a[NR]=$1} END {m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2; printf "%.1f", m / 1000}'
}

# Times every command of the list N times, in rounds that run each once, so that a machine
# whose speed drifts (a shared host) slows all of them alike; the median of each goes to
# t_NAME (warm, after one warm-up round) or c_NAME (cold: the page cache is emptied before
# every run), and the sorted hits of the last run to $work/NAME.hits (NAME-cold.hits).
measure_all() {
    local mode="$1" entry name fn
    shift
    declare -A times=()
    if [ "$mode" = warm ]; then
        for entry in "$@"; do "${entry#*=}"; done
    fi
    for ((i = 0; i < runs; i++)); do
        for entry in "$@"; do
            name="${entry%%=*}" fn="${entry#*=}"
            local t0 t1 us
            [ "$mode" = cold ] && drop_caches
            t0=$(now_ns); "$fn"; t1=$(now_ns)
            us=$(((t1 - t0) / 1000))
            [ "$name" = window ] && us=$(awk '/^window-median-ms/ {printf "%d", $2 * 1000}' "$work/window.log")
            times[$name]+="$us "
            local suffix=""
            [ "$mode" = cold ] && suffix="-cold"
            LC_ALL=C sort "$work/out" >"$work/$name$suffix.hits"
            [ "$name" = fotarik ] && tail -n 1 "$work/err" >"$work/result$suffix"
        done
    done
    for entry in "$@"; do
        name="${entry%%=*}"
        local m
        m=$(printf '%s\n' ${times[$name]} | median)
        if [ "$mode" = warm ]; then printf -v "t_$name" '%s' "$m"; else printf -v "c_$name" '%s' "$m"; fi
    done
}

commands=(fotarik=run_fotarik plain=run_plain find=run_find)
[ -n "$fd" ] && commands+=(fd=run_fd)
[ -n "$floor" ] && commands+=(floor=run_floor)
[ -n "$window" ] && commands+=(window=run_window)
t_fotarik="-" t_plain="-" t_find="-" t_fd="-" t_floor="-" t_window="-"
c_fotarik="-" c_plain="-" c_find="-" c_fd="-" c_window="-" c_floor="-"
measure_all warm "${commands[@]}"
result=$(cat "$work/result")
if [ "$cold" = 1 ]; then
    [ -n "$window" ] && commands[${#commands[@]}-1]=window=run_window_cold
    measure_all cold "${commands[@]}"
    [ "$(cat "$work/result-cold")" = "$result" ] || result="cold run: $(cat "$work/result-cold")"
fi

hits=$(wc -l <"$work/fotarik.hits")
same="yes"
for other in plain find fd floor window fotarik-cold plain-cold find-cold fd-cold floor-cold window-cold; do
    if [ -f "$work/$other.hits" ] && ! cmp -s "$work/fotarik.hits" "$work/$other.hits"; then
        same="NO (fotarik and $other differ)"
    fi
done
[ "$result" = "$hits" ] || same="NO (result $result, $hits lines)"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a/b }'; }
echo
echo "median of $runs runs, ms; machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
format='%-32s %9s %7s %7s %7s %9s %7s %7s %7s\n'
printf "$format" "" "warm" "x floor" "x fd" "x find" "cold" "x floor" "x fd" "x find"
line() { printf "$format" "$1" "$2" "$(ratio "$2" "$t_floor")" "$(ratio "$2" "$t_fd")" "$(ratio "$2" "$t_find")" \
    "$3" "$(ratio "$3" "$c_floor")" "$(ratio "$3" "$c_fd")" "$(ratio "$3" "$c_find")"; }
line "fotarik --find" "$t_fotarik" "$c_fotarik"
line "  the same without read-ahead" "$t_plain" "$c_plain"
line "find -type f -iname" "$t_find" "$c_find"
[ -n "$fd" ] && line "fdfind -u -t f -e jpg -e jpeg" "$t_fd" "$c_fd"
[ -n "$floor" ] && line "floor: openat + getdents64 loop" "$t_floor" "$c_floor"
if [ -n "$window" ]; then
    line "search window, click to idle" "$t_window" "$c_window"
    echo "window / fotarik --find: warm $(ratio "$t_window" "$t_fotarik"), cold $(ratio "$c_window" "$c_fotarik")"
    if [ "$breakdown" = 1 ]; then
        echo
        QT_QPA_PLATFORM=offscreen "$window" "$tree" --runs "$runs" | grep -v '^window-median-ms'
    fi
else
    echo "(bench_searchwindow not built next to $fotarik: no window timing; pass --window PATH)"
fi
# The found list at a million entries: memory per entry and the width fitting.
list_bench="$(dirname "$fotarik")/../bench/list/bench_list"
if [ -x "$list_bench" ]; then
    echo
    QT_QPA_PLATFORM=offscreen "$list_bench"
fi
# A slow FUSE tree: every request answered after 200 ms.
if [ "$fuse" = 1 ]; then
    echo
    hangfs="$(dirname "$fotarik")/../tests/support/fotarik_hangfs"
    if "$here/slowfuse.sh" "$fotarik" "$hangfs" 3 >"$work/fuse.log" 2>"$work/fuse.err"; then
        ms() { awk -v n="$1" '$2 == n {print $3}' "$work/fuse.log"; }
        f_fotarik=$(ms fotarik) f_fd=$(ms fd) f_find=$(ms find)
        echo "FUSE tree answering each request after 200 ms (4 folders, $(awk '$2 == "fotarik" {print $4}' "$work/fuse.log") hits), median of 3 runs, ms:"
        echo "  fotarik --find $f_fotarik, fd ${f_fd:--}, find $f_find; fotarik x fd $(ratio "$f_fotarik" "${f_fd:--}"), x find $(ratio "$f_fotarik" "$f_find")"
    elif [ $? = 3 ]; then
        echo "(no FUSE timing: $(cat "$work/fuse.err"))"
    else
        cat "$work/fuse.err" >&2
        same="NO (on the FUSE tree)"
    fi
fi
echo
echo "hits: $hits; same set of hits from all: $same"
[ "${same:0:3}" = "yes" ]
