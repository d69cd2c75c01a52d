#!/usr/bin/env bash
# Lays out the driver package as it ships, build/package/, and zips it
# (build/vm_usbaudio_package.zip):
#   vm_usbaudio.inf, vm_usbaudio_apps.inf, INSTALL.txt     from package/
#   amd64/vm_usbaudio.sys, amd64/vm_usbaudio_asio.dll,
#   amd64/vm_usbaudio_cpl.exe                               from build/mingw
#   x86/vm_usbaudio.cpl                                     from build/mingw-i686
# The binaries are stripped of debug information and symbols, and their PE
# checksum is written (the kernel loader checks the driver's). Then the INFs
# are checked (scripts/check_inf.py) and every PE for its role
# (scripts/check_pe.py).
#
# Usage: scripts/package.sh [--no-build]
# Without --no-build the Windows builds run first (scripts/build-windows.sh:
# dependencies, configure, incremental build, checks); with it, the built
# files are taken as they are (CI and the CMake target: the build ran just
# before).
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
case "${1:-}" in
  "") ;;
  --no-build) build=0 ;;
  *) echo "usage: scripts/package.sh [--no-build]" >&2; exit 2 ;;
esac

fail() { echo "package: $*" >&2; exit 1; }

# Package path, built file, strip tool.
deliverables=(
  "amd64/vm_usbaudio.sys build/mingw/driver/vm_usbaudio.sys x86_64-w64-mingw32-strip"
  "amd64/vm_usbaudio_asio.dll build/mingw/asio/vm_usbaudio_asio.dll x86_64-w64-mingw32-strip"
  "amd64/vm_usbaudio_cpl.exe build/mingw/panel/vm_usbaudio_cpl.exe x86_64-w64-mingw32-strip"
  "x86/vm_usbaudio.cpl build/mingw-i686/applet/vm_usbaudio.cpl i686-w64-mingw32-strip"
)

# The Windows builds are incremental: ninja rebuilds what is stale, in a few
# seconds when nothing is.
if [ "$build" = 1 ]; then
  bash scripts/build-windows.sh
fi

out=build/package
rm -rf "$out" build/vm_usbaudio_package.zip
mkdir -p "$out/amd64" "$out/x86"

for entry in "${deliverables[@]}"; do
  set -- $entry
  [ -f "$2" ] || fail "$2 is missing (build it with: bash scripts/build-windows.sh)"
  command -v "$3" >/dev/null || fail "$3 is missing (bash scripts/install-deps.sh installs it)"
  cp "$2" "$out/$1"
  # -s: debug sections and the COFF symbol table; exports and relocations stay.
  "$3" -s "$out/$1"
  python3 scripts/check_pe.py --fix-checksum "$out/$1"
done

# INSTALL.txt in Windows line ends, for Notepad.
for inf in vm_usbaudio.inf vm_usbaudio_apps.inf; do
  [ -f "package/$inf" ] || fail "package/$inf is missing"
  cp "package/$inf" "$out/$inf"
done
[ -f package/INSTALL.txt ] || fail "package/INSTALL.txt is missing"
sed 's/\r$//; s/$/\r/' package/INSTALL.txt >"$out/INSTALL.txt"

status=0
# The checker's own tests first: broken INFs must fail it.
PYTHONDONTWRITEBYTECODE=1 python3 scripts/check_inf.py --self-test || status=1
python3 scripts/check_inf.py "$out/vm_usbaudio.inf" "$out/vm_usbaudio_apps.inf" || status=1
python3 scripts/check_pe.py --package "$out" || status=1
[ "$status" = 0 ] || fail "the package's checks failed (above)"

python3 - "$out" build/vm_usbaudio_package.zip <<'EOF'
import os, sys, zipfile
folder, archive = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            z.write(path, os.path.join("vm_usbaudio_package", os.path.relpath(path, folder)))
with zipfile.ZipFile(archive) as z:
    for info in z.infolist():
        print("%10d  %s" % (info.file_size, info.filename))
print("%10d  %s" % (os.path.getsize(archive), archive))
EOF
