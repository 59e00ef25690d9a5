#!/usr/bin/env python3
"""Runs korvante under faults and checks that nothing is left torn.

    fault_runs.py KORVANTE sweep        fail the Nth file write, then the Nth
                                        pool allocation, for N = 1, 2, ... up
                                        to the last one a run makes
    fault_runs.py KORVANTE road NAME    the same on one road's program
                                        (competing risks, comparisons with a
                                        simulated adjustment, line-printer
                                        plots, graphs, restricted means): the
                                        first positions each, then positions
                                        spread up to the last one and the
                                        last few (--every: each position)
    fault_runs.py KORVANTE concurrent   two runs writing the same outputs into
                                        one folder at once, many rounds
    fault_runs.py KORVANTE signals      SIGINT, SIGTERM and SIGHUP at random
                                        moments of a long run

Every run must end with a numbered ERROR message and a failing status (or
the signal that stopped it), never crash, and leave every output either as
it was before the run or whole: CSV files with all their rows and fields,
each data set's .attr describing the columns of its .csv, JSON that parses,
HTML that ends. No temporary file and no temporary WORK folder may remain.

--with-html-json adds the HTML page and the JSON file to the outputs
checked. The runs use bundled data sets, copied into a private folder.
"""

import argparse
import csv
import io
import json
import os
import stat
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OLD = "old contents\n"

SWEEP_PROGRAM = """options linesize=100 pagesize=60;
title 'Failure sweep';
proc korvante data=lung outsurv=work.surv;
   time time*status(1);
   strata sex;
run;
proc korvante data=lung outtest=work.tests notable;
   time time*status(1);
   strata ph_ecog / test=(logrank wilcoxon);
run;
"""


def concurrent_program(strata):
    return """proc korvante data=lung outsurv=work.s;
   time time*status(1);
   strata %s;
run;
""" % strata


def long_program(steps):
    return "".join(
        "proc korvante data=lung outsurv=work.s%d;\n time time*status(1);\n strata sex;\nrun;\n"
        % (i % 3) for i in range(steps))


class Failure(Exception):
    pass


class Place:
    """A private folder with the data, the program and the outputs."""

    def __init__(self, program, with_html_json, data=("lung.csv",), extra=()):
        self.root = tempfile.mkdtemp(prefix="korv-faults-")
        self.data = os.path.join(self.root, "data")
        self.out = os.path.join(self.root, "out")
        self.tmp = os.path.join(self.root, "tmp")
        for d in (self.data, self.out, self.tmp):
            os.mkdir(d)
        for name in data:
            shutil.copy(os.path.join(ROOT, "examples", name), self.data)
        self.extra = list(extra)
        self.program = os.path.join(self.data, "prog.vyr")
        with open(self.program, "w") as f:
            f.write(program)
        self.with_html_json = with_html_json

    def args(self, korvante, tag="", use_out=True):
        a = [korvante, self.program, "--data", self.data,
             "--listing", os.path.join(self.out, "listing%s.lst" % tag),
             "--log", os.path.join(self.out, "run%s.log" % tag)]
        if use_out:
            a += ["--out", self.out]
        if self.with_html_json:
            a += ["--html", os.path.join(self.out, "page.html"),
                  "--json", os.path.join(self.out, "out.json")]
        return a + self.extra

    def env(self, **extra):
        e = dict(os.environ)
        e.pop("KORV_FAIL_WRITE", None)
        e.pop("KORV_FAIL_ALLOC", None)
        e["TMPDIR"] = self.tmp
        e.update({k: str(v) for k, v in extra.items()})
        return e

    def plant_old_outputs(self, names, linked=()):
        """Old files under the outputs' names; those in `linked` are
        symbolic links to a file in a folder inside the library."""
        elsewhere = os.path.join(self.out, "elsewhere")
        os.makedirs(elsewhere, exist_ok=True)
        for n in names:
            path = os.path.join(self.out, n)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if os.path.lexists(path):
                os.remove(path)
            if n in linked:
                target = os.path.join(elsewhere, n)
                with open(target, "w") as f:
                    f.write(OLD)
                os.symlink(target, path)
            else:
                with open(path, "w") as f:
                    f.write(OLD)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def read(path):
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        return f.read()


def check_csv(path):
    text = read(path)
    if text == OLD:
        return None
    if not text.endswith("\n"):
        raise Failure("%s does not end with a line end" % path)
    rows = list(csv.reader(io.StringIO(text)))
    if len(rows) < 1:
        raise Failure("%s has no header" % path)
    width = len(rows[0])
    for i, r in enumerate(rows):
        if len(r) != width:
            raise Failure("%s line %d has %d fields, the header %d" % (path, i + 1, len(r), width))
    return [h.upper() for h in rows[0]]


