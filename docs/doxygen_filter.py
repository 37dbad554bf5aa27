#!/usr/bin/env python3
"""Feeds include/tamsel.h to Doxygen with its plain C comments read as documentation.

The header keeps ordinary /* */ comments, as C headers do. For Doxygen:
  - a banner (a title between two rows of '=') opens a group named after its title, with the
    "How to use" paragraph that follows it as the group's description, and closes the one
    before it;
  - a comment block directly above a declaration documents that declaration (/** ... */);
  - a comment after code on the same line documents that member or constant (/**< ... */).
Comments that stand alone (between two other comments, or before a blank line) stay plain.
A function-pointer member without a comment of its own that stands for a public function (a
method-table slot `name` for tamsel_name, a method member `name` of struct tamsel_x or
tamsel_x_methods for tamsel_x_name) is documented as that function's slot, with a link to it.
Line numbers are kept, so Doxygen's warnings point at the header itself.
"""
import re
import sys

source = open(sys.argv[1], encoding="utf-8").read()
# A backslash in a comment is text (the escapes \\n, \\" ...), not a Doxygen command.
source = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"\\(?=[A-Za-z\"\\])", r"\\\\", m.group(0)), source, flags=re.S)
text = source.split("\n")
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


functions = set(re.findall(r"TAMSEL_API[^;(]*?\b(tamsel_\w+)\s*\(", "\n".join(text)))
struct_open = re.compile(r"^(?:typedef\s+)?struct\s+(tamsel_\w+)\s*\{")
member_fn = re.compile(r"^\s+(?:[\w\s\*]*\(\*(\w+)\)\s*\(|tamsel_reader (\w+);)")
current_struct = None


def slot_function(struct, member):
    """The public function a function-pointer member stands for, or None."""
    if struct == "tamsel_runtime_methods":
        candidates = ["tamsel_" + member]
    else:
        stem = struct[: -len("_methods")] if struct.endswith("_methods") else struct
        candidates = [stem + "_" + member]
    for name in candidates:
        if name in functions:
            return name
    return None


def statement_end(i):
    j = i
    while ";" not in text[j]:
        j += 1
    return j


def declaration_run_end(j):
    """Last line of a run of two or more TAMSEL_API declarations starting at j, else None."""
    count = 0
    last = None
    while j < len(text) and text[j].startswith("TAMSEL_API"):
        last = statement_end(j)
        count += 1
        j = last + 1
    return last if count >= 2 else None


i = 0
while i < len(text):
    line = text[i]
    stripped = line.strip()
    m = struct_open.match(stripped)
    if m:
        current_struct = m.group(1)
    elif stripped.startswith("}"):
        current_struct = None
    um = re.match(r"^\s+tamsel_method_unavailable (\w+);$", line)
    if um and current_struct == "tamsel_runtime_methods":
        out[i] = line + " /**< Slot of tamsel_%s(), which this version does not provide: NULL. */" % um.group(1)
        i += 1
        continue
    fm = member_fn.match(line) if current_struct else None
    above = text[i - 1].strip()
    if fm and "/*" not in line and not (above.startswith("/*") or above.startswith("*")):
        name = slot_function(current_struct, fm.group(1) or fm.group(2))
        if name:
            end = statement_end(i)
            out[end] = text[end] + " /**< Slot of %s(). */" % name
            i = end + 1
            continue
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
            # A comment over a run of declarations (no blank line or comment between them)
            # documents each of them: the run becomes a member group sharing the comment.
            last = declaration_run_end(nxt)
            if last is not None:
                out[i] = "/** @{ */ " + out[i]
                out[last] = text[last] + " /** @} */"
        i = end + 1
        continue
    # A comment after code documents what stands before it.
    m = re.search(r"\S.*?(/\*)(?!\*)", line)
    preprocessor_close = stripped.startswith(("#endif", "#else", "} /* extern"))
    if m and not stripped.startswith(("/*", "*")) and not preprocessor_close:
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
