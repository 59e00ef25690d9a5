// Compact row storage of the document's tables: what goes in comes back
// unchanged (number bits, texts, row lengths), however the rows were built.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/output/document.h"
#include "runtime/missing.h"

namespace
{

using vdq::Cell;
using vdq::Rows;

Cell num(double d)
{
    Cell c;
    c.d = d;
    return c;
}

Cell text(const std::string& s)
{
    Cell c;
    c.kind = Cell::Text;
    c.s = s;
    return c;
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void expectSame(const Cell& want, const Cell& got)
{
    ASSERT_EQ(want.kind, got.kind);
    if (want.kind == Cell::Text)
        EXPECT_EQ(want.s, got.s);
    else
        EXPECT_TRUE(sameBits(want.d, got.d)) << want.d << " vs " << got.d;
}

void expectRows(const std::vector<std::vector<Cell>>& want, const Rows& got)
{
    ASSERT_EQ(want.size(), got.size());
    for (size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(want[r].size(), got[r].size()) << "row " << r;
        for (size_t i = 0; i < want[r].size(); ++i)
            expectSame(want[r][i], got[r][i]);
    }
}

TEST(Rows, KeepNumbersBitForBitAndTextsExactly)
{
    const double negZero = -0.0;
    std::vector<std::vector<Cell>> want = {
        {num(1.5), text("alpha"), num(korv_missing())},
        {num(korv_special_missing('C')), text(""), num(negZero)},
        {num(std::numeric_limits<double>::infinity()), text(std::string("a\0b", 3)),
         num(std::numeric_limits<double>::denorm_min())},
        {text(std::string(300, 'x')), num(-1e300), text("  leading blanks kept")},
    };
    Rows rows;
    for (const auto& r : want)
        rows.push_back(r);
    expectRows(want, rows);
    EXPECT_TRUE(wzmis(rows[0][2].d));
    EXPECT_EQ(korv_missing_byte5(rows[1][0].d), korv_missing_byte5(korv_special_missing('C')));
}

TEST(Rows, RunsOfEqualTextsAndChangesBetweenThem)
{
    // Equal texts in a row share storage; a different text in between, an
    // empty one, or one that is a prefix of the last must not be merged.
    std::vector<std::string> texts = {"A", "A", "A", "AB", "A", "", "", "A", "AA", "AA", "B"};
    Rows rows;
    std::vector<std::vector<Cell>> want;
    for (size_t k = 0; k < texts.size(); ++k) {
        rows.startRow();
        rows.addText(texts[k]);
        rows.addNumber(static_cast<double>(k));
        want.push_back({text(texts[k]), num(static_cast<double>(k))});
    }
    expectRows(want, rows);
}

TEST(Rows, RowsOfDifferentLengthsAndBoundsChecks)
{
    Rows rows = {{num(1), num(2), num(3)}, {}, {text("only")}};
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].size(), 3u);
    EXPECT_TRUE(rows[1].empty());
    EXPECT_EQ(rows[2].size(), 1u);
    EXPECT_EQ(rows.at(2).at(0).s, "only");
    EXPECT_THROW(rows.at(3), std::out_of_range);
    EXPECT_THROW(rows.at(1).at(0), std::out_of_range);
    EXPECT_THROW(rows.at(0).at(3), std::out_of_range);
    // Range-for sees every row in order, including the empty one.
    std::vector<size_t> lengths;
    for (auto& row : rows)
        lengths.push_back(row.size());
    EXPECT_EQ(lengths, (std::vector<size_t>{3, 0, 1}));
}

TEST(Rows, AppendMovesRowsAndEmptiesTheSource)
{
    std::vector<std::vector<Cell>> first = {{text("g1"), num(1)}, {text("g1"), num(2)}};
    std::vector<std::vector<Cell>> second = {{text("g1"), num(3)},
                                             {text("g2"), num(korv_missing())}};
    Rows a, b;
    for (const auto& r : first)
        b.push_back(r);
    a.append(std::move(b)); // into an empty table
    EXPECT_TRUE(b.empty());
    for (const auto& r : second)
        b.push_back(r);
    a.append(std::move(b)); // after rows already there
    EXPECT_TRUE(b.empty());
    a.append(std::move(a)); // onto itself: nothing changes
    std::vector<std::vector<Cell>> all = first;
    all.insert(all.end(), second.begin(), second.end());
    expectRows(all, a);
    // The emptied source takes new rows as a fresh table does.
    b.push_back({text("g1"), num(9)});
    expectRows({{text("g1"), num(9)}}, b);
}

