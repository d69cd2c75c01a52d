#!/usr/bin/env bash
# Runs the Windows build under Wine (64-bit) in a fresh prefix, headless on
# a private Xvfb display:
# - the ASIO driver: registration with regsvr32 (a new one, one from another
#   folder, one repeated from the same folder), the registry keys it writes,
#   the test host tests/wine/asio_wine_host.exe creating the driver through
#   the registry with no device present, and unregistration;
# - the control panel program vm_usbaudio_cpl.exe, looked at from outside by
#   tests/wine/panel_wine_check.exe: its window and every control of the
#   dialog layout, a screenshot ($build/wine/panel.png, kept as a CI
#   artifact), Page Down on the slider writing "buffer_size", dragging its
#   thumb with the mouse (stored on release only), a second start bringing
#   the first window forward, closing;
# - the applet's x86-64 build vm_usbaudio_x64.cpl through
#   tests/wine/applet_wine_check.exe (its messages, resources and what
#   CPL_DBLCLK starts), then through Wine's control.exe starting the panel;
# - the package's user-mode install and removal (scripts/run-wine-install-test.sh).
# Any failed check ends the script with a non-zero status and a line naming it.
#
#   scripts/run-wine-tests.sh [build-dir]      (default build/mingw)
#
# WINEDEBUG=err+all shows Wine's own errors (load failures) while debugging.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build="${1:-build/mingw}"
dll="$build/asio/vm_usbaudio_asio.dll"
host="$build/tests/wine/asio_wine_host.exe"
panel="$build/panel/vm_usbaudio_cpl.exe"
applet="$build/applet/vm_usbaudio_x64.cpl"
panel_check="$build/tests/wine/panel_wine_check.exe"
applet_check="$build/tests/wine/applet_wine_check.exe"
marker="$build/tests/wine/wine_marker.exe"
screenshot="$build/wine/panel.png"

started=$SECONDS
fail() { echo "wine-tests: FAIL: $*" >&2; exit 1; }
ok() { echo "wine-tests: ok: $* [$((SECONDS - started)) s]"; }

[ -f "$dll" ] || fail "$dll was not built (scripts/build-windows.sh)"
[ -f "$host" ] || fail "$host was not built (scripts/build-windows.sh)"
for built in "$panel" "$applet" "$panel_check" "$applet_check" "$marker"; do
  [ -f "$built" ] || fail "$built was not built (scripts/build-windows.sh)"
done
for tool in Xvfb xdpyinfo xdotool /usr/bin/import; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs xvfb, x11-utils, xdotool, imagemagick)"
done

# The 64-bit loader itself: with a 32-bit Wine installed, plain `wine`
# would start the 32-bit one, which these machines cannot run.
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
done
wineserver=""
for candidate in /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wineserver="$candidate"; break; fi
done
[ -n "$wine" ] && [ -n "$wineserver" ] || fail "64-bit Wine not found (scripts/install-deps.sh installs wine64)"

WINEPREFIX="$(mktemp -d /tmp/usbaudio-wine.XXXXXX)"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY
xvfb_pid=""
panel_pid=""
xvfb_dir="$(mktemp -d /tmp/usbaudio-xvfb.XXXXXX)"
cleanup() {
  if [ -n "$panel_pid" ]; then kill "$panel_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$WINEPREFIX" "$xvfb_dir"
}
trap cleanup EXIT

# A private X display, up before the first Wine process (a wineserver
# started without a display cannot show windows). Xvfb picks a free display
# number itself and writes it to -displayfd once it accepts clients.
mkfifo "$xvfb_dir/displayfd"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$xvfb_dir/displayfd" >"$xvfb_dir/log" 2>&1 &
xvfb_pid=$!
display_number=""
read -r -t 30 display_number <"$xvfb_dir/displayfd" || true
[ -n "$display_number" ] || fail "Xvfb did not start within 30 s: $(tr '\n' ' ' <"$xvfb_dir/log")"
export DISPLAY=":$display_number"
xdpyinfo >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer xdpyinfo"
ok "Xvfb on $DISPLAY"