def check_attr(path, header):
    text = read(path)
    if text == OLD:
        if header is not None:
            raise Failure("%s is the old file beside a new %s" % (path, path[:-5] + ".csv"))
        return
    if not text.endswith("\n"):
        raise Failure("%s does not end with a line end" % path)
    names = [line.split()[1].strip('"').upper() for line in text.splitlines()
             if line.startswith("variable ")]
    if header is None:
        raise Failure("%s is new beside the old %s" % (path, path[:-5] + ".csv"))
    if names != header:
        raise Failure("%s describes %s but the CSV file has %s" % (path, names, header))


def check_outputs(place):
    """Every output is the old file or a whole new one; nothing temporary."""
    for folder in (place.out, place.data, os.path.join(place.out, "elsewhere"),
                   os.path.join(place.out, "graphs")):
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.startswith(".") and name.endswith(".tmp") or ".part" in name \
                    or name.endswith(".tmp"):
                raise Failure("temporary file left behind: %s" % path)
            if name.endswith(".csv") and folder != place.data:
                header = check_csv(path)
                attr = path[:-4] + ".attr"
                if os.path.exists(attr):
                    check_attr(attr, header)
            elif name.endswith(".json"):
                text = read(path)
                if text != OLD:
                    try:
                        json.loads(text)
                    except ValueError as e:
                        raise Failure("%s is not whole JSON: %s" % (path, e))
            elif name.endswith(".html"):
                text = read(path)
                if text != OLD and not text.rstrip().endswith("</html>"):
                    raise Failure("%s is not a whole page" % path)
            elif name.endswith(".svg"):
                text = read(path)
                if text != OLD and not text.rstrip().endswith("</svg>"):
                    raise Failure("%s is not a whole picture" % path)
            elif name.endswith(".png"):
                with open(path, "rb") as f:
                    data = f.read()
                if data != OLD.encode() and not (data.startswith(b"\x89PNG\r\n\x1a\n")
                                                 and data[-8:-4] == b"IEND"):
                    raise Failure("%s is not a whole PNG image" % path)
            elif name.endswith(".pdf"):
                with open(path, "rb") as f:
                    data = f.read()
                if data != OLD.encode() and not (data.startswith(b"%PDF")
                                                 and b"%%EOF" in data[-32:]):
                    raise Failure("%s is not a whole PDF document" % path)
    left = os.listdir(place.tmp)
    if left:
        raise Failure("left in the temporary folder: %s" % left)


def run(args, env, timeout=120):
    p = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=timeout)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def said_error(place, stderr, tag=""):
    log = os.path.join(place.out, "run%s.log" % tag)
    text = stderr + (read(log) if os.path.exists(log) else "")
    return any(line.startswith("ERROR: ") for line in text.splitlines())


def limits(korvante, place):
    """A full standard output, and files larger than `ulimit -f` allows: each
    a write error naming the file and the reason, not a kill."""
    import resource
    args = place.args(korvante)
    i = args.index("--listing")
    to_stdout = args[:i] + args[i + 2:]
    with open("/dev/full", "w") as full:
        p = subprocess.run(to_stdout, env=place.env(), stdout=full, stderr=subprocess.PIPE,
                           timeout=120)
    log = read(os.path.join(place.out, "run.log"))
    want = "ERROR: The listing could not be written to standard output: No space left on device."
    if p.returncode != 1 or want not in log:
        raise Failure("a full standard output: status %d, log lacks %r" % (p.returncode, want))

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))

    place.plant_old_outputs(["listing.lst"])
    p = subprocess.run(place.args(korvante), env=place.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, preexec_fn=small_files, timeout=120)
    log = read(os.path.join(place.out, "run.log"))
    want = "listing.lst: File too large."
    if p.returncode != 1 or want not in log:
        raise Failure("ulimit -f: status %d, log lacks %r: %s" % (p.returncode, want,
                                                                 p.stderr.decode()[-500:]))
    check_outputs(place)
    if read(os.path.join(place.out, "listing.lst")) != OLD:
        raise Failure("ulimit -f: the old listing was not kept whole")


