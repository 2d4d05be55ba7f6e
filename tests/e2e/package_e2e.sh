#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh prefix, as an administrator deploys
# it: a silent install with the install-root property, the service's registry key, the
# running service and server, an upgrade to a higher version, and a silent uninstall.
#
#   package_e2e.sh <package.msi> <version> <next package.msi> <next version> <HalcyraServer.exe> <halcyra-probe.exe>
#
# The install root has a space in its name, so that an unquoted service path would show.
#
# Where Wine's Windows Installer differs from Windows, the script says so instead of
# failing (lines starting with "wine gap:"):
# - it writes ImagePath without quotation marks;
# - it reports Windows Installer 4.5 and does nothing in MsiConfigureServices, so the
#   pre-shutdown time-out stays at the 180000 ms that Wine writes into every service key;
# - it reports Windows Installer 4.5, so the package's launch condition on 5.0 refuses it;
#   the script proves that refusal and then installs copies without that one condition. The
#   access lists of MsiLockPermissionsEx are 5.0 too, and Wine builds a file's access list
#   from its Unix mode bits anyway, so the locking is proven in the package's tables;
# - its sc.exe accepts "sc failure" but stores nothing, and knows no "failureflag" (exit
#   code 1): the recovery options are proven in the package's tables and in the verbose
#   logs, which show the two sc.exe actions run at the install and at the upgrade, and the
#   install succeed although "failureflag" fails, since the actions' exit codes are ignored;
# - it runs every program as the prefix's one user, and its icacls changes no access list
#   (and it has no takeown.exe): the re-locking of what a user put into the install root and
#   %ProgramData%\Halcyra before the install is proven in the package's tables and in the
#   verbose logs, which show its actions run at the install and at the upgrade, with such a
#   folder holding a user's file, and not at the uninstall;
# - its StopServices does not wait for the service process to end. Before the upgrade the
#   script therefore stops the service itself (otherwise the new executable cannot replace
#   the running one), and at uninstall the executable may be left behind.
set -uo pipefail

