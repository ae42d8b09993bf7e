#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset `fuzz`: clang, ASan + UBSan) and runs
# each for SECONDS on its corpus, JOBS at a time; fails when any harness
# reports a finding (crash, sanitizer report, failed check, hang of more than
# 10 s, or a single allocation of more than 128 MiB).
#
#   scripts/fuzz.sh [SECONDS] [JOBS] [HARNESS...]     defaults: 60 2 (all)
#
# The committed corpus in fuzz/corpus/<harness>/ is only read; inputs found
# during the run go to a scratch directory, kept in out/fuzz/<harness>/ (with
# the log and any crash file) for a look afterwards. A crash file that shows
# a real fault belongs in fuzz/corpus/<harness>/ once the fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=${2:-2}
shift $(( $# >= 2 ? 2 : $# ))

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for f in build/fuzz/fuzz/*_fuzzer; do
    h=$(basename "$f")
    harnesses+=("${h%_fuzzer}")
  done
fi

out=out/fuzz
mkdir -p "$out"
run_one() {
  local h=$1 seconds=$2 out=$3
  rm -rf "${out:?}/$h"
  mkdir -p "$out/$h/found" "$out/$h/crashes"
  if build/fuzz/fuzz/"${h}"_fuzzer "$out/$h/found" "fuzz/corpus/$h" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=128 \
      -print_final_stats=1 -artifact_prefix="$out/$h/crashes/" >"$out/$h/log" 2>&1; then
    local execs cov
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$out/$h/log" | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$out/$h/log" | tail -1 | grep -o '[0-9]*' || true)
    echo "fuzz $h: ${execs:-?} executions, ${cov:-?} edges covered, no finding"
  else
    echo "fuzz $h: FINDING (log and input in $out/$h/)"
    grep -E 'ERROR|FINDING|SUMMARY|Test unit written' "$out/$h/log" | head -20 || true
    return 1
  fi
}
export -f run_one

printf '%s\n' "${harnesses[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$out"
