#!/usr/bin/env bash
# Installs the Debian 12 packages the station needs (only those missing) and builds it.
# Usage: scripts/setup.sh [build-folder]   (default: build)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-private-dev libgl-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libturbojpeg0-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
    imagemagick xvfb xauth xdotool openbox
    libxkbcommon-x11-0 libxcb-cursor0 libxcb-icccm4 libxcb-image0 libxcb-keysyms1
    libxcb-randr0 libxcb-render-util0 libxcb-shape0 libxcb-xinerama0 libxcb-xkb1
    fonts-dejavu-core qt6-wayland
    sway cage wtype grim xwayland jq sudo
    lintian desktop-file-utils dpkg-dev openbox x11-utils file
    strace sshfs fuse3 openssh-server openssh-client
    libsystemd-dev locales v4l-utils libc-l10n
    libaravis-dev libusb-1.0-0-dev aravis-tools aravis-tools-cli gstreamer1.0-plugins-bad
    libexiv2-dev libssl-dev exiv2
)

bash "$here/scripts/install-missing.sh" "${packages[@]}"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${STATION_CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"
