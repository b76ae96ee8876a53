#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks what an installation would get:
# lintian finds no error or warning, the dependency fields name real Debian packages (with the
# Qt ABI the programs were built against), the file list holds every program with its manual
# page, the desktop entries, the icon, copyright and changelog, and the unpacked programs find
# every library they link.
# With --install it then installs the package with apt-get, starts every installed program
# under Xvfb until its first window shows, and removes the package and what it pulled in again.
# That needs root (or password-less sudo); a machine that already has the package installed is
# left alone unless STATION_INSTALL_CHECK=force. Exit status 77: the install check was skipped.
set -euo pipefail

usage="usage: check_package.sh BUILD-FOLDER [--install]"
build="$(cd "${1:?$usage}" && pwd)"
install_check="${2:-}"
package=sample-image-station
work="$(mktemp -d)"
cleanups=()
cleanup() {
    local step
    for step in "${cleanups[@]}"; do
        eval "$step" || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    exit 1
}
deb="$(ls "$work"/*.deb)"
echo "package: $(basename "$deb")"

# --- the package as a file ----------------------------------------------------------------------

# A real or a virtual package (one that another package provides).
is_debian_package() {
    apt-cache show "$1" >/dev/null 2>&1 || dpkg-query -W "$1" >/dev/null 2>&1 \
        || apt-cache showpkg "$1" 2>/dev/null | sed -n '/^Reverse Provides:/,$p' | sed 1d | grep -q .
}

