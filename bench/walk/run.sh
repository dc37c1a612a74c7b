#!/usr/bin/env bash
# Times `fotarik --find` against GNU find and fd on a generated tree of about 300 000 files
# in 15 000 folders, warm cache, and checks that all three report the same hits. When
# bench_searchwindow is built, a search run of the real search window (click to idle) is
# timed on the same tree too, and its hits are checked; with --breakdown, or when the
# window needs more than 1.5 x --find, the window's walk is then timed piece by piece.
#
#   bench/walk/run.sh [--runs N] [--tree DIR] [--fotarik PATH] [--window PATH] [--breakdown]
#
# The tree is made once under DIR (default: $TMPDIR/fotarik-walk-tree) and reused.
set -euo pipefail

runs=5
tree="${TMPDIR:-/tmp}/fotarik-walk-tree"
here="$(cd "$(dirname "$0")" && pwd)"
fotarik=""
window=""
breakdown=0
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --tree) tree="$2"; shift 2 ;;
        --fotarik) fotarik="$2"; shift 2 ;;
        --window) window="$2"; shift 2 ;;
        --breakdown) breakdown=1; shift ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
if [ -z "$fotarik" ]; then
    for b in "$here"/../../build*/app/fotarik; do
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

run_fotarik() { "$fotarik" --find "$tree" "*.JPG;*.JPEG" >"$work/out" 2>"$work/err"; }
run_find() { find "$tree" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) >"$work/out"; }
run_fd() { "$fd" -u -t f -e jpg -e jpeg . "$tree" >"$work/out"; }

now_ns() { date +%s%N; }

# Runs a command N times after one warm-up run; prints the median in milliseconds and
# keeps the sorted hits of the last run in $work/$1.hits.
measure() {
    local name="$1" fn="$2" times=()
    "$fn"
    for ((i = 0; i < runs; i++)); do
        local t0 t1
        t0=$(now_ns); "$fn"; t1=$(now_ns)
        times+=($(((t1 - t0) / 1000)))
    done
    LC_ALL=C sort "$work/out" >"$work/$name.hits"
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2; printf "%.1f", m / 1000}'
}

t_fotarik=$(measure fotarik run_fotarik)
result=$(tail -n 1 "$work/err")
t_find=$(measure find run_find)
t_fd="-"
if [ -n "$fd" ]; then t_fd=$(measure fd run_fd); fi
t_window="-"
if [ -n "$window" ]; then
    # The program makes its own warm-up run and takes the median itself.
    QT_QPA_PLATFORM=offscreen "$window" "$tree" --runs "$runs" --hits "$work/out" --no-breakdown \
        >"$work/window.log" 2>"$work/window.err" || { cat "$work/window.err" >&2; exit 1; }
    t_window=$(awk '/^window-median-ms/ {print $2}' "$work/window.log")
    LC_ALL=C sort "$work/out" >"$work/window.hits"
fi

hits=$(wc -l <"$work/fotarik.hits")
same="yes"
cmp -s "$work/fotarik.hits" "$work/find.hits" || same="NO (fotarik vs find differ)"
if [ -n "$fd" ] && ! cmp -s "$work/fotarik.hits" "$work/fd.hits"; then same="NO (fotarik vs fd differ)"; fi
[ "$result" = "$hits" ] || same="NO (result $result, $hits lines)"
if [ -n "$window" ] && ! cmp -s "$work/fotarik.hits" "$work/window.hits"; then same="NO (fotarik vs window differ)"; fi

echo
printf '%-34s %12s %10s\n' "median of $runs runs, warm cache" "ms" "x find"
printf '%-34s %12s %10s\n' "fotarik --find" "$t_fotarik" "$(awk -v a="$t_fotarik" -v b="$t_find" 'BEGIN{printf "%.2f", a/b}')"
printf '%-34s %12s %10s\n' "find -type f -iname" "$t_find" "1.00"
if [ -n "$fd" ]; then
    printf '%-34s %12s %10s\n' "fdfind -u -t f -e jpg -e jpeg" "$t_fd" "$(awk -v a="$t_fd" -v b="$t_find" 'BEGIN{printf "%.2f", a/b}')"
fi
if [ -n "$window" ]; then
    printf '%-34s %12s %10s\n' "search window, click to idle" "$t_window" "$(awk -v a="$t_window" -v b="$t_find" 'BEGIN{printf "%.2f", a/b}')"
    ratio=$(awk -v a="$t_window" -v b="$t_fotarik" 'BEGIN{printf "%.2f", a/b}')
    echo "window / fotarik --find: $ratio (goal <= 1.50)"
    if [ "$breakdown" = 1 ] || awk -v r="$ratio" 'BEGIN{exit !(r > 1.5)}'; then
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
echo
echo "hits: $hits; same set of hits from all: $same"
[ "${same:0:3}" = "yes" ]
