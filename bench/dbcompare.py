#!/usr/bin/env python3
"""Compares a compilation database with the expected one.

    dbcompare.py [-f] [-l N] LABEL EXPECTED RECORDED

prints one line: LABEL, then the entries expected and recorded, those
missing, the extra ones and those with a wrong directory.  Entries are
matched by directory, file (both with "." and ".." resolved) and argument
vector, each expected entry by one recorded entry: a repeat of an entry is
extra unless it is expected twice.  A wrong directory is a recorded entry
that is not expected but whose file and arguments are those of a missing
one; the pair counts neither as missing nor as extra.  With -f the
arguments are left out of the match (for tools that rewrite them).  -l N
lists up to N entries of each kind after the line.  A database that is
empty or missing counts as no entry.  ccache names its temporary files
anew in each run (cpp_stdout.tmp.Xa3b9Q.i): their random part is left out.
"""

import collections
import getopt
import json
import os
import re
import sys

TEMPORARY = re.compile(r"\.tmp\.[A-Za-z0-9]{6}\b")


def load(path):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "surrogateescape")
    except FileNotFoundError:
        return []
    return json.loads(text) if text.strip() else []


def key(e, with_args):
    d = os.path.normpath(e["directory"])
    f = os.path.normpath(os.path.join(d, e["file"]))
    args = tuple(TEMPORARY.sub(".tmp.*", a) for a in e["arguments"])
    return (d, f, args if with_args else ())


def main():
    opts, args = getopt.getopt(sys.argv[1:], "fl:")
    opts = dict(opts)
    with_args = "-f" not in opts
    limit = int(opts.get("-l", 0))
    label, expected_path, recorded_path = args
    expected = collections.Counter(key(e, with_args)
                                   for e in load(expected_path))
    recorded = collections.Counter(key(e, with_args)
                                   for e in load(recorded_path))
    missing = expected - recorded
    extra = recorded - expected
    # Pair what differs only by directory.
    by_rest = collections.defaultdict(list)
    for k, c in missing.items():
        by_rest[k[1:]] += [k] * c
    wrong = []
    for k, c in sorted(extra.items()):
        for _ in range(c):
            if by_rest[k[1:]]:
                m = by_rest[k[1:]].pop()
                missing[m] -= 1
                extra[k] -= 1
                wrong.append((m, k))
    missing, extra = +missing, +extra
    print("%-22s %8d %8d %8d %8d %8d" % (
        label, sum(expected.values()), sum(recorded.values()),
        sum(missing.values()), sum(extra.values()), len(wrong)))
    for kind, items in (("missing", sorted(missing.elements())),
                        ("extra", sorted(extra.elements())),
                        ("wrong directory", [w for _, w in wrong])):
        for d, f, a in items[:limit]:
            print("    %s: %s in %s: %s" % (kind, f, d, " ".join(a)))


if __name__ == "__main__":
    main()