TEST(Rows, MovedFromAndClearedTablesStartAfresh)
{
    Rows a = {{text("same"), num(1)}};
    Rows b = std::move(a);
    EXPECT_TRUE(a.empty());
    // A text equal to the one the moved table stored last is stored anew.
    a.push_back({text("same")});
    expectRows({{text("same")}}, a);
    expectRows({{text("same"), num(1)}}, b);
    Rows c = b; // copies are independent
    b.clear();
    EXPECT_TRUE(b.empty());
    b.push_back({text("same"), text("other")});
    expectRows({{text("same"), text("other")}}, b);
    expectRows({{text("same"), num(1)}}, c);
}

// Tables of many blocks, each column holding values that suit a different
// storage (one value, a few values, whole numbers of each range, a common
// value with exceptions, anything), mixed kinds, missing values and rows of
// different lengths: every cell reads back as it went in, whether read
// through a row view or in place, and the compact form is smaller.
TEST(Rows, EveryStorageGivesBackWhatWentIn)
{
    std::mt19937_64 rng(7);
    const size_t n = 3 * Rows::kBlockRows + 17;
    std::vector<std::vector<Cell>> want;
    for (size_t r = 0; r < n; ++r) {
        std::vector<Cell> row;
        row.push_back(num(3));                                        // one value
        row.push_back(text(r < n / 2 ? "alpha" : "bravo"));           // a text run
        row.push_back(num(static_cast<double>(r % 5)));               // a few values
        row.push_back(num(static_cast<double>(r) * 1000.0 - 5e5));    // whole numbers, wide
        row.push_back(num(r % 3 ? korv_missing() : 1.0 / (r + 1.0))); // mostly missing
        row.push_back(num(std::ldexp(static_cast<double>(rng() >> 11), -53))); // anything
        row.push_back(r % 7 ? num(-0.0) : text("t" + std::to_string(r)));      // mixed kinds
        row.push_back(num(korv_special_missing(static_cast<unsigned char>(0xE4 + r % 26))));
        if (r % 50 == 0)
            row.resize(r % 3); // some rows are shorter
        want.push_back(row);
    }
    Rows rows;
    for (const auto& r : want)
        rows.push_back(r);
    expectRows(want, rows);
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < rows.width(r); ++c) {
            const vdq::CellView v = rows.view(r, c);
            ASSERT_EQ(v.kind, want[r][c].kind);
            if (v.kind == Cell::Text)
                EXPECT_EQ(v.s, want[r][c].s);
            else
                EXPECT_TRUE(sameBits(v.d, want[r][c].d)) << r << "," << c;
        }
    // Whole columns read a block at a time give what the cells give: a
    // number's bits; a text, or a row too short, leaves its place alone.
    for (size_t c = 0; c < 9; ++c) {
        std::vector<double> col(n, 42.5);
        rows.numbers(c, col.data());
        for (size_t r = 0; r < n; ++r) {
            const bool number = c < want[r].size() && want[r][c].kind == Cell::Number;
            EXPECT_TRUE(sameBits(col[r], number ? want[r][c].d : 42.5)) << r << "," << c;
        }
    }
    // Appended after rows already there, and copied.
    Rows more;
    for (const auto& r : want)
        more.push_back(r);
    Rows both = rows;
    both.append(std::move(more));
    std::vector<std::vector<Cell>> twice = want;
    twice.insert(twice.end(), want.begin(), want.end());
    expectRows(twice, both);
    expectRows(want, rows);
}

// Plot data as a large step makes it (a row per record: the stratum, the
// time, survival on event rows and the censored mark on the others, counts)
// takes a small part of the 8 bytes a cell and 8 a row it would take kept
// plainly.
TEST(Rows, PlotDataIsStoredCompactly)
{
    Rows rows;
    const size_t n = 100000;
    double s = 1;
    for (size_t r = 0; r < n; ++r) {
        const bool event = r % 3 == 0;
        if (event)
            s *= 0.99999;
        rows.startRow();
        rows.addNumber(1);
        rows.addText("group=alpha");
        rows.addNumber(static_cast<double>(r / 20));
        rows.addNumber(event ? s : korv_missing());
        rows.addNumber(event ? 1 : 0);
        rows.addNumber(static_cast<double>(n - r));
        rows.addNumber(event ? korv_missing() : s);
    }
    const size_t plain = n * (7 * 8 + 8);
    EXPECT_LT(rows.bytes(), plain / 3) << rows.bytes() / n << " bytes a row";
    EXPECT_TRUE(sameBits(rows.number(n - 1, 3), s)); // the last row is an event
    EXPECT_TRUE(wzmis(rows.number(n - 1, 6)));
    EXPECT_EQ(rows.text(n / 2, 1), "group=alpha");
}

} // namespace
