#!/usr/bin/env bash
# The tamsel tool against jq 1.6 and gojq on the same inputs: wall time with hyperfine, peak RSS
# with /usr/bin/time, every output checked against jq's. Not part of `make bench`; run it as
# `make bench-tool` (builds the release tool and the input generator first).
#   bench/tool.sh [BUILD_DIR]
# writes bench/results/tool.md (tables), tool.json (the measurements) and tool.svg (the chart).
#
# Jobs, each as `tamsel ...` / `jq ...` / `gojq ...`:
#   fmt       fmt --compact F            -c . F
#   validate  validate F                 empty F
#   items     items F                    -c '.[]' F
#   rewrite   rewrite --drop 7.name F    -c 'del(.[7].name)' F
# over generated arrays of records (the records of `make bench`, generated once into its cache,
# bench/cache or BENCH_CACHE_DIR), and fmt and validate over the corpus documents.
#
# Checks: every output is normalised with jq and hashed, tamsel's with `jq -c .` against jq's
# own output (the order of object members must be kept), gojq's with `jq -cS .` against jq's
# output through the same (gojq sorts object members when it writes); a side whose hash differs
# from jq's, or that fails, fails the run (exit 1) after the report is written. validate
# compares exit statuses.
#
# Environment:
#   TOOL_BENCH_SIZES        generated array sizes (default "64m 1g")
#   TOOL_BENCH_RUNS         hyperfine runs per command on the corpus documents (default 10)
#   TOOL_BENCH_ARRAY_RUNS   hyperfine runs per command on arrays below 1 GiB (default 3)
#   TOOL_BENCH_LARGE_RUNS   hyperfine runs of tamsel on arrays of 1 GiB and more (default 3)
#   TOOL_BENCH_PEERS_LARGE  jq and gojq on arrays of 1 GiB and more: "once" (default: one run,
#                           timed by /usr/bin/time, about 15-20 GiB of RSS and minutes each) or
#                           "skip" (then tamsel's outputs there are not checked either)
#   TOOL_BENCH_TIMEOUT      seconds allowed to each of those single runs (default 900); a run
#                           cut off is reported as "> N s"
#   TOOL_BENCH_LARGE_MIB    from which size an array counts as large (default 1024)
#   TOOL_BENCH_CORPUS       0 leaves out the corpus documents (default 1)
#   BENCH_PYTHON            the Python that has matplotlib, for the chart (default
#                           /usr/bin/python3, where Debian's python3-matplotlib goes)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
tamsel=$build/tools/tamsel
generate=$build/bench/tamsel_bench_generate
sizes=${TOOL_BENCH_SIZES:-64m 1g}
corpus_runs=${TOOL_BENCH_RUNS:-10}
array_runs=${TOOL_BENCH_ARRAY_RUNS:-3}
large_runs=${TOOL_BENCH_LARGE_RUNS:-3}
peers_large=${TOOL_BENCH_PEERS_LARGE:-once}
timeout_s=${TOOL_BENCH_TIMEOUT:-900}
with_corpus=${TOOL_BENCH_CORPUS:-1}
large_mib=${TOOL_BENCH_LARGE_MIB:-1024}
python=${BENCH_PYTHON:-$(command -v /usr/bin/python3 || echo python3)}
case "$peers_large" in once | skip) ;; *)
    echo "TOOL_BENCH_PEERS_LARGE is once or skip, not '$peers_large'" >&2
    exit 2
    ;;
esac
for program in "$tamsel" "$generate"; do
    [ -x "$program" ] || { echo "$program is missing: run make bench-tool" >&2; exit 2; }
done
peers=(jq)
if command -v gojq >/dev/null 2>&1; then
    peers+=(gojq)
else
    echo "gojq not found: its columns are left out" >&2
fi

mkdir -p bench/results "$build/tool-bench"
# Each output is kept until it is checked (1 GiB and more): beside the build, not in /tmp.
work=$(mktemp -d "$build/tool-bench/run.XXXXXX")
trap 'rm -rf "$work"' EXIT
rows=$work/rows.tsv
: >"$rows"

# The command of one side for one job over file $3, as one shell-quoted string.
command_of() {
    local side=$1 job=$2 file=$3
    if [ "$side" = tamsel ]; then
        case "$job" in
            fmt) echo "$tamsel fmt --compact $file" ;;
            validate) echo "$tamsel validate $file" ;;
            items) echo "$tamsel items $file" ;;
            rewrite) echo "$tamsel rewrite --drop 7.name $file" ;;
        esac
    else
        case "$job" in
            fmt) echo "$side -c . $file" ;;
            validate) echo "$side empty $file" ;;
            items) echo "$side -c '.[]' $file" ;;
            rewrite) echo "$side -c 'del(.[7].name)' $file" ;;
        esac
    fi
}

# The hash of an output in jq's normal form, "c:HASH" with the order of object members kept
# (jq -c .; jq's own output is that form already) or "S:HASH" with the members sorted (jq -cS .)
# for gojq, which sorts them when it writes; jq's row has both. validate has no output: its
# exit status is compared instead.
normal_hash() {
    local side=$1 job=$2 output=$3 status=$4
    if [ "$job" = validate ]; then
        echo "exit-$status"
        return
    fi
    local hashes=()
    if [ "$side" = jq ]; then
        hashes+=("c:$(sha256sum <"$output" | cut -c1-16)")
    fi
    local flags=-c kind=c
    [ "$side" = tamsel ] || { flags=-cS kind=S; }
    if timeout "$timeout_s" jq "$flags" . "$output" >"$output.normal" 2>/dev/null; then
        hashes+=("$kind:$(sha256sum <"$output.normal" | cut -c1-16)")
    else
        hashes+=("$kind:unchecked")
    fi
    rm -f "$output.normal"
    echo "${hashes[*]}"
}

