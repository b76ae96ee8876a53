#!/usr/bin/env bash
# The station's diagnostics reach the systemd journal with their fields, and standard error when
# the session has no journal. Starts a journald of its own when the machine runs none (as root).
# Usage: check_journal.sh PROBE
set -euo pipefail
probe="$1"
socket=/run/systemd/journal/socket
started=""
cleanup() {
    if [[ -n "$started" ]]; then
        kill "$started" 2>/dev/null || true
        wait "$started" 2>/dev/null || true
        rm -f /run/systemd/journal/socket /run/systemd/journal/stdout /run/systemd/journal/dev-log
    fi
}
trap cleanup EXIT

# A socket left by a journald that has ended answers nobody.
if ! { [[ -S "$socket" ]] && echo probe | systemd-cat -t check-journal 2>/dev/null; }; then
    if [[ $(id -u) != 0 || ! -x /lib/systemd/systemd-journald ]]; then
        echo "SKIP: no journal here and none can be started"
        exit 77
    fi
    mkdir -p /run/systemd/journal
    /lib/systemd/systemd-journald &
    started=$!
    # Ready once it has taken a message in.
    ready="ready-$$"
    for _ in $(seq 50); do
        if [[ -S "$socket" ]] && echo "$ready" | systemd-cat -t check-journal 2>/dev/null &&
            journalctl -t check-journal --no-pager 2>/dev/null | grep -qF "$ready"; then
            break
        fi
        sleep 0.1
    done
fi

tag="probe-$$-$RANDOM"
"$probe" "save folder unreachable $tag" "1234 5678"
found=""
for _ in $(seq 50); do
    found="$(journalctl -t sample-image-station -o json --no-pager 2>/dev/null | grep -F "$tag" || true)"
    [[ -n "$found" ]] && break
    sleep 0.1
done
if [[ -z "$found" ]]; then
    echo "FAIL: the event did not reach the journal"
    exit 1
fi
check() {
    local field="$1" expected="$2" value
    value="$(jq -r ".$field // \"(absent)\"" <<<"$found")"
    if [[ "$value" != "$expected" ]]; then
        echo "FAIL: $field is '$value', expected '$expected'"
        exit 1
    fi
}
check SAMPLE "1234 5678"
check PRIORITY 4
check STATION_CATEGORY station.capture
check FOLDER "(absent)"

# Without a journal socket the same event goes to standard error, fields included.
if command -v unshare >/dev/null && [[ $(id -u) == 0 ]]; then
    err="$(unshare -m bash -c "mount -t tmpfs none /run/systemd/journal && \"$probe\" 'no journal $tag' 42" 2>&1)"
    if [[ "$err" != *"station.capture: no journal $tag (SAMPLE=42)"* ]]; then
        echo "FAIL: standard error got: $err"
        exit 1
    fi
fi
echo "journal and standard error: fields as sent"
