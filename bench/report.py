#!/usr/bin/env python3
"""Turns tamsel_bench's Google Benchmark JSON into the Markdown tables of bench/results/latest.md,
and bench/tool.sh's measurements into bench/results/tool.md; draws both as SVG charts.

    python3 bench/report.py bench/results/latest.json bench/results/latest.md
    python3 bench/report.py --tool ROWS.tsv bench/results/tool.md < CONTEXT

Benchmarks are named job/input/side. For each job and input, every side's time is divided into
RapidJSON's (or the job's own baseline, named in its table): the ratio is the baseline's time
over the side's time on the same bytes in the same run, so 1.00x means as fast as the baseline
and above that faster. With repetitions the median is used. The tables are written to the
output file and printed, the chart (bench.svg) beside the output file when matplotlib is there;
the exit status is 1 if a benchmark failed or two sides of a job disagree on their checksum.

With --tool: ROWS.tsv has one line per measurement (job, input, bytes, side, seconds, how it was
timed, peak RSS in KiB, status, hash of the normalised output, command) and CONTEXT lines of
key=value. Writes the tables, tool.json and tool.svg beside them; the exit status is 1 if a side
failed or its output differs from jq's.
"""

import json
import os
import re
import sys
from collections import defaultdict

BASELINE = "rapidjson"
# Jobs measured against a plain equivalent instead of RapidJSON.
JOB_BASELINE = {"owned-buffer": "std-string", "spool": "stdio", "multipart": "memmem",
                "push-chunks": "boost-json", "sse": "memchr-rapidjson",
                "curl-array": "rapidjson-buffer-sax", "cpp-layer": "tamsel-c"}
LIMITS = {"memcpy", "quote-count", "read", "memmem"}
# Sides that do a different job from the baseline of their table: shown without a ratio.
NO_RATIO = {"sse": {"tamsel-callbacks"}}
SIDE_ORDER = ["tamsel", "tamsel-json", "tamsel-callbacks", "tamsel-hpp", "tamsel-c", "std-string", "stdio", "rapidjson",
              "rapidjson-buffer-sax", "memchr-rapidjson", "boost-json", "simdjson-ondemand",
              "simdjson-dom", "yyjson", "yajl", "cjson", "jansson", "rapidjson-whole", "memcpy",
              "quote-count", "read", "memmem"]