# measure JOB INPUT_NAME FILE SIDE RUNS: hyperfine's median of RUNS runs (RUNS 0: the one run
# below is the timing), then one run under /usr/bin/time for peak RSS and the output to check.
# Appends: job, input, bytes, side, seconds, how timed, peak RSS KiB, status, hash, command.
measure() {
    local job=$1 input=$2 file=$3 side=$4 runs=$5 bytes seconds timing rss status hash
    local cmd
    cmd=$(command_of "$side" "$job" "$file")
    bytes=$(stat -c %s "$file")
    local -a argv
    eval "argv=($cmd)"
    seconds=""
    timing="one run"
    if [ "$runs" -gt 0 ]; then
        hyperfine -N --warmup 1 --runs "$runs" --export-json "$work/h.json" --style none \
            -i -- "$cmd" >/dev/null 2>&1
        seconds=$(python3 -c 'import json, sys
print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$work/h.json")
        timing="median of $runs"
    fi
    local output=$work/out.$side status_code=0 wall
    # time(1) waits for timeout(1), which waits for the side: the peak RSS is the side's.
    /usr/bin/time -f "%e %M" -o "$work/time" timeout "$timeout_s" "${argv[@]}" >"$output" \
        2>"$work/stderr" || status_code=$?
    if [ "$status_code" -eq 124 ]; then
        status=timeout
        seconds=$timeout_s
        rss=""
        hash=""
    else
        # The last line: time(1) puts "Command exited with non-zero status N" before it.
        read -r wall rss < <(tail -n 1 "$work/time")
        [ -n "$seconds" ] || seconds=$wall
        # A validate side judges the input (exit 1 would be "invalid"); others must succeed.
        if [ "$status_code" -eq 0 ] || { [ "$job" = validate ] && [ "$status_code" -eq 1 ]; }; then
            status=ok
        else
            status=failed
            sed 's/^/    /' "$work/stderr" | head -n 5 >&2
        fi
        if [ "$normalise" = 1 ] || [ "$job" = validate ]; then
            hash=$(normal_hash "$side" "$job" "$output" "$status_code")
        else
            hash="unchecked"
        fi
    fi
    last_status=$status
    rm -f "$output"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$job" "$input" "$bytes" "$side" \
        "$seconds" "$timing" "$rss" "$status" "$hash" "$cmd" >>"$rows"
    printf '  %-9s %-22s %-7s %10.3f s  %10s KiB  %s %s\n' "$job" "$input" "$side" "$seconds" \
        "${rss:--}" "$status" "$hash" >&2
}

skipped() {
    local job=$1 input=$2 file=$3 side=$4
    printf '%s\t%s\t%s\t%s\t\t\t\tskipped\t\t%s\n' "$job" "$input" "$(stat -c %s "$file")" \
        "$side" "$(command_of "$side" "$job" "$file")" >>"$rows"
    last_status=skipped
}

# Outputs are normalised through jq only while there is a jq output to hold them to: at the large
# sizes jq runs first, and when it was skipped or cut off nothing else is normalised (that would
# cost what running jq costs).
normalise=1
last_status=

if [ "$with_corpus" != 0 ]; then
    for f in tests/data/corpus/*.json; do
        for job in fmt validate; do
            for side in tamsel "${peers[@]}"; do
                measure "$job" "$(basename "$f")" "$f" "$side" "$corpus_runs"
            done
        done
    done
fi

for size in $sizes; do
    file=$("$generate" array "$size")
    input=$(basename "$file")
    # The size asked for (the file stops at the last record that fits in it).
    mib=${size%[mg]}
    [ "${size: -1}" = g ] && mib=$((mib * 1024))
    large=0
    [ "$mib" -ge "$large_mib" ] && large=1
    cat "$file" >/dev/null # the page cache holds it for every side alike
    for job in fmt validate items rewrite; do
        if [ "$large" = 1 ]; then
            normalise=1
            for side in "${peers[@]}"; do
                if [ "$peers_large" = skip ]; then
                    skipped "$job" "$input" "$file" "$side"
                else
                    measure "$job" "$input" "$file" "$side" 0
                fi
                [ "$side" != jq ] || [ "$last_status" = ok ] || normalise=0
            done
            measure "$job" "$input" "$file" tamsel "$large_runs"
            normalise=1
        else
            for side in tamsel "${peers[@]}"; do
                measure "$job" "$input" "$file" "$side" "$array_runs"
            done
        fi
    done
done

context=$(printf 'run=%s\ncores=%s\nload=%s\ntamsel=%s\njq=%s\ngojq=%s\nhyperfine=%s\n' \
    "$(date -u '+%Y-%m-%d %H:%M UTC')" "$(nproc)" "$(cut -d' ' -f1 /proc/loadavg)" \
    "$("$tamsel" --version)" "$(jq --version)" \
    "$(command -v gojq >/dev/null && gojq --version || echo none)" \
    "$(hyperfine --version)")
"$python" bench/report.py --tool "$rows" bench/results/tool.md <<<"$context"
