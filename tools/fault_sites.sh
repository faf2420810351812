#!/usr/bin/env bash
# Counts the call sites in driver/ that acquire something the host kernel can fail on purpose
# (pool, IRPs, system threads, devices, enabling an interface, object references): the M of the
# fault sweep's "K of M". Usage: fault_sites.sh [SOURCE_DIR] [--list]; --list prints each site
# as driver/FILE:LINE before the count.
set -euo pipefail
root=$(dirname "$0")/..
list=0
for arg in "$@"; do
  if [ "$arg" = "--list" ]; then list=1; else root=$arg; fi
done
cd "$root"
pattern='\b(ExAllocatePoolWithTag|ExAllocatePool|IoAllocateIrp|IoBuildDeviceIoControlRequest|IoBuildSynchronousFsdRequest|PsCreateSystemThread|IoCreateDevice|ObReferenceObjectByHandle)\s*\(|\bIoSetDeviceInterfaceState\s*\([^;]*TRUE'
sites=$(grep -rnoE "$pattern" driver --include='*.cpp' | grep -v '^driver/frame/platform' | cut -d: -f1,2 || true)
if [ "$list" = 1 ] && [ -n "$sites" ]; then echo "$sites"; fi
if [ -z "$sites" ]; then echo 0; else echo "$sites" | wc -l; fi