# One Wine program, bounded in time (status 124: it hung), its output
# without carriage returns; the status is the program's (pipefail).
run() { timeout 60 "$wine" "$@" 2>&1 | tr -d '\r'; }

# A persistent server (started before anything else runs in the prefix)
# and one warm-up program: later programs start in a fraction of a second
# instead of seconds.
"$wineserver" -p || fail "wineserver -p returned $?"
timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot -i could not create the prefix $WINEPREFIX"
run cmd /c exit >/dev/null || fail "wine cannot run cmd.exe"
# "MS Shell Dlg" is Tahoma on Windows, and the caption buttons draw with
# Marlett: without them Wine falls back to a wider face and the dialog
# grows beyond the size Windows gives it.
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
  if [ -f "/usr/share/wine/fonts/$font" ]; then cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"; fi
done
# Windows of their own, not handed to a window manager: no 2-second wait
# at each GUI program's exit.
run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null || fail "reg add X11 Driver Managed"
ok "fresh 64-bit prefix in $((SECONDS - started)) s"

clsid='{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}'
name='Velmora ASIO Device'
class_key="HKEY_CLASSES_ROOT\\CLSID\\$clsid"
server_key="$class_key\\InprocServer32"
asio_key="HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\$name"
settings_key="HKEY_CURRENT_USER\\SOFTWARE\\Velmora\\$name"

key_exists() { run reg query "$1" /reg:64 >/dev/null 2>&1; }
# Everything below a key (64-bit view) in one query: a "key|" line per key
# and a "key|name|data" line per value ("(Default)": the default value).
# Fails when the key is missing.
reg_tree() {
  local out
  out=$(run reg query "$1" /s /reg:64) || return 1
  printf '%s\n' "$out" | awk '
    /^HKEY_/ { key = $0; print key "|"; next }
    /^    / {
      line = substr($0, 5); n = index(line, "    REG_"); if (n == 0) next
      rest = substr(line, n + 4); m = index(rest, "    ")
      print key "|" substr(line, 1, n - 1) "|" (m ? substr(rest, m + 4) : "")
    }'
}
# The data of value NAME of KEY in a tree; fails when it is not there.
tree_value() {  # tree key name
  printf '%s\n' "$1" | K="$2" N="$3" awk -F'|' '
    tolower($1) == tolower(ENVIRON["K"]) && NF >= 3 && $2 == ENVIRON["N"] {
      print substr($0, length($1) + length($2) + 3); found = 1; exit
    }
    END { exit !found }'
}
tree_has_key() {  # tree key
  printf '%s\n' "$1" | K="$2" awk -F'|' 'tolower($1) == tolower(ENVIRON["K"]) && NF == 2 { found = 1 } END { exit !found }'
}
expect_value() {  # tree key name expected what
  local got
  got=$(tree_value "$1" "$2" "$3") || fail "$5: $2 has no value $3"
  [ "$got" = "$4" ] || fail "$5: $2 $3 is \"$got\", expected \"$4\""
  ok "$5"
}
# Checks the keys registration wrote for the DLL at a Windows path; leaves
# them in $classes and $asio for the caller's own checks.
expect_registered() {  # windows-path-of-the-dll
  local lower
  lower=$(printf '%s' "$1" | tr '[:upper:]' '[:lower:]')
  classes=$(reg_tree "$class_key") || fail "$class_key is missing"
  asio=$(reg_tree "$asio_key") || fail "$asio_key is missing"
  expect_value "$classes" "$class_key" "(Default)" "$name" "class key's default value is the friendly name"
  expect_value "$classes" "$server_key" "(Default)" "$lower" "InprocServer32 is the lower-cased path $lower"
  expect_value "$classes" "$server_key" ThreadingModel Apartment "ThreadingModel is Apartment"
  expect_value "$asio" "$asio_key" CLSID "$clsid" "ASIO key's CLSID"
  expect_value "$asio" "$asio_key" Description "$name" "ASIO key's Description"
}
# Copies the DLL to a folder of the prefix; prints its Windows path.
place_dll() {  # windows-folder-below-C:
  mkdir -p "$WINEPREFIX/drive_c/$1"
  cp "$dll" "$WINEPREFIX/drive_c/$1/vm_usbaudio_asio.dll"
  printf 'C:\\%s\\vm_usbaudio_asio.dll' "${1//\//\\}"
}
path_a=$(place_dll "usbaudio/A")
path_b=$(place_dll "Velmora Test/Path B")

