#!/usr/bin/env python3
"""Ground truth of a build's compiles, from the log of `strace -f`.

    groundtruth.py LOG START-DIR ALL-DB DEFAULT-DB

LOG is written by

    strace -f -v -y -s 1048576 -e signal=none -o LOG \\
        -e trace=execve,execveat,fork,vfork,clone,clone3,chdir,fchdir,openat CMD

run in START-DIR, and is read once the build has ended and its tree is left
as the build left it.  Two compilation databases are written, each a JSON
array of {"directory", "file", "arguments"}:

ALL-DB, every compile a language server needs, one entry per source:
  - a successful exec whose program name (the base name of argv[0]) is a
    GCC- or clang-style driver: an optional target prefix ending in "-",
    then cc, c++, gcc, g++, clang or clang++, then an optional version,
    "-12", "-14.0.6" or "12"; or ccache, sccache, distcc or icecc followed
    by such a driver, taken from the driver on;
  - not run by such an exec: a process that made one, and every process it
    starts from then on, records nothing more (cc1, as, ld, the compiler
    that ccache runs, a driver that a driver runs);
  - not -E, not -M or -MM without -MD or -MMD;
  - a source is an argument, not an option nor an option's separate value,
    that ends in .c .cc .cp .cpp .cxx .c++ .C .m .mm .s .S .sx or follows
    -x with a C, C++, Objective-C or assembler language, and names a
    regular file when the build has ended (configure probes are gone);
  - the directory is the process's working directory, followed through
    fork, clone, chdir and fchdir;
  - identical entries once.

DEFAULT-DB, what cctrace records without options: argv[0] matches
(cc|cpp)$, the last argument that matches \\.(c|cpp|S)$ and names a regular
file when the compiler starts (searched from the last argument towards the
second; an empty one ends the search), one entry per exec, repeats kept.  A
file gone at the end existed at the start if the compiler, or a process it
started, opened it.

A summary goes to standard error: the execs, those of a compiler or wrapper
and how many of them ran inside another, the compiles and the entries of
each database.  Nothing here is shared with cctrace: the two are compared
to find faults in either.
"""

import json
import os
import re
import sys

DRIVER = re.compile(
    r"^(?:.*-)?(?:cc|c\+\+|gcc|g\+\+|clang|clang\+\+)(?:-?[0-9]+(?:\.[0-9]+)*)?$")
WRAPPERS = {"ccache", "sccache", "distcc", "icecc"}
SUFFIX = re.compile(r"\.(?:c|cc|cp|cpp|cxx|c\+\+|C|m|mm|s|S|sx)$")
LANGUAGES = {"c", "c++", "objective-c", "objective-c++", "assembler",
             "assembler-with-cpp"}
# Options of GCC and clang whose value may be the next argument.
SEPARATE = {
    "-o", "-MF", "-MT", "-MQ", "-MJ", "-include", "-imacros", "-include-pch",
    "-I", "-isystem", "-iquote", "-idirafter", "-iprefix", "-iwithprefix",
    "-iwithprefixbefore", "-isysroot", "-imultilib", "-imultiarch",
    "-iframework", "-ivfsoverlay", "-D", "-U", "-A", "-L", "-l", "-u", "-T",
    "-e", "-z", "-B", "-Xlinker", "-Xassembler", "-Xpreprocessor",
    "-Xclang", "-mllvm", "-aux-info", "--param", "-dumpbase",
    "-dumpbase-ext", "-dumpdir", "-wrapper", "-specs", "-target", "-arch",
    "--sysroot", "-gcc-toolchain", "-resource-dir", "-working-directory",
    "-serialize-diagnostics", "-Xopenmp-target", "-Xarch_host",
    "-Xarch_device",
}
DEFAULT_COMPILER = re.compile(r"(cc|cpp)$")
DEFAULT_SOURCE = re.compile(r"\.(c|cpp|S)$")

RESULT = re.compile(r"\)\s+=\s+(-?\d+|\?)(?:<([^>]*)>)?(?:\s.*)?$")
ESCAPES = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "a": 7, "b": 8,
           '"': 34, "\\": 92}


