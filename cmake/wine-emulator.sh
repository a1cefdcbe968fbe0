#!/bin/sh
# How CTest runs the cross-built test programs: under Wine, in the prefix that the caller exported,
# or else in the build tree's own prefix, so that listing or running the tests never creates
# ~/.wine (about 700 MB) and a wineserver there.
if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX="$(dirname "$0")/wineprefix"
    export WINEPREFIX
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
