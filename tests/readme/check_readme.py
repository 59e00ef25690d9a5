#!/usr/bin/env python3
"""Runs what README.md shows and checks that it shows what the runs give.

    check_readme.py PATH/TO/korvante [README.md]

README.md marks its blocks with HTML comments (invisible on the page), each
on a line of its own and followed by the code block it speaks of:

    <!-- program: examples/NAME.vyr -->
        the block is the whole text of that file
    <!-- run: ID [status=N] -->
        the block's lines are shell commands (build/korvante ...), run in a
        fresh folder that holds build/korvante (the program under test),
        examples/ and tests/readme/; the exit status must be N (default 0)
    <!-- shows: ID stdout|stderr|FILE -->
        every line of the block but "..." appears, in this order, in the
        standard output, standard error or file FILE of run ID (lines are
        compared with their leading and trailing blanks taken off)

and, without a block:

    <!-- hidden-run: ID [status=N] COMMAND -->  a run the page does not show
    <!-- files: ID FILE... -->            the files run ID leaves
    <!-- lacks: ID stdout|stderr|FILE TEXT -->  TEXT is nowhere in that output
    <!-- warnings: ID JSON rc=N GROUP/NUMBER... -->
        each warning appears in a step of the JSON document JSON (written
        by run ID) whose return code is N; with rc=0, every warning of a
        step of return code 0 in that document is one of those listed

KORV_README_KEEP=1 keeps the runs' folders (their place is printed).
Every examples/*.vyr must be shown by a program block and run by a run
block. Prints what is wrong; exit status 1 if anything is.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARK = re.compile(r"^<!--\s*([a-z-]+):\s*(.*?)\s*-->\s*$")


def blocks(lines):
    """Yields (marker, argument, block lines, line number) for each marker."""
    i = 0
    n = len(lines)
    while i < n:
        m = MARK.match(lines[i])
        if not m:
            i += 1
            continue
        kind, arg, at = m.group(1), m.group(2), i + 1
        i += 1
        if kind in ("hidden-run", "files", "warnings", "lacks"):
            yield kind, arg, None, at
            continue
        while i < n and not lines[i].strip():
            i += 1
        body = []
        if i < n and lines[i].startswith("```"):
            i += 1
            while i < n and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            i += 1
        else:
            while i < n and (lines[i].startswith("    ") or not lines[i].strip()):
                body.append(lines[i][4:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
        yield kind, arg, body, at


def in_order(shown, text):
    """The first line of shown not found in order in text, or None."""
    got = [l.strip() for l in text.splitlines()]
    k = 0
    for want in shown:
        w = want.strip()
        if not w or w == "...":
            continue
        while k < len(got) and got[k] != w:
            k += 1
        if k == len(got):
            return want
        k += 1
    return None


def main():
    korvante = os.path.abspath(sys.argv[1])
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    readme = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "README.md")
    lines = open(readme, encoding="utf-8").read().splitlines()
    problems = []
    work = tempfile.mkdtemp(prefix="readme-")
    runs = {}
    shown_programs = set()
    run_programs = set()

    def sandbox(rid):
        d = os.path.join(work, rid)
        os.makedirs(os.path.join(d, "build"))
        os.makedirs(os.path.join(d, "tests"))
        os.symlink(korvante, os.path.join(d, "build", "korvante"))
        os.symlink(os.path.join(root, "examples"), os.path.join(d, "examples"))
        os.symlink(os.path.join(root, "tests", "readme"), os.path.join(d, "tests", "readme"))
        return d

    def run(rid, script, status, at):
        if rid in runs:
            problems.append("line %d: run %s is made twice" % (at, rid))
            return
        d = sandbox(rid)
        p = subprocess.run(["bash", "-c", script], cwd=d, capture_output=True, text=True)
        runs[rid] = (d, p.stdout, p.stderr)
        if p.returncode != status:
            problems.append("line %d: run %s ended with status %d, not %d:\n%s"
                            % (at, rid, p.returncode, status, p.stderr[-2000:]))
        for prog in re.findall(r"examples/[A-Za-z0-9_]+\.vyr", script):
            run_programs.add(prog)

    for k, line in enumerate(lines):
        if re.match(r"^\s+<!--\s*[a-z-]+:", line) or re.search(r"\S\s*<!--\s*[a-z-]+:", line):
            problems.append("line %d: a marker must start its line" % (k + 1))
    for kind, arg, body, at in blocks(lines):
        if kind == "program":
            shown_programs.add(arg)
            path = os.path.join(root, arg)
            if not os.path.isfile(path):
                problems.append("line %d: no file %s" % (at, arg))
                continue
            want = [l.rstrip() for l in open(path, encoding="utf-8").read().splitlines()]
            if [l.rstrip() for l in body] != want:
                problems.append("line %d: the block is not the text of %s" % (at, arg))
        elif kind == "run":
            words = arg.split()
            status = 0
            for w in words[1:]:
                if w.startswith("status="):
                    status = int(w[7:])
            run(words[0], "set -e\n" + "\n".join(body) if status == 0 else "\n".join(body),
                status, at)
        elif kind == "hidden-run":
            rid, _, command = arg.partition(" ")
            status = 0
            if command.startswith("status="):
                word, _, command = command.partition(" ")
                status = int(word[7:])
            run(rid, command, status, at)
        elif kind in ("shows", "lacks"):
            rid, _, where = arg.partition(" ")
            if kind == "lacks":
                where, _, unwanted = where.partition(" ")
            if rid not in runs:
                problems.append("line %d: run %s is not made before it is shown" % (at, rid))
                continue
            d, out, err = runs[rid]
            if where == "stdout":
                text = out
            elif where == "stderr":
                text = err
            else:
                path = os.path.join(d, where)
                if not os.path.isfile(path):
                    problems.append("line %d: run %s left no %s" % (at, rid, where))
                    continue
                text = open(path, encoding="utf-8", errors="replace").read()
            if kind == "lacks":
                if unwanted in text:
                    problems.append("line %d: %s of run %s has: %s" % (at, where, rid, unwanted))
                continue
            missing = in_order(body, text)
            if missing is not None:
                problems.append("line %d: %s of run %s does not show, in this order:\n    %s"
                                % (at, where, rid, missing.strip()))
        elif kind == "files":
            rid, *names = arg.split()
            if rid not in runs:
                problems.append("line %d: run %s is not made" % (at, rid))
                continue
            for name in names:
                if not os.path.exists(os.path.join(runs[rid][0], name)):
                    problems.append("line %d: run %s left no %s" % (at, rid, name))
        elif kind == "warnings":
            rid, jname, rc, *numbers = arg.split()
            rc = int(rc[3:])
            if rid not in runs:
                problems.append("line %d: run %s is not made" % (at, rid))
                continue
            doc = json.load(open(os.path.join(runs[rid][0], jname), encoding="utf-8"))
            seen = {}
            for step in doc.get("steps", []):
                for m in step.get("messages", []):
                    if m.get("severity") == "warning" and m.get("group") is not None:
                        key = "%d/%d" % (m["group"], m["number"])
                        seen.setdefault(key, set()).add(step.get("rc"))
            for key in numbers:
                if rc not in seen.get(key, set()):
                    problems.append("line %d: warning %s is not given in a step of return code %d"
                                    " (return codes: %s)"
                                    % (at, key, rc, sorted(seen.get(key, set())) or "none"))
            if rc == 0:
                for key, rcs in sorted(seen.items()):
                    if 0 in rcs and key not in numbers and key != "1/33":
                        problems.append("line %d: warning %s leaves the return code at 0 and is"
                                        " not listed" % (at, key))
        else:
            problems.append("line %d: unknown marker %s" % (at, kind))

    for f in sorted(os.listdir(os.path.join(root, "examples"))):
        if f.endswith(".vyr"):
            name = "examples/" + f
            if name not in shown_programs:
                problems.append("%s is not shown in README.md" % name)
            if name not in run_programs:
                problems.append("%s is not run by README.md" % name)

    if os.environ.get("KORV_README_KEEP"):
        print("the runs' folders are kept in", work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print(p)
    print("%d run(s), %d problem(s)" % (len(runs), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
