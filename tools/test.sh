#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. --asan: sanitized host build.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh "$@"
host_dir=build/host
exclude=()
# The Wine tests run the Windows build, which the sanitizers do not touch: once is enough.
if [ "${1:-}" = "--asan" ]; then host_dir=build/host-asan; exclude=(-LE wine); fi
ctest --test-dir "$host_dir" --output-on-failure -j "$(nproc)" --timeout 300 "${exclude[@]}"
# The Wine tier's verdict goes into the log even when it passed.
if [ ${#exclude[@]} -eq 0 ]; then
  grep -hE '(VERDICT:|Wine gap met:|comm_test exited|SKIPPED:)' "$host_dir"/Testing/Temporary/LastTest.log || true
fi
