#!/usr/bin/env bash
# Installs and removes the user-mode parts of the package under 64-bit Wine
# through package/vm_usbaudio_apps.inf, as a user does on Windows:
#   rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 <inf>
# then checks the installed files, the ASIO driver found through HKLM
# "SOFTWARE\ASIO" by tests/wine/asio_wine_host.exe, "ControlPanel" and the
# applet's "Cpls" value (32-bit view); then DefaultUninstall and checks that
# none of it is left. One line per check; the first failure ends the script
# with a non-zero status and the reason.
#
# Where Wine's setupapi does not do what Windows does, a probe INF run first
# shows it, and the check states the gap instead of failing; once Wine does
# it, the same check holds the INF to the Windows behaviour.
#
#   scripts/run-wine-install-test.sh [build-dir]     (default build/mingw)
#
# The package folder: build/package when scripts/package.sh made it, else
# the same layout assembled from the build; the INF is always the current
# package/vm_usbaudio_apps.inf (or the one APPS_INF names). Called at the end of
# scripts/run-wine-tests.sh with its prefix (WINEPREFIX, a running
# `wineserver -p`) and its loader in WINE; run alone, it makes a fresh
# prefix of its own (~15 s more).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/mingw}"
started=$SECONDS
fail() { echo "wine-install: FAIL: $*" >&2; exit 1; }
ok() { echo "wine-install: ok: $* [$((SECONDS - started)) s]"; }
gap() { echo "wine-install: WINE GAP: $*"; }

