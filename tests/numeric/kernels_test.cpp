// The shared kernels of the numerical library: the packed sweep under both
// signs of its joining elements and spread over tasks, and the compensated
// sum that brings amounts given back to exactly 0, and the sum kept in a
// power-of-two unit past the largest double.
#include "numeric/exactsum.h"
#include "numeric/matrix.h"
#include "numeric/scaledsum.h"
#include "numeric/sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

using korv_num::SweepJoin;

namespace
{

// A packed symmetric positive definite matrix of order n.
std::vector<double> spd(int n)
{
    std::vector<double> a(static_cast<size_t>(n) * (n + 1) / 2);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            a[zisub(i, j)] = i == j ? n + 1.0 + 0.1 * i : 1.0 / (1 + i + 2 * j);
    return a;
}

std::vector<double> swept(std::vector<double> a, int n, const std::vector<int>& pivots,
                          SweepJoin join, korv_num::SweepSpread spread = nullptr)
{
    std::vector<char> flags(static_cast<size_t>(n), '0');
    std::vector<double> work(static_cast<size_t>(n));
    for (int p : pivots)
        EXPECT_EQ(korv_num::sweep(a.data(), p, n, flags.data(), work.data(), 1e-12, join, spread),
                  0);
    return a;
}

bool sameBits(double x, double y)
{
    return std::memcmp(&x, &y, sizeof x) == 0;
}

// Runs the tasks backwards, as a pool might: the rows must not care.
void backwards(size_t tasks, const std::function<void(size_t)>& body)
{
    for (size_t t = tasks; t-- > 0;)
        body(t);
}

} // namespace

TEST(PackedSweep, TheTwoJoinsDifferInTheJoiningSignOnly)
{
    const int n = 6;
    const std::vector<int> pivots = {2, 0, 4};
    const auto a = spd(n);
    const auto c = swept(a, n, pivots, SweepJoin::Coefficient);
    const auto g = swept(a, n, pivots, SweepJoin::Negated);
    auto isSwept = [&](int i) { return i == 0 || i == 2 || i == 4; };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            const bool join = isSwept(i) != isSwept(j);
            EXPECT_TRUE(sameBits(c[zisub(i, j)], join ? -g[zisub(i, j)] : g[zisub(i, j)]))
                << i << "," << j;
        }
    // The coefficient of unswept 1 on swept 0 and 2, against a direct
    // solve of the 2 by 2 block: A_ss b = A_su.
    const double a00 = a[zisub(0, 0)], a02 = a[zisub(2, 0)], a22 = a[zisub(2, 2)];
    const double a01 = a[zisub(1, 0)], a21 = a[zisub(2, 1)];
    auto b = swept(a, n, {0, 2}, SweepJoin::Coefficient);
    const double det = a00 * a22 - a02 * a02;
    EXPECT_NEAR(b[zisub(1, 0)], (a22 * a01 - a02 * a21) / det, 1e-14);
    EXPECT_NEAR(b[zisub(2, 1)], (a00 * a21 - a02 * a01) / det, 1e-14);
    // The swept block is the inverse itself.
    EXPECT_NEAR(b[zisub(0, 0)], a22 / det, 1e-14);
    EXPECT_NEAR(b[zisub(2, 0)], -a02 / det, 1e-14);
}

TEST(PackedSweep, TasksInAnyOrderGiveTheSameBits)
{
    const int n = 150; // three tasks of 64 rows
    const std::vector<int> pivots = {0, 77, 149, 64, 5};
    for (SweepJoin join : {SweepJoin::Coefficient, SweepJoin::Negated}) {
        const auto one = swept(spd(n), n, pivots, join);
        const auto spread = swept(spd(n), n, pivots, join, backwards);
        ASSERT_EQ(one.size(), spread.size());
        EXPECT_EQ(std::memcmp(one.data(), spread.data(), one.size() * sizeof(double)), 0);
    }
}

TEST(PackedSweep, APivotLeftAloneLeavesTheMatrixAlone)
{
    const int n = 3;
    auto a = spd(n);
    a[zisub(1, 1)] = 1e-20;
    const auto before = a;
    char flags[] = "010";
    double work[3];
    for (int p : {-1, 3, 1})
        EXPECT_EQ(korv_num::sweep(a.data(), p, n, flags, work, 1e-12, SweepJoin::Negated), 1) << p;
    // Already swept, and a diagonal not above the tolerance.
    flags[1] = '0';
    EXPECT_EQ(korv_num::sweep(a.data(), 1, n, flags, work, 1e-12, SweepJoin::Negated), 1);
    EXPECT_EQ(a, before);
    EXPECT_STREQ(flags, "000");
    // Without flags every index counts as unswept, and pivot 0 is swept.
    EXPECT_EQ(korv_num::sweep(a.data(), 0, n, nullptr, work, 1e-12, SweepJoin::Negated), 0);
    EXPECT_EQ(a[zisub(0, 0)], 1.0 / before[zisub(0, 0)]);
}

TEST(ExactSum, AmountsGivenBackComeToExactlyZero)
{
    korv_num::ExactSum s;
    double naive = 0;
    for (int i = 0; i < 10; ++i) {
        s.add(0.1);
        naive += 0.1;
    }
    for (int i = 0; i < 10; ++i) {
        s.add(-0.1);
        naive -= 0.1;
    }
    EXPECT_NE(naive, 0.0); // the plain sum keeps a residue
    EXPECT_EQ(s.value(), 0.0);
    // A small amount beside a large one is not lost.
    korv_num::ExactSum t;
    for (double x : {1e16, 1.0, -1e16})
        t.add(x);
    EXPECT_EQ(t.value(), 1.0);
}

TEST(ScaledSum, PlainWhileFiniteAndScaledPastTheLargestDouble)
{
    // Ordinary products add up to the plain sum, bit for bit, in unit 1.
    korv_num::ScaledSum s;
    double plain = 0;
    for (int i = 1; i <= 50; ++i) {
        s.add(0.5 * i, 0.1 * i);
        plain += 0.5 * i * (0.1 * i);
    }
    EXPECT_EQ(s.exp, 0);
    EXPECT_EQ(s.sum, plain);
    EXPECT_EQ(s.log_over(3.0), std::log(plain / 3.0));
    // Eleven times 1.6e308 overflows a double; the scaled sum keeps it, and
    // its logarithm is that of 1.76e309.
    korv_num::ScaledSum h;
    for (int i = 0; i < 11; ++i)
        h.add(1.0, 1.6e308);
    EXPECT_GT(h.exp, 0);
    EXPECT_TRUE(std::isfinite(h.sum));
    EXPECT_NEAR(h.log_over(11.0), std::log(1.6e308), 1e-12);
    EXPECT_FALSE(h.at_most(1e-13));
    // Joined to a small sum, and a small sum joined to it.
    korv_num::ScaledSum j = s;
    j.add(h);
    EXPECT_EQ(j.exp, h.exp);
    EXPECT_NEAR(j.log_over(1.0), std::log(1.6e308) + std::log(11.0), 1e-12);
    h.add(s);
    EXPECT_EQ(h.sum, j.sum);
    korv_num::ScaledSum z;
    z.add(1.0, 1e-14);
    EXPECT_TRUE(z.at_most(1.110223024625157e-13));
}
