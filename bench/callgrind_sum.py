#!/usr/bin/env python3
"""Sums the instructions of a callgrind dump by library, counting each
function's own instructions only (not those of what it calls).

usage: callgrind_sum.py DUMP COUNT [--top N]
Prints, per library, instructions per unit (COUNT units in the dump)."""
import re
import sys
from collections import defaultdict


def parse(path):
    names = {"ob": {}, "fn": {}}
    ob = "?"
    fn = "?"
    skip_next = False
    npos = 1  # position columns before the costs ("positions: line" by default)
    col = 0  # index of Ir among the events
    by_object = defaultdict(int)
    by_function = defaultdict(int)
    ref = re.compile(r"^\((\d+)\)(?: (.*))?$")

    def resolve(kind, value):
        m = ref.match(value)
        if not m:
            return value
        if m.group(2) is not None:
            names[kind][m.group(1)] = m.group(2)
            return m.group(2)
        return names[kind].get(m.group(1), "?")

    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                if skip_next:  # the inclusive cost of a call: not the caller's own
                    skip_next = False
                    continue
                parts = line.split()
                if len(parts) > npos + col:
                    ir = int(parts[npos + col])
                    by_object[ob] += ir
                    by_function[(ob, fn)] += ir
                continue
            if line.startswith("positions:"):
                npos = len(line.split()) - 1
                continue
            if line.startswith("events:"):
                col = line.split()[1:].index("Ir")
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                ob = resolve("ob", value)
            elif key == "fn":
                fn = resolve("fn", value)
            elif key == "cob":
                resolve("ob", value)
            elif key == "cfn":
                resolve("fn", value)
            elif key == "calls":
                skip_next = True
    return by_object, by_function


def is_object(path, names):
    """True when `path` is one of the libraries `names`, versioned or not
    (libkalmorix.so, libkalmorix.so.0.1.0)."""
    base = path.rsplit("/", 1)[-1]
    return any(base == n or base.startswith(n + ".") for n in names)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    path, count = sys.argv[1], int(sys.argv[2])
    top = 0
    if len(sys.argv) >= 5 and sys.argv[3] == "--top":
        top = int(sys.argv[4])
    by_object, by_function = parse(path)
    groups = [("module (libkalmorix.so)", "libkalmorix.so"),
              ("platform layer (libkxplat.so)", "libkxplat.so"),
              ("stand-in (libdpmaster.so, ky_dll.so)", ("libdpmaster.so", "ky_dll.so"))]
    total = sum(by_object.values())
    for label, key in groups:
        keys = key if isinstance(key, tuple) else (key,)
        ir = sum(v for o, v in by_object.items() if is_object(o, keys))
        print(f"{label:40s} {ir / count:12.1f}")
    print(f"{'whole process':40s} {total / count:12.1f}")
    if top:
        mod = [(v, fn) for (o, fn), v in by_function.items() if is_object(o, ("libkalmorix.so",))]
        for v, fn in sorted(mod, reverse=True)[:top]:
            print(f"    {v / count:10.1f}  {fn}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
