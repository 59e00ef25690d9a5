// The sweep of a packed symmetric matrix (element (i, j), j <= i, at
// i (i + 1) / 2 + j), one pivot at a time, as the tests across strata,
// Gray's test and the least-squares kit of levelized designs use it.
#pragma once

#include <cstddef>
#include <functional>

namespace korv_num
{

// The sign of the elements that join a swept index s and an unswept index u
// after a sweep: the regression coefficient A_ss^-1 A_su itself, or its
// negative. Either way the swept block holds the inverse of A_ss itself
// (not its negative) and the unswept block the residual crossproducts
// A_uu - A_us A_ss^-1 A_su; the two choices differ in the sign of the
// joining elements only, bit for bit.
enum class SweepJoin { Coefficient, Negated };

// Runs body(t) for every t < tasks, in any order and side by side (the
// host's pool, handed in by a caller that may use it); the rows a task
// changes are its own.
using SweepSpread = void (*)(std::size_t tasks, const std::function<void(std::size_t)>& body);

// Sweeps pivot p of the packed symmetric matrix a of the given order when
// flags is null or flags[p] is '0', and the diagonal a_pp exceeds tol: every
// element off row and column p becomes a_ij - a_ip a_jp / a_pp (with the sign
// the swept block keeps), row p becomes a_ip / a_pp signed as `join` says,
// and the diagonal 1 / a_pp; flags[p] then becomes '1' (an index is swept
// when its flag is '1'; a null flags knows no swept index). work holds at
// least `order` doubles. With `spread`, the rows are changed by tasks of 64
// rows each, in the same order of operations as without, so the result does
// not depend on it. Returns 0 when swept, 1 when the pivot was left alone
// (out of range, already swept or not above tol).
int sweep(double* a, int p, int order, char* flags, double* work, double tol, SweepJoin join,
          SweepSpread spread = nullptr);

} // namespace korv_num
