#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks what an installation would get:
# the dependency fields name real Debian packages, the file list holds the programs, the desktop
# entries and the icon, and the unpacked programs find every library they link.
set -euo pipefail

build="$(cd "${1:?usage: check_package.sh BUILD-FOLDER}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    exit 1
}
deb="$(ls "$work"/*.deb)"
echo "package: $(basename "$deb")"

status=0
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
IFS=',' read -ra entries <<<"$depends"
for entry in "${entries[@]}"; do
    name="$(echo "$entry" | sed 's/(.*)//; s/[[:space:]]//g')"
    if ! apt-cache show "$name" >/dev/null 2>&1 && ! dpkg-query -W "$name" >/dev/null 2>&1; then
        echo "not a Debian package: $name"
        status=1
    fi
done

contents="$(dpkg-deb -c "$deb" | awk '{print $NF}')"
for wanted in \
    ./usr/bin/sample-image-station \
    ./usr/bin/station-folder-picker \
    ./usr/bin/sample-image-station-launcher \
    ./usr/share/applications/sample-image-station.desktop \
    ./usr/share/applications/station-folder-picker.desktop \
    ./usr/share/icons/hicolor/scalable/apps/sample-image-station.svg \
    ./usr/share/doc/sample-image-station/README.md; do
    if ! grep -qx "$wanted" <<<"$contents"; then
        echo "missing from the package: $wanted"
        status=1
    fi
done

dpkg-deb -x "$deb" "$work/root"
for program in "$work/root/usr/bin/sample-image-station" "$work/root/usr/bin/station-folder-picker"; do
    if [[ -x "$program" ]] && ldd "$program" | grep -q "not found"; then
        echo "unresolved libraries in $program:"
        ldd "$program" | grep "not found"
        status=1
    fi
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$work/root/usr/share/applications/"*.desktop || status=1
fi

if [[ $status -eq 0 ]]; then
    echo "package checks passed"
fi
exit $status
