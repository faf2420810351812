#!/usr/bin/env bash
# Checks ORVIX.sys as Windows will load it: a native-subsystem PE (PE32 for i386, or PE32+ for
# x86-64 with a fourth argument naming the x86-64 spin-lock routines) with its entry point and
# image base, importing only routines that Windows 2000's ntoskrnl.exe, HAL.dll and USBD.SYS
# export, and nothing of a C or C++ runtime.
set -u
image=$1 objdump=$2 allowed=$3 x64_names=${4:-}
fail() { echo "FAIL: $*"; status=1; }
status=0
[ -f "$image" ] || { echo "FAIL: $image was not built"; exit 1; }
headers=$("$objdump" -p "$image")
if [ -z "$x64_names" ]; then
  format=pei-i386 base=10000 entry_symbol=_DriverEntry@8
else
  format=pei-x86-64 base=140000000 entry_symbol=DriverEntry
fi
grep -q "file format $format\$" <<<"$headers" || fail "not a $format image"
grep -qE '^Subsystem\s+00000001' <<<"$headers" || fail "subsystem is not native (1)"
grep -qE "^ImageBase\s+0*$base\$" <<<"$headers" || fail "image base is not 0x$base"
grep -qE '^Entry 5 0*[1-9a-f][0-9a-f]* ' <<<"$headers" || fail "no base relocations"
if [ -n "$x64_names" ]; then
  grep -qE '^Entry 3 0*[1-9a-f][0-9a-f]* ' <<<"$headers" || fail "no unwind data (.pdata) for x86-64"
fi
entry=$(grep -E '^AddressOfEntryPoint' <<<"$headers" | awk '{print $2}')
[ -n "$entry" ] && [ "$((16#$entry))" != 0 ] || fail "no entry point"
driver_entry=$("$objdump" -t "$image" | awk -v s="$entry_symbol" '$NF == s {print $0}')
[ -n "$driver_entry" ] || fail "no $entry_symbol symbol"

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
  # x86-64 Windows exports the same spin-lock routines under other names; each of those names
  # stands for the Windows 2000 routine it replaces, which must itself be in the list.
  if [ -n "$x64_names" ]; then
    replaced=$(awk -v d="$dll" -v n="$name" '$1 == d && $2 == n {print $3, $4}' "$x64_names")
    if [ -n "$replaced" ]; then
      grep -qx "$replaced" "$allowed" || fail "$dll!$name replaces $replaced, which Windows 2000 does not export"
      continue
    fi
  fi
  grep -qx "$dll $name" "$allowed" || fail "imports $dll!$name, which Windows 2000 does not export"
done <<<"$imports"
echo "$(wc -l <<<"$imports") imports checked"
exit $status
