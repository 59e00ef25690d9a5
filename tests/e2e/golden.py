#!/usr/bin/env python3
"""Compares an end-to-end program's listing, JSON document and output data
sets with its golden files, tests/e2e/golden/NAME.lst, NAME.json and
NAME.data.

    golden.py NAME OUTDIR LISTING JSON

The listing is compared whole, line by line. The JSON document is compared
table by table: first the tables themselves, in order, so that a table that
moved, appeared or went away is named with its place; then each table's
columns and cells, naming the table, the row and the column of the first
cell that differs; then the rest of the document (groups, notes, graphs).
The output data sets (every .csv and .attr file the run left in its output
folder, by path) are kept in one file, each under a "### PATH" line, and
compared whole, naming the file and line of the first difference.
Numbers are compared as the text written, so the comparison is byte for
byte up to the layout of the golden file and the masked fields.

Masked before comparing (in both): the output folder, the run's temporary
folder, tests/e2e and the source tree (as <OUT>, <WORK>, <HERE>, <ROOT>);
dates; clock times; and a run of more than 255 of one character (as
<<N x 'c'>>), which keeps very long values short in the golden files.

With KORV_UPDATE_GOLDEN=1 the golden files are rewritten instead (a program
that writes no listing or no JSON has none). Review every changed golden
file with git diff before committing it: each change must be one that a
change of the code explains.

Exit status 0 when both match (or were rewritten), 1 with the first
differences on standard output otherwise.
"""
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
GOLDEN = os.path.join(HERE, "golden")

MONTHS = "JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC"
LONG_MONTHS = ("January|February|March|April|May|June|July|August|September|"
               "October|November|December")
DAYS = "Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday"
VOLATILE = [
    # Monday, December 7, 2026 / December 7, 2026 / 07DEC2026 / 07DEC26 / 2026-12-07
    (re.compile(r"\b(?:(?:%s),\s+)?(?:%s)\s+\d{1,2},\s+\d{4}\b" % (DAYS, LONG_MONTHS)), "<DATE>"),
    (re.compile(r"\b\d{2}(?:%s)\d{2}(?:\d{2})?\b" % MONTHS, re.I), "<DATE>"),
    (re.compile(r"\b\d{4}-\d{2}-\d{2}\b"), "<DATE>"),
    # 10:46:37 / 0:00:10 (elapsed)
    (re.compile(r"\b\d{1,2}:\d{2}:\d{2}(?:\.\d+)?\b"), "<TIME>"),
]
RUN = re.compile(r"(.)\1{255,}")


class Num(str):
    """A JSON number, kept as the text written."""


def mask_text(text, places):
    for path, name in places:
        if path:
            text = text.replace(path, name)
    for pattern, name in VOLATILE:
        text = pattern.sub(name, text)
    return RUN.sub(lambda m: "<<%d x %r>>" % (len(m.group(0)), m.group(1)), text)


class Obj(list):
    """A JSON object: its members as (key, value) pairs, in order."""

    def get(self, key, default=None):
        for k, v in self:
            if k == key:
                return v
        return default


def masked(v, places):
    if isinstance(v, Obj):
        return Obj((k, masked(x, places)) for k, x in v)
    if isinstance(v, list):
        return [masked(x, places) for x in v]
    if type(v) is str:
        return mask_text(v, places)
    return v


def load(text, places):
    """The document as lists of (key, value) pairs, numbers as Num, strings
    masked."""
    doc = json.loads(text, parse_float=Num, parse_int=Num, parse_constant=Num,
                     object_pairs_hook=Obj)
    return masked(doc, places)


def scalar(v):
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, Num):
        return str(v)
    return json.dumps(v, ensure_ascii=False)


def compact(v):
    if isinstance(v, Obj):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + compact(x) for k, x in v) + "}"
    if isinstance(v, list):
        return "[" + ",".join(compact(x) for x in v) + "]"
    return scalar(v)


def flat(v):
    items = [x for _, x in v] if isinstance(v, Obj) else v
    return not any(isinstance(x, list) for x in items)


def pretty(v, indent=0):
    """One member per line; a container holding no container (a row, a
    column) or a short one stays on one line."""
    if not isinstance(v, list):
        return scalar(v)
    one = compact(v)
    if flat(v) or len(one) <= 100:
        return one
    pad = " " * (indent + 1)
    if isinstance(v, Obj):
        inner = [pad + json.dumps(k, ensure_ascii=False) + ": " + pretty(x, indent + 1) for k, x in v]
        return "{\n" + ",\n".join(inner) + "\n" + " " * indent + "}"
    inner = [pad + pretty(x, indent + 1) for x in v]
    return "[\n" + ",\n".join(inner) + "\n" + " " * indent + "]"


