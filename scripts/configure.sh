#!/usr/bin/env bash
# Configures a preset once (ccache when available, warnings as errors in CI).
set -euo pipefail
preset="$1"; shift
cd "$(dirname "$0")/.."
args=()
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ "${CI:-}" = "true" ] || [ "${USBAUDIO_WERROR:-}" = "ON" ]; then
  args+=(-DUSBAUDIO_WERROR=ON)
fi
cmake --preset "$preset" "${args[@]}" "$@" >/dev/null
