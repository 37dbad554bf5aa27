#!/usr/bin/env bash
# Runs one libFuzzer target of the fuzz build for a number of seconds, as one process.
#   scripts/fuzz.sh TARGET SECONDS
# New inputs go to build/fuzz/corpus/TARGET (the committed seeds in fuzz/corpus/TARGET are read,
# never written); a finding is written to fuzz/artifacts/ and fails the run. The fuzzer's log is
# build/fuzz/logs/TARGET.log; its closing statistics are printed. FUZZ_ARGS adds libFuzzer flags;
# FUZZ_SEED fixes libFuzzer's random seed, so that runs (CI's smoke runs, say) follow much the
# same path each time.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: $0 TARGET SECONDS}
duration=${2:?usage: $0 TARGET SECONDS}
bin=build/fuzz/fuzz/$target
if [ ! -x "$bin" ]; then
    echo "no $bin: run make fuzz-build first" >&2
    exit 2
fi
work=build/fuzz/corpus/$target
log=build/fuzz/logs/$target.log
mkdir -p "$work" build/fuzz/logs fuzz/artifacts
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
seed_flag=
if [ -n "${FUZZ_SEED:-}" ]; then seed_flag=-seed=$FUZZ_SEED; fi
status=0
# shellcheck disable=SC2086 # FUZZ_ARGS is a list of flags
"$bin" -max_total_time="$duration" -timeout=30 -rss_limit_mb=2048 -max_len=8192 \
    -dict=fuzz/json.dict -artifact_prefix="fuzz/artifacts/$target-" -print_final_stats=1 \
    $seed_flag ${FUZZ_ARGS:-} "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "$target: FAILED (status $status); log in $log, input in fuzz/artifacts/" >&2
    exit 1
fi
done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
echo "$target: ok, ${runs:-?} executions in ${duration} s${FUZZ_SEED:+ (seed $FUZZ_SEED)}; ${done_line:-no DONE line}"