key_exists "$asio_key" && fail "the fresh prefix already has $asio_key"
key_exists "$settings_key" && fail "the fresh prefix already has $settings_key"

# A new registration.
run regsvr32 /s "$path_a" || fail "regsvr32 $path_a returned $?"
ok "regsvr32 $path_a"
expect_registered "$path_a"

# From another folder: the class key is replaced (a key left below it by
# someone else goes too), the ASIO key rewritten.
run reg add "$class_key\\Stale" /f /reg:64 >/dev/null || fail "reg add $class_key\\Stale"
run reg add "$asio_key" /v Stale /d x /f /reg:64 >/dev/null || fail "reg add $asio_key Stale"
run regsvr32 /s "$path_b" || fail "regsvr32 $path_b returned $?"
ok "regsvr32 $path_b (another folder)"
expect_registered "$path_b"
tree_has_key "$classes" "$class_key\\Stale" && fail "registering from another folder kept the old class key's subkey"
ok "registering from another folder replaced the class key"
tree_value "$asio" "$asio_key" Stale >/dev/null && fail "registering from another folder kept a stray value of the ASIO key"
ok "registering from another folder rewrote the ASIO key"

# Again from the same folder: the class key stays untouched.
run reg add "$class_key\\Kept" /f /reg:64 >/dev/null || fail "reg add $class_key\\Kept"
run regsvr32 /s "$path_b" || fail "regsvr32 $path_b (again) returned $?"
expect_registered "$path_b"
tree_has_key "$classes" "$class_key\\Kept" || fail "registering again from the same folder rewrote the class key"
ok "registering again from the same folder left the class key untouched"
run reg delete "$class_key\\Kept" /f /reg:64 >/dev/null || fail "reg delete $class_key\\Kept"

# The host, as an ASIO host finds and creates the driver.
host_dir="$WINEPREFIX/drive_c/usbaudio/host"
mkdir -p "$host_dir"
cp "$host" "$host_dir/asio_wine_host.exe"
host_status=0
run 'C:\usbaudio\host\asio_wine_host.exe' "$(printf '%s' "$path_b" | tr '[:upper:]' '[:lower:]')" \
  | sed 's/^/  host: /' || host_status=$?
[ "$host_status" -ne 124 ] || fail "the test host did not finish within 60 s"
[ "$host_status" -eq 0 ] || fail "the test host failed (exit status $host_status; its FAIL lines are above)"
ok "the test host passed every check"
settings=$(reg_tree "$settings_key") || fail "the driver did not create $settings_key"
expect_value "$settings" "$settings_key" buffer_size 0x800 "the driver created the settings key with buffer_size 2048"

# Unregistration removes both keys.
run regsvr32 /u /s "$path_b" || fail "regsvr32 /u $path_b returned $?"
ok "regsvr32 /u $path_b"
key_exists "$class_key" && fail "regsvr32 /u left $class_key"
ok "regsvr32 /u removed $class_key"
key_exists "$asio_key" && fail "regsvr32 /u left $asio_key"
ok "regsvr32 /u removed $asio_key"

# ---- The control panel program and the applet ----------------------------
# Copied into the prefix: short, fixed Windows paths (the applet's launch
# path has a length limit) whatever the checkout's folder.
win_dir="$WINEPREFIX/drive_c/usbaudio"
mkdir -p "$win_dir/panel" "$win_dir/applet" "$win_dir/checks"
cp "$panel" "$win_dir/panel/vm_usbaudio_cpl.exe"
cp "$applet" "$win_dir/applet/vm_usbaudio_x64.cpl"
cp "$panel_check" "$applet_check" "$marker" "$win_dir/checks/"
panel_win='C:\usbaudio\panel\vm_usbaudio_cpl.exe'
applet_win='C:\usbaudio\applet\vm_usbaudio_x64.cpl'
setup_key='HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Velmora ASIO Device Setup'