def tables(doc):
    """The tables in document order, each with its place ("step 2 > group
    Stratum1 > table 3")."""
    out = []

    def walk(v, where):
        if isinstance(v, Obj):
            kind = v.get("kind")
            if kind == "table":
                out.append((where + ["table " + str(v.get("name"))], v))
                return
            if kind == "group":
                where = where + ["group " + str(v.get("name"))]
            for k, x in v:
                walk(x, where)
        elif isinstance(v, list):
            for x in v:
                walk(x, where)

    steps = doc.get("steps") if isinstance(doc, Obj) else None
    if isinstance(steps, list):
        for i, s in enumerate(steps, 1):
            walk(s, ["step %d" % i])
    else:
        walk(doc, [])
    return out


def first_path_difference(a, b, path="$"):
    if isinstance(a, Obj) and isinstance(b, Obj):
        ka, kb = [k for k, _ in a], [k for k, _ in b]
        if ka != kb:
            return "%s: members %s, golden %s" % (path, ka, kb)
        for (k, x), (_, y) in zip(a, b):
            d = first_path_difference(x, y, "%s.%s" % (path, k))
            if d:
                return d
        return None
    if isinstance(a, list) and isinstance(b, list) and not isinstance(a, Obj) and not isinstance(b, Obj):
        for i, (x, y) in enumerate(zip(a, b)):
            d = first_path_difference(x, y, "%s[%d]" % (path, i))
            if d:
                return d
        if len(a) != len(b):
            return "%s: %d items, golden %d" % (path, len(a), len(b))
        return None
    if type(a) is not type(b) or a != b:
        return "%s: %s, golden %s" % (path, clip(compact(a)), clip(compact(b)))
    return None


def clip(s, n=120):
    return s if len(s) <= n else s[:n] + "..."


def compare_json(made, gold):
    """The differences, worst first: the tables' order, then the first
    differing cell of each table, then the rest of the document."""
    problems = []
    tm, tg = tables(made), tables(gold)
    names_m = [" > ".join(w) for w, _ in tm]
    names_g = [" > ".join(w) for w, _ in tg]
    if names_m != names_g:
        i = next((i for i, (x, y) in enumerate(zip(names_m, names_g)) if x != y),
                 min(len(names_m), len(names_g)))
        here = names_m[i] if i < len(names_m) else "(no more tables)"
        there = names_g[i] if i < len(names_g) else "(no more tables)"
        problems.append("JSON: the tables differ from table %d on: made %s, golden %s "
                        "(%d tables made, %d golden)" % (i + 1, here, there, len(tm), len(tg)))
        return problems
    for (where, a), (_, b) in zip(tm, tg):
        name = " > ".join(where)
        if compact(a.get("columns")) != compact(b.get("columns")):
            problems.append("JSON: table %s: columns differ: %s" %
                            (name, first_path_difference(a.get("columns"), b.get("columns"), "columns")))
            continue
        ra, rb = a.get("rows") or [], b.get("rows") or []
        bad = None
        for r, (x, y) in enumerate(zip(ra, rb), 1):
            for (col, vx), (_, vy) in zip(x, y):
                if compact(vx) != compact(vy):
                    bad = "row %d, column %s: made %s, golden %s" % (r, col, clip(compact(vx)),
                                                                    clip(compact(vy)))
                    break
            if bad is None and [k for k, _ in x] != [k for k, _ in y]:
                bad = "row %d: cells %s, golden %s" % (r, [k for k, _ in x], [k for k, _ in y])
            if bad:
                break
        if bad is None and len(ra) != len(rb):
            bad = "%d rows, golden %d" % (len(ra), len(rb))
        if bad is None:
            d = first_path_difference(a, b, "table")
            bad = d
        if bad:
            problems.append("JSON: table %s: %s" % (name, bad))
    if not problems:
        d = first_path_difference(made, gold)
        if d:
            problems.append("JSON: outside the tables: " + d)
    return problems


def compare_listing(made, gold):
    a, b = made.split("\n"), gold.split("\n")
    for i, (x, y) in enumerate(zip(a, b), 1):
        if x != y:
            return ["listing: first difference at line %d:\n  made:   %s\n  golden: %s" %
                    (i, clip(x, 200), clip(y, 200))]
    if len(a) != len(b):
        return ["listing: %d lines made, golden %d" % (len(a), len(b))]
    return []


