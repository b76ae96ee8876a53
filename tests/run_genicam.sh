#!/bin/bash
# Runs a GenICam suite where Aravis's simulated GigE Vision camera can be its camera: in a network
# namespace of its own, where only its loopback exists (discovery broadcasts reach nothing else),
# and without CAP_NET_RAW, whose packet socket never sees loopback traffic.
# Usage: run_genicam.sh SUITE [ARGS...]; exit status 77 (skipped) without aravis-tools.
set -u
if ! command -v arv-fake-gv-camera-0.8 >/dev/null; then
    echo "SKIP: aravis-tools is not installed (arv-fake-gv-camera-0.8): sudo apt-get install aravis-tools"
    exit 77
fi
if [ -z "${GENICAM_NETNS:-}" ]; then
    if unshare -n true 2>/dev/null; then
        exec unshare -n env GENICAM_NETNS=1 bash "$0" "$@"
    fi
    echo "SKIP: a network namespace of the test's own needs root (unshare -n)"
    exit 77
fi
ip link set lo up
exec setpriv --inh-caps=-all --bounding-set=-net_raw "$@"