if [[ $# -ne 6 ]]; then
  echo "usage: $0 <package.msi> <version> <next package.msi> <next version> <HalcyraServer.exe> <halcyra-probe.exe>" >&2
  exit 2
fi
package=$1
version=$2
next_package=$3
next_version=$4
server_exe=$5
probe_exe=$6
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# A fresh prefix of its own, so that no earlier installation is registered.
if [[ -z "${HALCYRA_E2E_WINEPREFIX:-}" ]]; then
  if [[ $(id -u) -eq 0 ]]; then
    HALCYRA_E2E_WINEPREFIX=${HALCYRA_CACHE:-/var/cache/halcyra}/wineprefix-e2e
  else
    HALCYRA_E2E_WINEPREFIX=${XDG_CACHE_HOME:-$HOME/.cache}/halcyra/wineprefix-e2e
  fi
fi
export HALCYRA_WINEPREFIX=${HALCYRA_E2E_WINEPREFIX%/}-package
export HALCYRA_WINE_LOGS=${HALCYRA_WINEPREFIX}-logs
rm -rf "$HALCYRA_WINEPREFIX"
# shellcheck source=tools/wine-env.sh
. "$repo/tools/wine-env.sh"
halcyra_wine_up || exit 1
# The product needs Windows 10 / Server 2016; a new Wine prefix says Windows 7.
wine winecfg /v win10 >"$HALCYRA_WINE_LOGS/winecfg.log" 2>&1 || exit 1

win_root='C:\Program Files\Halcyra Test'
root="$WINEPREFIX/drive_c/Program Files/Halcyra Test"
win_service="$win_root"'\bin\HalcyraService.exe'
service_file=$root/bin/HalcyraService.exe
config=$root/resources/updater/config.json
win_probe='C:\halcyra-tools\halcyra-probe.exe'
service_key='HKLM\System\CurrentControlSet\Services\HalcyraService'
event_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\HalcyraService'

work=$(mktemp -d "${TMPDIR:-/tmp}/halcyra-package-e2e.XXXXXX") || exit 1
failures=0

# ---- helpers ---------------------------------------------------------------------------

# shellcheck source=tests/e2e/e2e_helpers.sh
. "$repo/tests/e2e/e2e_helpers.sh"
gap() { echo "wine gap: $*"; }

service_gone() { ! w sc query HalcyraService >/dev/null; }
server_pid() { [[ -f "$root/HalcyraServer.pid" ]] && tr -dc '0-9' <"$root/HalcyraServer.pid"; }
server_started_after() { local pid; pid=$(server_pid) && [[ -n "$pid" && "$pid" != "$1" ]] && alive "$pid"; }
# One value of a registry key: "<type> <data>".
reg_value() {
  w reg query "$1" /v "$2" | sed -nE "s/^ +$2 +(REG_[A-Z_]+) +(.*)$/\1 \2/p"
}
# Runs msiexec with the arguments and waits for it (it is a GUI program, so "wine" alone
# returns at once); prints its full exit code.
msiexec_code() {
  w "$win_probe" run 'C:\windows\system32\msiexec.exe' "$@" | sed -nE 's/^exit code ([0-9]+)$/\1/p'
}
# ran <install|upgrade|uninstall> <action>: the verbose log of that msiexec run shows the action.
ran() { grep -qE "^Action start [0-9:]+: $2\." "$WINEPREFIX/drive_c/packages/$1.log"; }
installed_version() { w "$win_probe" version "$win_service"; }
# Deployment tools count 0 and 3010 (success, restart needed) as success.
succeeded() { [[ "$1" == 0 || "$1" == 3010 ]]; }

# A passed run leaves nothing behind; a failed one keeps the prefix for a look inside.
cleanup() {
  halcyra_wine_down
  rm -rf "$work"
  ((failures == 0)) && rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# ---- the machine: the server from its own installer, the packages, the probe -------------

# The install root and the download folder exist before the install, each holding a user's file.
data=$WINEPREFIX/drive_c/ProgramData/Halcyra
mkdir -p "$root" "$data/Download" "$WINEPREFIX/drive_c/halcyra-tools" "$WINEPREFIX/drive_c/packages" || exit 1
printf 'planted\r\n' >"$root/planted.txt" && printf 'planted\r\n' >"$data/Download/planted.dll" || exit 1
cp "$server_exe" "$root/HalcyraServer.exe" &&
  printf 'on-ctrl-c=exit\n' >"$root/HalcyraServer.behaviour" &&
  cp "$probe_exe" "$WINEPREFIX/drive_c/halcyra-tools/halcyra-probe.exe" &&
  cp "$package" "$WINEPREFIX/drive_c/packages/HalcyraService.msi" &&
  cp "$next_package" "$WINEPREFIX/drive_c/packages/HalcyraService-next.msi" || exit 1

check "the package configures a 60 s pre-shutdown time-out" \
  grep -qP '^HalcyraServicePreshutdown\tHalcyraService\t5\t7\t60000\t' <(msiinfo export "$package" MsiServiceConfig)
# The recovery options: two deferred, not impersonated sc.exe actions right after
# InstallServices, whenever the service's component is installed (install and upgrade,
# never uninstall); MsiServiceConfigFailureActions, documented as not working, is not used.
actions=$(msiinfo export "$package" CustomAction | tr -d '\r')
sequence=$(msiinfo export "$package" InstallExecuteSequence | tr -d '\r')
sequence_of() { sed -nE "s/^$1\t[^\t]*\t([0-9]+)\$/\1/p" <<<"$sequence"; }
previous=$(sequence_of InstallServices)
for row in 'HalcyraRecoveryActions failure HalcyraService reset= 86400 actions= restart/60000/restart/60000/restart/300000' \
  'HalcyraRecoveryFlag failureflag HalcyraService 1'; do
  action=${row%% *} command=${row#* }
  check "$action: deferred, as LocalSystem, exit code ignored (3170), runs \"[System64Folder]sc.exe\" $command" \
    grep -qxF "$action"$'\t3170\tINSTALLROOT\t"[System64Folder]sc.exe" '"$command"$'\t' <<<"$actions"
  check "$action: when the service's component is installed, after the previous step, before StartServices" \
    test -n "$(grep -xP "$action\t\\\$ServiceExecutable=3\t\d+" <<<"$sequence")" \
    -a "$(sequence_of "$action")" -gt "$previous" -a "$(sequence_of "$action")" -lt "$(sequence_of StartServices)"
  previous=$(sequence_of "$action")
done
check "no MsiServiceConfigFailureActions table, no failure-actions flag row (sc.exe sets both)" \
  test -z "$(msiinfo tables "$package" | grep -x MsiServiceConfigFailureActions)" \
  -a -z "$(msiinfo export "$package" MsiServiceConfig | grep -P '^\w+\tHalcyraService\t\d+\t4\t')"
check "MsiConfigureServices applies the time-out" grep -q '^MsiConfigureServices' <(msiinfo export "$package" InstallExecuteSequence)
conditions=$(msiinfo export "$package" LaunchCondition | tr -d '\r')
check "launch condition: Windows Installer 5.0" grep -qxP 'Installed OR VersionMsi >= "5.00"\t.*' <<<"$conditions"
check "launch condition: 64-bit Windows build 10240 or later" \
  grep -qxP 'Installed OR \(VersionNT64 AND HALCYRA_WINDOWS_BUILD >= 10240\)\t.*' <<<"$conditions"
check "the build number comes from the 64-bit registry's CurrentBuildNumber (raw, 64-bit: type 18)" \
  grep -qP '^\w+\t2\tSOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\tCurrentBuildNumber\t18\r?$' \
  <(msiinfo export "$package" RegLocator)
locks=$(msiinfo export "$package" MsiLockPermissionsEx | tr -d '\r')
echo "$locks"
# lock <folder id>: the SDDL of its row, with no condition.
lock() { sed -nE "s/^\w+\t$1\tCreateFolder\t([^\t]+)\t\$/\1/p" <<<"$locks"; }
admins_only='O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)'
folders=(INSTALLROOT BinFolder ResourcesFolder UpdaterFolder DataFolder DownloadFolder)
for folder in "${folders[@]}"; do
  check "$folder: owned by the Administrators, protected, SYSTEM and the Administrators only" \
    test "$(lock "$folder")" = "$admins_only"
done
check "no lock names Users, Authenticated Users, Everyone or INTERACTIVE" \
  test -z "$(grep -oE ';(BU|AU|WD|IU|S-1-5-32-545|S-1-5-11|S-1-1-0|S-1-5-4)\)' <<<"$locks")"
# Re-locking what is already inside the install root and %ProgramData%\Halcyra: the owner
# forced to the Administrators, every access list below replaced by the inherited one.
previous=$(sequence_of InstallFiles)
for row in 'HalcyraRelockRootOwner InstallRootFolder takeown.exe" /F "[INSTALLROOT]*" /A /R /D Y' \
  'HalcyraRelockRootEntries InstallRootFolder icacls.exe" "[INSTALLROOT]*" /reset /T /C /L /Q' \
  'HalcyraRelockDataOwner DataFolderComponent takeown.exe" /F "[DataFolder]*" /A /R /D Y' \
  'HalcyraRelockDataEntries DataFolderComponent icacls.exe" "[DataFolder]*" /reset /T /C /L /Q'; do
  read -r action component command <<<"$row"
  check "$action: deferred, as LocalSystem, runs \"[System64Folder]$command" \
    grep -qxF "$action"$'\t3170\tINSTALLROOT\t"[System64Folder]'"$command"$'\t' <<<"$actions"
  check "$action: when $component is installed, after InstallFiles and the previous step" \
    test -n "$(grep -xP "$action\t\\\$$component=3\t\d+" <<<"$sequence")" \
    -a "$(sequence_of "$action")" -gt "$previous" -a "$(sequence_of "$action")" -lt "$(sequence_of InstallFinalize)"
  previous=$(sequence_of "$action")
done
check "every locked folder is created by the package" \
  test "$(msiinfo export "$package" CreateFolder | cut -f1 | grep -cxE "$(IFS='|'; echo "${folders[*]}")")" = ${#folders[@]}

# Wine's msiexec is 4.5: the package as built must be refused, a copy without the 5.0
# condition installs.
code=$(msiexec_code /i 'C:\packages\HalcyraService.msi' /qn "INSTALLROOT=$win_root")
check "Windows Installer 4.5 is refused (1603)" test "$code" = 1603
check "and installs nothing" test ! -e "$service_file"
gap "the install goes on with copies of the packages without the Windows Installer 5.0 launch condition"
for msi in HalcyraService HalcyraService-next; do
  msibuild "$WINEPREFIX/drive_c/packages/$msi.msi" \
    -q "DELETE FROM LaunchCondition WHERE Condition = 'Installed OR VersionMsi >= \"5.00\"'" || exit 1
done

# ---- install -----------------------------------------------------------------------------

code=$(msiexec_code /i 'C:\packages\HalcyraService.msi' /qn /l*v 'C:\packages\install.log' "INSTALLROOT=$win_root")
echo "msiexec /i exit code: $code"
check "the silent install succeeds" succeeded "$code"

check "Start is automatic (2)" test "$(reg_value "$service_key" Start)" = "REG_DWORD 0x2"
check "Type is own process (0x10)" test "$(reg_value "$service_key" Type)" = "REG_DWORD 0x10"
check "ObjectName is LocalSystem" test "$(reg_value "$service_key" ObjectName)" = "REG_SZ LocalSystem"
check "the service has a description" grep -q '^REG_SZ Keeps HalcyraServer.exe running' <<<"$(reg_value "$service_key" Description)"
image_path=$(reg_value "$service_key" ImagePath)
echo "ImagePath: $image_path"
if [[ "$image_path" == "REG_EXPAND_SZ \"$win_service\"" || "$image_path" == "REG_SZ \"$win_service\"" ]]; then
  echo "ok: ImagePath is the quoted path of bin\\HalcyraService.exe"
else
  check "ImagePath names bin\\HalcyraService.exe below the install root" grep -qF "$win_service" <<<"$image_path"
  gap "ImagePath is written without quotation marks (Windows Installer quotes it on Windows)"
fi
preshutdown=$(reg_value "$service_key" PreshutdownTimeout)
echo "PreshutdownTimeout: $preshutdown"
if [[ "$preshutdown" == "REG_DWORD 0xea60" ]]; then
  echo "ok: the pre-shutdown time-out is 60000 ms"
else
  gap "PreshutdownTimeout is Wine's own $preshutdown: Wine's Windows Installer is version 4.5 and does not run MsiConfigureServices"
fi
message_file=$(reg_value "$event_key" EventMessageFile)
echo "EventMessageFile: $message_file"
check "the event source reads messages from the service executable" \
  test "$message_file" = "REG_EXPAND_SZ $win_service"
check "the event source supports error, warning and information events" \
  test "$(reg_value "$event_key" TypesSupported)" = "REG_DWORD 0x7"
if msiinfo export "$package" File | grep -q HalcyraUpdateCheck.exe; then
  check "the diagnostic program is installed beside the service" test -f "$root/bin/HalcyraUpdateCheck.exe"
fi
check "the download folder %ProgramData%\\Halcyra\\Download is there" test -d "$data/Download"
check "the users' files in the folders that existed are left in place (re-locked, not removed)" \
  test -f "$root/planted.txt" -a -f "$data/Download/planted.dll"
failure_actions=$(reg_value "$service_key" FailureActions)
if [[ -n "$failure_actions" ]]; then
  echo "ok: FailureActions is set: $failure_actions"
else
  gap "no FailureActions: Wine's sc failure stores nothing"
fi
check "the installed executable carries version $version.0 of Halcyra" \
  test "$(installed_version)" = "file $version.0 product $version.0 company Halcyra"

check "the service runs" wait_until 15 is_state 4
check "the server runs" wait_until 15 server_started_after none
first_server=$(server_pid)
check "in the install root" wait_until 5 log_has "sample server: working folder $win_root"
first_service=$(service_pid)
echo "service process $first_service, server process $first_server"

# ---- upgrade -----------------------------------------------------------------------------

mkdir -p "$(dirname "$config")"
printf '{ "enableUpdate": false, "server": "http://updates.example", "versionFile": "version.json" }\r\n' >"$config"
cp "$config" "$work/config.json"

mark_key='HKLM\SOFTWARE\Halcyra\HalcyraService\ManifestVersions'
w reg add "$mark_key" /v mark /d 2.0.0.0 /f >/dev/null
gap "StopServices does not wait for the service to end; the service is stopped before the upgrade"
w net stop HalcyraService >/dev/null
wait_until 30 dead "$first_service"
code=$(msiexec_code /i 'C:\packages\HalcyraService-next.msi' /qn /l*v 'C:\packages\upgrade.log')
echo "msiexec /i (upgrade, no INSTALLROOT given) exit code: $code"
check "the silent upgrade succeeds" succeeded "$code"
check "the service runs again" wait_until 15 is_state 4
second_service=$(service_pid)
echo "service process $second_service"
check "in a new process" test -n "$second_service" -a "$second_service" != "$first_service"
check "started from the new executable, version $next_version.0, in the remembered install root" \
  test "$(installed_version)" = "file $next_version.0 product $next_version.0 company Halcyra"
check "the server runs again" wait_until 15 server_started_after "$first_server"
check "config.json is kept as it was" cmp -s "$config" "$work/config.json"
# Windows runs the old product's removal within an upgrade with UPGRADINGPRODUCTCODE set, which
# keeps the mark; Wine's nested removal runs the action that deletes it.
if [[ -n "$(reg_value "$mark_key" mark)" ]]; then
  echo "ok: the version mark is kept"
else
  gap "the version mark went with the upgrade: Wine's nested removal of the old product has no UPGRADINGPRODUCTCODE"
  w reg add "$mark_key" /v mark /d 2.0.0.0 /f >/dev/null
fi

# ---- trust boundary: HalcyraUpdateCheck.exe names what others can write -------------------
# Wine shows a Unix o+w as an Everyone entry with write access and o+r as one with read; the
# prefix's user owns every file and is an administrator, so the owner raises nothing.
if [[ -f "$root/bin/HalcyraUpdateCheck.exe" ]]; then
  trust() { w "$win_root\\bin\\HalcyraUpdateCheck.exe" --json | tail -1 | grep -oP '"trustBoundary":\K.*(?=\}$)'; }
  chmod 600 "$config"
  boundary=$(trust)
  echo "trust boundary of the installed layout: $boundary"
  check "the installed layout, config.json readable by its owner only, is closed" test "$boundary" = "[]"
  chmod o+w "$root" && chmod o+r "$config"
  boundary=$(trust)
  echo "trust boundary with o+w on the root and o+r on config.json: $boundary"
  root_json=${win_root//\\/\\\\}
  check "the install root is writable by Everyone" \
    grep -qF "{\"path\":\"$root_json\",\"writableBy\":[\"Everyone\"],\"readableBy\":[],\"error\":null}" <<<"$boundary"
  check "config.json is readable by Everyone" \
    grep -qF "{\"path\":\"$root_json\\\\resources\\\\updater\\\\config.json\",\"writableBy\":[],\"readableBy\":[\"Everyone\"],\"error\":null}" <<<"$boundary"
  check "and nothing else is open" test "$(grep -o '"path"' <<<"$boundary" | wc -l)" = 2
  chmod o-w "$root"
fi

# ---- uninstall ---------------------------------------------------------------------------

second_server=$(server_pid)
code=$(msiexec_code /x 'C:\packages\HalcyraService-next.msi' /qn /l*v 'C:\packages\uninstall.log')
echo "msiexec /x exit code: $code"
check "the silent uninstall succeeds" succeeded "$code"
check "the server was stopped with a Ctrl-C" wait_until 30 log_has "sample server: Ctrl-C received ($second_server)"
check "the service process ends" wait_until 30 dead "$second_service"
check "the service is deleted" wait_until 10 service_gone
check "the event source is removed" test -z "$(reg_value "$event_key" EventMessageFile)"
check "config.json is kept as it was" cmp -s "$config" "$work/config.json"
check "the server is left to its own installer" test -f "$root/HalcyraServer.exe"
if [[ -e "$service_file" ]]; then
  gap "bin\\HalcyraService.exe was left behind: StopServices returned before the service process ended"
else
  echo "ok: bin\\HalcyraService.exe is removed"
fi
check "nothing else of the package is left in bin" \
  test -z "$(find "$root/bin" -mindepth 1 ! -name HalcyraService.exe 2>/dev/null)"
check "the version mark is removed" test -z "$(reg_value "$mark_key" mark)"
# What the deployment guide says an uninstall leaves, as far as this machine has it.
empty_key() {
  local out
  out=$(w reg query "$1" /s) && ! grep -vxF -e '' -e "HKEY_LOCAL_MACHINE${1#HKLM}" <<<"$out" | grep -q .
}
check "an empty key HKLM\\SOFTWARE\\Halcyra is left, as after a version mark" empty_key 'HKLM\SOFTWARE\Halcyra'
check "the download folder is left with the user's file in it" test -f "$data/Download/planted.dll"
for run in install upgrade; do
  echo "---- $run.log: the re-locking actions"
  grep -aE '^Action ended .*HalcyraRelock' "$WINEPREFIX/drive_c/packages/$run.log" | tr -d '\r'
done
for action in HalcyraRecoveryActions HalcyraRecoveryFlag HalcyraRelockRootOwner HalcyraRelockRootEntries \
  HalcyraRelockDataOwner HalcyraRelockDataEntries; do
  check "$action ran at the install and at the upgrade, not at the uninstall" \
    eval "ran install $action && ran upgrade $action && ! ran uninstall $action"
done

if ((failures > 0)); then
  echo "---- HalcyraService.log"
  log=$(log_file) && tr -d '\r' <"$log"
  echo "package: $failures check(s) failed"
  exit 1
fi
echo "package: passed"
