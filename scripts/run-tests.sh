#!/usr/bin/env bash
# Builds and runs every test: the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threading tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

bash scripts/configure.sh host
cmake --build build/host -j"$jobs"
ctest --test-dir build/host --output-on-failure -j"$jobs"

bash scripts/configure.sh host-tsan
cmake --build build/host-tsan -j"$jobs" --target test_platform test_driver test_sim
ctest --test-dir build/host-tsan --output-on-failure -j"$jobs" -L tsan
