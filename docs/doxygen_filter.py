#!/usr/bin/env python3
"""Feeds include/tamsel.h to Doxygen with its plain C comments read as documentation.

The header keeps ordinary /* */ comments, as C headers do. For Doxygen:
  - a banner (a title between two rows of '=') opens a group named after its title, with the
    "How to use" paragraph that follows it as the group's description, and closes the one
    before it;
  - a comment block directly above a declaration documents that declaration (/** ... */);
  - a comment after code on the same line documents that member or constant (/**< ... */).
Comments that stand alone (between two other comments, or before a blank line) stay plain.
Line numbers are kept, so Doxygen's warnings point at the header itself.
"""
import re
import sys

text = open(sys.argv[1], encoding="utf-8").read().split("\n")
out = list(text)
group_open = False
banner = re.compile(r"^/\* ={10,} \*/$")


def group_id(title):
    return "group_" + re.sub(r"[^a-z0-9]+", "_", title.lower()).strip("_")


def next_code_line(i):
    """Index of the first line after i that is not blank, or None when a blank line comes first."""
    j = i + 1
    if j < len(text) and text[j].strip() == "":
        return None
    return j if j < len(text) else None


def comment_end(i):
    j = i
    while "*/" not in text[j]:
        j += 1
    return j


i = 0
while i < len(text):
    line = text[i]
    stripped = line.strip()
    if banner.match(stripped) and i + 2 < len(text) and banner.match(text[i + 2].strip()):
        title = text[i + 1].strip()[2:-2].strip()
        close = "/** @} */ " if group_open else ""
        out[i] = close
        out[i + 1] = "/** @defgroup %s %s" % (group_id(title), title)
        group_open = True
        # The "How to use" paragraph after the banner becomes the group's description.
        j = i + 3
        while j < len(text) and text[j].strip() == "":
            j += 1
        if j < len(text) and text[j].strip() == "/*" and "How to use" in text[j + 1]:
            end = comment_end(j)
            for k in range(i + 2, j + 1):
                out[k] = " *"
            out[end] = out[end].replace("*/", "@{ */")
            i = end + 1
            continue
        out[i + 2] = " *  @{ */"
        i += 3
        continue
    if stripped.startswith("/*") and not stripped.startswith("/**"):
        end = comment_end(i)
        nxt = next_code_line(end)
        if nxt is not None and not text[nxt].strip().startswith("/*") and text[nxt].strip() not in ("", "#endif", "}"):
            out[i] = line.replace("/*", "/**", 1)
        i = end + 1
        continue
    # A comment after code documents what stands before it.
    m = re.search(r"\S.*?(/\*)(?!\*)", line)
    if m and not stripped.startswith("/*") and not stripped.startswith("*"):
        pos = m.start(1)
        out[i] = line[:pos] + "/**<" + line[pos + 2:]
    i += 1

if group_open:
    # Close the last group before the closing guard.
    for k in range(len(out) - 1, -1, -1):
        if out[k].startswith("#endif /* TAMSEL_H"):
            out[k] = "/** @} */ " + out[k]
            break
sys.stdout.write("\n".join(out))
