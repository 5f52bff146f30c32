#!/usr/bin/env python3
"""Checks that every C++ block in the guide quotes a program the build compiles.

A block is quoted from a source under docs/examples/, named on the line before it:

    <!-- from examples/first-service.cpp -->            the whole file
    <!-- from examples/first-service.cpp#accept -->     the lines between two `//! [accept]`

and must match it line for line (leading indentation common to the region removed, marker
lines of other regions left out). With --write the blocks are rewritten from the sources.

    scripts/check-guide.py [--write] [DOCS_DIR]
"""
import pathlib
import re
import sys

FENCE = re.compile(r"^```(cpp|c\+\+)\s*$")
SOURCE = re.compile(r"^<!--\s*from\s+(\S+?)(?:#(\S+))?\s*-->\s*$")
MARKER = re.compile(r"^\s*//! \[([\w-]+)\]\s*$")


def region(path, name):
    lines = path.read_text().splitlines()
    if name:
        starts = [i for i, line in enumerate(lines) if MARKER.match(line) and
                  MARKER.match(line).group(1) == name]
        if len(starts) != 2:
            raise ValueError(f"{path}: region [{name}] needs exactly two markers, "
                             f"found {len(starts)}")
        lines = lines[starts[0] + 1:starts[1]]
    lines = [line for line in lines if not MARKER.match(line)]
    while lines and not lines[-1].strip():
        lines.pop()
    indent = min((len(l) - len(l.lstrip()) for l in lines if l.strip()), default=0)
    return [l[indent:].rstrip() for l in lines]


def check(page, write):
    text = page.read_text().splitlines()
    out, faults, i = [], [], 0
    while i < len(text):
        line = text[i]
        out.append(line)
        if not FENCE.match(line):
            i += 1
            continue
        end = next((j for j in range(i + 1, len(text)) if text[j].startswith("```")), None)
        if end is None:
            faults.append(f"{page}:{i + 1}: unclosed code block")
            break
        body = [l.rstrip() for l in text[i + 1:end]]
        before = next((text[j] for j in range(i - 1, -1, -1) if text[j].strip()), "")
        source = SOURCE.match(before)
        if not source:
            faults.append(f"{page}:{i + 1}: a C++ block without <!-- from examples/NAME.cpp -->")
            want = body
        else:
            try:
                want = region(page.parent / source.group(1), source.group(2))
            except (OSError, ValueError) as error:
                faults.append(f"{page}:{i + 1}: {error}")
                want = body
            if want != body and not write:
                faults.append(f"{page}:{i + 1}: differs from {source.group(1)}"
                              f"{'#' + source.group(2) if source.group(2) else ''}")
        out.extend(want if write else body)
        out.append(text[end])
        i = end + 1
    if write:
        page.write_text("\n".join(out) + "\n")
    return faults


def main():
    args = [a for a in sys.argv[1:] if a != "--write"]
    docs = pathlib.Path(args[0] if args else pathlib.Path(__file__).parent.parent / "docs")
    pages = sorted(docs.rglob("*.md"))
    faults = [f for page in pages for f in check(page, "--write" in sys.argv)]
    for fault in faults:
        print(fault)
    print(f"{len(pages)} pages, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
