#!/usr/bin/env bash
# The demo `make demo` runs after the release build: the tamsel tool on the bundled samples,
# the array-stream and writer examples (examples/github_events.c, examples/write_document.c),
# then a generated JSON Lines file of about 200 MiB read into C structs and filtered by
# examples/jsonl_filter.c, and the same events as one JSON array split by `tamsel items`,
# and a recorded Server-Sent Events stream through `tamsel sse`. Everything it writes goes to a temporary directory, removed at exit.
#   scripts/demo.sh [BUILD_DIR]     (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
tamsel=$build/tools/tamsel
filter=$build/examples/jsonl_filter
events=$build/examples/github_events
writer=$build/examples/write_document
data=examples/data
work=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$(date +%s.%N)

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

step "tamsel $("$tamsel" --version | cut -d' ' -f2): validate the bundled samples (prints nothing when all is well)"
show "$tamsel" validate "$data/github_events.json" "$data/twitter.json"
echo "exit status $?: both are valid JSON"

step "Validate a copy of twitter.json with one byte changed: a ':' after a key becomes '='"
cp "$data/twitter.json" "$work/twitter-broken.json"
offset=$(grep -bo '"retweet_count":' "$work/twitter-broken.json" | sed -n 3p | cut -d: -f1)
offset=$((offset + 15)) # the colon after "retweet_count"
printf '=' | dd of="$work/twitter-broken.json" bs=1 seek="$offset" conv=notrunc status=none
# Where that byte is, counted independently of tamsel: its line, and its column in bytes.
before=$(head -c "$offset" "$work/twitter-broken.json")
line=$(($(printf '%s' "$before" | wc -l) + 1))
column=$(($(printf '%s' "${before##*$'\n'}" | wc -c) + 1))
echo "(the byte at offset $offset, line $line, column $column, was changed)"
printf '$ %s\n' "$tamsel validate $work/twitter-broken.json"
status=0
"$tamsel" validate "$work/twitter-broken.json" || status=$?
echo "exit status $status: the message gives FILE:LINE:COLUMN of the faulty byte; that line:"
sed -n "${line}p" "$work/twitter-broken.json" | cut -c1-100
printf '%*s^\n' $((column - 1)) ''

step "What twitter.json is made of, counted in one pass"
show "$tamsel" stats "$data/twitter.json"

step "Pretty-print github_events.json (first 15 lines of the output)"
printf '$ %s\n' "$tamsel fmt --pretty $data/github_events.json | head -n 15"
"$tamsel" fmt --pretty "$data/github_events.json" | head -n 15 || true

step "Compact it again: the compact text of the pretty text equals the compact text of the file"
"$tamsel" fmt --pretty "$data/twitter.json" > "$work/pretty.json"
"$tamsel" fmt --compact "$work/pretty.json" > "$work/a.json"
"$tamsel" fmt --compact "$data/twitter.json" > "$work/b.json"
cmp "$work/a.json" "$work/b.json"
printf 'twitter.json: %s bytes as given, %s pretty, %s compact; round trip identical\n' \
    "$(wc -c < "$data/twitter.json")" "$(wc -c < "$work/pretty.json")" "$(wc -c < "$work/b.json")"

step "github_events.json into C records, one event at a time: examples/github_events.c (array stream)"
printf '$ %s\n' "github_events $data/github_events.json"
"$events" "$data/github_events.json" > "$work/events.txt"
head -n 3 "$work/events.txt"; echo "..."; tail -n 3 "$work/events.txt"

step "A document written token by token: examples/write_document.c (streaming writer)"
printf '$ %s\n' "write_document > $work/doc.json; tamsel validate $work/doc.json"
"$writer" > "$work/doc.json"
"$tamsel" validate "$work/doc.json"
echo "$(wc -c < "$work/doc.json") bytes of valid JSON, most of them one string written in chunks; its start:"
head -c 200 "$work/doc.json"; echo
rm -f "$work/events.txt" "$work/doc.json"

