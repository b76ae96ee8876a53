#!/usr/bin/env bash
# Runs a test program with glibc's and GStreamer's messages in another language, so that nothing
# that only works with English texts passes unnoticed.
# Usage: run_in_locale.sh LOCALE LANGUAGE PROGRAM [ARGUMENT...]   (e.g. de_DE.UTF-8 de ...)
# A locale the system lacks is generated: as root into the system's archive (as the locales
# package does), otherwise into a folder of its own that LOCPATH names.
set -euo pipefail

locale=$1
language=$2
shift 2

# "de_DE.UTF-8" is listed by `locale -a` as "de_DE.utf8".
normalised() { tr '[:upper:]' '[:lower:]' <<<"$1" | tr -d -- '-'; }
installed() { locale -a 2>/dev/null | while read -r name; do normalised "$name"; done |
    grep -qxF "$(normalised "$locale")"; }

if ! installed; then
    command -v localedef >/dev/null || { echo "localedef is missing (package locales)" >&2; exit 1; }
    if ((EUID == 0)); then
        localedef -i "${locale%%.*}" -f "${locale#*.}" "$locale"
    else
        export LOCPATH="${TMPDIR:-/tmp}/station-locales-$EUID"
        mkdir -p "$LOCPATH"
        [ -d "$LOCPATH/$locale" ] || localedef -i "${locale%%.*}" -f "${locale#*.}" "$LOCPATH/$locale"
    fi
fi
# A locale that cannot be set would leave every message English and the run proving nothing.
if [ -n "$(LC_ALL=$locale locale 2>&1 >/dev/null)" ]; then
    echo "the locale $locale cannot be set" >&2
    exit 1
fi

export LANG=$locale LC_ALL=$locale LANGUAGE=$language
exec "$@"
