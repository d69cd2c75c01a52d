#!/usr/bin/env bash
# Runs the Windows build's ASIO driver under Wine (64-bit, headless) in a
# fresh prefix: registration with regsvr32 (a new one, one from another
# folder, one repeated from the same folder), the registry keys it writes,
# the test host tests/wine/asio_wine_host.exe creating the driver through
# the registry with no device present, and unregistration. Any failed check
# ends the script with a non-zero status and a line naming it.
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

started=$SECONDS
fail() { echo "wine-tests: FAIL: $*" >&2; exit 1; }
ok() { echo "wine-tests: ok: $* [$((SECONDS - started)) s]"; }

[ -f "$dll" ] || fail "$dll was not built (scripts/build-windows.sh)"
[ -f "$host" ] || fail "$host was not built (scripts/build-windows.sh)"

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
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# One Wine program, bounded in time (status 124: it hung), its output
# without carriage returns; the status is the program's (pipefail).
run() { timeout 60 "$wine" "$@" 2>&1 | tr -d '\r'; }

# A persistent server (started before anything else runs in the prefix)
# and one warm-up program: later programs start in a fraction of a second
# instead of seconds.
"$wineserver" -p || fail "wineserver -p returned $?"
timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || fail "wineboot -i could not create the prefix $WINEPREFIX"
run cmd /c exit >/dev/null || fail "wine cannot run cmd.exe"
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

echo "wine-tests: all passed in $((SECONDS - started)) s"