def sweep(korvante, with_html_json):
    place = Place(SWEEP_PROGRAM, with_html_json)
    outputs = ["surv.csv", "surv.attr", "tests.csv", "tests.attr", "listing.lst"]
    # A data set and the listing written through symbolic links: the link's
    # target is what gets replaced, whole or not at all.
    linked = ["surv.csv", "listing.lst"]
    if with_html_json:
        outputs += ["page.html", "out.json"]
    counts = {}
    data_set_messages = set()
    try:
        rc, _, err = run(place.args(korvante), place.env())
        if rc != 0:
            raise Failure("the program fails without faults (%d): %s" % (rc, err))
        for kind in ("KORV_FAIL_WRITE", "KORV_FAIL_ALLOC"):
            n = 1
            while True:
                place.plant_old_outputs(outputs, linked)
                rc, _, err = run(place.args(korvante), place.env(**{kind: n}))
                where = "%s=%d" % (kind, n)
                for name in linked:
                    if not os.path.islink(os.path.join(place.out, name)):
                        raise Failure("%s: the link %s was replaced by a file" % (where, name))
                if rc < 0 or rc >= 128:
                    raise Failure("%s: the run crashed (status %d): %s" % (where, rc, err[-2000:]))
                try:
                    check_outputs(place)
                except Failure as e:
                    raise Failure("%s: %s" % (where, e))
                if rc == 0:
                    break
                if not said_error(place, err):
                    raise Failure("%s: status %d without an ERROR message" % (where, rc))
                said = read(os.path.join(place.out, "run.log")) + err
                for line in said.splitlines():
                    if line.startswith("ERROR: The output data set WORK.SURV could not be"):
                        data_set_messages.add(line)
                n += 1
                if n > 20000:
                    raise Failure("%s: the runs never stop failing" % kind)
            if n == 1:
                raise Failure("%s: not one fault was made" % kind)
            counts[kind] = n - 1
        want = ("ERROR: The output data set WORK.SURV could not be written: "
                "No space left on device.")
        if want not in data_set_messages:
            raise Failure("no failed write of WORK.SURV said %r; it said %s"
                          % (want, sorted(data_set_messages)))
        limits(korvante, place)
        print("sweep: failed each of %d writes and %d pool allocations; every run said why"
              % (counts["KORV_FAIL_WRITE"], counts["KORV_FAIL_ALLOC"]))
    finally:
        place.remove()


# One program for each road a run can take, small enough to be run a few
# hundred times: (program, data files, outputs planted beforehand, extra
# command-line arguments).
ROADS = {
    "cmprisk": ("""proc korvante data=crsim timelist=1 2 5 outcif=work.cif plots=none;
   time time*status(0) / failcode=1;
   strata strat / group=group;
run;
""", ["crsim.csv"], ["cif.csv", "cif.attr"], []),
    "simulate": ("""proc korvante data=veteran notable outtest=work.tests;
   time time*status(0);
   strata celltype / test=logrank diff=all adjust=simulate(seed=12345 nsamp=2000) nodetail;
run;
""", ["veteran.csv"], ["tests.csv", "tests.attr"], []),
    "lineprinter": ("""options linesize=100 pagesize=50;
proc korvante data=lung lineprinter plots=(s ls lls) outsurv=work.surv;
   time time*status(1);
   strata sex;
run;
""", ["lung.csv"], ["surv.csv", "surv.attr"], []),
    "graphics": ("""proc korvante data=aml notable plots=survival(cl atrisk) outsurv=work.surv;
   time time*status(0);
   strata x;
run;
""", ["aml.csv"], ["surv.csv", "surv.attr", "graphs/SurvivalPlot.svg", "graphs/SurvivalPlot.png",
                     "graphs/SurvivalPlot.pdf"], ["--images", "png,pdf"]),
    "rmst": ("""proc korvante data=veteran rmst(tau=100 cl) rmtl(tau=100) notable plots=none
      outtest=work.tests;
   time time*status(0);
   strata celltype / diff=all adjust=bon;
run;
""", ["veteran.csv"], ["tests.csv", "tests.attr"], []),
}


