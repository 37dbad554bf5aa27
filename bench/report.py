#!/usr/bin/env python3
"""Turns tamsel_bench's Google Benchmark JSON into the Markdown tables of bench/results/latest.md.

    python3 bench/report.py bench/results/latest.json bench/results/latest.md

Benchmarks are named job/input/side. For each job and input, every side's time is divided into
RapidJSON's: the ratio is RapidJSON's time over the side's time on the same bytes in the same
run, so 1.00x means as fast as RapidJSON and above that faster. With repetitions the median is
used. The tables are written to the output file and printed; the exit status is 1 if a
benchmark failed or two sides of a job disagree on their checksum.
"""

import json
import re
import sys
from collections import defaultdict

BASELINE = "rapidjson"
# Jobs measured against a plain equivalent instead of RapidJSON.
JOB_BASELINE = {"owned-buffer": "std-string", "spool": "stdio", "multipart": "memmem"}
LIMITS = {"memcpy", "quote-count", "read", "memmem"}
SIDE_ORDER = ["tamsel", "std-string", "stdio", "rapidjson", "simdjson-ondemand", "simdjson-dom", "yajl", "cjson",
              "jansson", "memcpy", "quote-count", "read", "memmem"]
SIDE_TITLES = {
    "tamsel": "**tamsel**",
    "rapidjson": "RapidJSON",
    "simdjson-ondemand": "simdjson On Demand",
    "simdjson-dom": "simdjson DOM",
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
    ("serialize", "serialize records",
     "The records of that row written as compact JSON; MB/s of output. Each output is read back"
     " and must give the records written. RapidJSON: `Writer<StringBuffer>`."),
    ("serialize-pretty", "serialize records, pretty",
     "The twitter statuses of that row with two-space indentation; MB/s of output, read back and"
     " checked. RapidJSON: `PrettyWriter<StringBuffer>` with `SetIndent(' ', 2)`."),
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


def cell(row, base):
    if row is None:
        return "—"
    if row.error:
        return "error"
    text = mbps_text(row.mbps)
    if base is not None and not base.error and row.time > 0:
        text += f" ({base.time / row.time:.2f}×)"
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
            " of input, of output for serialize; in brackets RapidJSON's time divided by this"
            " side's time on the same job, same bytes, same run (above 1.00× is faster). "
            "— : the side does not do that job on that input.",
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
        for inp in sorted(inputs, key=input_key):
            per = inputs[inp]
            base = per.get(JOB_BASELINE.get(job, BASELINE))
            size = max((r.bytes for r in per.values() if job != "serialize"), default=0)
            name = f"{inp} ({size_text(size)})" if size else inp
            lines.append(f"| {name} | " + " | ".join(cell(per.get(s), base) for s in sides)
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
                 "| job | side | MB/s | × RapidJSON | peak heap | peak RSS |",
                 "|---|---|---:|---:|---:|---:|"]
        for job in jobs:
            for inp in sorted(self.by_job[job], key=input_key):
                per = self.by_job[job][inp]
                base = per.get(BASELINE)
                for s in sorted(per, key=side_key):
                    r = per[s]
                    if r.error:
                        lines.append(f"| {job[len(MEMORY_PREFIX):]} | {SIDE_TITLES.get(s, s)} |"
                                     " error | | | |")
                        continue
                    ratio = (f"{base.time / r.time:.2f}×" if base and not base.error
                             and r.time > 0 else "—")
                    heap = size_text(r.peak_heap) if r.peak_heap is not None else "—"
                    if r.heap_source == "library" and r.process_heap is not None:
                        heap += f" (process {size_text(r.process_heap)})"
                    rss = size_text(r.peak_rss) if r.peak_rss is not None else "—"
                    lines.append(f"| {job[len(MEMORY_PREFIX):]} | {SIDE_TITLES.get(s, s)} | "
                                 f"{mbps_text(r.mbps)} | {ratio} | {heap} | {rss} |")
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


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        report = Report(json.load(f))
    text = report.markdown()
    if len(argv) == 3:
        with open(argv[2], "w", encoding="utf-8") as f:
            f.write(text)
    sys.stdout.write(text)
    for p in report.problems:
        print(f"report: {p}", file=sys.stderr)
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