# One checker run: its lines indented under WHAT, kept in $check_out;
# fails the script naming WHAT when a check failed.
check_out=""
checker() {  # what program args...
  local what=$1 status=0
  shift
  check_out=$(run "$@") || status=$?
  printf '%s\n' "$check_out" | sed "s/^/  $what: /"
  [ "$status" -ne 124 ] || fail "$what: did not finish within 60 s"
  [ "$status" -eq 0 ] || fail "$what: failed (exit status $status; its FAIL lines are above)"
}
panel_check() { checker "panel check $1" 'C:\usbaudio\checks\panel_wine_check.exe' "$@"; }
# The panel program started in the background; its status when it ends.
start_panel() {
  "$wine" "$panel_win" >"$xvfb_dir/panel.log" 2>&1 &
  panel_pid=$!
}
end_panel() {  # what
  local status=0
  wait "$panel_pid" || status=$?
  panel_pid=""
  [ "$status" -eq 0 ] || fail "$1: the control panel ended with status $status ($(tr '\n' ' ' <"$xvfb_dir/panel.log"))"
}
# Waits for the panel's window; names the panel's own end if it ended.
wait_panel_window() {  # what
  local status=0
  check_out=$(run 'C:\usbaudio\checks\panel_wine_check.exe' wait-window 45000) || status=$?
  printf '%s\n' "$check_out" | sed "s/^/  $1: /"
  if [ "$status" -ne 0 ]; then
    if [ -n "$panel_pid" ] && ! kill -0 "$panel_pid" 2>/dev/null; then
      wait "$panel_pid" || status=$?
      panel_pid=""
      fail "$1: the control panel ended (status $status) without showing its window: $(tr '\n' ' ' <"$xvfb_dir/panel.log")"
    fi
    fail "$1: the control panel's window did not appear"
  fi
  panel_window=$(printf '%s\n' "$check_out" | sed -n 's/^window: //p')
}

# With no settings key at all, the program creates it with the defaults
# (buffer size 2048, 44100 Hz, 16 bits) and rewrites the bit depth to 24,
# since 16 is not a row of its bit-depth box.
run reg delete "$settings_key" /f /reg:64 >/dev/null 2>&1 || true
key_exists "$settings_key" && fail "could not delete $settings_key before starting the control panel"
start_panel
wait_panel_window "panel start"
ok "the control panel shows its window $panel_window"
# The layout checks, then the screenshot: the dialog as rendered (CI
# artifact), taken whether the checks passed or not.
layout_status=0
layout_out=$(run 'C:\usbaudio\checks\panel_wine_check.exe' check-layout 2048 "44100 Hz" "24 bits") || layout_status=$?
printf '%s\n' "$layout_out" | sed 's/^/  panel check check-layout: /'
mkdir -p "$(dirname "$screenshot")"
rm -f "$screenshot"
x_window=$(xdotool search --name '^Velmora USB Audio Driver$' | head -1)
[ -n "$x_window" ] || fail "xdotool finds no X window named \"Velmora USB Audio Driver\""
/usr/bin/import -window "$x_window" "$screenshot" || fail "import could not take the screenshot"
ok "screenshot of the control panel: $screenshot ($(/usr/bin/identify -format '%w x %h' "$screenshot"))"
[ "$layout_status" -eq 0 ] || fail "panel check check-layout: failed (exit status $layout_status; its FAIL lines are above)"
ok "the control panel's window and every control of its layout"
settings=$(reg_tree "$settings_key") || fail "the control panel did not create $settings_key"
expect_value "$settings" "$settings_key" buffer_size 0x800 "the control panel created the settings with buffer_size 2048"
expect_value "$settings" "$settings_key" sampling_rate 0xac44 "the control panel created the settings with sampling_rate 44100"
expect_value "$settings" "$settings_key" bit_depth 0x18 "the control panel rewrote bit_depth 16 to 24"
expect_value "$settings" "$settings_key" format 00 "format stays 0"