def data_sets(out):
    """The output data sets of a run, one text: each .csv and .attr file
    under the output folder (graphs left out) under its "### PATH" line, in
    path order; None when there is none."""
    files = []
    for top, dirs, names in os.walk(out):
        dirs[:] = sorted(d for d in dirs if d != "graphs")
        for n in names:
            if n.endswith(".csv") or n.endswith(".attr"):
                files.append(os.path.relpath(os.path.join(top, n), out))
    if not files:
        return None
    parts = []
    for f in sorted(files):
        text = read(os.path.join(out, f)) or ""
        parts.append("### %s\n%s%s" % (f, text, "" if text.endswith("\n") or not text else "\n"))
    return "".join(parts)


def compare_data(made, gold):
    a, b = made.split("\n"), gold.split("\n")
    where = "?"
    for i, (x, y) in enumerate(zip(a, b), 1):
        if x.startswith("### "):
            where, first = x[4:], i
        if x != y:
            if x.startswith("### ") or y.startswith("### "):
                return ["data sets: made %s, golden %s" % (clip(x[4:] if x.startswith("### ") else x),
                                                          clip(y[4:] if y.startswith("### ") else y))]
            return ["data set %s: first difference at its line %d:\n  made:   %s\n  golden: %s" %
                    (where, i - first, clip(x, 200), clip(y, 200))]
    if len(a) != len(b):
        return ["data sets: %d lines made, golden %d" % (len(a), len(b))]
    return []


def read(path):
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            return f.read()
    except OSError:
        return None


def write(path, text):
    if text is None:
        if os.path.exists(path):
            os.remove(path)
        return
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)


def check(name, listing_made, json_made, places, golden_dir=GOLDEN, update=False, data_made=None):
    """Compares (or rewrites) the golden files of `name`; returns the
    problems found."""
    listing = mask_text(listing_made, places) if listing_made is not None else None
    data = mask_text(data_made, places) if data_made is not None else None
    doc = None
    problems = []
    if json_made is not None:
        try:
            doc = load(json_made, places)
        except ValueError as e:
            problems.append("JSON: the document made cannot be read: %s" % e)
    gl = os.path.join(golden_dir, name + ".lst")
    gj = os.path.join(golden_dir, name + ".json")
    gd = os.path.join(golden_dir, name + ".data")
    if update:
        os.makedirs(golden_dir, exist_ok=True)
        write(gl, listing)
        write(gd, data)
        write(gj, pretty(doc) + "\n" if doc is not None else None)
        return problems
    old_listing = read(gl)
    if (old_listing is None) != (listing is None):
        problems.append("listing: %s" % ("no golden listing " + gl if old_listing is None
                                         else "no listing was written, but there is a golden one"))
    elif listing is not None:
        problems += compare_listing(listing, old_listing)
    old_data = read(gd)
    if (old_data is None) != (data is None):
        problems.append("data sets: %s" % ("none are golden (%s), but the run wrote some" % gd
                                           if old_data is None
                                           else "the run wrote none, but %s has some" % gd))
    elif data is not None:
        problems += compare_data(data, old_data)
    old_json = read(gj)
    if (old_json is None) != (json_made is None):
        problems.append("JSON: %s" % ("no golden JSON " + gj if old_json is None
                                      else "no JSON document was written, but there is a golden one"))
    elif doc is not None:
        try:
            gold = load(old_json, [])
        except ValueError as e:
            problems.append("JSON: the golden document %s cannot be read: %s" % (gj, e))
        else:
            problems += compare_json(doc, gold)
    return problems


def main(argv):
    if len(argv) != 5:
        sys.stderr.write("usage: golden.py NAME OUTDIR LISTING JSON\n")
        return 2
    name, out, listing, js = argv[1:]
    work = os.path.dirname(os.path.abspath(out))
    places = [(os.path.abspath(out), "<OUT>"), (work, "<WORK>"), (HERE, "<HERE>"), (ROOT, "<ROOT>")]
    update = os.environ.get("KORV_UPDATE_GOLDEN", "") == "1"
    problems = check(name, read(listing), read(js), places, update=update,
                     data_made=data_sets(out))
    if problems:
        print("golden files of %s (KORV_UPDATE_GOLDEN=1 rewrites them; see tests/e2e/README.md):"
              % name)
        for p in problems:
            print("  " + p)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
