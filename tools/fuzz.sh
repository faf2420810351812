#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# build/fuzz (apart from the gcc builds) and runs each for a fixed time from its seed corpus.
#   tools/fuzz.sh [--seconds N] [TARGET...]
# N defaults to 30 seconds a target; without TARGET every target runs. Prints one line per
# target with its executions per second and the coverage it reached (libFuzzer's cov: and ft:),
# then a verdict; exits 1 on any finding (sanitizer or verifier report, adapter protocol fault,
# leak, hang or a request never completed). A finding's input is kept in
# build/fuzz/findings/TARGET/ and a one-line command replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "usage: tools/fuzz.sh [--seconds N] [TARGET...]" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(bulk_in credit descriptors ioctl sequences)
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
for t in "${targets[@]}"; do
  case " ${all[*]} " in *" $t "*) ;; *) echo "unknown target '$t'; targets: ${all[*]}" >&2; exit 2 ;; esac
done

tools/deps.sh
cc=clang-14; cxx=clang++-14
command -v "$cxx" >/dev/null || { cc=clang; cxx=clang++; }
dir=build/fuzz
if [ ! -f "$dir/build.ninja" ]; then
  CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIX_FUZZ=ON >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1${symbolizer:+:external_symbolizer_path=$symbolizer}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for t in "${targets[@]}"; do
  bin="$dir/tests/fuzz/fuzz_$t"
  work="$dir/corpus/$t"
  findings="$dir/findings/$t"
  log="$dir/logs/$t.log"
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  # The seeds in the repository are read, never written: what the run adds goes to $work.
  # A run longer than a minute on one input is a hang.
  status=0
  "$bin" "$work" "tests/fuzz/corpus/$t" -max_total_time="$seconds" -max_len=1200 -len_control=0 -timeout=60 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
  if [ "$status" -eq 0 ] && [ -z "$artifact" ]; then
    printf 'PASS %-12s %s s, %s exec/s, %s runs, %s\n' "$t" "$seconds" "${execs:-?}" "${units:-?}" "${cov:-cov: ?}"
  else
    failed+=("$t")
    printf 'FAIL %-12s after %s runs, %s: finding in %s\n' "$t" "${units:-?}" "${cov:-cov: ?}" "${artifact:-$log}"
    grep -m1 -A25 -E '==== FINDING|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error' "$log" | sed 's/^/    /' || true
    [ -n "$artifact" ] && echo "  replay: $bin $artifact"
    echo "  log: $log"
  fi
done
if [ ${#failed[@]} -eq 0 ]; then
  echo "fuzz verdict: no findings in ${#targets[@]} target(s)"
else
  echo "fuzz verdict: findings in ${failed[*]}"
  exit 1
fi
