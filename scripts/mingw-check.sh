#!/usr/bin/env bash
# Quick compile of driver sources against mingw-w64's DDK (no CMake).
set -euo pipefail
cd "$(dirname "$0")/.."
files=("$@"); [ ${#files[@]} -gt 0 ] || files=(driver/*/*.cpp)
for f in "${files[@]}"; do
  x86_64-w64-mingw32-g++-posix -std=c++17 -c -I. -I/usr/x86_64-w64-mingw32/include/ddk \
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -Wall -Wextra -Wno-multichar \
    "$f" -o /tmp/mingw-check.o
done
echo "mingw check ok"
