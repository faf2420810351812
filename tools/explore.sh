#!/usr/bin/env bash
# Runs the concurrency scenarios under controlled scheduling, one seed after the other.
#   tools/explore.sh [--scenario NAME] [--seeds N] [--seed S]
# --seed S alone replays that one seed; with --seeds N the seeds S .. S+N-1 run (S defaults
# to 1, N to 20). Each scenario's first seed also runs twice, and must give the same trace
# hash both times, and the seeds that once found a fault in it (orvix-explore --regressions)
# run as well. Prints one line per scenario, then "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."

scenario=""
seeds=""
first=""
while [ $# -gt 0 ]; do
  case "$1" in
    --scenario) scenario="$2"; shift 2 ;;
    --seeds) seeds="$2"; shift 2 ;;
    --seed) first="$2"; shift 2 ;;
    *) echo "usage: tools/explore.sh [--scenario NAME] [--seeds N] [--seed S]" >&2; exit 2 ;;
  esac
done
if [ -z "$seeds" ]; then
  if [ -n "$first" ]; then seeds=1; else seeds=20; fi
fi
first=${first:-1}

host_dir=build/host
if [ ! -f "$host_dir/build.ninja" ]; then
  cmake -S . -B "$host_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$host_dir" --target orvix-explore -j 2 >/dev/null
explore="$host_dir/tests/explore/orvix-explore"

if [ -n "$scenario" ]; then
  scenarios="$scenario"
else
  scenarios=$("$explore" --list)
fi

passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for name in $scenarios; do
  start=$(date +%s%N)
  # The same seed twice: one seed is one interleaving, so the traces must agree.
  hash1=$("$explore" --scenario "$name" --seed "$first" 2>&1 | sed -n 's/.* trace \([0-9a-f]*\) .*/\1/p' || true)
  hash2=$("$explore" --scenario "$name" --seed "$first" 2>&1 | sed -n 's/.* trace \([0-9a-f]*\) .*/\1/p' || true)
  if "$explore" --scenario "$name" --seed "$first" --seeds "$seeds" --quiet >"$log" 2>&1; then
    ms=$(( ($(date +%s%N) - start) / 1000000 ))
    if ! "$explore" --scenario "$name" --regressions --quiet >"$log" 2>&1; then
      seed=$(sed -n 's/^FAIL [^ ]* seed \([0-9]*\).*/\1/p' "$log" | head -1)
      printf 'FAIL %-18s regression seed %s; replay: tools/explore.sh --scenario %s --seed %s\n' "$name" \
        "${seed:-?}" "$name" "${seed:-?}"
      sed -n '2,40p' "$log" | grep -v '^  replay:' | sed 's/^/    /'
      failed=$((failed + 1))
    elif [ -n "$hash1" ] && [ "$hash1" = "$hash2" ]; then
      printf 'PASS %-18s %d seeds from %d, %d.%d s, seed %d replays trace %s\n' "$name" "$seeds" "$first" \
        $((ms / 1000)) $((ms % 1000 / 100)) "$first" "$hash1"
      passed=$((passed + 1))
    else
      printf 'FAIL %-18s seed %d gave traces %s and %s: a seed must replay one interleaving\n' "$name" \
        "$first" "${hash1:-none}" "${hash2:-none}"
      failed=$((failed + 1))
    fi
  else
    seed=$(sed -n 's/^FAIL [^ ]* seed \([0-9]*\).*/\1/p' "$log" | head -1)
    printf 'FAIL %-18s seed %s, after %s seeds; replay: tools/explore.sh --scenario %s --seed %s\n' \
      "$name" "${seed:-?}" "$(( ${seed:-$first} - first + 1 ))" "$name" "${seed:-?}"
    sed -n '2,40p' "$log" | grep -v '^  replay:' | sed 's/^/    /'
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
