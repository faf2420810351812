#!/usr/bin/env bash
# Puts the driver package users install into dist/: the 32-bit driver ORVIX.sys, the x86-64
# driver in dist/amd64/ (where the INF's NTamd64 section takes it from), the one installation INF
# orvix.inf, the 32-bit Brevel Uninstall and the x86-64 one in dist/amd64/: on 64-bit Windows a
# 32-bit program sees the 32-bit view of system32 and may not remove devices, so there the 64-bit
# one must run. Build first with tools/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

driver=build/win32/driver/ORVIX.sys
driver64=build/win64/driver/ORVIX.sys
inf=package/orvix.inf
uninstaller=build/win32/uninstall/BrevelUninstall.exe
uninstaller64=build/win64/uninstall/BrevelUninstall.exe

missing=0
for file in "$driver" "$driver64" "$inf" "$uninstaller" "$uninstaller64"; do
  if [ ! -f "$file" ]; then
    echo "package: $file is missing; build the Windows deliverables with tools/build.sh" >&2
    missing=1
  fi
done
[ "$missing" -eq 0 ] || exit 1

# Each file must be built for the Windows it is installed on; anything else is a build mix-up.
for file in "$driver" "$uninstaller"; do
  if ! i686-w64-mingw32-objdump -f "$file" 2>/dev/null | grep -q "file format pei-i386"; then
    echo "package: $file is not a 32-bit x86 Windows image" >&2
    exit 1
  fi
done
for file in "$driver64" "$uninstaller64"; do
  if ! x86_64-w64-mingw32-objdump -f "$file" 2>/dev/null | grep -q "file format pei-x86-64"; then
    echo "package: $file is not an x86-64 Windows image" >&2
    exit 1
  fi
done

rm -rf dist
mkdir -p dist/amd64
cp "$driver" "$inf" "$uninstaller" dist/
cp "$driver64" "$uninstaller64" dist/amd64/
echo "package: dist/ holds $(cd dist && echo * amd64/*)"
