#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are a deterministic sample of JSONTestSuite's parsing files, short slices of the corpus
documents in tests/data/corpus, and hand-written records for the mapped-parse targets, each
behind the option bytes its target reads first. Found inputs kept as regression cases live
beside the seeds as regress-*; this script leaves them alone and rewrites only seed-* files.
"""
import hashlib
import os
import random
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE = os.path.join(ROOT, "tests", "data", "JSONTestSuite", "test_parsing")
DOCS = os.path.join(ROOT, "tests", "data", "corpus")
OUT = os.path.join(ROOT, "fuzz", "corpus")

RECORDS = [
    rb'{"s":"hello","fixed":"abcdefghij","ff":"ab","fs":"abcdef","i":-5,'
    rb'"u":18446744073709551615,"f":1.5e3,"b":true}',
    rb'{"obj":{"name":"n","n":null,"nums":[1,2,-3]},"strs":["a","b\u00e9"],'
    rb'"i64s":[1,-9223372036854775808],"u64s":[0,1],"f64s":[1e-300,0.5,-0.0],"bools":[true,false]}',
    rb'{"items":[{"id":"x","score":2.5,"tags":["t1",""],"code":"abcdef"},{"id":"y","score":null}]}',
    rb'{"text":"spooled text that is longer than sixteen bytes\n",'
    rb'"bytes":"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo="}',
    rb'{"raw":{"a":[1,2,{"b":null}],"c":"d\"e"},"lines":["one","two\nthree"],'
    rb'"events":[{"id":"e1","score":1},{"id":"e2","tags":["x"]}]}',
    rb'{"i":1,"i":2,"obj":{"n":1},"obj":{"name":"again"}}',
    rb'{"items":[{}]}',
    rb'{"i":"x"}',
    rb'{"i":99999999999999999999,"u":-1}',
    rb'{"zz":{"a":[1,{"b":2}],"c":[[[]]]},"s":"x"}',
    rb'{"s":null,"i":null,"obj":null,"strs":null,"text":null,"raw":null,"b":null}',
    rb'{"s":"\ud83d\ude00\\\/\b\f\n\r\t","lines":["\u0041",""],"fixed":"\u00e9\u00e9\u00e9\u00e9\u00e9"}',
    rb'{"bytes":"QQ==","text":"","raw":"str","events":[]}',
    rb'{"s":"a string well beyond the sixteen bytes some limits allow","strs":["x","yy","zzz"]}',
    rb' { "f" : 1E400 , "f64s" : [ 2.2250738585072014e-308 , 5e-324 ] } ',
    rb'{"raw":[1.0e+2,true,false,null,{"k":{}}],"items":[{"id":"a","tags":null}]}',
]
STREAMS = [
    b'{"i":1}\n{"s":"a"}\n{"items":[{"id":"q"}]}\n',
    b'{}{}{"b":false}',
    b'{"i":1}{"s":',
    b'{"text":"spooled across objects, long enough to spill"}\n{"text":"again"}\n',
    b'{"events":[{"id":"1"}]} {"events":[{"id":"2"},{"x":1}]}',
    b'\n\n{"raw":[1,2]}\n\n[1]',
    b'',
]


def suite_files():
    names = sorted(os.listdir(SUITE))
    return [(n, open(os.path.join(SUITE, n), "rb").read()) for n in names]


def doc_slices(count_per_doc, size):
    out = []
    for name in sorted(os.listdir(DOCS)):
        if not name.endswith(".json"):
            continue
        data = open(os.path.join(DOCS, name), "rb").read()
        rng = random.Random(name)
        for i in range(count_per_doc):
            start = rng.randrange(0, max(1, len(data) - size))
            out.append(("%s-%d" % (name[:-5], i), data[start:start + size]))
        out.append((name[:-5] + "-head", data[:size]))
    return out


def sample(files, count, seed):
    small = [f for f in files if len(f[1]) <= 4096]
    rng = random.Random(seed)
    return sorted(rng.sample(small, min(count, len(small))))


def write(target, seeds):
    folder = os.path.join(OUT, target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        if old.startswith("seed-"):
            os.remove(os.path.join(folder, old))
    for name, data in seeds:
        safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
        digest = hashlib.sha1(data).hexdigest()[:8]
        with open(os.path.join(folder, "seed-%s-%s" % (safe[:60], digest)), "wb") as f:
            f.write(data)


def main():
    suite = suite_files()
    slices = doc_slices(4, 1024)
    for target in ("fuzz_validate", "fuzz_visit", "fuzz_json_value"):
        write(target, sample(suite, 80, target) + slices)

    limit_headers = [b"\x00\x00\x00\x00", b"\x04\x0a\xd0\x01", b"\x02\x90\x00\x01"]
    objects = [f for f in suite if f[1].lstrip().startswith(b"{")]
    records = [("record%02d" % i, r) for i, r in enumerate(RECORDS)]
    records += sample(objects, 12, "objects")
    records += [(n, d) for n, d in slices if d.lstrip().startswith(b"{")][:4]

    def with_headers(items, make):
        out = []
        for i, (name, data) in enumerate(items):
            header = make(i)
            out.append(("%s-h%d" % (name, i % 3), header + data))
        return out

    write("fuzz_parse", with_headers(records, lambda i: limit_headers[i % 3]))
    write("fuzz_alloc_fail",
          with_headers(records, lambda i: bytes([i, i * 7 % 256]) + limit_headers[i % 3]))
    write("fuzz_round_trip",
          with_headers(records, lambda i: limit_headers[i % 3] + bytes([(i * 37) % 256])))
    plans = [b"\x00", b"\x03\x01\x07\x00", b"\x02\x00\x05", b"\x01\x01"]
    write("fuzz_chunking",
          with_headers(records, lambda i: limit_headers[i % 3] + plans[i % 4]))
    streams = [("stream%02d" % i, s) for i, s in enumerate(STREAMS)] + records[:8]
    write("fuzz_object_stream",
          with_headers(streams, lambda i: limit_headers[i % 3] + bytes([i % 2]) + plans[i % 4]))
    write_array_seeds()
    write_sse_seeds()
    write_writer_seeds(sample(suite, 60, "writer") + slices[:8])
    write_multipart_seeds()
    write_rewrite_seeds(sample(suite, 60, "rewrite") + slices[:8])
    write_scan_seeds(sample(suite, 60, "scan") + slices[:8])
    write_compact_seeds(sample(suite, 60, "compact") + slices[:8])
    write_curl_seeds()
    write_spooled_seeds()
    return 0


ARRAYS = [
    (0, b'[{"id":1,"name":"a\\u00e9","x":1.5},{"id":-2},{}]'),
    (1, b'{"q":{"a":[1,2]},"p":[{"id":3,"name":"n"}],"z":null}'),
    (6, b'[1, "two", [3, {"k": 4, "k": 5}], true, null, -0.5e3 ]\n'),
    (7, b'{"p":[{"a":{"b":[]}},"s\\n",7],"p":[]}'),
    (2, b'[{"id":1},]'),
    (0, b'[1 2]'),
    (1, b'{"p":3}'),
    (0, b'[12'),
    (17, b'{"p":[0,[{"a":1}],2],"q":[]}'),
    (19, b'{"p":{"0":[],"1":[{"id":4}]},"p":1}'),
    (16, b'[[9],{"x":[[1]]}]'),
]


def write_array_seeds():
    plans = [b"\x00", b"\x03\x01\x07\x00", b"\x02\x00\x05", b"\x01\x01"]
    seeds = []
    for i, (flags, text) in enumerate(ARRAYS):
        seeds.append(("array%02d" % i, bytes([flags | (8 if i % 2 else 0)]) + plans[i % 4] + text))
    write("fuzz_array_stream", seeds)


SSE_STREAMS = [
    (0, b'event: add\nid: 1\ndata: {"n":1,\ndata: "text":"a"}\n\n: ping\n\ndata: [1, 2]\n\n'),
    (1, b'data: {"n":12345678901234567890}\r\n\r\nevent: toolong\r\ndata: x\r\n\r\n'),
    (0, b'\xef\xbb\xbfretry: 3000\rdata\r\rid: a\x00b\ndata: "s"\n\ndata: 7'),
    (1, b'data: {"text":"' + b'y' * 30 + b'"}\n\ndata: 1\ndata: 2\n\n'),
    (0, b'data: not json\ndata: }\n\nunknown\n:\ndata:  {"n" : 2}\n\n'),
    (0, b'event: ping\ndata: a\r\ndata: b\r\n\r\nevent: add\ndata: [DONE]\ndata: {"n":1}\n\n'
        b'data: {"n":2}\r\n\r\nevent: done\ndata: [DONE]\n\ndata: {"n":3}\n\n'),
]


def write_sse_seeds():
    plans = [b"\x00", b"\x03\x01\x07\x00", b"\x02\x00\x05", b"\x01\x01"]
    seeds = [("sse%02d" % i, bytes([flags]) + plans[i % 4] + text)
             for i, (flags, text) in enumerate(SSE_STREAMS)]
    write("fuzz_sse", seeds)


def write_rewrite_seeds(files):
    # A plan of reader piece sizes, then the text.
    plans = [b"\x00", b"\x03\x01\x07\x00", b"\x02\x00\x05", b"\x01\x01"]
    seeds = [("plan%02d" % i, plans[i % 4] + d) for i, (n, d) in enumerate(files)]
    write("fuzz_rewrite", seeds)
# Tokens across the scanner's 64-byte blocks: escapes, backslash runs, multi-byte characters
# and structure behind long whitespace with line feeds.
SCAN_TEXTS = [
    b'["' + b'a' * 70 + b'\\u00e9' + b'b' * 60 + b'\\ud83d\\ude00"]',
    b'{"' + b'k' * 63 + b'":"' + b'\\' * 41 + b'"x' + b'\xc3\xa9' * 40 + b'"}',
    b'[' + b' \n\t\r' * 30 + b'1,' + b' ' * 61 + b'true' + b'\n' * 70 + b',null,{"a":-2.5e3}]',
    b'{"s":"' + b'\x7f\x80\xff' * 30 + b'\\n\x01"}',
    b'[' + b' ' * 79 + b'"x",' + b'\t' * 64 + b']',
    b'"' + b'z' * 100 + b'\\ud800"',
    # UTF-8: characters of every length across block edges, then ill-formed ones (a sequence
    # cut short by the quote, an encoded surrogate, above U+10FFFF, a stray continuation).
    b'["' + 'a\u00e9\u20ac\U0001f600'.encode() * 9 + b'","' + b'a' * 60 + b'\xe2\x82"]',
    b'{"' + b'k' * 61 + b'\xf0\x9f\x98\x80":"' + b'\xed\xa0\x80' + b'x' * 50
    + b'\xf4\x90\x80\x80\xbf"}',
]


def write_scan_seeds(files):
    # The first byte chooses the split point of the two pushes.
    texts = [(n, d) for n, d in files] + [("blocks%02d" % i, t) for i, t in enumerate(SCAN_TEXTS)]
    seeds = [("split%02d" % i, bytes([i * 53 % 256]) + d) for i, (n, d) in enumerate(texts)]
    write("fuzz_scan", seeds)


def write_compact_seeds(files):
    # An option byte (keep escapes, the UTF-8 check), a plan of reader piece sizes, the text.
    heads = [b"\x00\x00", b"\x01\x03\x01\x07\x00", b"\x02\x02\x00\x05", b"\x03\x01\x01"]
    texts = files + [("blocks%02d" % i, t) for i, t in enumerate(SCAN_TEXTS)]
    texts.append(("deep", b"[" * 600 + b"1" + b"]" * 600))
    seeds = [("opts%02d" % i, heads[i % 4] + d) for i, (n, d) in enumerate(texts)]
    write("fuzz_compact", seeds)


def write_writer_seeds(files):
    # The first byte is the split point of the two pushes.
    seeds = [("split%02d" % i, bytes([i * 37 % 256]) + d) for i, (n, d) in enumerate(files)]
    write("fuzz_writer_value_stream", seeds)


# Flag byte (boundary index, look-behind limit << 2), then the body.
MULTIPART = [
    (0, b"--b\r\nContent-Disposition: form-data; name=\"a\\\"q\"; filename=f\r\n\r\n"
        b"x\r\n--bx\r\n\n--b-\r\r\n--b\r\n\r\n--b\r\nContent-Length: 3\r\n\r\nabc\r\n"
        b"--b--\r\nepilogue"),
    (1, b"\n--XyZ\nContent-Type: text/plain\nX:\n\nline\n--XyZ\n\n--XyZ--\n"),
    (2, b"--b\r\n\r\n---b-\r\n---b---\r\n"),
    (3, b"--bound ary\rA: 1\r\rdata\r\n--bound ary--\r\n"),
    (9 << 2, b"--b\r\n\r\nx\r\r\n-\r\n--b-\r\n--b\r\n\r\n\r\n--b--\r\n"),
    (3 << 2 | 1, b"--XyZ\r\n\r\n\r\n--Xy\r\n--XyZ--\r\n"),
    (0, b"preamble\r\n--b\r\n"),
    (0, b"--b\r\nContent-Length: 99999999999999999999\r\n"),
]


def write_multipart_seeds():
    plans = [b"\x00", b"\x03\x01\x07\x00", b"\x02\x00\x05", b"\x01\x01"]
    seeds = []
    for i, (flags, body) in enumerate(MULTIPART):
        seeds.append(("multipart%02d" % i, bytes([flags]) + plans[i % 4] + body))
    write("fuzz_multipart", seeds)


# Flag byte (adapter in bits 0-1, duplicates rejected, small limits, "p" or an upload, the
# size * nmemb spelling in bits 5-6, the method members), then the body.
CURL = [
    (16, RECORDS[0]),
    (16 | 32 | 128, RECORDS[4]),
    (64, RECORDS[1]),
    (4 | 96, b'{"i":1,"i":2}'),
    (8 | 16, RECORDS[13]),
    (0, b'{"s":"ab'),
    (32, b'{"i":1,]}'),
    (1, b'[{"id":"a","score":1.5,"tags":["x"],"code":"abcdef"},{"id":"b"}]'),
    (1 | 16 | 64, b'{"q":1,"p":[{"id":"c"},{"score":2}],"z":[]}'),
    (1 | 4 | 128, b'[{"id":"a","id":"b"}]'),
    (1 | 32, b'[{"id":"a"},]'),
    (2, b'["a","b\\u00e9\\n",""]'),
    (2 | 16 | 96, b'{"p":["x",1]}'),
    (2 | 128, b'["unterminated'),
    (3 | 8, b'["' + b'y' * 30 + b'","z"]'),
    (3 | 16 | 32, b'{"p":["a\\"b","\\ud83d\\ude00"]}'),
]


def write_curl_seeds():
    plans = [b"\x00", b"\x03\x01\x07\x00", b"\x02\x00\x05", b"\x01\x01"]
    seeds = [("curl%02d" % i, bytes([flags]) + plans[i % 4] + body)
             for i, (flags, body) in enumerate(CURL)]
    write("fuzz_curl", seeds)


# fuzz_spooled: an option byte (memory limit, named file, maximum), then opcode and argument
# pairs: 0 append, 1 read, 2 rewind, 3 replay, 4 reset, 5 the writers.
SPOOLED = [
    ("anonymous-limit16", 16, [(0, 10), (1, 4), (0, 10), (1, 100), (1, 3), (1, 0), (5, 1),
                               (0, 200), (1, 7), (3, 0), (5, 0), (2, 0), (1, 16), (1, 16),
                               (5, 3), (4, 0), (0, 5), (1, 5), (1, 1)]),
    ("named-limit0", 64, [(0, 1), (1, 1), (1, 1), (0, 255), (5, 2), (1, 200), (1, 200), (3, 0),
                          (2, 0), (5, 7), (4, 0), (5, 4)]),
    ("boundary-max300", 128 | 32, [(0, 32), (1, 255), (1, 1), (0, 0), (0, 1), (1, 2), (0, 255),
                                   (0, 12), (0, 1), (5, 5), (1, 255), (1, 255), (2, 0), (1, 31),
                                   (1, 2), (5, 8)]),
]


def write_spooled_seeds():
    write("fuzz_spooled", [(name, bytes([options] + [b for op in ops for b in op]))
                           for name, options, ops in SPOOLED])


if __name__ == "__main__":
    sys.exit(main())