def parse_string(s, i):
    """The C string literal at s[i] as text, and the index after it."""
    assert s[i] == '"', s[i:i + 40]
    out = bytearray()
    i += 1
    while s[i] != '"':
        c = s[i]
        if c != "\\":
            out += c.encode("utf-8", "surrogateescape")
            i += 1
            continue
        e = s[i + 1]
        if e in ESCAPES:
            out.append(ESCAPES[e])
            i += 2
        elif e == "x":
            out.append(int(s[i + 2:i + 4], 16))
            i += 4
        else:
            j = i + 1
            while j < i + 4 and s[j] in "01234567":
                j += 1
            out.append(int(s[i + 1:j], 8))
            i = j
    i += 1
    if s.startswith("...", i):
        raise ValueError("string cut short: raise strace's -s")
    return out.decode("utf-8", "surrogateescape"), i


def parse_array(s, i):
    """The array of strings at s[i], or None for a pointer, and the index
    after it."""
    if s[i] != "[":
        j = i
        while s[j] not in ",)":
            j += 1
        return None, j
    items = []
    i += 1
    while s[i] != "]":
        if s[i] == '"':
            v, i = parse_string(s, i)
            items.append(v)
        elif s.startswith("...", i):
            raise ValueError("vector cut short: run strace with -v")
        else:
            raise ValueError("unreadable vector at " + s[i:i + 40])
        if s.startswith(", ", i):
            i += 2
    return items, i + 1


def parse_exec(call, args):
    """argv of an execve or execveat call's argument text."""
    i = 0
    if call == "execveat":
        i = args.index(", ") + 2
    _, i = parse_string(args, i)
    assert args.startswith(", ", i)
    argv, _ = parse_array(args, i + 2)
    return argv


def events(path):
    """(line number, pid, call, argument text, result, result path) of
    every complete call in the log, in the order in which they began: a
    new process may exec before its creator's clone has returned."""
    out = []
    pending = {}
    line_re = re.compile(r"^(\d+)\s+(.*)$")
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for n, line in enumerate(f):
            m = line_re.match(line.rstrip("\n"))
            if not m:
                continue
            pid, text = int(m.group(1)), m.group(2)
            if text.startswith("+++ superseded by execve in pid "):
                out.append((n, pid, "superseded", text.split()[-2], None,
                            None))
                continue
            if text.startswith("+++") or text.startswith("---"):
                continue
            if text.endswith(" <unfinished ...>"):
                pending[pid] = (n, text[:-len(" <unfinished ...>")])
                continue
            start = n
            if text.startswith("<... "):
                if pid not in pending:
                    continue
                start, head = pending.pop(pid)
                text = head + text[text.index(" resumed>") + 9:]
            p = text.find("(")
            if p < 0:
                continue
            call = text[:p]
            r = RESULT.search(text)
            if not r:
                continue
            out.append((start, pid, call, text[p + 1:], r.group(1),
                        r.group(2)))
    out.sort(key=lambda e: e[0])
    return out


class Task:
    """What a traced task carries: its working directory (a cell shared
    with the tasks made with CLONE_FS) and whether it is inside a compile."""

    def __init__(self, cwd, inside):
        self.cwd = cwd
        self.inside = inside


def is_driver(prog):
    return DRIVER.match(os.path.basename(prog)) is not None


def driver_argv(argv):
    """The argument vector from the driver on, or None: no compile run."""
    if not argv:
        return None
    base = os.path.basename(argv[0])
    if base in WRAPPERS:
        return argv[1:] if len(argv) > 1 and is_driver(argv[1]) else None
    return argv if DRIVER.match(base) else None


def sources(argv, cwd):
    """The arguments of a driver's argv that are sources to record."""
    args = argv[1:]
    if "-E" in args:
        return []
    if ("-M" in args or "-MM" in args) and \
            "-MD" not in args and "-MMD" not in args:
        return []
    out = []
    lang = None
    i = 0
    while i < len(args):
        a = args[i]
        i += 1
        if a == "-x":
            lang = args[i] if i < len(args) else None
            i += 1
            continue
        if a.startswith("-x"):
            lang = a[2:]
            continue
        if a in SEPARATE:
            i += 1
            continue
        if a.startswith("-") or a.startswith("@") or a == "":
            continue
        if lang is not None and lang != "none":
            named = lang in LANGUAGES
        else:
            named = SUFFIX.search(a) is not None
        if named and os.path.isfile(os.path.join(cwd, a)):
            out.append(a)
    return out


