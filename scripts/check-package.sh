#!/usr/bin/env bash
# Run on demand (not by CI): builds the Debian package, installs it with dpkg -i and runs
# the installed program's terminal modes.
#   scripts/check-package.sh           build, package, install, run; the package stays
#   scripts/check-package.sh --remove  the same, then removes the package again
# Needs root (or sudo) for dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."

remove=no
[ "${1:-}" = "--remove" ] && remove=yes
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

./scripts/install-deps.sh --test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOTARIK_SANITIZE=OFF >/dev/null
cmake --build build --parallel "$(nproc)"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack -G DEB --config "$OLDPWD/build/CPackConfig.cmake" -B "$out" >/dev/null)
deb=$(ls "$out"/fotarik_*_"$(dpkg --print-architecture)".deb)
echo "== $(basename "$deb")"
dpkg-deb --info "$deb"

echo "== dpkg -i"
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO dpkg -i "$deb"; then
    # Dependencies that are not installed yet: let apt bring them and finish the install.
    $SUDO apt-get install -y -q --no-install-recommends -f
fi
dpkg-query -W -f='${Package} ${Version} ${Status}\n' fotarik
echo "== installed files"
dpkg -L fotarik

echo "== fotarik --version"
/usr/bin/fotarik --version

echo "== fotarik --find"
tree=$(mktemp -d)
mkdir -p "$tree/Urlaub 2024"
printf 'x' >"$tree/Urlaub 2024/Strand.JPG"
printf 'x' >"$tree/b.jpeg"
printf 'x' >"$tree/notiz.txt"
found=$(/usr/bin/fotarik --find "$tree" 2>"$tree.count")
echo "$found"
echo "count: $(cat "$tree.count")"
expected=$(printf '%s\n' "$tree/Urlaub 2024/Strand.JPG" "$tree/b.jpeg" | sort)
[ "$(echo "$found" | sort)" = "$expected" ] || { echo "unexpected hits" >&2; exit 1; }
rm -rf "$tree" "$tree.count"

man -w fotarik >/dev/null && echo "== man page found: $(man -w fotarik)"

if [ "$remove" = yes ]; then
    $SUDO dpkg -r fotarik
fi
echo "== package check passed"
