#!/usr/bin/env python3
"""Reads multipart bodies with Python's email package, as an independent parser.

Each argument is a file: the Content-Type value on its first line (LF-terminated), then the
body. For each file one line is printed: every part as
  P <name> <filename> <content-type> <header>=<value>,... <data>
with each field in hex ('-' when absent), so the test can compare it byte for byte.
"""
import email.policy
import sys
from email.parser import BytesParser


def hx(value):
    if value is None:
        return "-"
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    return value.hex() or "."


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            raw = f.read()
        ctype, body = raw.split(b"\n", 1)
        msg = BytesParser(policy=email.policy.compat32).parsebytes(
            b"Content-Type: " + ctype + b"\r\n\r\n" + body)
        out = []
        for part in msg.get_payload():
            # compat32 keeps blanks at the end of a value; tamsel trims both ends.
            headers = ",".join(hx(k) + "=" + hx(v.rstrip(" \t"))
                               for k, v in part.items()) or "."
            out.append(" ".join([
                "P",
                hx(part.get_param("name", header="content-disposition")),
                hx(part.get_filename()),
                hx(part.get("Content-Type")),
                headers,
                hx(part.get_payload(decode=True)),
            ]))
        print(" ".join(out) if out else "none")


if __name__ == "__main__":
    main()
