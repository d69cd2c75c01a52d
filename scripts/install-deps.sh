#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
# wine64 runs the Windows build's user-mode programs (scripts/run-wine-tests.sh):
# the 64-bit loader only. Never wine32: these machines cannot run 32-bit
# programs, and with it installed `wine` starts the 32-bit loader.
# xvfb (a headless X display), x11-utils (xdpyinfo), xdotool and imagemagick
# (the screenshot) serve the control panel's Wine checks; fonts-wine has
# Wine's Tahoma and Marlett, so the dialog renders with Windows' metrics.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev mingw-w64 ccache python3 wine64
  xvfb x11-utils xdotool imagemagick fonts-wine)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
