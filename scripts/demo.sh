#!/usr/bin/env bash
# Sets everything up, then starts the station in demo/ with two simulated cameras and ImageMagick
# as the compressor. The pictures land in demo/images/. Without a display, one sample is run
# through the station under Xvfb instead, and demo/screenshot.png shows the result.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" "$here/build"

demo="$here/demo"
mkdir -p "$demo/images" "$demo/xdg/HPortal"

if [[ ! -f "$demo/settings.txt" ]]; then
    printf '%s\r\n' \
        "COMPRESS_EXE;/usr/bin/convert;ImageMagick makes the JPEG copies" \
        "COMPRESS_COMMAND_LINE_OPTIONS;-quality 85;JPEG quality" \
        "FILE_EXT_COMPRESSED;JPG;File extension of the file after compression" \
        "FILE_EXT_SAVED;BMP;File extension of the saved image file" \
        "IMAGE_SAVE_DIR;$demo/images/;Directory where the files are saved" \
        > "$demo/settings.txt"
fi

# Camera 0 is the bottom view, camera 1 the colour view; two different test pictures.
cat > "$demo/xdg/HPortal/PortalCam.conf" <<'CONF'
# Simulated cameras for the demo. Replace with v4l2src lines for real USB cameras.
camera0=videotestsrc pattern=ball is-live=true ! video/x-raw,width=1280,height=720,framerate=30/1
camera1=videotestsrc pattern=smpte is-live=true ! video/x-raw,width=1280,height=720,framerate=30/1
CONF

cd "$demo"
export XDG_CONFIG_HOME="$demo/xdg"
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    exec "$here/build/app/sample-image-station"
fi
exec bash "$here/scripts/demo-headless.sh" "$here/build/app/sample-image-station" "$demo"
