#!/usr/bin/env bash
# Cross-builds the Windows deliverables with mingw-w64: the kernel driver,
# the user-mode static libraries (kernel-streaming client library, settings
# store), the ASIO driver DLL and its Wine test host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/configure.sh mingw
cmake --build build/mingw -j"$(nproc)"
for built in driver/vm_usbaudio.sys kslib/libusbaudio_kslib.a asio/libusbaudio_asio_settings.a \
    asio/vm_usbaudio_asio.dll tests/wine/asio_wine_host.exe; do
  [ -f "build/mingw/$built" ] || { echo "build-windows: build/mingw/$built was not built" >&2; exit 1; }
done

# The ASIO driver DLL and the Wine test host must load on a clean Windows:
# they import system DLLs only (the C++ runtime, libgcc and winpthread are
# linked in). The DLL exports exactly the four COM server entry points.
system_dlls="kernel32.dll advapi32.dll ole32.dll oleaut32.dll setupapi.dll cfgmgr32.dll user32.dll winmm.dll msvcrt.dll"
check_imports() {
  local imports dll
  imports=$(x86_64-w64-mingw32-objdump -p "build/mingw/$1" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]')
  [ -n "$imports" ] || { echo "build-windows: no import table read from $1" >&2; exit 1; }
  for dll in $imports; do
    case " $system_dlls " in
      *" $dll "*) ;;
      *) echo "build-windows: $1 imports $dll, which is not a system DLL" >&2; exit 1 ;;
    esac
  done
}
check_imports asio/vm_usbaudio_asio.dll
check_imports tests/wine/asio_wine_host.exe
exports=$(x86_64-w64-mingw32-objdump -p build/mingw/asio/vm_usbaudio_asio.dll \
  | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | LC_ALL=C sort | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
[ "$exports" = "$expected" ] || {
  echo "build-windows: vm_usbaudio_asio.dll exports \"$exports\", expected \"$expected\"" >&2
  exit 1
}

# The host stand-ins' headers must keep matching the SDK and DDK the
# deliverables are built against (layouts, constants, signatures).
python3 platform/layout/check_ddk_layout.py
python3 platform/layout/check_sdk_layout.py
