#!/usr/bin/env bash
# Builds and runs every test: the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threading tests under ThreadSanitizer.
# In each build the tests run in parallel first, then the real-time
# streaming tests (label "realtime") one at a time, so they do not compete
# with other tests for the CPU; one of them that fails is run once more
# (a second failure fails the pass): on two shared cores a descheduled
# simulated kernel thread can starve a stream for tens of milliseconds, which
# the stand-ins cannot prevent as Windows' thread priorities do. Every pass
# runs; the exit status is the first failing pass's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
status=0
pass() {
  local rc=0
  "$@" || rc=$?
  if [ "$status" -eq 0 ]; then status=$rc; fi
}

bash scripts/configure.sh host
cmake --build build/host -j"$jobs"
pass ctest --test-dir build/host --output-on-failure -j"$jobs" -LE realtime
pass ctest --test-dir build/host --output-on-failure -L realtime --repeat until-pass:2

bash scripts/configure.sh host-tsan
cmake --build build/host-tsan -j"$jobs" --target test_suites
pass ctest --test-dir build/host-tsan --output-on-failure -j"$jobs" -L tsan
pass ctest --test-dir build/host-tsan --output-on-failure -L realtime --repeat until-pass:2
exit "$status"
