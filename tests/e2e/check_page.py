#!/usr/bin/env python3
"""Checks the graphs of an HTML page written by korvante: every inline SVG
is well-formed XML (xmllint --noout where xmllint is installed), no id of the
page is used twice, and no coordinate is "nan" or "inf".

    check_page.py PAGE.html     prints what is wrong; exit status 1 if anything
"""

import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET


def main():
    page = open(sys.argv[1], encoding="utf-8").read()
    problems = []
    svgs = re.findall(r"<svg\b.*?</svg>", page, re.S)
    xmllint = shutil.which("xmllint")
    for i, svg in enumerate(svgs):
        try:
            ET.fromstring(svg)
        except ET.ParseError as e:
            problems.append("graph %d is not well-formed XML: %s" % (i + 1, e))
        if xmllint:
            with tempfile.NamedTemporaryFile("w", suffix=".svg", encoding="utf-8") as f:
                f.write(svg)
                f.flush()
                r = subprocess.run([xmllint, "--noout", f.name], capture_output=True, text=True)
                if r.returncode != 0:
                    problems.append("xmllint rejects graph %d: %s" % (i + 1, r.stderr[:300]))
        for attr in re.findall(r'\s(?:d|x|y|width|height|transform|viewBox)="([^"]*)"', svg):
            if re.search(r"nan|inf", attr, re.I):
                problems.append("graph %d has a coordinate %r" % (i + 1, attr[:60]))
                break
    ids = re.findall(r'\sid="([^"]*)"', page)
    seen = set()
    for i in ids:
        if i in seen:
            problems.append("the id %r is used twice" % i)
        seen.add(i)
    for p in problems[:20]:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
