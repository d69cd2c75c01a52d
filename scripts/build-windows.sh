#!/usr/bin/env bash
# Cross-builds the Windows deliverables with mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/configure.sh mingw
cmake --build build/mingw -j"$(nproc)"
