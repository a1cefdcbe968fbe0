#!/usr/bin/env bash
# The product's installer end to end: examples/wix/product.wxs built with wixl and run by Wine's
# msiexec in a fresh prefix, with the rig's stand-in as the service (holding the owner lock while
# it runs, as the product's service does) and, in this test build only, the rig's launcher in
# front of the tool. Five steps: install; uninstall refused while a repair holds the gate;
# uninstall; stale-owner maintenance during a repair; an uninstall retried after the service was
# already deleted. A failure names its step.
#
# Wine reports the Wine user as the owner of every file, so the folders that the engine creates
# would look foreign to the tool. After each install the rig records them as owned by Builtin
# Administrators (S-1-5-32-544), which is what Windows reports for folders created by an installer
# running as LocalSystem.
#
#   tests/wine/installer_test.sh BUILD_DIR     (the windows preset's build directory)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
build=$(realpath "$1")
source "$(dirname "$0")/installer_steps.sh"
begin_work installer-test
step="building the package"
bash "$ROOT/examples/wix/build-msi" -o "$work/product.msi" --tool "$bin/orvex-uninstall.exe" \
    --service "$bin/standin_service.exe" --with "$bin/rig_launcher.exe" \
    -D ToolBinary=rig_launcher.exe \
    -D "ToolCommand=\"$bin_windows\\ownership_shim.dll\" \"$bin_windows\\orvex-uninstall.exe\" " \
    -D ServiceArguments=--hold-owner-lock >/dev/null || fail "build-msi failed"
# Both service folders are locked with the descriptor that the tool itself applies to them. Wine's
# msiexec applies neither permissions table and Wine keeps no DACL, so this checks what the package
# asks of Windows Installer, not its effect.
sddl=$(sed -n 's/.*INSTALL_DIR_SDDL = "\(.*\)";$/\1/p' "$ROOT/src/state_dir/private_directory.hpp")
locks=$(msiinfo export "$work/product.msi" MsiLockPermissionsEx | tr -d '\r')
for folder in ServiceDir BinDir; do
    grep -qF "	$folder	CreateFolder	$sddl	" <<<"$locks" ||
        fail "the package does not lock $folder with $sddl"
done
if msiinfo tables "$work/product.msi" | grep -qx LockPermissions; then
    fail "the package has both permissions tables, which Windows Installer 5 refuses"
fi
product_code=$(msiinfo export "$work/product.msi" Property | tr -d '\r' |
    awk '$1 == "ProductCode" { print $2 }')

start_wine "$work/prefix"
cd "$work" # msiexec takes the package by a relative name (a Unix path would read as an option)