static_checks() {
    local status=0

    echo "== lintian"
    if ! lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1; then
        echo "lintian reports errors or warnings:"
        status=1
    fi
    grep -v '^running with root privileges' "$work/lintian.log" || echo "(nothing to report)"

    local field depends name
    for field in Depends Recommends Suggests; do
        depends="$(dpkg-deb -f "$deb" "$field")"
        echo "$field: $depends"
        IFS=',|' read -ra entries <<<"$depends"
        for entry in "${entries[@]}"; do
            name="$(echo "$entry" | sed 's/(.*)//; s/[[:space:]]//g')"
            if ! is_debian_package "$name"; then
                echo "not a Debian package: $name"
                status=1
            fi
        done
    done
    # The programs use Qt's private API: only the Qt release they were built against will do.
    local abi
    abi="$(dpkg-query -W -f='${Provides}' libqt6core6 | grep -o 'qt6-base-abi (= [^)]*)')"
    if ! dpkg-deb -f "$deb" Depends | grep -qF "$abi"; then
        echo "Depends lacks $abi"
        status=1
    fi

    local contents
    contents="$(dpkg-deb -c "$deb" | awk '{print $NF}')"
    local wanted=(
        ./usr/bin/sample-image-station
        ./usr/bin/station-folder-picker
        ./usr/bin/sample-image-station-launcher
        ./usr/share/applications/sample-image-station.desktop
        ./usr/share/applications/station-folder-picker.desktop
        ./usr/share/wayland-sessions/sample-image-station-kiosk.desktop
        ./usr/share/icons/hicolor/scalable/apps/sample-image-station.svg
        ./usr/share/doc/$package/README.md
        ./usr/share/doc/$package/copyright
        ./usr/share/doc/$package/changelog.gz
    )
    local program
    for program in $(grep '^\./usr/bin/.' <<<"$contents"); do
        wanted+=("./usr/share/man/man1/$(basename "$program").1.gz")
    done
    for file in "${wanted[@]}"; do
        if ! grep -qx "$file" <<<"$contents"; then
            echo "missing from the package: $file"
            status=1
        fi
    done

    dpkg-deb -x "$deb" "$work/root"
    for program in "$work"/root/usr/bin/*; do
        if file -b "$program" | grep -q ELF && ldd "$program" | grep -q "not found"; then
            echo "unresolved libraries in $program:"
            ldd "$program" | grep "not found"
            status=1
        fi
    done
    local entry command
    for entry in "$work"/root/usr/share/applications/*.desktop \
        "$work"/root/usr/share/wayland-sessions/*.desktop; do
        desktop-file-validate "$entry" || status=1
        command="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
        if [[ ! -x "$work/root/usr/bin/$command" ]]; then
            echo "$(basename "$entry") starts $command, which is not in the package"
            status=1
        fi
    done
    return $status
}

# --- the package installed ----------------------------------------------------------------------

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    as_root=(sudo -n)
fi
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get -y -q -o DPkg::Lock::Timeout=600 "$@"
}

# Waits until PID shows a mapped window; prints its title.
first_window_of() {
    local pid=$1 deadline=$((SECONDS + 90)) window
    while ((SECONDS < deadline)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            return 1
        fi
        window="$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -1)" || true
        if [[ -n "$window" ]]; then
            xdotool getwindowname "$window"
            return 0
        fi
        sleep 0.5
    done
    return 1
}

install_checks() {
    if [[ ${#as_root[@]} -gt 0 ]] && ! sudo -n true 2>/dev/null; then
        echo "install check skipped: installing needs root or password-less sudo"
        return 77
    fi
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        && [[ "${STATION_INSTALL_CHECK:-}" != force ]]; then
        echo "install check skipped: $package is installed on this machine and stays as it is" \
            "(STATION_INSTALL_CHECK=force replaces it)"
        return 77
    fi

    # What the installation adds besides the package ("Inst NAME [OLD]" would be an upgrade of
    # something already there), so that removing it restores the machine.
    local added
    added="$(apt_get install -s --no-install-recommends "$deb" | awk '/^Inst / && $3 !~ /^\[/ {print $2}' \
        | grep -vx "$package" || true)"
    echo "== apt-get install $(basename "$deb")${added:+ (pulls in: $(echo $added))}"
    cleanups+=("echo '== removing $package'; apt_get purge $package $(echo $added) >/dev/null")
    apt_get install --no-install-recommends "$deb" >"$work/apt.log" 2>&1 || {
        cat "$work/apt.log"
        return 1
    }

    local status=0 entry command
    for entry in $(dpkg -L "$package" | grep '^/usr/share/applications/.*\.desktop$'); do
        desktop-file-validate "$entry" || status=1
        command="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
        if ! command -v "$command" >/dev/null; then
            echo "$entry: $command is not on the PATH"
            status=1
        fi
    done

    # One X server for all programs, two simulated cameras, a fresh home for each program.
    mkdir -p "$work/config/HPortal" "$work/runtime"
    chmod 700 "$work/runtime"
    printf '%s\n' \
        "camera0=videotestsrc pattern=ball is-live=true ! video/x-raw,width=640,height=480,framerate=15/1" \
        "camera1=videotestsrc pattern=smpte is-live=true ! video/x-raw,width=640,height=480,framerate=15/1" \
        >"$work/config/HPortal/PortalCam.conf"
    # shellcheck source=xvfb.sh
    source "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"
    if ! start_xvfb "$work/xvfb.log"; then
        echo "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
        return 1
    fi
    cleanups+=("kill $xvfb_pid")

    local program name pid title
    for program in $(dpkg -L "$package" | grep '^/usr/bin/.'); do
        name="$(basename "$program")"
        # The kiosk is a session of its own, not a program on this X server (and its compositor
        # refuses root): scripts/check_desktops.sh runs it.
        [[ "$name" == sample-image-station-kiosk ]] && continue
        # The records verifier has no window: it must check an empty save folder.
        if [[ "$name" == station-records ]]; then
            mkdir -p "$work/empty-save-folder"
            if ! "$program" verify "$work/empty-save-folder" >"$work/$name.log" 2>&1; then
                echo "$name: verify of an empty folder failed:"
                cat "$work/$name.log"
                status=1
            fi
            continue
        fi
        mkdir -p "$work/home-$name"
        # In a network namespace of its own: the camera set-up program looks for GenICam cameras
        # at start, and that discovery must reach no network but this one's loopback. The X
        # server is reached through its socket file.
        local isolate=()
        if unshare -n true 2>/dev/null; then
            isolate=(unshare -n)
        fi
        (cd "$work/home-$name" && HOME="$work/home-$name" XDG_CONFIG_HOME="$work/config" \
            XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb exec "${isolate[@]}" "$program" \
            >"$work/$name.log" 2>&1) &
        pid=$!
        if title="$(first_window_of "$pid")"; then
            echo "$name: first window \"$title\""
        else
            echo "$name: no window within 90 s; its output:"
            cat "$work/$name.log"
            status=1
        fi
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    return $status
}

status=0
static_checks || status=1
if [[ "$install_check" == --install ]]; then
    install_checks || status=$?
fi
if [[ $status -eq 0 ]]; then
    echo "package checks passed"
fi
exit $status
