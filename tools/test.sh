#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. --asan: sanitized host build.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh "$@"
host_dir=build/host
[ "${1:-}" = "--asan" ] && host_dir=build/host-asan
ctest --test-dir "$host_dir" --output-on-failure -j "$(nproc)" --timeout 300
