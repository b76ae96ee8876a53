#!/bin/bash
# The userspace UVC camera as the V4L2 tools see it: formats, controls, 30 streamed frames, and
# v4l2-compliance, which may fail only the tests listed in KNOWN_FAILURES (see docs/cameras.md).
# Usage: check_fake_uvc.sh LIBFAKE_UVC.SO
set -u
preload=$1
command -v v4l2-compliance >/dev/null || { echo "v4l2-compliance is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LD_PRELOAD=$preload FAKE_UVC_DEVICES=/dev/video0=mjpeg+yuyv,/dev/video2=yuyv
unset GST_V4L2_USE_LIBV4L2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

formats=$(v4l2-ctl -d /dev/video0 --list-formats-ext 2>&1)
grep -q "'MJPG'" <<<"$formats" && grep -q "'YUYV'" <<<"$formats" || fail "formats: $formats"
# Uncompressed full HD only at 5 frames a second, as on USB 2.0.
awk '/YUYV/{y=1} y&&/1920x1080/{s=1;next} s&&/Interval/{print; s=0}' <<<"$formats" |
    grep -q "5.000 fps" || fail "YUYV 1080p rates: $formats"

controls=$(v4l2-ctl -d /dev/video0 --list-ctrls-menus 2>&1)
for name in auto_exposure exposure_time_absolute exposure_dynamic_framerate \
            white_balance_automatic white_balance_temperature gain brightness \
            focus_automatic_continuous focus_absolute power_line_frequency; do
    grep -q "^ *$name 0x" <<<"$controls" || fail "control $name missing"
done
grep -q "3: Aperture Priority Mode" <<<"$controls" || fail "auto_exposure menu: $controls"
grep -q "exposure_time_absolute.*flags=inactive" <<<"$controls" || fail "exposure not inactive"

v4l2-ctl -d /dev/video0 --set-fmt-video=width=1920,height=1080,pixelformat=MJPG \
    --stream-mmap --stream-count=30 --stream-to="$work/frames" >/dev/null 2>&1 ||
    fail "v4l2-ctl --stream-mmap failed"
# 30 JPEG frames, each starting with its start-of-image marker.
frames=$(LC_ALL=C grep -obUaP '\xff\xd8\xff' "$work/frames" | wc -l)
[ "$frames" -eq 30 ] || fail "streamed $frames JPEG frames, not 30"

KNOWN_FAILURES='VIDIOC_G/S_CTRL|VIDIOC_G/S/TRY_EXT_CTRLS|VIDIOC_\(UN\)SUBSCRIBE_EVENT/DQEVENT'
for node in /dev/video0 /dev/video2; do
    v4l2-compliance -d "$node" -s >"$work/compliance" 2>&1
    unexpected=$(grep -E '^\s*test .*: FAIL' "$work/compliance" | grep -Ev "test ($KNOWN_FAILURES): FAIL")
    [ -z "$unexpected" ] || fail "$node: $unexpected"
    grep -q 'test MMAP (select): OK' "$work/compliance" || fail "$node: no MMAP streaming"
    grep -E '^Total' "$work/compliance"
done
exit $failed