step "A recorded Server-Sent Events token stream, through tamsel sse (first 3 events)"
printf '$ %s\n' "tamsel sse $data/chat_stream.sse | head -n 3"
"$tamsel" sse "$data/chat_stream.sse" > "$work/events.txt"
head -n 3 "$work/events.txt"
echo "(the delta events' data as JSON Lines, first 2; then the answer rebuilt from their text)"
"$tamsel" sse --json --event delta "$data/chat_stream.sse" > "$work/deltas.jsonl"
head -n 2 "$work/deltas.jsonl"
sed -e 's/.*"text":"\(.*\)"}$/\1/' "$work/deltas.jsonl" | tr -d '\n'
echo
echo "every event's data as JSON, up to the [DONE] that ends the stream (last 2)"
printf '$ %s\n' "tamsel sse --json $data/chat_stream.sse | tail -n 2"
"$tamsel" sse --json "$data/chat_stream.sse" > "$work/all.jsonl"
tail -n 2 "$work/all.jsonl"
echo "without an end marker [DONE] is data that is not JSON: a bad event, at its byte (exit status 1)"
printf '$ %s\n' "tamsel sse --json --end-marker '' $data/chat_stream.sse"
"$tamsel" sse --json --end-marker '' "$data/chat_stream.sse" > "$work/all.jsonl" && exit 1 || [ $? -eq 1 ]
rm -f "$work/events.txt" "$work/deltas.jsonl" "$work/all.jsonl"

step "Generate about 200 MiB of JSON Lines events (in $work)"
show "$filter" generate "$work/events.jsonl" 200

step "Validate it as JSON Lines, one value per line"
t0=$(date +%s.%N)
show "$tamsel" validate --lines "$work/events.jsonl"
t1=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" -v n="$(wc -c < "$work/events.jsonl")" \
    'BEGIN { printf "valid: %.1f MB in %.2f s (%.0f MB/s)\n", n / 1e6, b - a, n / 1e6 / (b - a) }'

step "Filter it with examples/jsonl_filter.c: object stream into C structs, serializer out"
echo "(keeps active events from DE with a score of 90 or more, writing four of their fields)"
show "$filter" filter "$work/events.jsonl" "$work/kept.jsonl"
echo "first three lines of the filtered file:"
head -n 3 "$work/kept.jsonl"
show "$tamsel" validate --lines "$work/kept.jsonl"
echo "the filtered file is valid JSON Lines ($(wc -l < "$work/kept.jsonl") lines)"

step "The same events as one JSON array, split again into JSON Lines by tamsel items"
{ echo '['; sed '$!s/$/,/' "$work/events.jsonl"; echo ']'; } > "$work/events.json"
rm -f "$work/kept.jsonl"
printf '$ %s\n' "tamsel items $work/events.json > $work/items.jsonl"
t0=$(date +%s.%N)
rss=$(/usr/bin/time -f %M "$tamsel" items "$work/events.json" 2>&1 >"$work/items.jsonl" | tail -n 1)
t1=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" -v n="$(wc -c < "$work/events.json")" -v rss="$rss" \
    'BEGIN { printf "%.1f MB in %.2f s (%.0f MB/s), peak RSS %.1f MiB\n", n / 1e6, b - a, n / 1e6 / (b - a), rss / 1024 }'
echo "$(wc -l < "$work/items.jsonl") items; the first two:"
head -n 2 "$work/items.jsonl" | cut -c1-120
show "$tamsel" validate --lines "$work/items.jsonl"
echo "every item is one valid JSON value on its line"

step "Edit the array in one streaming pass with tamsel rewrite: keep only the active events"
printf '$ %s\n' "tamsel rewrite --keep-items '' --where active=true $work/events.json > $work/active.json"
t0=$(date +%s.%N)
rss=$(/usr/bin/time -f %M "$tamsel" rewrite --keep-items '' --where active=true "$work/events.json" \
    2>&1 >"$work/active.json" | tail -n 1)
t1=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" -v n="$(wc -c < "$work/events.json")" -v rss="$rss" \
    'BEGIN { printf "%.1f MB in %.2f s (%.0f MB/s), peak RSS %.1f MiB\n", n / 1e6, b - a, n / 1e6 / (b - a), rss / 1024 }'
show "$tamsel" validate "$work/active.json"
echo "$(wc -c < "$work/active.json") bytes of valid JSON left"
step "Set one value (created when missing) and drop another, each in one pass"
printf '$ %s\n' "tamsel rewrite --set search_metadata.source='\"demo\"' $data/twitter.json | tamsel rewrite --drop statuses"
"$tamsel" rewrite --set search_metadata.source='"demo"' "$data/twitter.json" |
    "$tamsel" rewrite --drop statuses

rm -f "$work/events.jsonl" "$work/kept.jsonl" "$work/events.json" "$work/items.jsonl" \
    "$work/active.json"
finished=$(date +%s.%N)
awk -v a="$started" -v b="$finished" 'BEGIN { printf "\ndemo finished in %.1f s; generated files deleted\n", b - a }'
