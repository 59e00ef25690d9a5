#!/usr/bin/env python3
"""Opens HTML pages with graphs in headless Chromium and checks what a reader
would see: no two texts of a graph overlap, no text leaves its graph, every
id of the page is unique, and each page's screenshot is saved to look at.

    browser_check.py KORVANTE OUTDIR PROGRAM.vyr...

Each program is run through KORVANTE (data from examples/) with --html; the
page is then opened three times: as it is, for a screenshot of its top
(OUTDIR/NAME.png); its graphs alone, two to a row, for a screenshot of every
graph (OUTDIR/NAME-graphs.png); and with a small script added that measures
every text of every graph (getBoundingClientRect, so rotated labels count as
drawn) and writes its findings into the page, read back with --dump-dom.

It is not a pixel comparison: fonts differ between machines. Without
Chromium the check is skipped (exit status 77).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PROBE = r"""
<script>
(function () {
  const out = {graphs: 0, texts: 0, faults: [], duplicateIds: []};
  const seen = new Map();
  for (const el of document.querySelectorAll('[id]')) {
    seen.set(el.id, (seen.get(el.id) || 0) + 1);
  }
  for (const [id, n] of seen) if (n > 1) out.duplicateIds.push(id);
  for (const svg of document.querySelectorAll('figure.graph svg')) {
    out.graphs++;
    const frame = svg.getBoundingClientRect();
    const boxes = [];
    for (const t of svg.querySelectorAll('text')) {
      if (!t.textContent.trim()) continue;
      const r = t.getBoundingClientRect();
      boxes.push({text: t.textContent, r: r});
      out.texts++;
      if (r.left < frame.left - 0.5 || r.right > frame.right + 0.5 ||
          r.top < frame.top - 0.5 || r.bottom > frame.bottom + 0.5)
        out.faults.push('"' + t.textContent + '" leaves its graph (' +
                        svg.getAttribute('aria-labelledby') + ')');
    }
    // Texts' boxes are the font's full height; neighbouring lines may touch.
    const slack = 1.0;
    for (let i = 0; i < boxes.length; i++)
      for (let j = i + 1; j < boxes.length; j++) {
        const a = boxes[i].r, b = boxes[j].r;
        if (a.left + slack < b.right && b.left + slack < a.right &&
            a.top + slack < b.bottom && b.top + slack < a.bottom)
          out.faults.push('"' + boxes[i].text + '" overlaps "' + boxes[j].text + '" (' +
                          svg.getAttribute('aria-labelledby') + ')');
      }
  }
  const pre = document.createElement('pre');
  pre.id = 'korv-browser-check';
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
})();
</script>
"""


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def run_browser(browser, args, timeout=120):
    # Chromium prints dbus and GPU complaints on stderr; they are not ours.
    return subprocess.run(
        [browser, "--headless=new", "--no-sandbox", "--disable-gpu",
         "--hide-scrollbars", "--no-first-run", "--disable-extensions"] + args,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout, text=True)


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    korvante, outdir, programs = sys.argv[1], sys.argv[2], sys.argv[3:]
    browser = chromium()
    if not browser:
        print("browser check skipped: Chromium is not installed")
        return 77
    os.makedirs(outdir, exist_ok=True)
    failures = 0
    work = tempfile.mkdtemp(prefix="korv-browser-")
    try:
        for prog in programs:
            name = os.path.splitext(os.path.basename(prog))[0]
            out = os.path.join(work, name)
            os.makedirs(out)
            page = os.path.join(out, "page.html")
            r = subprocess.run([korvante, prog, "--data", os.path.join(ROOT, "examples"),
                                "--out", out, "--html", page, "--listing",
                                os.path.join(out, "listing.txt"), "--log",
                                os.path.join(out, "log.txt")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode != 0 or not os.path.exists(page):
                print("FAIL %s: korvante ended with status %d" % (name, r.returncode))
                failures += 1
                continue
            html = open(page, encoding="utf-8").read()
            shot = os.path.join(outdir, name + ".png")
            run_browser(browser, ["--window-size=1280,%d" % page_height(html),
                                  "--screenshot=" + shot, "file://" + page])
            figures = re.findall(r'<figure class="graph".*?</figure>', html, re.S)
            if figures:
                gallery = os.path.join(out, "graphs.html")
                with open(gallery, "w", encoding="utf-8") as f:
                    f.write('<!DOCTYPE html><html><head><meta charset="utf-8"><style>'
                            "body{margin:0;width:1320px}figure{display:inline-block;"
                            "vertical-align:top;margin:0 0 8px 0;width:660px}</style></head>"
                            "<body>" + "".join(figures) + "</body></html>")
                heights = [svg_height(f) + 40 for f in figures]
                rows = [max(heights[i:i + 2]) for i in range(0, len(heights), 2)]
                run_browser(browser, ["--window-size=1320,%d" % min(16000, sum(rows) + 20),
                                      "--screenshot=" + os.path.join(outdir, name + "-graphs.png"),
                                      "file://" + gallery])
            probe = os.path.join(out, "probe.html")
            with open(probe, "w", encoding="utf-8") as f:
                f.write(html.replace("</body>", PROBE + "</body>"))
            dom = run_browser(browser, ["--dump-dom", "file://" + probe]).stdout
            m = re.search(r'<pre id="korv-browser-check">(.*?)</pre>', dom, re.S)
            if not m:
                print("FAIL %s: the page's check did not run" % name)
                failures += 1
                continue
            found = json.loads(m.group(1).replace("&quot;", '"').replace("&lt;", "<")
                               .replace("&gt;", ">").replace("&amp;", "&"))
            problems = found["faults"] + ["duplicate id " + i for i in found["duplicateIds"]]
            if found["graphs"] == 0:
                problems.append("the page has no graph")
            if problems:
                failures += 1
                print("FAIL %s: %s" % (name, "; ".join(problems[:20])))
            else:
                print("ok   %s: %d graphs, %d texts, screenshot %s"
                      % (name, found["graphs"], found["texts"], shot))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


def svg_height(figure):
    m = re.search(r'<svg[^>]*\sheight="([0-9.]+)"', figure)
    return int(float(m.group(1))) if m else 500


def page_height(html):
    # Room for every graph of the page and its tables, within reason.
    graphs = html.count('<figure class="graph"')
    rows = html.count("<tr")
    return min(16000, 600 + 620 * graphs + 24 * rows)


if __name__ == "__main__":
    sys.exit(main())
