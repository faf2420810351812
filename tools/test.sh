#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. --asan: sanitized host build.
# --tsan: the kernel, adapter, driver and application tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh "$@"
host_dir=build/host
filter=()
# The Wine tests run the Windows build, which the sanitizers do not touch: once is enough.
if [ "${1:-}" = "--asan" ]; then host_dir=build/host-asan; filter=(-LE wine); fi
if [ "${1:-}" = "--tsan" ]; then
  host_dir=build/host-tsan
  filter=(-R '^(kernel|adapter|driver|app)\.' -E 'sim_line_pty')
  # Any report fails the test that made it; the history is deep enough for the host kernel's
  # long-lived threads.
  export TSAN_OPTIONS="exitcode=66 history_size=4 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
fi
ctest --test-dir "$host_dir" --output-on-failure -j "$(nproc)" --timeout 300 "${filter[@]}"
# The Wine tier's verdict goes into the log even when it passed.
if [ ${#filter[@]} -eq 0 ]; then
  grep -hE '(VERDICT:|Wine gap met:|comm_test exited|SKIPPED:)' "$host_dir"/Testing/Temporary/LastTest.log || true
fi
