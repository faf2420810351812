#!/usr/bin/env bash
# Checks ORVIX.sys as Windows will load it: a 32-bit native-subsystem PE with its entry point
# and image base, importing only routines that Windows 2000's ntoskrnl.exe, HAL.dll and USBD.SYS
# export, and nothing of a C or C++ runtime.
set -u
image=$1 objdump=$2 allowed=$3
fail() { echo "FAIL: $*"; status=1; }
status=0
[ -f "$image" ] || { echo "FAIL: $image was not built"; exit 1; }
headers=$("$objdump" -p "$image")
grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 image for i386"
grep -qE '^Subsystem\s+00000001' <<<"$headers" || fail "subsystem is not native (1)"
grep -qE '^ImageBase\s+0*10000$' <<<"$headers" || fail "image base is not 0x10000"
entry=$(grep -E '^AddressOfEntryPoint' <<<"$headers" | awk '{print $2}')
[ -n "$entry" ] && [ "$entry" != "00000000" ] || fail "no entry point"
driver_entry=$("$objdump" -t "$image" | awk '$NF == "_DriverEntry@8" {print $0}')
[ -n "$driver_entry" ] || fail "no _DriverEntry@8 symbol"

imports=$(awk '
  /DLL Name:/ { dll = $3; next }
  /^[[:space:]]*$/ { dll = "" }
  dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+/ { print dll, $3 }
' <<<"$headers")
[ -n "$imports" ] || fail "no imports found (objdump output not understood)"
while read -r dll name; do
  [ -z "$dll" ] && continue
  case "$dll" in
    ntoskrnl.exe|HAL.dll|USBD.SYS) ;;
    *) fail "imports $name from $dll, which a kernel driver cannot use"; continue ;;
  esac
  grep -qx "$dll $name" "$allowed" || fail "imports $dll!$name, which Windows 2000 does not export"
done <<<"$imports"
echo "$(wc -l <<<"$imports") imports checked"
exit $status
