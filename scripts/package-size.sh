#!/usr/bin/env bash
# What installing the package brings into a minimal Debian system (the packages of priority
# "required", as debootstrap's minbase variant installs them): the number of packages and
# their installed size, without recommends, with the package's own recommends, and with
# apt's default (recommends of recommends too). apt only simulates, against an empty package
# status, from this machine's package lists (run `apt-get update` first); nothing is
# downloaded or installed.
#
#   scripts/package-size.sh build/fotarik_0.1.0-1_amd64.deb
set -euo pipefail

deb=$(realpath "${1:?usage: $0 PACKAGE.deb}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/status"
apt_sim=(apt-get -s -o "Dir::State::status=$work/status" -o Debug::NoLocking=1 install)

apt-cache dumpavail | awk '/^Package:/ { p = $2 } /^Priority: required/ { print p }' | sort -u >"$work/required"
mapfile -t required <"$work/required"

installs() { "${apt_sim[@]}" "$@" | awk '/^Inst / { print $2 }' | sort -u; }
report() {
    local label=$1 list=$2
    local count size
    count=$(comm -13 "$work/base" "$list" | wc -l)
    size=$(comm -13 "$work/base" "$list" | grep -vx fotarik | xargs -r apt-cache show --no-all-versions |
        awk '/^Installed-Size:/ { s += $2 } END { printf "%.0f", s / 1024 }')
    own=$(dpkg-deb --field "$deb" Installed-Size)
    printf '%-34s %4d packages  %5d MB\n' "$label" "$count" $((size + own / 1024))
}

installs --no-install-recommends "${required[@]}" >"$work/base"
installs --no-install-recommends "${required[@]}" "$deb" >"$work/norec"
read -r -a recommends <<<"$(dpkg-deb --field "$deb" Recommends | tr -d ',')"
installs --no-install-recommends "${required[@]}" "$deb" "${recommends[@]}" >"$work/ownrec"
installs "${required[@]}" "$deb" >"$work/rec"

echo "Into a minimal Debian system ($(wc -l <"$work/base") required packages):"
report "--no-install-recommends" "$work/norec"
report "with its recommends" "$work/ownrec"
report "apt's default (recommends' too)" "$work/rec"
