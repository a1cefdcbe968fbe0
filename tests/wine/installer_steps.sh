# Shared by the installer tests (installer_test.sh, nsis_installer_test.sh). Source it after
# scripts/lib.sh with `build` set to the windows preset's build directory.
#
#   begin_work NAME   a fresh work directory $build/NAME, the server of its old prefix stopped
#   fail TEXT         names the step, shows the last lines of the current run's files
#                     ($work/$run.*) and of $report if set, and exits 1
#   rig ARGS...       the rig's tool; state: the service's state; in_state N: whether the service
#                     reaches state N within 5 s (one just started or stopped may be pending)

bin="$build/bin"
# The rig's launcher and shim in front of the tool, as Windows paths.
bin_windows="Z:${bin//\//\\}"

begin_work() {
    work="$build/$1"
    [ -d "$work/prefix" ] && WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
    mkdir -p "$work"
    run=none
    trap 'fail "$BASH_COMMAND failed"' ERR
}

fail() {
    echo "FAILED in step \"$step\": $*" >&2
    local f
    for f in "$work/$run".* ${report:+"$report"}; do
        [ -s "$f" ] && { echo "-- $f (last lines)"; tail -n 25 "$f"; } >&2
    done
    exit 1
}

rig() { wine "$bin/rig_tool.exe" "$@" </dev/null; }
state() { rig state | tr -d '\r' | sed 's/^service state: //'; }
in_state() {
    local _
    for _ in $(seq 50); do [ "$(state)" = "$1" ] && return 0; sleep 0.1; done
    return 1
}
