#!/usr/bin/env python3
"""The comparison of end-to-end output with the golden files (golden.py), on
doctored copies of a committed golden pair: the censoring summary moved
below the tests across strata is caught in the listing and in the JSON,
naming the tables; one changed cell names its table, row and column; the
masked fields (paths, clock times, long runs of one character) compare
equal; a changed output data set names its file and line; and the update
switch writes files that then compare equal."""
import os
import re
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import golden  # noqa: E402

NAME = "lung_strata"


def read(name):
    with open(os.path.join(golden.GOLDEN, name), encoding="utf-8") as f:
        return f.read()


class Comparer(unittest.TestCase):
    def setUp(self):
        self.listing = read(NAME + ".lst")
        self.doc = golden.load(read(NAME + ".json"), [])
        self.json = golden.compact(self.doc)

    def check(self, listing=None, json_text=None, places=()):
        return golden.check(NAME, self.listing if listing is None else listing,
                            self.json if json_text is None else json_text, list(places))

    def test_the_golden_output_itself_matches(self):
        self.assertEqual(self.check(), [])

    def test_a_table_moved_in_the_listing_is_caught(self):
        lines = self.listing.split("\n")
        start = next(i for i, l in enumerate(lines)
                     if "Summary of the Number of Censored and Uncensored Values" in l)
        end = next(i for i in range(start, len(lines)) if lines[i].strip().startswith("Total")) + 2
        block = lines[start:end]
        rest = lines[:start] + lines[end:]
        after = next(i for i, l in enumerate(rest) if l.strip().startswith("-2Log(LR)")) + 2
        moved = "\n".join(rest[:after] + block + rest[after:])
        problems = self.check(listing=moved)
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("listing: first difference at line %d" % (start + 1), problems[0])
        self.assertIn("Summary of the Number of Censored", problems[0])

    def test_a_table_moved_in_the_json_is_caught_by_name(self):
        items = self.doc.get("steps")[0].get("items")
        censored = next(i for i, x in enumerate(items) if x.get("name") == "CensoredSummary")
        table = items.pop(censored)
        items.append(table)  # after the tests across strata
        problems = self.check(json_text=golden.compact(self.doc))
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("made step 1 > group StrataHomogeneity > table HomStats", problems[0])
        self.assertIn("golden step 1 > table CensoredSummary", problems[0])

    def test_a_changed_cell_names_table_row_and_column(self):
        def with_failed(text):
            summary = next(t for w, t in golden.tables(self.doc) if w[-1] == "table CensoredSummary")
            row = summary.get("rows")[1]
            i = next(i for i, (k, _) in enumerate(row) if k == "Failed")
            was = row[i]
            row[i] = ("Failed", golden.Num(text))
            doctored = golden.compact(self.doc)
            row[i] = was
            return self.check(json_text=doctored)

        problems = with_failed("54")
        self.assertEqual(problems, ["JSON: table step 1 > table CensoredSummary: row 2, column "
                                    "Failed: made 54, golden 53"])
        # A number written differently is a difference too (byte for byte).
        self.assertIn("column Failed: made 53.0, golden 53", with_failed("53.0")[0])

    def test_masked_fields_compare_equal(self):
        where = tempfile.mkdtemp()
        try:
            listing = self.listing.replace("Strata: sex", "Strata: sex " + where + "/x")
            golden_listing = self.listing.replace("Strata: sex", "Strata: sex <OUT>/x")
            text = golden.mask_text(listing, [(where, "<OUT>")])
            self.assertEqual(text, golden_listing)
            for volatile in ("10:46:37", "0:00:10", "Monday, December 7, 2026", "07DEC2026",
                             "2026-12-07"):
                self.assertNotIn(volatile, golden.mask_text("at " + volatile + ".", []))
            self.assertEqual(golden.mask_text("a" + "L" * 300 + "b", []), "a<<300 x 'L'>>b")
            self.assertEqual(golden.mask_text("L" * 255, []), "L" * 255)
        finally:
            shutil.rmtree(where)

    def test_the_update_switch_writes_what_then_matches(self):
        where = tempfile.mkdtemp()
        try:
            moved = self.listing.replace("Test of Equality", "Test  of Equality")
            self.assertEqual(golden.check("x", moved, self.json, [], where, update=True), [])
            self.assertEqual(golden.check("x", moved, self.json, [], where), [])
            self.assertNotEqual(golden.check("x", self.listing, self.json, [], where), [])
            # A run that writes no listing leaves no golden listing behind.
            golden.check("x", None, self.json, [], where, update=True)
            self.assertFalse(os.path.exists(os.path.join(where, "x.lst")))
            self.assertIn("no golden listing", golden.check("x", moved, self.json, [], where)[0])
        finally:
            shutil.rmtree(where)

    def test_output_data_sets_compare_whole_naming_file_and_line(self):
        where = tempfile.mkdtemp()
        try:
            os.makedirs(os.path.join(where, "sub"))
            files = {"a.csv": "x,y\n1,2\n3,4\n", "a.attr": "variable x type=num\n",
                     "sub/b.csv": "z\n5\n"}
            for f, text in files.items():
                with open(os.path.join(where, f), "w") as out:
                    out.write(text)
            os.makedirs(os.path.join(where, "graphs"))
            with open(os.path.join(where, "graphs", "g.csv"), "w") as out:
                out.write("not a data set\n")
            data = golden.data_sets(where)
            self.assertEqual([l for l in data.split("\n") if l.startswith("###")],
                             ["### a.attr", "### a.csv", "### sub/b.csv"])
            gold = os.path.join(where, "gold")
            golden.check("x", None, None, [], gold, update=True, data_made=data)
            self.assertEqual(golden.check("x", None, None, [], gold, data_made=data), [])
            changed = data.replace("3,4", "3,-0")
            self.assertEqual(golden.check("x", None, None, [], gold, data_made=changed),
                             ["data set a.csv: first difference at its line 3:\n"
                              "  made:   3,-0\n  golden: 3,4"])
            self.assertIn("the run wrote none", golden.check("x", None, None, [], gold)[0])
        finally:
            shutil.rmtree(where)

    def test_a_torn_document_is_reported(self):
        problems = self.check(json_text=self.json[:-10])
        self.assertTrue(any("cannot be read" in p for p in problems), problems)


if __name__ == "__main__":
    unittest.main()
