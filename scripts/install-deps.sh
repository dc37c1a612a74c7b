#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Fotarik need.
# Does nothing when every package is present already.
set -euo pipefail

BUILD_PKGS=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev
    qt6-image-formats-plugins qt6-translations-l10n qt6-svg-dev qt6-l10n-tools
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-libav libwmf-dev libwmf-bin fonts-urw-base35 libemf2svg-dev
    fonts-dejavu-core fonts-liberation2 libjpeg-turbo-progs libpng-dev libjpeg-dev ccache clang-format
    libheif-dev libjxl-dev liblcms2-dev libfuse3-dev libseccomp-dev)
TEST_PKGS=(xvfb xauth xdotool imagemagick matchbox-window-manager sox ffmpeg
    pulseaudio findutils fd-find libvips-tools time desktop-file-utils appstream dpkg-dev file groff-base dbus
    xdg-utils libglib2.0-bin shared-mime-info lintian x11-utils
    libheif-examples libavif-bin libjxl-tools fuse3 python3)

want=("${BUILD_PKGS[@]}")
if [ "${1:-}" = "--test" ]; then
    want+=("${TEST_PKGS[@]}")
fi

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