SIDE_TITLES = {
    "tamsel": "**tamsel**",
    "tamsel-json": "**tamsel** JSON into records",
    "tamsel-callbacks": "**tamsel** callbacks only",
    "tamsel-hpp": "**tamsel.hpp**",
    "tamsel-c": "tamsel C calls",
    "rapidjson": "RapidJSON",
    "rapidjson-buffer-sax": "libcurl into a buffer + RapidJSON",
    "memchr-rapidjson": "`memchr` lines + RapidJSON",
    "boost-json": "Boost.JSON",
    "rapidjson-whole": "RapidJSON, whole buffer",
    "simdjson-ondemand": "simdjson On Demand",
    "simdjson-dom": "simdjson DOM",
    "yyjson": "yyjson",
    "yajl": "yajl",
    "cjson": "cJSON",
    "jansson": "jansson",
    "memcpy": "memcpy",
    "quote-count": 'count `"`',
    "read": "read()",
    "memmem": "`memmem` scan",
    "std-string": "`std::string::append`",
    "stdio": "`fwrite` / `fread`",
}
# Tables in this order; jobs not listed follow, in name order.
JOBS = [
    ("validate", "validate",
     "Is it one well-formed JSON text? RapidJSON: `Reader` with a null handler, default flags."),
    ("visit", "visit (null visitor)",
     "Every value and key handed to a visitor that only counts them; the counts must agree."),
    ("extract", "parse into records (struct extraction)",
     "twitter.json: per status `id`, `text`, `user.screen_name`, `retweet_count`, `favorited`;"
     " records-*.json: 6 of the 13 members of each record. The checksums of the C records must"
     " agree. RapidJSON: `Reader` with a key-path SAX handler."),
    ("push-chunks", "parse into records, input pushed in pieces",
     "The generated arrays handed over in pieces of 1 KiB, 4 KiB or 64 KiB (`@1k`, `@4k`,"
     " `@64k`), as from a socket: each item into one `bench_record` (the 6 members of extract),"
     " folded into the checksum and dropped. tamsel: `tamsel_array_stream_open_push`,"
     " `tamsel_array_stream_push` per piece, `tamsel_array_stream_finish`; Boost.JSON:"
     " `basic_parser::write_some` per piece (strings split across pieces gathered by the"
     " handler); yajl: `yajl_parse` per piece. In brackets **Boost.JSON's time divided by this"
     " side's time** (not RapidJSON's): tamsel's cell is Boost.JSON time ÷ tamsel time."
     " RapidJSON has no push parser: its column reads the whole buffer at once, for reference."),
    ("serialize", "serialize records",
     "The records of that row written as compact JSON; MB/s of output. Each output is read back"
     " and must give the records written. RapidJSON: `Writer<StringBuffer>`. yyjson: a mutable"
     " document built from the records (strings referenced, not copied), `yyjson_mut_write`."),
    ("serialize-pretty", "serialize records, pretty",
     "The twitter statuses of that row with two-space indentation; MB/s of output, read back and"
     " checked. RapidJSON: `PrettyWriter<StringBuffer>` with `SetIndent(' ', 2)`; yyjson:"
     " `YYJSON_WRITE_PRETTY_TWO_SPACES`."),
    ("writer", "streaming writer, token by token",
     "The twitter statuses written call by call into memory: `tamsel_writer_*` into a doubling"
     " block against RapidJSON `Writer<StringBuffer>` and `yajl_gen` making the same calls; MB/s"
     " of output. Outputs are read back, and tamsel's must equal RapidJSON's byte for byte."),
    ("owned-buffer", "owned buffer appends",
     "Appending to a `tamsel_owned_buffer` through its sink; in brackets `std::string::append`'s"
     " time over tamsel's (not RapidJSON's)."),
    ("spool", "spooled value, write then read",
     "Written in 64 KiB pieces with a 64 KiB memory limit, then read back; in brackets `fwrite`"
     " and `fread` on a tmpfile's time over tamsel's (not RapidJSON's)."),
    ("array-stream", "array stream over a generated array (descriptor)",
     "The items of the root array one at a time into a record, read from a descriptor."),
    ("multipart", "multipart form upload (in memory)",
     "Four large binary file parts and many small fields pushed in 64 KiB pieces; in brackets the"
     " time of `memmem` finding every delimiter in the same buffer over tamsel's (the limit of"
     " the job, not RapidJSON)."),
    ("object-stream", "object stream over JSON Lines (in memory)",
     "One record per line, handed over one at a time; the checksums must agree. RapidJSON:"
     " `Reader` with `kParseStopWhenDoneFlag` and the key-path SAX handler."),
    ("rewrite-drop-one", "rewrite: drop one item (in memory)",
     "Element 1 of the generated array left out, everything else copied into a sink that only"
     " counts: `tamsel_value_rewrite_selector_buffer` (selector `1`, drop) against a RapidJSON"
     " `Reader` → `Writer` filter (numbers passed as text) doing the same edit. MB/s of input;"
     " tamsel's peak heap (its allocation statistics, runtime included)."),
    ("rewrite-keep-all", "rewrite: copy every item (in memory)",
     "Every item of the generated array copied into a counting sink: `tamsel_array_rewrite_reader`"
     " with no item callback against the RapidJSON `Reader` → `Writer` filter. MB/s of input;"
     " tamsel's peak heap."),
    ("writer-splice", "writer: splice an array file's items",
     "`[0, <every item of the file>]`: the items of a generated array file spliced into an open"
     " writer array (`tamsel_writer_array_items_path`) into a counting sink. No peer library"
     " has this operation (rewrite-keep-all's RapidJSON column is the nearest copy job). MB/s of"
     " input; tamsel's peak heap."),
    ("sse", "Server-Sent Events (in memory)",
     "Generated event streams pushed in 64 KiB pieces: `tokens`, many small events; `large`,"
     " events of about 32 KiB spread over eight data lines. tamsel JSON: `tamsel_sse_push_json`"
     " into one reused record per event; tamsel callbacks: `tamsel_sse_push` with callbacks only"
     " (no JSON parsed: no ratio). In brackets the time of the baseline, lines split with"
     " `memchr` and each event's data parsed by RapidJSON into the same record, over this"
     " side's. MB/s of input; tamsel's peak heap."),
    ("cpp-layer", "the C++ layer against the C calls (in memory)",
     "The extract jobs through `tamsel.hpp` and through the C calls it wraps, one runtime, the"
     " same record layouts: twitter.json with `tamsel::parse<T>` against `tamsel_parse_buffer`,"
     " records-*.json item by item with a `tamsel::items<T>` loop against"
     " `tamsel_array_stream_next`. In brackets the C calls' time over the layer's (1.00x: no"
     " cost); the checksums must agree."),
    ("curl-array", "download an array with libcurl (loopback)",
     "A generated array served over loopback, each side in a fresh process: tamsel parses the"
     " items as the body arrives (`tamsel_curl_array_parse`, one record), the baseline has"
     " libcurl append the body to a growing buffer and then runs RapidJSON's SAX reader over"
     " it. Wall time; in brackets the baseline's time over this side's; peak heap (tamsel: its"
     " allocation statistics; the baseline: its buffer) and the process's peak RSS."),
]
NOTES = {
    "extract": "cJSON keeps every number as a double, so tweet ids (above 2^53) do not survive it:"
               " it sits out twitter.json.",
    "serialize": "cJSON writes numbers from doubles: it sits out twitter.json (tweet ids above"
                 " 2^53). simdjson has no writer.",
}
SCALING_JOBS = ["validate", "extract"]
MEMORY_PREFIX = "fd-"


