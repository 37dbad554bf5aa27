#!/usr/bin/env bash
# The tamsel tool against jq on the corpus documents: wall time with hyperfine, peak RSS with
# /usr/bin/time. `tamsel fmt --compact` faces `jq -c .`, `tamsel validate` faces `jq empty`;
# `tamsel items` faces `jq -c '.[]'` and jq's streaming form on a generated 256 MiB array.
# Not part of `make bench`; run it as `make bench-tool` (builds the release tool first).
#   bench/tool.sh [BUILD_DIR]   writes bench/results/tool.md and prints it
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
tamsel=$build/tools/tamsel
runs=${TOOL_BENCH_RUNS:-10}
out=bench/results/tool.md
mkdir -p bench/results
json=$(mktemp)
array=$(mktemp)
trap 'rm -f "$json" "$array"' EXIT

rss_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

{
    echo "# tamsel tool against jq"
    echo
    echo "- run: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
    echo "- $("$tamsel" --version), $(jq --version), hyperfine $runs runs after one warm-up"
    echo
    echo "Cells: mean wall time in ms (jq's time divided by tamsel's in brackets), then peak RSS."
    echo
    echo "| input | tamsel fmt --compact | jq -c . | tamsel validate | jq empty |"
    echo "|---|---:|---:|---:|---:|"
    for f in tests/data/corpus/*.json; do
        hyperfine -N --warmup 1 --runs "$runs" --export-json "$json" --style none \
            "$tamsel fmt --compact $f" "jq -c . $f" "$tamsel validate $f" "jq empty $f" \
            >/dev/null 2>&1
        read -r t_fmt t_jqc t_val t_jqe < <(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print(" ".join("%.2f" % (x["mean"] * 1000) for x in r))' "$json")
        m_fmt=$(rss_kib "$tamsel" fmt --compact "$f")
        m_jqc=$(rss_kib jq -c . "$f")
        m_val=$(rss_kib "$tamsel" validate "$f")
        m_jqe=$(rss_kib jq empty "$f")
        ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
        printf '| %s (%s KiB) | %s ms (%s×), %s KiB | %s ms, %s KiB | %s ms (%s×), %s KiB | %s ms, %s KiB |\n' \
            "$(basename "$f")" "$(($(wc -c < "$f") / 1024))" \
            "$t_fmt" "$(ratio "$t_fmt" "$t_jqc")" "$m_fmt" "$t_jqc" "$m_jqc" \
            "$t_val" "$(ratio "$t_val" "$t_jqe")" "$m_val" "$t_jqe" "$m_jqe"
    done

    # One JSON array of generated records, 256 MiB.
    awk -v size=$((256 * 1024 * 1024)) 'BEGIN {
        printf "["; n = 1
        for (i = 0; n < size; i++) {
            r = sprintf("%s{\"id\":%d,\"name\":\"user %d\",\"email\":\"u%d@example.com\",\"active\":%s,\"score\":%d.%02d,\"tags\":[\"t%d\",\"x\"],\"location\":{\"city\":\"c%d\",\"lat\":%d.5}}",
                i ? ",\n" : "", i, i, i, i % 2 ? "true" : "false", i % 100, i % 97, i % 13, i % 50, i % 90)
            printf "%s", r; n += length(r)
        }
        print "]" }' > "$array"
    aruns=${TOOL_BENCH_ARRAY_RUNS:-3}
    items="$tamsel items $array"
    jq_items="jq -c .[] $array"
    jq_stream="jq -cn --stream fromstream(1|truncate_stream(inputs)) $array"
    hyperfine -N --runs "$aruns" --export-json "$json" --style none \
        "$items" "$jq_items" "$jq_stream" >/dev/null 2>&1
    read -r t_items t_jq t_stream < <(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print(" ".join("%.0f" % (x["mean"] * 1000) for x in r))' "$json")
    m_items=$(rss_kib "$tamsel" items "$array")
    m_jq=$(rss_kib jq -c '.[]' "$array")
    m_stream=$(rss_kib jq -cn --stream 'fromstream(1|truncate_stream(inputs))' "$array")
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
    echo
    echo "## tamsel items on a $(($(wc -c < "$array") / 1048576)) MiB array ($aruns runs)"
    echo
    echo "| tamsel items | jq -c '.[]' | jq -cn --stream 'fromstream(1\|truncate_stream(inputs))' |"
    echo "|---:|---:|---:|"
    printf '| %s ms, %s KiB | %s ms (%s×), %s KiB | %s ms (%s×), %s KiB |\n' \
        "$t_items" "$m_items" "$t_jq" "$(ratio "$t_items" "$t_jq")" "$m_jq" \
        "$t_stream" "$(ratio "$t_items" "$t_stream")" "$m_stream"

    # Streaming edits of the same array against the jq programs that load it whole.
    drop="$tamsel rewrite --drop 0.location $array"
    set1="$tamsel rewrite --set 0.id=1 $array"
    keep="$tamsel rewrite --keep-items '' --where active=true $array"
    jq_drop="jq -c del(.[0].location) $array"
    jq_set="jq -c .[0].id=1 $array"
    jq_keep="jq -c map(select(.active==true)) $array"
    hyperfine -N --runs "$aruns" --export-json "$json" --style none \
        "$drop" "$jq_drop" "$set1" "$jq_set" "$keep" "$jq_keep" >/dev/null 2>&1
    read -r t_d t_jd t_s t_js t_k t_jk < <(python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print(" ".join("%.0f" % (x["mean"] * 1000) for x in r))' "$json")
    m_d=$(rss_kib "$tamsel" rewrite --drop 0.location "$array")
    m_jd=$(rss_kib jq -c 'del(.[0].location)' "$array")
    m_s=$(rss_kib "$tamsel" rewrite --set 0.id=1 "$array")
    m_js=$(rss_kib jq -c '.[0].id=1' "$array")
    m_k=$(rss_kib "$tamsel" rewrite --keep-items '' --where active=true "$array")
    m_jk=$(rss_kib jq -c 'map(select(.active==true))' "$array")
    echo
    echo "## tamsel rewrite on the same array ($aruns runs)"
    echo
    echo "| edit | tamsel rewrite | jq |"
    echo "|---|---:|---:|"
    printf '| --drop 0.location / del(.[0].location) | %s ms, %s KiB | %s ms (%s×), %s KiB |\n' \
        "$t_d" "$m_d" "$t_jd" "$(ratio "$t_d" "$t_jd")" "$m_jd"
    printf '| --set 0.id=1 / .[0].id = 1 | %s ms, %s KiB | %s ms (%s×), %s KiB |\n' \
        "$t_s" "$m_s" "$t_js" "$(ratio "$t_s" "$t_js")" "$m_js"
    printf '| --keep-items "" --where active=true / map(select(.active == true)) | %s ms, %s KiB | %s ms (%s×), %s KiB |\n' \
        "$t_k" "$m_k" "$t_jk" "$(ratio "$t_k" "$t_jk")" "$m_jk"
} > "$out"
cat "$out"