wine="${WINE:-}"
if [ -z "$wine" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
  done
fi
[ -n "$wine" ] && [ -x "$wine" ] || fail "64-bit Wine not found (scripts/install-deps.sh installs wine64)"
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"

host="$build/tests/wine/asio_wine_host.exe"
[ -f "$host" ] || fail "$host was not built (scripts/build-windows.sh)"

work="$(mktemp -d /tmp/usbaudio-install.XXXXXX)"
own_prefix=""
cleanup() {
  if [ -n "$own_prefix" ]; then "$wineserver" -k 2>/dev/null || true; rm -rf "$own_prefix"; fi
  rm -rf "$work"
}
trap cleanup EXIT
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix="$(mktemp -d /tmp/usbaudio-wine.XXXXXX)"
  export WINEPREFIX="$own_prefix"
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  "$wineserver" -p || fail "wineserver -p returned $?"
  timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot -i could not create the prefix $WINEPREFIX"
  ok "fresh 64-bit prefix $WINEPREFIX"
fi
[ -d "$WINEPREFIX/drive_c/windows" ] || fail "WINEPREFIX=$WINEPREFIX is not a Wine prefix"

run() { timeout 60 "$wine" "$@" 2>&1 | tr -d '\r'; }

# ---- The package folder, copied into the prefix (a short Windows path) ----
pkg_files="vm_usbaudio_apps.inf amd64/vm_usbaudio_asio.dll amd64/vm_usbaudio_cpl.exe x86/vm_usbaudio.cpl"
pkg="$WINEPREFIX/drive_c/usbaudio-package"
rm -rf "$pkg"
mkdir -p "$pkg/amd64" "$pkg/x86"
complete=1
for f in $pkg_files; do [ -f "build/package/$f" ] || complete=0; done
inf_src="${APPS_INF:-package/vm_usbaudio_apps.inf}"
if [ "$complete" = 1 ]; then
  for f in $pkg_files; do cp "build/package/$f" "$pkg/$f"; done
  if ! cmp -s "$inf_src" build/package/vm_usbaudio_apps.inf; then
    cp "$inf_src" "$pkg/vm_usbaudio_apps.inf"
    ok "package folder: build/package, with $inf_src (build/package's copy differs; scripts/package.sh refreshes it)"
  else
    ok "package folder: build/package"
  fi
else
  cp "$inf_src" "$pkg/vm_usbaudio_apps.inf"
  for f in "$build/asio/vm_usbaudio_asio.dll" "$build/panel/vm_usbaudio_cpl.exe"; do
    [ -f "$f" ] || fail "$f was not built (scripts/build-windows.sh)"
    cp "$f" "$pkg/amd64/"
  done
  applet32="build/mingw-i686/applet/vm_usbaudio.cpl"
  [ -f "$applet32" ] || fail "$applet32 was not built (scripts/build-windows.sh)"
  cp "$applet32" "$pkg/x86/"
  ok "package folder assembled from $build and build/mingw-i686 (no complete build/package)"
fi
inf_win='C:\usbaudio-package\vm_usbaudio_apps.inf'

# ---- Registry helpers (64-bit process: /reg:64 is the native view) --------
key_exists() { run reg query "$1" "$2" >/dev/null 2>&1; }  # key view
# The data of one REG_SZ value; fails when the key or the value is missing.
reg_value() {  # key name view
  local out
  out=$(run reg query "$1" /v "$2" "$3") || return 1
  printf '%s\n' "$out" | N="$2" awk '
    index($0, "    " ENVIRON["N"] "    REG_") == 1 {
      rest = substr($0, length(ENVIRON["N"]) + 9); m = index(rest, "    ")
      print substr(rest, m + 4); found = 1; exit
    }
    END { exit !found }'
}
expect_value() {  # key name view expected what
  local got
  got=$(reg_value "$1" "$2" "$3") || fail "$5: $1 has no value $2 ($3)"
  [ "$got" = "$4" ] || fail "$5: $1 $2 is \"$got\", expected \"$4\""
  ok "$5"
}
install_section() {  # section inf-windows-path
  local status=0
  run rundll32 setupapi.dll,InstallHinfSection "$1" 128 "$2" || status=$?
  [ "$status" -ne 124 ] || fail "InstallHinfSection $1 did not finish within 60 s"
  [ "$status" -eq 0 ] || fail "rundll32 setupapi.dll,InstallHinfSection $1 returned $status"
}

# ---- What Wine's setupapi does with the flags Windows honours -------------
# A probe INF writes and removes a value with FLG_ADDREG_32BITKEY /
# FLG_DELREG_32BITKEY (0x4000) in a scratch key.
probe_key='HKEY_LOCAL_MACHINE\SOFTWARE\VelmoraSetupProbe'
cat >"$WINEPREFIX/drive_c/usbaudio-package/probe.inf" <<'EOF'
[Version]
Signature = "$Windows NT$"
[DefaultInstall]
AddReg = Probe.AddReg
[Remove]
DelReg = Probe.DelReg
[Probe.AddReg]
HKLM, "SOFTWARE\VelmoraSetupProbe", v, 0x00004000, "x"
[Probe.DelReg]
HKLM, "SOFTWARE\VelmoraSetupProbe", v, 0x00004000
EOF
probe_inf='C:\usbaudio-package\probe.inf'
install_section DefaultInstall "$probe_inf" >/dev/null
wine_ignores_32bitkey=0
if reg_value "$probe_key" v /reg:32 >/dev/null; then probe_view=/reg:32
elif reg_value "$probe_key" v /reg:64 >/dev/null; then probe_view=/reg:64; wine_ignores_32bitkey=1
else fail "the probe INF's AddReg wrote nothing in either registry view"
fi
install_section Remove "$probe_inf" >/dev/null
wine_skips_delreg_flags=0
reg_value "$probe_key" v "$probe_view" >/dev/null && wine_skips_delreg_flags=1
run reg delete "$probe_key" /f /reg:32 >/dev/null 2>&1 || true
run reg delete "$probe_key" /f /reg:64 >/dev/null 2>&1 || true
rm -f "$WINEPREFIX/drive_c/usbaudio-package/probe.inf"
[ "$wine_ignores_32bitkey" = 0 ] || gap "setupapi ignores FLG_ADDREG_32BITKEY (0x4000) in AddReg: the probe's value went to the 64-bit view"
[ "$wine_skips_delreg_flags" = 0 ] || gap "setupapi skips a DelReg line whose flags lack 0x8000 (FLG_ADDREG_DELREG_BIT), so FLG_DELREG_32BITKEY lines delete nothing"

# ---- Install -------------------------------------------------------------
asio_key='HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\Velmora ASIO Device'
clsid='{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}'
class_key="HKEY_CLASSES_ROOT\\CLSID\\$clsid"
setup_key='HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Velmora ASIO Device Setup'
cpls_key='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Control Panel\Cpls'
prog_dir="$WINEPREFIX/drive_c/Program Files/Velmora"
prog_win='C:\Program Files\Velmora'
sys32_dir="$WINEPREFIX/drive_c/windows/syswow64"   # DIRID 16425 under 64-bit Wine
sys32_win='C:\windows\syswow64'
panel_win="$prog_win\\vm_usbaudio_cpl.exe"
installed="$prog_dir/vm_usbaudio_asio.dll $prog_dir/vm_usbaudio_cpl.exe $sys32_dir/vm_usbaudio.cpl"

# Earlier tests in a shared prefix write "ControlPanel" themselves.
run reg delete "$setup_key" /f /reg:64 >/dev/null 2>&1 || true
key_exists "$asio_key" /reg:64 && fail "the prefix already has $asio_key before the install"
key_exists "$setup_key" /reg:64 && fail "the prefix already has $setup_key before the install"

install_section DefaultInstall "$inf_win" >"$work/install.log"
ok "rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 $inf_win"

for f in amd64/vm_usbaudio_asio.dll amd64/vm_usbaudio_cpl.exe; do
  cmp -s "$pkg/$f" "$prog_dir/${f#amd64/}" || fail "$prog_win\\${f#amd64/} is missing or differs from the package's $f"
done
ok "the ASIO driver and the control panel are in $prog_win (DIRID 16422,Velmora)"
cmp -s "$pkg/x86/vm_usbaudio.cpl" "$sys32_dir/vm_usbaudio.cpl" \
  || fail "$sys32_win\\vm_usbaudio.cpl is missing or differs (DIRID 16425; found: $(cd "$WINEPREFIX/drive_c" && find . -iname vm_usbaudio.cpl | tr '\n' ' '))"
ok "the 32-bit applet is in $sys32_win (where Wine maps DIRID 16425)"

expect_value "$asio_key" CLSID /reg:64 "$clsid" "RegisterDlls registered the driver: HKLM SOFTWARE\\ASIO's CLSID"
expect_value "$asio_key" Description /reg:64 "Velmora ASIO Device" "HKLM SOFTWARE\\ASIO's Description"
dll_lower=$(printf '%s' "$prog_win\\vm_usbaudio_asio.dll" | tr '[:upper:]' '[:lower:]')
host_dir="$WINEPREFIX/drive_c/usbaudio-install-host"
mkdir -p "$host_dir"
cp "$host" "$host_dir/asio_wine_host.exe"
host_status=0
run 'C:\usbaudio-install-host\asio_wine_host.exe' "$dll_lower" >"$work/host.log" || host_status=$?
if [ "$host_status" -ne 0 ]; then
  sed 's/^/  host: /' "$work/host.log"
  [ "$host_status" -ne 124 ] || fail "the test host did not finish within 60 s"
  fail "the test host could not find or create the installed driver through the registry (exit status $host_status; its FAIL lines are above)"
fi
ok "the test host found the installed driver through HKLM SOFTWARE\\ASIO and created it ($(grep -c '^ok:' "$work/host.log") checks)"

expect_value "$setup_key" ControlPanel /reg:64 "$panel_win" "\"ControlPanel\" is $panel_win"
[ "${#panel_win}" -le 127 ] || fail "\"ControlPanel\" has ${#panel_win} characters; the applet reads at most 127"
[ -f "$prog_dir/vm_usbaudio_cpl.exe" ] || fail "\"ControlPanel\" names $panel_win, which does not exist"
ok "\"ControlPanel\" (${#panel_win} characters) names an installed file"

cpl_win="$sys32_win\\vm_usbaudio.cpl"
cpl_view=/reg:32
if [ "$wine_ignores_32bitkey" = 0 ]; then
  expect_value "$cpls_key" vm_usbaudio /reg:32 "$cpl_win" "the applet is registered in the 32-bit view of Control Panel\\Cpls"
else
  # Wine writes it to the 64-bit view; the INF's own line carries the flag.
  grep -Eiq '^HKLM, *%CplsKey%, *vm_usbaudio, *0x0*4000, *"%16425%\\vm_usbaudio\.cpl"' "$pkg/vm_usbaudio_apps.inf" \
    || fail "the INF's Cpls AddReg line does not carry FLG_ADDREG_32BITKEY (0x4000)"
  cpl_view=/reg:64
  expect_value "$cpls_key" vm_usbaudio /reg:64 "$cpl_win" \
    "the applet's Cpls value is $cpl_win; its line has FLG_ADDREG_32BITKEY, which Wine ignores (64-bit view)"
fi

# ---- Uninstall -----------------------------------------------------------
WINEDEBUG="${WINEDEBUG:--all},warn+setupapi" install_section DefaultUninstall "$inf_win" >"$work/uninstall.log"
ok "rundll32 setupapi.dll,InstallHinfSection DefaultUninstall 128 $inf_win"
if grep -q 'do_register_dll could not load' "$work/uninstall.log"; then
  gap "setupapi deletes the DelFiles files before it runs UnregisterDlls, so DllUnregisterServer could not run; the INF's DelReg removes its keys"
fi

for f in $installed; do
  [ ! -e "$f" ] || fail "DefaultUninstall left ${f#"$WINEPREFIX"/}"
done
ok "DefaultUninstall removed the DLL, the program and the applet"
key_exists "$asio_key" /reg:64 && fail "DefaultUninstall left $asio_key"
ok "DefaultUninstall removed $asio_key"
key_exists "$class_key" /reg:64 && fail "DefaultUninstall left $class_key"
ok "DefaultUninstall removed $class_key"
key_exists "$setup_key" /reg:64 && fail "DefaultUninstall left $setup_key (\"ControlPanel\")"
ok "DefaultUninstall removed \"ControlPanel\" and its key"
other_view=/reg:64; [ "$cpl_view" = /reg:32 ] || other_view=/reg:32
reg_value "$cpls_key" vm_usbaudio "$other_view" >/dev/null && fail "DefaultUninstall left a Cpls value vm_usbaudio ($other_view)"
if reg_value "$cpls_key" vm_usbaudio "$cpl_view" >/dev/null; then
  [ "$wine_skips_delreg_flags" = 1 ] || fail "DefaultUninstall left the Cpls value vm_usbaudio ($cpl_view)"
  grep -Eiq '^HKLM, *%CplsKey%, *vm_usbaudio, *0x0*4000 *$' "$pkg/vm_usbaudio_apps.inf" \
    || fail "the INF has no DelReg line for the Cpls value vm_usbaudio with FLG_DELREG_32BITKEY (0x4000)"
  gap "the Cpls value stays ($cpl_view): the INF's DelReg line has FLG_DELREG_32BITKEY (0x4000), a line Wine skips (see above)"
  run reg delete "$cpls_key" /v vm_usbaudio /f "$cpl_view" >/dev/null || fail "reg delete the Cpls value"
else
  ok "DefaultUninstall removed the Cpls value vm_usbaudio"
fi
# Left on purpose: DelFiles removes no folder, and "SOFTWARE\Velmora" may
# hold other Velmora software's keys.
[ -z "$(ls -A "$prog_dir" 2>/dev/null)" ] || fail "DefaultUninstall left files in $prog_win: $(ls -A "$prog_dir" | tr '\n' ' ')"
ok "left by design: the empty folder $prog_win and the empty key HKLM SOFTWARE\\Velmora"
echo "wine-install: all passed in $((SECONDS - started)) s"