data="$WINEPREFIX/drive_c/ProgramData/orvex-service"
service_dir='C:\ProgramData\orvex-service'
# The engine's record of the installed product: its key under UserData\S-1-5-18\Products, named
# by the product code as Windows Installer writes GUIDs in keys (the digits of each of the first
# three groups reversed, then the two digits of each following byte swapped).
reversed() { local r="" i; for ((i = ${#1} - 1; i >= 0; i--)); do r+=${1:i:1}; done; echo "$r"; }
g=${product_code//[\{\}-]/}
product_key="$(reversed "${g:0:8}")$(reversed "${g:8:4}")$(reversed "${g:12:4}")"
product_key+=$(sed 's/\(.\)\(.\)/\2\1/g' <<<"${g:16}")
products='HKLM\Software\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products'
installed() { wine reg query "$products\\$product_key" </dev/null >/dev/null 2>&1; }
# msiexec NAME ARGS...: its status. Its log and its standard error (where Wine leaves the standard
# error of an executable custom action) are kept as NAME.log and NAME.err.
msiexec() {
    run=$1
    shift
    local status=0
    wine msiexec "$@" /qn /l*v "$run.log" </dev/null >"$run.out" 2>"$run.err" || status=$?
    return "$status"
}
adopt_engine_folders() {
    rig set-owner "$service_dir" S-1-5-32-544 && rig set-owner "$service_dir\\bin" S-1-5-32-544
}

step="1: install"
msiexec install /i product.msi || fail "msiexec /i exited with $?"
adopt_engine_folders || fail "the rig could not record the installed folders"
installed || fail "the product is not registered"
in_state 4 || fail "service state $(state), expected 4 (running)"
[ -f "$data/bin/orvex-service.exe" ] || fail "the service executable is missing"

step="2: uninstall while a repair holds the gate"
coproc HOLDER { wine "$bin/lock_holder.exe" "$service_dir\\bin\\.repair.lock" lock 2>/dev/null; }
holder_pid=$HOLDER_PID
read -r -n 5 ready <&"${HOLDER[0]}" || true
[ "${ready:-}" = ready ] || fail "the lock holder did not take the gate"
status=0
msiexec refused /x product.msi || status=$?
# Windows Installer ends a failed uninstall with 1603; Wine's msiexec with 1627, which reaches a
# Unix parent cut to 8 bits: 91.
[ "$status" -eq 91 ] || fail "msiexec /x exited with $status, expected 91 (1627, Wine's failure)"
grep -q '^Service repair is already in progress' "$run.err" ||
    fail "the tool's line is not on the installer's standard error"
grep -q 'Action ended .*: OrvexUninstall\. Return value 0\.' "$run.log" ||
    fail "the installer's log does not show the custom action failing"
# The rollback keeps the product installed. (Wine's rollback also undoes actions that the aborted
# script never reached, the product's registration and publication among them: its Add/Remove
# Programs entry goes, which Windows Installer keeps. The engine's record of the installed product
# and of its component stays, and so does everything on disk and in the Service Control Manager.)
installed || fail "the engine no longer records the product as installed"
in_state 4 || fail "service state $(state), expected 4 (running)"
[ -f "$data/bin/orvex-service.exe" ] || fail "the service executable is gone"
eval "exec ${HOLDER[1]}>&-"
wait "$holder_pid" || fail "the lock holder failed"

step="3: uninstall"
msiexec uninstall /x product.msi || fail "msiexec /x exited with $?"
grep -q '^Service uninstalled successfully' "$run.out" ||
    fail "the tool's success line is missing"
if installed; then fail "the engine still records the product as installed"; fi
in_state 0 || fail "service state $(state), expected 0 (not installed)"
[ ! -e "$data/bin/orvex-service.exe" ] || fail "the service executable is still there"
[ -f "$data/bin/.repair.lock" ] && [ ! -s "$data/bin/.repair.lock" ] ||
    fail "the gate file is not there, empty"

step="4: stale-owner maintenance during a repair"
rig seed-demo >/dev/null || fail "seeding owners failed" # two stale owners, one live (LocalSystem)
users=$(ls "$data/users")
msiexec reinstall /i product.msi || fail "msiexec /i exited with $?"
adopt_engine_folders || fail "the rig could not record the installed folders"
in_state 4 || fail "service state $(state) before the repair, expected 4 (running)"
holder=0
wine "$bin/lock_holder.exe" "$service_dir\\runtime\\orvex-service.owner.lock" lock </dev/null \
    >/dev/null 2>&1 || holder=$?
[ "$holder" -eq 4 ] || fail "the running service does not hold the owner lock"
# A repair as REINSTALL=ALL on the package: Wine's msiexec /f hands the package's path over where a
# product code belongs (1605), and does not take a product code at all.
msiexec repair /i product.msi REINSTALL=ALL REINSTALLMODE=omus || fail "the repair exited with $?"
grep -q '^Removed 2 stale owner state directories' "$run.out" ||
    fail "the maintenance line is missing"
left=$(ls "$data/users")
[ "$(wc -w <<<"$left")" -eq 1 ] && [ -f "$data/users/$left/state/settings.dat" ] ||
    fail "users before: $users; after: $left; expected the live owner only"
[ ! -e "$data/active-owner.json" ] || fail "the active record of a stale owner is still there"
in_state 4 || fail "service state $(state) after the repair, expected 4 (running)"

step="5: uninstall retried after the service was deleted"
# As after an uninstall that failed once the tool had deleted the service: the service is gone,
# the product and its files are still installed. The tool would only fail again (1060), so the
# package does not run it, and the engine removes the files.
wine sc stop orvex_vpn_service </dev/null >/dev/null 2>&1 || fail "sc stop failed"
in_state 1 || true
wine sc delete orvex_vpn_service </dev/null >/dev/null 2>&1 || fail "sc delete failed"
in_state 0 || fail "service state $(state), expected 0 (deleted out of band)"
[ -f "$data/bin/orvex-service.exe" ] || fail "the service executable is missing before the retry"
msiexec retried /x product.msi || fail "msiexec /x exited with $?"
# (Step 3's log shows the line that this one must not.)
grep -q 'Action start .*: OrvexUninstall\.' uninstall.log &&
    ! grep -q 'Action start .*: OrvexUninstall\.' "$run.log" ||
    fail "the tool ran although the service was gone"
if installed; then fail "the engine still records the product as installed"; fi
[ ! -e "$data/bin/orvex-service.exe" ] || fail "the service executable is still there"

echo "installer test: all five steps passed"