def entry(cwd, src, argv):
    return {"directory": cwd,
            "file": src if src.startswith("/") else cwd + "/" + src,
            "arguments": argv}


def main():
    log, start, all_path, default_path = sys.argv[1:5]
    start = os.path.realpath(start)
    tasks = {}
    parent = {}
    compiles = []           # (cwd, argv from the driver on)
    defaults = []           # (line, pid, cwd, argv)
    opened = {}             # path -> [(line, pid)] of successful opens
    execs = drivers = inner = cwd_wrong = 0

    def task(pid):
        if pid not in tasks:
            # The first task, or one whose creation the log lost.
            tasks[pid] = Task([start], False)
        return tasks[pid]

    for n, pid, call, args, ret, retpath in events(log):
        t = task(pid)
        if call == "superseded":
            tasks[pid] = tasks.get(int(args), t)
            continue
        if call in ("fork", "vfork", "clone", "clone3"):
            if not ret.isdigit() or int(ret) <= 0:
                continue
            child = int(ret)
            flags = re.search(r"flags=([A-Z0-9_|]+)", args)
            flags = flags.group(1).split("|") if flags else []
            cwd = t.cwd if "CLONE_FS" in flags else [t.cwd[0]]
            tasks[child] = Task(cwd, t.inside)
            parent[child] = pid
        elif call == "chdir" and ret == "0":
            path, _ = parse_string(args, 0)
            t.cwd[0] = os.path.normpath(os.path.join(t.cwd[0], path))
        elif call == "fchdir" and ret == "0":
            m = re.match(r"\d+<(.*)>$", args.rsplit(")", 1)[0].strip())
            if m:
                t.cwd[0] = m.group(1)
        elif call == "openat" and ret.isdigit():
            m = re.match(r"AT_FDCWD<([^>]*)>", args)
            if m and m.group(1) != t.cwd[0] and \
                    m.group(1) != os.path.realpath(t.cwd[0]):
                cwd_wrong += 1
                if cwd_wrong == 1:
                    print("groundtruth: warning: pid %d in %s, log says %s"
                          " (line %d)"
                          % (pid, t.cwd[0], m.group(1), n + 1),
                          file=sys.stderr)
            if retpath:
                opened.setdefault(retpath, []).append((n, pid))
        elif call in ("execve", "execveat") and ret == "0":
            execs += 1
            argv = parse_exec(call, args)
            cwd = t.cwd[0]
            if argv and DEFAULT_COMPILER.search(argv[0]):
                defaults.append((n, pid, cwd, argv))
            dargv = driver_argv(argv)
            if dargv is None:
                continue
            drivers += 1
            if t.inside:
                inner += 1
                continue
            t.inside = True
            compiles.append((cwd, dargv))

    def started_by(pid, ancestor):
        while pid is not None:
            if pid == ancestor:
                return True
            pid = parent.get(pid)
        return False

    def existed(n, pid, path):
        if os.path.isfile(path):
            return True
        path = os.path.realpath(path)
        return any(m > n and started_by(p, pid)
                   for m, p in opened.get(path, ()))

    truth, seen = [], set()
    for cwd, argv in compiles:
        for src in sources(argv, cwd):
            e = entry(cwd, src, argv)
            key = json.dumps(e)
            if key not in seen:
                seen.add(key)
                truth.append(e)
    default = []
    for n, pid, cwd, argv in defaults:
        for a in reversed(argv[1:]):
            if a == "":
                break
            if DEFAULT_SOURCE.search(a) and \
                    existed(n, pid, os.path.join(cwd, a)):
                default.append(entry(cwd, a, argv))
                break

    for path, db in ((all_path, truth), (default_path, default)):
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            json.dump(db, f, indent=0, ensure_ascii=False)
    print("groundtruth: %d execs, %d of a compiler or wrapper (%d run by"
          " another), %d compiles, %d entries; default rules: %d"
          % (execs, drivers, inner, len(compiles), len(truth), len(default)),
          file=sys.stderr)
    if cwd_wrong:
        print("groundtruth: warning: %d opens in another directory than"
              " followed" % cwd_wrong, file=sys.stderr)


if __name__ == "__main__":
    main()