panel_check page-down
new_size=$(printf '%s\n' "$check_out" | sed -n 's/^expect-buffer-size: //p')
[ -n "$new_size" ] || fail "page-down did not say which buffer size it expects"
settings=$(reg_tree "$settings_key") || fail "$settings_key is missing"
expect_value "$settings" "$settings_key" buffer_size "$(printf '0x%x' "$new_size")" \
  "Page Down on the slider wrote buffer_size $new_size (reg query)"

# Dragging the thumb with the mouse only moves the label; releasing it stores.
panel_check drag
new_size=$(printf '%s\n' "$check_out" | sed -n 's/^expect-buffer-size: //p')
[ -n "$new_size" ] || fail "drag did not say which buffer size it expects"
settings=$(reg_tree "$settings_key") || fail "$settings_key is missing"
expect_value "$settings" "$settings_key" buffer_size "$(printf '0x%x' "$new_size")" \
  "releasing the dragged thumb wrote buffer_size $new_size (reg query)"

panel_check second-start "$panel_win"
ok "a second start brought the first window forward and ended"
panel_check count-windows "$panel_window"
panel_check close
end_panel "closing"
ok "WM_CLOSE ended the control panel with status 0"

checker "applet check" 'C:\usbaudio\checks\applet_wine_check.exe' "$applet_win" 'C:\usbaudio\checks\wine_marker.exe'
ok "the applet answers the Control Panel's messages and starts what \"ControlPanel\" names"

# As the Control Panel opens the entry: Wine's control.exe loads the applet
# and double-clicks its entry, which starts the program the installer named.
run reg add "$setup_key" /v ControlPanel /t REG_SZ /d "$panel_win" /f /reg:64 >/dev/null || fail "reg add $setup_key ControlPanel"
for value in "buffer_size REG_DWORD 100" "sampling_rate REG_DWORD 22050" "bit_depth REG_DWORD 32" \
    "format REG_BINARY 02"; do
  set -- $value
  run reg add "$settings_key" /v "$1" /t "$2" /d "$3" /f /reg:64 >/dev/null || fail "reg add $settings_key $1"
done
# Not through run's pipe: the panel control.exe starts would inherit it and
# keep it open while it runs.
control_status=0
timeout 60 "$wine" control.exe "$applet_win" </dev/null >/dev/null 2>&1 || control_status=$?
[ "$control_status" -eq 0 ] || fail "control.exe $applet_win returned $control_status"
wait_panel_window "control.exe"
ok "control.exe with the applet started the control panel ($panel_window)"
panel_check count-windows "$panel_window"
# It started on stored values it does not offer (set below before the
# start): buffer size 100 shows as position 3 (96 samples) and stays
# stored; 22050 Hz becomes 32000, 32 bits with format 2 becomes 24 and 0.
panel_check check-layout 100 "32000 Hz" "24 bits"
settings=$(reg_tree "$settings_key") || fail "$settings_key is missing"
expect_value "$settings" "$settings_key" buffer_size 0x64 "buffer_size 100 stays stored"
expect_value "$settings" "$settings_key" sampling_rate 0x7d00 "the control panel replaced sampling_rate 22050 by 32000"
expect_value "$settings" "$settings_key" bit_depth 0x18 "the control panel replaced bit_depth 32 with format 2 by 24"
expect_value "$settings" "$settings_key" format 00 "the control panel replaced format 2 by 0"
panel_check close
ok "the control panel started through the applet closed"

# The user-mode install and removal through the package's INF, in this prefix.
WINE="$wine" bash scripts/run-wine-install-test.sh "$build" || fail "the package install/uninstall test (scripts/run-wine-install-test.sh; its FAIL line is above)"

echo "wine-tests: screenshot of the control panel dialog: $screenshot"
echo "wine-tests: all passed in $((SECONDS - started)) s"
