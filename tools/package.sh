#!/usr/bin/env bash
# Puts the driver package users install into dist/: the 32-bit driver ORVIX.sys, its
# installation INF orvix.inf and the 32-bit Brevel Uninstall. Build first with tools/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

driver=build/win32/driver/ORVIX.sys
inf=package/orvix.inf
uninstaller=build/win32/uninstall/BrevelUninstall.exe

missing=0
for file in "$driver" "$inf" "$uninstaller"; do
  if [ ! -f "$file" ]; then
    echo "package: $file is missing; build the 32-bit Windows deliverables with tools/build.sh" >&2
    missing=1
  fi
done
[ "$missing" -eq 0 ] || exit 1

# The package is for 32-bit x86 Windows; a 64-bit or foreign file here is a build mix-up.
for file in "$driver" "$uninstaller"; do
  if ! i686-w64-mingw32-objdump -f "$file" 2>/dev/null | grep -q "file format pei-i386"; then
    echo "package: $file is not a 32-bit x86 Windows image" >&2
    exit 1
  fi
done

rm -rf dist
mkdir dist
cp "$driver" "$inf" "$uninstaller" dist/
echo "package: dist/ holds $(cd dist && echo *)"
