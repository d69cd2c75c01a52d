#!/usr/bin/env bash
# Builds the tools and shows how the driver sees a device
# (default: the supported DAC). Arguments go to usbaudio-inspect.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/configure.sh host-release
cmake --build build/host-release -j"$(nproc)" --target usbaudio-inspect >/dev/null
if [ $# -eq 0 ]; then
  set -- --profile default
fi
exec build/host-release/tools/usbaudio-inspect "$@"