def seconds(bench, value):
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench.get("time_unit", "ns")]
    return value * unit


def pick_runs(benchmarks):
    """(job, input, side) -> the run to report: the median aggregate, or the only run."""
    grouped = defaultdict(list)
    for b in benchmarks:
        parts = b["name"].split("/")
        if len(parts) < 3:
            continue
        grouped[tuple(parts[:3])].append(b)
    picked = {}
    for key, runs in grouped.items():
        errors = [r for r in runs if r.get("error_occurred")]
        medians = [r for r in runs if r.get("run_type") == "aggregate"
                   and r.get("aggregate_name") == "median"]
        iterations = [r for r in runs if r.get("run_type") != "aggregate"]
        if errors:
            picked[key] = errors[0]
        elif medians:
            picked[key] = medians[0]
        elif iterations:
            picked[key] = iterations[len(iterations) // 2]
    return picked


class Row:
    def __init__(self, bench):
        self.error = bench.get("error_message") if bench.get("error_occurred") else None
        manual = "manual_time" in bench["name"]
        self.time = seconds(bench, bench["real_time"] if manual else bench["cpu_time"])
        self.bytes = bench.get("bytes", 0.0)
        # Rows that report only a rate (SetBytesProcessed) and no byte counter.
        self.rate = bench.get("bytes_per_second", 0.0)
        self.label = bench.get("label", "")
        match = re.search(r"checksum=([0-9a-f]+)", self.label)
        self.checksum = match.group(1) if match else None
        self.peak_heap = bench.get("peak_heap")
        self.peak_rss = bench.get("peak_rss")
        # Rate-only rows carry no byte count: their input's size is the rate times the time.
        self.size = self.bytes or self.rate * self.time
        self.process_heap = bench.get("process_heap")
        self.heap_source = "library" if "heap=library" in self.label else "process"

    @property
    def mbps(self):
        if not self.bytes:
            return self.rate / 1e6
        return self.bytes / self.time / 1e6 if self.time > 0 else 0.0


def input_key(name):
    """Real-world documents first (by name), then generated inputs by size."""
    match = re.match(r"records-(\d+)([mg])\.", name)
    if not match:
        return (0, 0, name)
    size = int(match.group(1)) * (1024 if match.group(2) == "g" else 1)
    return (1, size, name)


def side_key(side):
    return (SIDE_ORDER.index(side) if side in SIDE_ORDER else len(SIDE_ORDER), side)


def size_text(n):
    n = float(n)
    for unit in ["B", "KiB", "MiB", "GiB"]:
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


def mbps_text(v):
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def cell(row, base, memory=False):
    """MB/s, the ratio to `base` in brackets, and with `memory` the row's peaks if it has any."""
    if row is None:
        return "—"
    if row.error:
        return "error"
    text = mbps_text(row.mbps)
    if base is not None and not base.error and row.time > 0:
        text += f" ({base.time / row.time:.2f}×)"
    if memory:
        peaks = []
        if row.peak_heap is not None:
            peaks.append(f"heap {size_text(row.peak_heap)}")
        if row.peak_rss is not None:
            peaks.append(f"RSS {size_text(row.peak_rss)}")
        if peaks:
            text += "; " + ", ".join(peaks)
    return text


class Report:
    def __init__(self, data):
        self.context = data.get("context", {})
        self.rows = {key: Row(b) for key, b in pick_runs(data.get("benchmarks", [])).items()}
        self.problems = []
        self.by_job = defaultdict(lambda: defaultdict(dict))
        for (job, inp, side), row in self.rows.items():
            self.by_job[job][inp][side] = row
            if row.error:
                self.problems.append(f"{job}/{inp}/{side} failed: {row.error}")
        for job, inputs in self.by_job.items():
            for inp, sides in inputs.items():
                sums = {s: r.checksum for s, r in sides.items()
                        if s not in LIMITS and not r.error and r.checksum}
                if len(set(sums.values())) > 1:
                    detail = ", ".join(f"{s}={c}" for s, c in sorted(sums.items()))
                    self.problems.append(f"checksum mismatch in {job}/{inp}: {detail}")

    def header(self):
        c = self.context
        mode = c.get("bench_mode", "full")
        date = c.get("date", "")[:16].replace("T", " ")
        reps = c.get("repetitions", "1")
        timing = (f"at least {float(c.get('min_time', 0)):.2f} s per benchmark, "
                  f"{reps} repetitions ({c.get('heavy_repetitions', reps)} on inputs of 64 MiB"
                  " and more) in random interleaved order, median shown"
                  if reps != "1" else
                  f"at least {float(c.get('min_time', 0)):.2f} s per benchmark, one repetition")
        lines = [
            "# tamsel benchmarks: latest run",
            "",
            f"- run: {date} UTC, {mode} mode ({timing})",
            f"- machine: {c.get('cpu_model', '?')}, {c.get('num_cpus', '?')} cores "
            f"(shared with other work), {c.get('mhz_per_cpu', '?')} MHz",
            f"- build: {c.get('compiler', '?')}, release preset (`-O2 -march=x86-64-v2`);"
            f" simdjson kernels: DOM {c.get('simdjson_dom_kernel', '?')} (chosen at run time),"
            f" On Demand {c.get('simdjson_ondemand_kernel', '?')} (compiled in)",
            f"- tamsel {c.get('tamsel_version', '?')}",
            "",
            "Cells: MB/s (10^6 bytes per second of CPU time of the whole process, all threads)"
            " of input, of output for serialize and writer; in brackets RapidJSON's time divided"
            " by this side's time on the same job, same bytes, same run (above 1.00× is faster),"
            " unless the table names another baseline. — : the side does not do that job on that"
            " input. The chart `bench.svg` beside this file draws the main rows.",
        ]
        return lines

    def job_table(self, job, title, description):
        inputs = self.by_job.get(job)
        if not inputs:
            return []
        sides = sorted({s for per in inputs.values() for s in per}, key=side_key)
        lines = [f"## {title}", "", description, ""]
        lines.append("| input | " + " | ".join(SIDE_TITLES.get(s, s) for s in sides) + " |")
        lines.append("|---|" + "---:|" * len(sides))
        no_ratio = NO_RATIO.get(job, set())
        for inp in sorted(inputs, key=input_key):
            per = inputs[inp]
            base = per.get(JOB_BASELINE.get(job, BASELINE))
            size = max((r.size for r in per.values() if job != "serialize"), default=0)
            name = f"{inp} ({size_text(size)})" if size else inp
            lines.append(f"| {name} | " + " | ".join(
                cell(per.get(s), None if s in no_ratio else base, memory=True) for s in sides)
                + " |")
        if job in NOTES:
            lines += ["", NOTES[job]]
        lines.append("")
        return lines

    def scaling_table(self):
        lines = []
        for job in SCALING_JOBS:
            inputs = {i: per for i, per in self.by_job.get(job, {}).items()
                      if input_key(i)[0] == 1}
            if len(inputs) < 2:
                continue
            order = sorted(inputs, key=input_key)
            if not lines:
                lines = ["## scaling", "",
                         "The generated arrays of records at growing sizes: MB/s per side; the"
                         " last column is the largest size's MB/s over the smallest's (1.00 ="
                         " flat cost per byte).", ""]
            sides = sorted({s for per in inputs.values() for s in per}, key=side_key)
            lines.append(f"| {job} | " + " | ".join(order) + f" | {order[-1]} ÷ {order[0]} |")
            lines.append("|---|" + "---:|" * (len(order) + 1))
            for s in sides:
                row = [inputs[i].get(s) for i in order]
                cells = [mbps_text(r.mbps) if r and not r.error else "—" for r in row]
                first, last = row[0], row[-1]
                flat = (f"{last.mbps / first.mbps:.2f}" if first and last and not first.error
                        and not last.error and first.mbps > 0 else "—")
                lines.append(f"| {SIDE_TITLES.get(s, s)} | " + " | ".join(cells) +
                             f" | {flat} |")
            lines.append("")
        return lines

    def memory_table(self):
        known = [MEMORY_PREFIX + j for j, _, _ in JOBS]
        jobs = sorted((j for j in self.by_job if j.startswith(MEMORY_PREFIX)),
                      key=lambda j: (known.index(j) if j in known else len(known), j))
        if not jobs:
            return []
        inputs = sorted({i for j in jobs for i in self.by_job[j]}, key=input_key)
        lines = ["## memory: " + ", ".join(inputs) + " read from a descriptor", "",
                 "One child process per side; MB/s of its CPU time over the job. Peak heap:"
                 " the growth of the process heap during the job, every allocation counted at"
                 " malloc (for tamsel: `peak_bytes` of its runtime's allocation statistics,"
                 " and in brackets the process heap's growth over the same job, counted at"
                 " malloc as for the others)."
                 " Peak RSS: the child's VmHWM (the read() row is the floor: the program and"
                 " its libraries).", "",
                 "| job | input | side | MB/s | × RapidJSON | peak heap | peak RSS |",
                 "|---|---|---|---:|---:|---:|---:|"]
        for job in jobs:
            for inp in sorted(self.by_job[job], key=input_key):
                per = self.by_job[job][inp]
                base = per.get(BASELINE)
                for s in sorted(per, key=side_key):
                    r = per[s]
                    if r.error:
                        lines.append(f"| {job[len(MEMORY_PREFIX):]} | {inp} |"
                                     f" {SIDE_TITLES.get(s, s)} | error | | | |")
                        continue
                    ratio = (f"{base.time / r.time:.2f}×" if base and not base.error
                             and r.time > 0 else "—")
                    heap = size_text(r.peak_heap) if r.peak_heap is not None else "—"
                    if r.heap_source == "library" and r.process_heap is not None:
                        heap += f" (process {size_text(r.process_heap)})"
                    rss = size_text(r.peak_rss) if r.peak_rss is not None else "—"
                    lines.append(f"| {job[len(MEMORY_PREFIX):]} | {inp} | "
                                 f"{SIDE_TITLES.get(s, s)} | {mbps_text(r.mbps)} | {ratio} |"
                                 f" {heap} | {rss} |")
        lines.append("")
        return lines

    def markdown(self):
        lines = self.header() + [""]
        known = [j for j, _, _ in JOBS]
        for job, title, description in JOBS:
            lines += self.job_table(job, title, description)
        for job in sorted(self.by_job):
            if job not in known and not job.startswith(MEMORY_PREFIX):
                lines += self.job_table(job, job, "")
        lines += self.scaling_table()
        lines += self.memory_table()
        if self.problems:
            lines += ["## problems", ""] + [f"- {p}" for p in self.problems] + [""]
        return "\n".join(lines).rstrip() + "\n"


# ---- charts -----------------------------------------------------------------------------------

# The rows drawn by bench.svg: (job, inputs in order of preference); the first input the run has
# is drawn (a quick run has no 256 MiB inputs).
CHART_PANELS = [
    ("validate", ["twitter.json"]),
    ("validate", ["records-256m.json", "records-16m.json"]),
    ("visit", ["twitter.json"]),
    ("extract", ["twitter.json"]),
    ("extract", ["records-256m.json", "records-16m.json"]),
    ("push-chunks", ["records-256m.json@4k", "records-16m.json@4k"]),
    ("object-stream", ["records-16m.jsonl"]),
    ("serialize", ["twitter.json"]),
    ("serialize", ["records-1m.json"]),
    ("writer", ["twitter.json"]),
    ("rewrite-drop-one", ["records-256m.json", "records-16m.json"]),
    ("sse", ["sse-tokens-256m", "sse-tokens-16m"]),
    ("curl-array", ["256m", "16m"]),
]
TAMSEL_COLOR = "#d95f02"
PEER_COLOR = "#8da0cb"
BASELINE_COLOR = "#5b6b8c"


def plain(title):
    """A Markdown side or job title as chart text."""
    return title.replace("**", "").replace("`", "")


def pyplot():
    """matplotlib's pyplot on the Agg backend, or None (with a note) when it is not installed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"report: no matplotlib for {sys.executable}: charts not drawn"
              " (Debian: python3-matplotlib, used by /usr/bin/python3)", file=sys.stderr)
        return None
    # Text stays text in the SVG (smaller, and the viewer's sans-serif font draws it).
    plt.rcParams.update({"svg.hashsalt": "tamsel", "svg.fonttype": "none", "font.size": 9,
                         "axes.titlesize": 10, "axes.titleweight": "bold"})
    return plt


def bar_panel(ax, title, labels, values, notes, colors, xlabel, wide_ratio=20):
    """Horizontal bars, the first at the top; `notes` are written after each bar (a value of
    None draws no bar, only its note)."""
    ys = list(range(len(labels)))[::-1]
    shown = [v for v in values if v]
    ax.barh(ys, [v or 0 for v in values], color=colors, height=0.7)
    ax.set_yticks(ys)
    ax.set_yticklabels(labels)
    for tick, color in zip(ax.get_yticklabels(), colors):
        if color == TAMSEL_COLOR:
            tick.set_fontweight("bold")
    if shown and max(shown) / min(shown) > wide_ratio:
        ax.set_xscale("log")
        ax.set_xlim(min(shown) / 1.5, max(shown) * 12)
    elif shown:
        ax.set_xlim(0, max(shown) * 1.45)
    floor = ax.get_xlim()[0]
    for y, v, note in zip(ys, values, notes):
        ax.annotate(note, (max(v or 0, floor), y), xytext=(4, 0), textcoords="offset points",
                    va="center", fontsize=8)
    ax.set_title(title, loc="left")
    ax.set_xlabel(xlabel)
    ax.grid(axis="x", alpha=0.3)
    ax.set_axisbelow(True)
    for spine in ("top", "right"):
        ax.spines[spine].set_visible(False)


def svg_metadata(path):
    """No date in an SVG, so that a chart changes only when its numbers do."""
    return {"Date": None} if path.endswith(".svg") else None


def grid_figure(plt, panels, columns=2):
    """A figure of len(panels) axes in `columns` columns, each row as tall as its longest
    panel (panels give their bar counts)."""
    rows = (len(panels) + columns - 1) // columns
    heights = [max(panels[r * columns:(r + 1) * columns]) * 0.3 + 1.1 for r in range(rows)]
    total = sum(heights) + 1.0
    fig = plt.figure(figsize=(7.2 * columns, total))
    # The title takes an inch above the panels whatever the figure's height.
    grid = fig.add_gridspec(rows, columns, height_ratios=heights, hspace=0.5, wspace=0.55,
                            top=1 - 1.0 / total, bottom=0.4 / total)
    return fig, [fig.add_subplot(grid[i // columns, i % columns]) for i in range(len(panels))]


def bench_chart(report, path):
    plt = pyplot()
    if plt is None:
        return
    titles = {job: title for job, title, _ in JOBS}
    panels = []
    for job, preferred in CHART_PANELS:
        inputs = report.by_job.get(job)
        if not inputs:
            continue
        inp = next((i for i in preferred if i in inputs), None)
        if inp is None:
            inp = sorted(inputs, key=input_key)[-1]
        per = inputs[inp]
        base_name = JOB_BASELINE.get(job, BASELINE)
        base = per.get(base_name)
        sides = [s for s in sorted(per, key=side_key) if s not in LIMITS and not per[s].error]
        if (job, inp) in [(j, i) for j, i, *_ in panels] or not sides:
            continue
        panels.append((job, inp, per, base, base_name, sides))
    if not panels:
        return
    fig, axes = grid_figure(plt, [len(p[5]) for p in panels])
    for ax, (job, inp, per, base, base_name, sides) in zip(axes, panels):
        size = max((r.size for r in per.values()), default=0) if job != "serialize" else 0
        values, notes, colors = [], [], []
        for side in sides:
            row = per[side]
            values.append(row.mbps)
            note = mbps_text(row.mbps)
            if base and not base.error and row.time > 0 and side not in NO_RATIO.get(job, ()):
                note += f" ({base.time / row.time:.2f}×)"
            notes.append(note)
            colors.append(TAMSEL_COLOR if side.startswith("tamsel") else
                          BASELINE_COLOR if side == base_name else PEER_COLOR)
        title = plain(titles.get(job, job)) + f"\n{inp}" + (f" ({size_text(size)})" if size else "")
        bar_panel(ax, title, [plain(SIDE_TITLES.get(s, s)) for s in sides], values, notes,
                  colors, "MB/s (higher is better)")
    fig.suptitle("tamsel (orange) and its peers, one run: MB/s, higher is better\nin brackets"
                 " the baseline's time ÷ the side's time (darker bar: the baseline)",
                 fontsize=11, y=1 - 0.15 / fig.get_figheight())
    fig.savefig(path, bbox_inches="tight", metadata=svg_metadata(path))
    plt.close(fig)


# ---- bench/tool.sh --------------------------------------------------------------------------

TOOL_JOBS = [("fmt", "fmt --compact / -c ."), ("validate", "validate / empty"),
             ("items", "items / -c '.[]'"),
             ("rewrite", "rewrite --drop 7.name / -c 'del(.[7].name)'")]
TOOL_SIDES = ["tamsel", "jq", "gojq"]
TOOL_BASELINE = "jq"


class ToolRow:
    FIELDS = ["job", "input", "bytes", "side", "seconds", "timing", "rss_kib", "status", "hash",
              "command"]

    def __init__(self, line):
        values = line.rstrip("\n").split("\t")
        values += [""] * (len(self.FIELDS) - len(values))
        d = dict(zip(self.FIELDS, values))
        self.job, self.input, self.side = d["job"], d["input"], d["side"]
        self.bytes = int(d["bytes"] or 0)
        self.seconds = float(d["seconds"]) if d["seconds"] else None
        self.timing = d["timing"]
        self.rss = int(d["rss_kib"]) * 1024 if d["rss_kib"] else None
        self.status = d["status"]
        self.hash = d["hash"]
        self.command = d["command"]
        self.check = ""

    def as_json(self):
        return {"job": self.job, "input": self.input, "bytes": self.bytes, "side": self.side,
                "seconds": self.seconds, "timing": self.timing, "peak_rss": self.rss,
                "status": self.status, "hash": self.hash, "check": self.check,
                "command": self.command}

    @property
    def mbps(self):
        return self.bytes / self.seconds / 1e6 if self.seconds and self.status == "ok" else None


def seconds_text(t):
    return f"{t * 1000:.1f} ms" if t < 1 else f"{t:.2f} s"


class ToolReport:
    def __init__(self, lines, context):
        self.context = context
        self.rows = [ToolRow(l) for l in lines if l.strip()]
        self.groups = defaultdict(dict)  # (job, input) -> side -> row
        for r in self.rows:
            self.groups[(r.job, r.input)][r.side] = r
        self.problems = []
        for (job, inp), per in self.groups.items():
            ref = per.get(TOOL_BASELINE)
            # "exit-0", or "c:HASH" (members in order) and/or "S:HASH" (members sorted).
            ref_hashes = (set(ref.hash.split()) if ref and ref.status == "ok" else set())
            for side, r in per.items():
                kind = r.hash.split(":")[0] + ":" if ":" in r.hash else ""
                ref_hash = next((h for h in ref_hashes if h.startswith(kind)
                                 and not h.endswith(":unchecked")), None)
                if r.status == "failed":
                    r.check = "failed"
                    self.problems.append(f"{job} {inp}: {side} failed ({r.command})")
                elif r.status != "ok" or side == TOOL_BASELINE:
                    r.check = ""
                elif not ref_hash or r.hash.endswith("unchecked"):
                    r.check = "unchecked"
                elif r.hash == ref_hash:
                    r.check = "same"
                else:
                    r.check = "MISMATCH"
                    self.problems.append(f"{job} {inp}: {side}'s output differs from jq's"
                                         f" after normalising ({r.command})")
        self.sides = [s for s in TOOL_SIDES if any(r.side == s for r in self.rows)]

    def cell(self, r, base):
        if r is None:
            return "—"
        if r.status == "skipped":
            return "skipped"
        if r.status == "timeout":
            return f"> {r.seconds:.0f} s (cut off)"
        if r.status == "failed":
            return "failed"
        text = f"{seconds_text(r.seconds)}, {mbps_text(r.mbps)} MB/s"
        if base is not None and r.side != TOOL_BASELINE and base.seconds:
            if base.status == "ok":
                text += f" ({base.seconds / r.seconds:.2f}×)"
            elif base.status == "timeout":
                text += f" (> {base.seconds / r.seconds:.0f}×)"
        if r.timing == "one run":
            text += ", one run"
        if r.rss is not None:
            text += f"; {size_text(r.rss)}"
        if r.check in ("unchecked", "MISMATCH"):
            text += f" **{r.check}**"
        return text

    def table(self, inputs):
        lines = ["| job | input | " + " | ".join(f"`{s}`" for s in self.sides) + " | output |",
                 "|---|---|" + "---:|" * len(self.sides) + "---|"]
        for job, title in TOOL_JOBS:
            for inp in inputs:
                per = self.groups.get((job, inp))
                if not per:
                    continue
                size = max(r.bytes for r in per.values())
                checks = [r.check for r in per.values() if r.side != TOOL_BASELINE]
                verdict = ("differs" if "MISMATCH" in checks else "failed" if "failed" in checks
                           else "not checked" if "unchecked" in checks or not any(checks)
                           else "same as jq's")
                lines.append(f"| {title} | {inp} ({size_text(size)}) | " + " | ".join(
                    self.cell(per.get(s), per.get(TOOL_BASELINE)) for s in self.sides)
                    + f" | {verdict} |")
        return lines + [""]

    def markdown(self):
        c = self.context
        arrays = sorted({r.input for r in self.rows if input_key(r.input)[0] == 1},
                        key=input_key)
        docs = sorted({r.input for r in self.rows if input_key(r.input)[0] == 0})
        lines = [
            "# tamsel tool against jq and gojq",
            "",
            f"- run: {c.get('run', '?')}, {c.get('cores', '?')} cores (shared with other work),"
            f" load {c.get('load', '?')}",
            f"- {c.get('tamsel', 'tamsel ?')}, {c.get('jq', 'jq ?')}, {c.get('gojq', 'gojq ?')},"
            f" {c.get('hyperfine', 'hyperfine')}",
            "",
            "Cells: wall time (hyperfine's median of the runs named in the input's line, or one"
            " run under `/usr/bin/time` where the cell says so), MB/s of input, in brackets jq's"
            " time divided by this side's time (above 1.00× is faster than jq), then peak RSS"
            " (`/usr/bin/time -f %M`, one run). Output: tamsel's output normalised with `jq -c .`"
            " must equal jq's (object members in the same order); gojq sorts object members, so"
            " its output and jq's are compared through `jq -cS .`; a difference fails the run."
            " validate compares exit statuses. The chart `tool.svg` beside this file draws the"
            " generated arrays.",
            "",
        ]
        if arrays:
            lines += ["## generated arrays of records", "",
                      "The records of `make bench` (bench/cache), one JSON array. " +
                      "; ".join(f"{inp}: " + ", ".join(sorted({f"{r.side} {r.timing}"
                                for r in self.rows if r.input == inp and r.timing}))
                                for inp in arrays) + ".", ""]
            lines += self.table(arrays)
        if docs:
            runs = sorted({r.timing for r in self.rows if r.input in docs and r.timing})
            lines += ["## corpus documents", "", "tests/data/corpus; " + ", ".join(runs) + ".",
                      ""]
            lines += self.table(docs)
        if self.problems:
            lines += ["## problems", ""] + [f"- {p}" for p in self.problems] + [""]
        return "\n".join(lines).rstrip() + "\n"

    def as_json(self):
        return {"context": self.context, "rows": [r.as_json() for r in self.rows]}

    def chart(self, path):
        plt = pyplot()
        if plt is None:
            return
        arrays = sorted({r.input for r in self.rows if input_key(r.input)[0] == 1},
                        key=input_key)
        if not arrays:
            return
        jobs = [j for j, _ in TOOL_JOBS if any(r.job == j for r in self.rows)]
        bars = len(jobs) * len(self.sides)
        fig, axes = grid_figure(plt, [bars] * (2 * len(arrays)))
        for k, inp in enumerate(arrays):
            size = max(r.bytes for r in self.rows if r.input == inp)
            for col, (what, xlabel) in enumerate([
                    ("throughput", "MB/s of input (higher is better)"),
                    ("peak RSS", "MiB (lower is better)")]):
                labels, values, notes, colors = [], [], [], []
                for job in jobs:
                    per = self.groups.get((job, inp), {})
                    base = per.get(TOOL_BASELINE)
                    for side in self.sides:
                        r = per.get(side)
                        labels.append(f"{job}: {side}")
                        colors.append(TAMSEL_COLOR if side == "tamsel" else
                                      BASELINE_COLOR if side == TOOL_BASELINE else PEER_COLOR)
                        if r is None or r.status in ("skipped", "failed"):
                            values.append(None)
                            notes.append(r.status if r else "—")
                        elif r.status == "timeout":
                            values.append(None)
                            notes.append(f"cut off after {r.seconds:.0f} s")
                        elif col == 0:
                            values.append(r.mbps)
                            note = f"{mbps_text(r.mbps)} MB/s"
                            if side != TOOL_BASELINE and base and base.status == "ok":
                                note += f" ({base.seconds / r.seconds:.2f}× jq)"
                            elif side != TOOL_BASELINE and base and base.status == "timeout":
                                note += f" (> {base.seconds / r.seconds:.0f}× jq)"
                            notes.append(note)
                        else:
                            values.append(r.rss / 1048576 if r.rss else None)
                            notes.append(size_text(r.rss) if r.rss else "—")
                bar_panel(axes[2 * k + col], f"{inp} ({size_text(size)}): {what}", labels,
                          values, notes, colors, xlabel, wide_ratio=8)
        fig.suptitle("tamsel tool (orange) against jq (darker) and gojq: throughput, higher is"
                     " better; peak RSS, lower is better", fontsize=11,
                     y=1 - 0.15 / fig.get_figheight())
        fig.savefig(path, bbox_inches="tight", metadata=svg_metadata(path))
        plt.close(fig)


def tool_main(rows_path, md_path):
    context = dict(l.split("=", 1) for l in sys.stdin.read().splitlines() if "=" in l)
    with open(rows_path, encoding="utf-8") as f:
        report = ToolReport(f.readlines(), context)
    text = report.markdown()
    base = os.path.splitext(md_path)[0]
    with open(md_path, "w", encoding="utf-8") as f:
        f.write(text)
    with open(base + ".json", "w", encoding="utf-8") as f:
        json.dump(report.as_json(), f, indent=1)
        f.write("\n")
    report.chart(base + ".svg")
    sys.stdout.write(text)
    for p in report.problems:
        print(f"report: {p}", file=sys.stderr)
    return 1 if report.problems else 0


def main(argv):
    if len(argv) == 4 and argv[1] == "--tool":
        return tool_main(argv[2], argv[3])
    if len(argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        report = Report(json.load(f))
    text = report.markdown()
    if len(argv) == 3:
        with open(argv[2], "w", encoding="utf-8") as f:
            f.write(text)
        bench_chart(report, os.path.join(os.path.dirname(argv[2]) or ".", "bench.svg"))
    sys.stdout.write(text)
    for p in report.problems:
        print(f"report: {p}", file=sys.stderr)
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
