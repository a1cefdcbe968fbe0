#!/usr/bin/env bash
# The NSIS example installer end to end: examples/nsis/product.nsi built with Debian's makensis and
# run silently by Wine in a fresh prefix, with the rig's stand-in as the service (holding the owner
# lock while it runs) and, in this test build only, the rig's launcher in front of the tool. Five
# steps: install; uninstall refused while a repair holds the gate (75); uninstall refused when the
# tool fails (1); uninstall; a reinstall refused over folders that look foreign, then an uninstall
# after the service was already deleted. A failure names its step.
#
# Every check looks at what the installer did (files, the service, the uninstall key), never at
# its status alone: an installer that Wine cannot run at all (a 32-bit one in a prefix without
# Wine's 32-bit part) prints a warning and exits 0.
#
# The uninstaller is run as a caller that needs its status runs it: `uninstall.exe /S _?=INSTDIR`,
# from a batch file, since Wine would quote the `_?=` argument (its path has a space), and NSIS
# then misses it, copies the uninstaller away, starts the copy and exits 0 at once.
#
# Wine reports the Wine user as the owner of every file, so the folders that the installer creates
# would look foreign to the tool. After each install the rig records them as owned by Builtin
# Administrators (S-1-5-32-544), which the installer's descriptor makes their owner on Windows.
# The installer itself reads the same owner of a folder that exists before it runs, so under Wine
# it refuses every such folder, as it refuses on Windows one that an ordinary user created first.
#
#   tests/wine/nsis_installer_test.sh BUILD_DIR     (the windows preset's build directory)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
build=$(realpath "$1")
source "$(dirname "$0")/installer_steps.sh"
begin_work nsis-installer-test
step="building the installer"
bash "$ROOT/examples/nsis/build-installer" -o "$work/orvex-setup.exe" \
    --tool "$bin/orvex-uninstall.exe" --service "$bin/standin_service.exe" \
    --with "$bin/rig_launcher.exe" -D ToolBinary=rig_launcher.exe \
    -D "ToolCommand=\"$bin_windows\\ownership_shim.dll\" \"$bin_windows\\orvex-uninstall.exe\"" \
    -D ServiceArguments=--hold-owner-lock >/dev/null || fail "build-installer failed"

start_wine "$work/prefix"
cd "$work"

data="$WINEPREFIX/drive_c/ProgramData/orvex-service"
service_dir='C:\ProgramData\orvex-service'
instdir='C:\Program Files\Orvex VPN'
product="$WINEPREFIX/drive_c/Program Files/Orvex VPN"
report="$product/orvex-uninstall.log"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvexVPN'
registered() { wine reg query "$uninstall_key" </dev/null >/dev/null 2>&1; }
printf '@"%s\\uninstall.exe" /S _?=%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$instdir" "$instdir" \
    >uninstall.bat
# setup NAME / uninstall NAME: the program's status; its output is kept as NAME.out and NAME.err.
setup() {
    run=$1
    local status=0
    wine "$work/orvex-setup.exe" /S </dev/null >"$run.out" 2>"$run.err" || status=$?
    return "$status"
}
uninstall() {
    run=$1
    local status=0
    wine cmd /c uninstall.bat </dev/null >"$run.out" 2>"$run.err" || status=$?
    return "$status"
}
adopt_installer_folders() {
    rig set-owner "$service_dir" S-1-5-32-544 && rig set-owner "$service_dir\\bin" S-1-5-32-544
}
# only_renamed_uninstaller: the running uninstaller is all that is left, under the temporary name
# that Windows lets it take, or under its own where the rename fails (it does under Wine 8).
only_renamed_uninstaller() {
    local left; left=$(ls -A "$product")
    [[ "$left" =~ ^(uninstall\.exe|ns[[:alnum:]]+\.tmp)$ ]] || fail "left in $instdir: $left"
}
# refused NAME STATUS LINE: an uninstall that exits with STATUS, keeps the tool's LINE (a pattern)
# in its report, and leaves the product installed.
refused() {
    local status=0
    uninstall "$1" || status=$?
    [ "$status" -eq "$2" ] || fail "the uninstaller exited with $status, expected $2"
    grep -q "$3" "$report" || fail "the tool's line is not in the uninstaller's report"
    still_installed
}
# still_installed: the service runs and every part of the product is in place.
still_installed() {
    in_state 4 || fail "service state $(state), expected 4 (running)"
    [ -f "$data/bin/orvex-service.exe" ] || fail "the service executable is missing"
    [ -f "$product/uninstall.exe" ] && [ -f "$product/rig_launcher.exe" ] ||
        fail "the uninstaller or the tool is missing from $instdir"
    registered || fail "the uninstall key is missing"
}