def road(korvante, name, with_html_json, every=False, dense=12):
    """The sweep on one road's program. Each kind of fault is made at the
    positions 1 .. dense, then at positions growing by half until a run
    makes no such fault (it has fewer), then by halving the gap to the last
    position, then at the few positions before it; with `every`, at each
    position in turn."""
    program, data, planted, extra = ROADS[name]
    place = Place(program, with_html_json, data, extra)
    outputs = planted + ["listing.lst"]
    linked = ["listing.lst"]
    if with_html_json:
        outputs += ["page.html", "out.json"]
    tried = {}
    try:
        rc, _, err = run(place.args(korvante), place.env())
        if rc != 0:
            raise Failure("%s: the program fails without faults (%d): %s" % (name, rc, err[-2000:]))

        def run_at(kind, n):
            if n in tried[kind]:
                return tried[kind][n]
            place.plant_old_outputs(outputs, linked)
            rc, _, err = run(place.args(korvante), place.env(**{kind: n}))
            where = "%s %s=%d" % (name, kind, n)
            for link in linked:
                if not os.path.islink(os.path.join(place.out, link)):
                    raise Failure("%s: the link %s was replaced by a file" % (where, link))
            if rc < 0 or rc >= 128:
                raise Failure("%s: the run crashed (status %d): %s" % (where, rc, err[-2000:]))
            try:
                check_outputs(place)
            except Failure as e:
                raise Failure("%s: %s" % (where, e))
            if rc != 0 and not said_error(place, err):
                raise Failure("%s: status %d without an ERROR message: %s"
                              % (where, rc, err[-2000:]))
            tried[kind][n] = rc
            return rc

        counts = {}
        for kind in ("KORV_FAIL_WRITE", "KORV_FAIL_ALLOC"):
            tried[kind] = {}

            def beyond(n):
                # A run that made no fault may have had the Nth one
                # tolerated (a spare buffer not taken): a few positions
                # past it tell whether the run goes on making them.
                for m in (n + 1, n + 2, n + n // 2 + 1, 3 * n):
                    if run_at(kind, m) != 0:
                        return m
                return 0

            n, failed = 1, 0
            while True:
                if n > 200000:
                    raise Failure("%s %s: the runs never stop failing" % (name, kind))
                if every or n <= dense:
                    if run_at(kind, n) != 0:
                        failed, n = n, n + 1
                        continue
                else:
                    while run_at(kind, n) != 0:
                        failed, n = n, n + n // 2 + 1
                        if n > 200000:
                            raise Failure("%s %s: the runs never stop failing" % (name, kind))
                    while n - failed > 1:
                        mid = (failed + n) // 2
                        if run_at(kind, mid) == 0:
                            n = mid
                        else:
                            failed = mid
                    for k in range(max(1, failed - 3), failed):
                        run_at(kind, k)
                later = beyond(n)
                if not later:
                    break
                failed, n = later, later + 1
            if failed == 0:
                raise Failure("%s %s: not one fault was made" % (name, kind))
            counts[kind] = (failed, len(tried[kind]))
        print("road %s: %d writes (%d runs), %d pool allocations (%d runs); every failed run "
              "said why and left its outputs whole or as they were"
              % (name, counts["KORV_FAIL_WRITE"][0], counts["KORV_FAIL_WRITE"][1],
                 counts["KORV_FAIL_ALLOC"][0], counts["KORV_FAIL_ALLOC"][1]))
    finally:
        place.remove()


def take_folder_lock(folder):
    """Takes a library folder's lock as a writer does: a ticket of its own
    there (.korvante-w-TAG.lock), made readable to its maker alone,
    write-locked, its process id written in it, then made readable to all;
    held once no other living ticket is there. Returns
    the ticket's descriptor and name, or None when another run holds it
    (the caller tries again)."""
    import fcntl
    import struct
    query = struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, 0, 0, 0)
    tag = os.urandom(8).hex()
    base = os.path.join(folder, ".korvante-w-" + tag)
    fd = os.open(base + ".lock", os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
    os.write(fd, b"%d\n" % os.getpid())
    os.fchmod(fd, 0o644)
    for name in os.listdir(folder):
        if not (name.startswith(".korvante-w-") and name.endswith(".lock")) or tag in name:
            continue
        try:
            other = os.open(os.path.join(folder, name), os.O_RDONLY)
        except FileNotFoundError:
            continue
        try:
            kind = struct.unpack("hhqqi4x", fcntl.fcntl(other, fcntl.F_OFD_GETLK, query))[0]
        finally:
            os.close(other)
        if kind == fcntl.F_WRLCK:
            os.unlink(base + ".lock")
            os.close(fd)
            return None
    return fd, base + ".lock"


def read_pair_under_lock(place, stop, problems, reads):
    """Reads s.csv and s.attr holding the folder's lock as a writer does,
    until `stop` is set: no writer places files meanwhile, so the pair must
    always match."""
    csv_path = os.path.join(place.out, "s.csv")
    while not stop.is_set():
        held = take_folder_lock(place.out)
        if held is None:
            time.sleep(0.001)
            continue
        try:
            header = check_csv(csv_path)
            check_attr(csv_path[:-4] + ".attr", header)
            reads[0] += 1
        except FileNotFoundError:
            time.sleep(0.0005)
        except Failure as e:
            problems.append(str(e))
            return
        finally:
            os.unlink(held[1])
            os.close(held[0])


def concurrent(korvante, with_html_json, rounds, seconds=15):
    place = Place("", with_html_json)
    programs = {}
    for tag, strata in (("a", "sex"), ("b", "ph_ecog")):
        programs[tag] = os.path.join(place.data, "prog_%s.vyr" % tag)
        with open(programs[tag], "w") as f:
            f.write(concurrent_program(strata))
    import threading
    stop = threading.Event()
    problems = []
    reads = [0]
    reader = threading.Thread(target=read_pair_under_lock, args=(place, stop, problems, reads))
    reader.start()
    try:
        seen = set()
        started = time.monotonic()
        for r in range(rounds):
            # Slow builds (the sanitizers) keep to the time, after a minimum.
            if r >= 60 and time.monotonic() - started > seconds:
                rounds = r
                break
            if problems:
                raise Failure("a reader holding the lock saw: %s" % problems[0])
            procs = []
            for tag in ("a", "b"):
                place.program = programs[tag]
                procs.append(subprocess.Popen(place.args(korvante, tag), env=place.env(),
                                              stdout=subprocess.DEVNULL,
                                              stderr=subprocess.PIPE))
            for p in procs:
                _, err = p.communicate(timeout=120)
                if p.returncode != 0:
                    raise Failure("round %d: a run failed (%d): %s" % (r, p.returncode, err))
            try:
                check_outputs(place)
            except Failure as e:
                raise Failure("round %d: %s" % (r, e))
            seen.add(tuple(check_csv(os.path.join(place.out, "s.csv"))))
        stop.set()
        reader.join()
        if problems:
            raise Failure("a reader holding the lock saw: %s" % problems[0])
        print("concurrent: %d rounds of two runs, %d different winners, %d pairs read while "
              "they ran; nothing torn or mixed" % (rounds, len(seen), reads[0]))
    finally:
        stop.set()
        reader.join()
        place.remove()


def signals(korvante, with_html_json, rounds):
    place = Place(long_program(400), with_html_json)
    rng = random.Random(20261207)
    kinds = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
    try:
        for r in range(rounds):
            sig = kinds[r % len(kinds)]
            use_out = r % 2 == 0  # without --out, WORK is a temporary folder
            place.plant_old_outputs(["listing.lst", "s0.csv", "s0.attr"])
            log_path = os.path.join(place.out, "run.log")
            if os.path.exists(log_path):
                os.remove(log_path)
            p = subprocess.Popen(place.args(korvante, use_out=use_out), env=place.env(),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            # The signal comes once the run has its log open (a slow start,
            # as under the sanitizers, must not leave it nowhere to say why).
            deadline = time.time() + 30
            while time.time() < deadline and p.poll() is None and not any(
                    n.startswith(".korvante-file.") for n in os.listdir(place.out)):
                time.sleep(0.005)
            time.sleep(rng.uniform(0.05, 0.4))
            p.send_signal(sig)
            _, err = p.communicate(timeout=120)
            where = "round %d (%s)" % (r, sig.name)
            if p.returncode == 0:
                raise Failure("%s: the run ended before the signal; make it longer" % where)
            if p.returncode != -sig:
                raise Failure("%s: status %d, not the signal: %s" % (where, p.returncode,
                                                                   err.decode()[-2000:]))
            try:
                check_outputs(place)
            except Failure as e:
                raise Failure("%s: %s" % (where, e))
            log = read(os.path.join(place.out, "run.log")).splitlines()
            if not log or "stopped by the signal %s" % sig.name not in log[-1]:
                raise Failure("%s: the log does not end saying why: %s" % (where, log[-1:]))
        print("signals: %d runs stopped by SIGINT, SIGTERM and SIGHUP; nothing left behind"
              % rounds)
    finally:
        place.remove()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("korvante")
    ap.add_argument("what", choices=["sweep", "concurrent", "signals", "road"])
    ap.add_argument("road", nargs="?", choices=sorted(ROADS))
    ap.add_argument("--every", action="store_true")
    ap.add_argument("--rounds", type=int, default=0)
    ap.add_argument("--with-html-json", action="store_true")
    a = ap.parse_args()
    korvante = os.path.abspath(a.korvante)
    try:
        if a.what == "sweep":
            sweep(korvante, a.with_html_json)
        elif a.what == "road":
            if not a.road:
                ap.error("road needs a name: %s" % ", ".join(sorted(ROADS)))
            road(korvante, a.road, a.with_html_json, a.every)
        elif a.what == "concurrent":
            concurrent(korvante, a.with_html_json, a.rounds or 200)
        else:
            signals(korvante, a.with_html_json, a.rounds or 6)
    except Failure as e:
        print("FAIL %s: %s" % (a.what, e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
