#!/usr/bin/env bash
# Cross-builds the Windows deliverables with mingw-w64: the kernel driver,
# the user-mode static libraries (kernel-streaming client library, settings
# store), the ASIO driver DLL and its Wine test host, the control panel
# program and the applet's x86-64 twin (preset mingw, build/mingw), and the
# 32-bit Control Panel applet (preset mingw-i686, build/mingw-i686).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/configure.sh mingw
cmake --build build/mingw -j"$(nproc)"
bash scripts/configure.sh mingw-i686
cmake --build build/mingw-i686 -j"$(nproc)"
for built in mingw/driver/vm_usbaudio.sys mingw/kslib/libusbaudio_kslib.a mingw/asio/libusbaudio_asio_settings.a \
    mingw/asio/vm_usbaudio_asio.dll mingw/tests/wine/asio_wine_host.exe mingw/panel/vm_usbaudio_cpl.exe \
    mingw/applet/vm_usbaudio_x64.cpl mingw-i686/applet/vm_usbaudio.cpl; do
  [ -f "build/$built" ] || { echo "build-windows: build/$built was not built" >&2; exit 1; }
done

# The user-mode deliverables and the Wine test host must load on a clean
# Windows: they import system DLLs only (the C++ runtime, libgcc and
# winpthread are linked in). The ASIO DLL exports exactly the four COM
# server entry points, each applet exactly "CPlApplet" (undecorated on
# i686 too) for its machine type; the control panel is a GUI program.
system_dlls="kernel32.dll advapi32.dll ole32.dll oleaut32.dll setupapi.dll cfgmgr32.dll user32.dll winmm.dll msvcrt.dll
  comctl32.dll gdiplus.dll msimg32.dll gdi32.dll shell32.dll"
fail() { echo "build-windows: $*" >&2; exit 1; }
check_imports() {
  local imports dll
  imports=$(x86_64-w64-mingw32-objdump -p "build/$1" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]')
  [ -n "$imports" ] || fail "no import table read from $1"
  for dll in $imports; do
    case " $(echo $system_dlls) " in
      *" $dll "*) ;;
      *) fail "$1 imports $dll, which is not a system DLL" ;;
    esac
  done
}
# The export names, sorted in the C locale, each followed by a space.
exports_of() {
  x86_64-w64-mingw32-objdump -p "build/$1" \
    | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | LC_ALL=C sort | tr '\n' ' '
}
check_exports() {
  local exports
  exports=$(exports_of "$1")
  [ "$exports" = "$2" ] || fail "$1 exports \"$exports\", expected \"$2\""
}
# The COFF machine field of the PE header (e_lfanew at 0x3c, then "PE\0\0").
check_machine() {
  local offset machine
  offset=$(od -An -tu4 -j60 -N4 "build/$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((offset + 4)) -N2 "build/$1" | tr -d ' ')
  [ "$machine" = "$2" ] || fail "$1 has machine type 0x$machine, expected 0x$2"
}
check_imports mingw/asio/vm_usbaudio_asio.dll
check_imports mingw/tests/wine/asio_wine_host.exe
check_imports mingw/panel/vm_usbaudio_cpl.exe
check_imports mingw/applet/vm_usbaudio_x64.cpl
check_imports mingw-i686/applet/vm_usbaudio.cpl
check_exports mingw/asio/vm_usbaudio_asio.dll "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
check_exports mingw-i686/applet/vm_usbaudio.cpl "CPlApplet "
check_exports mingw/applet/vm_usbaudio_x64.cpl "CPlApplet "
check_machine mingw-i686/applet/vm_usbaudio.cpl 014c
check_machine mingw/applet/vm_usbaudio_x64.cpl 8664
check_machine mingw/panel/vm_usbaudio_cpl.exe 8664
subsystem=$(x86_64-w64-mingw32-objdump -p build/mingw/panel/vm_usbaudio_cpl.exe | sed -n 's/^Subsystem[[:space:]]*//p')
case "$subsystem" in
  00000002*) ;;
  *) fail "mingw/panel/vm_usbaudio_cpl.exe has subsystem \"$subsystem\", expected 00000002 (Windows GUI)" ;;
esac

# The host stand-ins' headers must keep matching the SDK and DDK the
# deliverables are built against (layouts, constants, signatures).
python3 platform/layout/check_ddk_layout.py
python3 platform/layout/check_sdk_layout.py