step="1: install"
setup install || fail "the installer exited with $?"
still_installed
wine reg query "$uninstall_key" /v QuietUninstallString </dev/null 2>/dev/null | grep -q '/S _?=' ||
    fail "the registered quiet uninstall does not wait for the uninstaller (_?=)"
adopt_installer_folders || fail "the rig could not record the installed folders"

step="2: uninstall while a repair holds the gate"
coproc HOLDER { wine "$bin/lock_holder.exe" "$service_dir\\bin\\.repair.lock" lock 2>/dev/null; }
holder_pid=$HOLDER_PID
read -r -n 5 ready <&"${HOLDER[0]}" || true
[ "${ready:-}" = ready ] || fail "the lock holder did not take the gate"
refused busy 75 '^Service repair is already in progress'
eval "exec ${HOLDER[1]}>&-"
wait "$holder_pid" || fail "the lock holder failed"

step="3: uninstall when the tool fails"
# bin\ recorded as owned by Users: the tool refuses it, as it refuses a folder that an ordinary
# user created before the first install, before it touches the service.
rig set-owner "$service_dir\\bin" S-1-5-32-545 || fail "the rig could not record the owner"
refused failed 1 '^Error: service install path .* has an unexpected owner'
adopt_installer_folders || fail "the rig could not record the installed folders"

step="4: uninstall"
uninstall uninstall || fail "the uninstaller exited with $?"
in_state 0 || fail "service state $(state), expected 0 (not installed)"
[ ! -e "$data/bin/orvex-service.exe" ] || fail "the service executable is still there"
[ -f "$data/bin/.repair.lock" ] && [ ! -s "$data/bin/.repair.lock" ] ||
    fail "the gate file is not there, empty"
if registered; then fail "the uninstall key is still there"; fi
only_renamed_uninstaller
rm -rf "$product"

step="5: a reinstall over folders that look foreign, then an uninstall after the service was deleted"
# The folders that the uninstall left (bin\ keeps the gate file) read as the Wine user's: the
# installer must refuse them before it puts anything in them.
status=0
setup foreign || status=$?
[ "$status" -eq 1 ] || fail "the installer exited with $status over foreign folders, expected 1"
[ ! -e "$data/bin/orvex-service.exe" ] && [ ! -e "$product/uninstall.exe" ] ||
    fail "the installer put files in place over foreign folders"
# Installed again once they are gone, then the service deleted out of band, as after an
# uninstall that failed once the tool had deleted it.
rm -rf "$data"
setup reinstall || fail "the installer exited with $?"
still_installed
adopt_installer_folders || fail "the rig could not record the installed folders"
wine sc stop orvex_vpn_service </dev/null >/dev/null 2>&1 || fail "sc stop failed"
in_state 1 || true
wine sc delete orvex_vpn_service </dev/null >/dev/null 2>&1 || fail "sc delete failed"
in_state 0 || fail "service state $(state), expected 0 (deleted out of band)"
# The tool, run now, would fail (1060, status 1), so status 0 shows that it did not run.
uninstall retried || fail "the uninstaller exited with $?"
[ ! -e "$data/bin/orvex-service.exe" ] || fail "the service executable is still there"
if registered; then fail "the uninstall key is still there"; fi
only_renamed_uninstaller

echo "NSIS installer test: all five steps passed"
