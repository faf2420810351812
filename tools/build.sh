#!/usr/bin/env bash
# Builds the Windows deliverables (32-bit driver and uninstaller, 64-bit uninstaller for Wine)
# and the host build with the tests. --asan builds the host side with the sanitizers; --tsan
# builds only the host side's threaded tests with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host_dir=build/host
asan=OFF
if [ "${1:-}" = "--asan" ]; then host_dir=build/host-asan; asan=ON; fi
jobs=$(nproc)
if [ "${1:-}" = "--tsan" ]; then
  # The Windows build is not touched by ThreadSanitizer: only the host kernel, the driver on it
  # and the tests whose threads meet there.
  cmake -S . -B build/host-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIX_TSAN=ON \
        -DORVIX_WIN32_DIR="$root/build/win32" -DORVIX_WIN64_DIR="$root/build/win64" >/dev/null
  cmake --build build/host-tsan -j "$jobs" --target kernel_tests adapter_tests driver_tests app_tests
  exit 0
fi
for bits in 32 64; do
  tc=cmake/mingw-i686.cmake; [ $bits = 64 ] && tc=cmake/mingw-x86_64.cmake
  cmake -S . -B build/win$bits -G Ninja -DCMAKE_TOOLCHAIN_FILE=$tc -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/win$bits -j "$jobs"
done
cmake -S . -B "$host_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIX_SANITIZE=$asan \
      -DORVIX_WIN32_DIR="$root/build/win32" -DORVIX_WIN64_DIR="$root/build/win64" >/dev/null
cmake --build "$host_dir" -j "$jobs"
