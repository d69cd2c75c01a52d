#!/usr/bin/env bash
# Cross-builds the Windows deliverables with mingw-w64: the kernel driver
# and the user-mode static libraries (kernel-streaming client library,
# settings store).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/configure.sh mingw
cmake --build build/mingw -j"$(nproc)"
for built in driver/vm_usbaudio.sys kslib/libusbaudio_kslib.a asio/libusbaudio_asio_settings.a; do
  [ -f "build/mingw/$built" ] || { echo "build-windows: build/mingw/$built was not built" >&2; exit 1; }
done
# The host stand-ins' headers must keep matching the SDK and DDK the
# deliverables are built against (layouts, constants, signatures).
python3 platform/layout/check_ddk_layout.py
python3 platform/layout/check_sdk_layout.py
