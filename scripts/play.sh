#!/usr/bin/env bash
# The main job: build the tools and play through the driver on the simulated
# default device (a Windows audio client on the "Wave" filter), then report
# what the device received. Arguments go to `usbaudio-sim play`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/configure.sh host-release
cmake --build build/host-release -j"$(nproc)" --target usbaudio-sim >/dev/null
if [ $# -eq 0 ]; then
  set -- --tone 1000 --seconds 2
fi
exec build/host-release/tools/usbaudio-sim play "$@"
