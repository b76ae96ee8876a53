#!/usr/bin/env bash
# Sets everything up, then starts the station in demo/ with two simulated cameras and ImageMagick
# as the compressor. The pictures land in demo/images/. Without a display, one sample is run
# through the station under Xvfb instead, and demo/screenshot.png shows the result.
#   --fake-cameras  two userspace UVC cameras (/dev/video0, /dev/video2) through the real v4l2src;
#                   faults on demand: echo "unplug /dev/video0" >> demo/fake-cameras.cmd
#   --setup         the camera set-up program instead of the station
set -euo pipefail

fake_cameras=0 program=sample-image-station
for argument in "$@"; do
    case "$argument" in
        --fake-cameras) fake_cameras=1 ;;
        --setup) program=station-camera-setup ;;
        *) echo "usage: demo.sh [--fake-cameras] [--setup]" >&2; exit 2 ;;
    esac
done

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
if [[ "$fake_cameras" == 1 ]]; then
    cat > "$demo/xdg/HPortal/PortalCam.conf" <<'CONF'
# Two userspace UVC cameras (tests/fakes/fake_uvc_*.cpp) as MJPEG USB cameras would be configured.
camera0=v4l2src device=/dev/video0 ! image/jpeg,width=1920,height=1080,framerate=30/1 ! jpegdec
camera1=v4l2src device=/dev/video2 ! image/jpeg,width=1920,height=1080,framerate=30/1 ! jpegdec
CONF
    : > "$demo/fake-cameras.cmd"
    export LD_PRELOAD="$here/build/tests/libfake_uvc.so"
    export FAKE_UVC_DEVICES=/dev/video0=mjpeg+yuyv,/dev/video2=mjpeg+yuyv
    export FAKE_UVC_CONTROL="$demo/fake-cameras.cmd"
    unset GST_V4L2_USE_LIBV4L2
else
    cat > "$demo/xdg/HPortal/PortalCam.conf" <<'CONF'
# Simulated cameras for the demo. Replace with v4l2src lines for real USB cameras.
camera0=videotestsrc pattern=ball is-live=true ! video/x-raw,width=1280,height=720,framerate=30/1
camera1=videotestsrc pattern=smpte is-live=true ! video/x-raw,width=1280,height=720,framerate=30/1
CONF
fi

cd "$demo"
export XDG_CONFIG_HOME="$demo/xdg"
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    exec "$here/build/app/$program"
fi
if [[ "$program" != sample-image-station ]]; then
    echo "the set-up program needs a display" >&2
    exit 1
fi
exec bash "$here/scripts/demo-headless.sh" "$here/build/app/$program" "$demo"
