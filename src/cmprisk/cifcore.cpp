// The cumulative incidence of one failure type in one cell: one pass over
// the cell's records in time order. At each time the product-limit estimate
// S of being free of every event and the cumulative incidence F of the type
// of interest take their step, and the variance of F is brought up to date
// with a fixed amount of work.
//
// With n at risk, d events of any type (d1 of interest, d2 competing) and S_
// the survival just before the time:
//   S = S_ (n - d) / n,   F = F_ + d1 S_ / n.
// The variance of F now is a sum over the event times j so far (F_j, S_j
// after the step at j, S_j- before it):
//  - delta method: g_j (F - F_j)^2 + S_j-^2 d1_j (n_j - d1_j) / n_j^3
//    - 2 (F - F_j) S_j- d1_j / n_j^2, g_j = d_j / (n_j (n_j - d_j)), 0 when
//    all at risk fail;
//  - Aalen type: (S_j-^2 / n_j^2) {c1 d1_j (1 + (F_j - F) / S_j)^2
//    + c2 d2_j ((F_j - F) / S_j)^2}, with the ties factors
//    c = 1 - (d - 1) / (n - 1) when d > 1; where S_j = 0 the first term is
//    c1 d1_j S_j-^2 / n_j^2 and the second is left out.
// Summed as written, these lose all precision where S gets small: the terms
// are of order 1 and cancel down to a sum of order S^2 (with no competing
// event the delta variance is Greenwood's S^2 sum g_j). So the walk keeps
// another form of the same sums, one with nothing to cancel.
//
// Let K_j and L_j be what the competing incidence F2 and F have grown since
// t_j. As S + F + F2 = 1, S_j + F_j - F = S + K_j, and where S_j > 0 the
// term of time j is a quadratic form x_j' M_j x_j in x_j = (S + K_j, L_j):
//  - delta: M_j = [d1 (n - d1), d1 d2; d1 d2, d2 (n - d2)] / (n (n - d)^2):
//    F's derivatives in the time's two hazards d1/n and d2/n are
//    (S + K_j, -L_j) S_j- / S_j, and the hazards' multinomial covariance
//    has -d1 d2 / n^3 off the diagonal;
//  - Aalen: M_j = diag(c1 d1, c2 d2) / (n - d)^2.
// Every entry of M_j and of y_j = (K_j, L_j) is at least 0. With
// x_j = S (1, 0) + y_j the variance is
//   V = S^2 sum M11 + 2 S sum (M y)_1 + sum y' M y + E,
// E the terms of a time where all at risk fail (S_j = 0: the delta term
// S_j-^2 d1 (n - d1) / n^3, the Aalen term c1 d1 S_j-^2 / n^2; no event
// follows it). A time whose increments of F2 and F are e = (d2, d1) S_ / n
// moves every earlier y_j by e:
//   sum y' M y += 2 e' (sum M y) + e' (sum M) e,   sum M y += (sum M) e,
// and then adds its own M (its y is 0). Every sum kept only grows by
// nonnegative amounts, and V adds nonnegative parts: nothing is subtracted,
// so V keeps its relative precision however small S gets. The counts n - d1,
// n - d2 and n - d are what is left after the events plus the other type's
// events, and the ties factor is (n - d) / (n - 1): no difference of two
// large counts. d1 and d2 are summed apart for the same reason.
//
// Where the last subjects at risk fail and none of the cell ever failed of
// another type, S comes to 0 and F = 1 - S is exactly 1: the sum of the
// increments would leave it a rounding either side of 1, so it is set. An
// incidence of 1 has variance 0: it is the complement of a product-limit
// estimate at 0, whose variance the delta method gives as 0 (the Aalen-type
// sum would keep the term E of a subject failing alone). Where every subject
// fails but some of another type, F stays below 1 and keeps its variance.
// Rounding never takes F past 1.
//
// The number at risk at a time is the cell's amount still ahead (Timed::
// ahead), and what is left of it after the events is that of the next time
// plus the time's censored: never a running difference, so that a few
// subjects behind a frequency of up to 2^53 keep their exact count, and a
// risk set that gave up every subject is exactly 0 (fractional frequencies
// included) and is never divided by.
#include <cmath>
#include <cstring>

#include "cmprisk/cmprisk.h"
#include "numeric/pointwise.h"
#include "runtime/missing.h"

namespace korv_cr
{
namespace
{

int roleOf(int32_t c, const int* roleMap, int ncat)
{
    return c >= 0 && c < ncat ? roleMap[c] : 2; // a category no type names is competing
}

// An estimate at an event time of interest; its standard error and limits
// are formed only for a row that is delivered.
struct Point {
    double time = 0, cif = 0, var = 0;
    bool start = true; // the time-0 row: error 0, no limits
};

class CifWalker
{
  public:
    CifWalker(const CifSettings& s, CifSink& sink) : s_(s), sink_(sink), miss_(korv_missing()) {}
    void start();
    void time(double t, double n, double left, double c0, double d, double d1, double d2);
    void finish();

  private:
    const CifSettings& s_;
    CifSink& sink_;
    const double miss_;
    // Running estimates.
    double S_ = 1, F_ = 0;
    bool competing_ = false; // an event of another type has been seen
    // The variance's sums (header): sum M (m11_, m12_, m22_), sum M y (p1_,
    // p2_), sum y' M y (q_) and the terms E (e_).
    double m11_ = 0, m12_ = 0, m22_ = 0, p1_ = 0, p2_ = 0, q_ = 0, e_ = 0;
    // The previous table row, the last computed point, the OUTCIF= row of
    // the current time and the one saved for REDUCEOUT (dated at the last
    // change of the CIF as of that row).
    Point prev_, last_;
    CIFOUTREC cur_{}, saved_{};
    double savedCifTime_ = 0;
    double lastCifTime_ = 0;
    bool curFilled_ = true; // cur_ holds the estimate of last_
    int tlTable_ = 0, tlOut_ = 0;
    bool tableTimelist() const { return s_.table && s_.ntime > 0 && s_.timelist; }
    CifRow row(const Point& p, double timelist) const;
    void fillCurrent();
};

CifRow CifWalker::row(const Point& p, double timelist) const
{
    CifRow r{p.time, p.cif, 0, miss_, miss_, timelist};
    if (!p.start) {
        const double se = std::sqrt(p.var);
        r.err = s_.printVar ? p.var : se;
        korvwcl(s_.conftype, se, s_.critical, p.cif, &r.lcl, &r.ucl);
    }
    return r;
}

// The OUTCIF= row's estimate: that of the last event time of interest.
void CifWalker::fillCurrent()
{
    if (curFilled_)
        return;
    const CifRow r = row(last_, 0);
    cur_.cif = r.cif;
    cur_.err = r.err;
    cur_.lcl = r.lcl;
    cur_.ucl = r.ucl;
    curFilled_ = true;
}

void CifWalker::start()
{
    prev_ = Point{};
    last_ = prev_;
    if (s_.table && !tableTimelist())
        sink_.tableRow(row(prev_, 0));
    if (s_.plot)
        sink_.plotRow(row(prev_, 0));
    cur_ = CIFOUTREC{};
    cur_.lcl = cur_.ucl = miss_;
    cur_.atrisk = s_.nrisk;
    cur_.alpha = s_.alpha;
    std::memset(cur_.conftype, ' ', sizeof cur_.conftype);
    // The time-0 row of OUTCIF= carries no transform.
    if (s_.out && !s_.reduce)
        sink_.outRow(cur_);
    std::memcpy(cur_.conftype, s_.conftypeWord, sizeof cur_.conftype);
    saved_ = cur_;
    savedCifTime_ = 0;
}

// Closes time t: n at risk, `left` of them still at risk after the events
// (the next time's n plus this time's censored c0), d events of any type, d1
// of interest and d2 competing.
void CifWalker::time(double t, double n, double left, double c0, double d, double d1, double d2)
{
    const double Sprev = S_;
    if (n > 0) {
        if (d2 > 0)
            competing_ = true;
        const double e1 = d1 * Sprev / n, e2 = d2 * Sprev / n;
        if (d > 0)
            S_ = Sprev * left / n;
        if (d1 > 0) {
            F_ += e1;
            if ((left == 0 && !competing_) || F_ > 1)
                F_ = 1;
        }
        if (d > 0) {
            // Every earlier time's y moves by (e2, e1).
            q_ += 2 * (e2 * p1_ + e1 * p2_) + e2 * e2 * m11_ + 2 * e1 * e2 * m12_ + e1 * e1 * m22_;
            p1_ += e2 * m11_ + e1 * m12_;
            p2_ += e2 * m12_ + e1 * m22_;
            // This time's own term.
            const double rest1 = left + d2, rest2 = left + d1; // n - d1, n - d2
            if (s_.error == 1) {
                if (left > 0) {
                    const double k = 1 / (n * left * left);
                    m11_ += d1 * rest1 * k;
                    m12_ += d1 * d2 * k;
                    m22_ += d2 * rest2 * k;
                } else {
                    e_ += Sprev * Sprev * d1 * rest1 / (n * n * n);
                }
            } else {
                const double c1 = d1 <= 1 ? 1 : rest1 / (n - 1);
                if (left > 0) {
                    const double c2 = d2 <= 1 ? 1 : rest2 / (n - 1);
                    const double k = 1 / (left * left);
                    m11_ += c1 * d1 * k;
                    m22_ += c2 * d2 * k;
                } else {
                    e_ += Sprev * Sprev * c1 * d1 / (n * n);
                }
            }
        }
        if (d1 > 0) {
            // An incidence of 1 has variance 0.
            const double S = S_;
            Point p;
            p.time = t;
            p.cif = F_;
            p.var = F_ < 1 ? S * S * m11_ + 2 * S * p1_ + q_ + e_ : 0;
            p.start = false;
            if (s_.table) {
                if (tableTimelist()) {
                    while (tlTable_ < s_.ntime && s_.timelist[tlTable_] < t)
                        sink_.tableRow(row(prev_, s_.timelist[tlTable_++]));
                    if (tlTable_ < s_.ntime && s_.timelist[tlTable_] == t)
                        sink_.tableRow(row(p, s_.timelist[tlTable_++]));
                } else {
                    sink_.tableRow(row(p, 0));
                }
            }
            prev_ = p;
            if (s_.plot)
                sink_.plotRow(row(p, 0));
            last_ = p;
            lastCifTime_ = t;
            curFilled_ = false;
        }
    }
    if (!s_.out)
        return;
    // The OUTCIF= row of the time.
    cur_.time = t;
    cur_.atrisk = n;
    cur_.event = d1;
    cur_.allevents = d;
    cur_.censored = c0;
    if (!s_.reduce) {
        fillCurrent();
        sink_.outRow(cur_);
        return;
    }
    // REDUCEOUT: a listed time before this one takes the row of the time
    // before, dated at that row's last change of the CIF; a listed time
    // equal to this one takes this row.
    while (tlOut_ < s_.ntime && s_.timelist[tlOut_] < t) {
        CIFOUTREC r = saved_;
        r.time = savedCifTime_;
        r.timelist = s_.timelist[tlOut_++];
        sink_.outRow(r);
    }
    fillCurrent();
    if (tlOut_ < s_.ntime && s_.timelist[tlOut_] == t) {
        CIFOUTREC r = cur_;
        r.timelist = t;
        ++tlOut_;
        sink_.outRow(r);
    }
    saved_ = cur_;
    savedCifTime_ = lastCifTime_;
}

void CifWalker::finish()
{
    if (tableTimelist())
        for (; tlTable_ < s_.ntime; ++tlTable_) {
            const double v = s_.timelist[tlTable_];
            CifRow r =
                v > s_.maxtime ? CifRow{miss_, miss_, miss_, miss_, miss_, 0} : row(last_, 0);
            r.timelist = v;
            sink_.tableRow(r);
        }
    if (s_.out && s_.reduce)
        for (; tlOut_ < s_.ntime; ++tlOut_) {
            const double v = s_.timelist[tlOut_];
            CIFOUTREC r = saved_;
            if (v > s_.maxtime) {
                r.time = r.cif = r.err = r.lcl = r.ucl = miss_;
                r.atrisk = r.event = r.allevents = r.censored = r.alpha = miss_;
            } else {
                r.time = savedCifTime_;
            }
            r.timelist = v;
            sink_.outRow(r);
        }
    if (s_.plot) {
        // The curve runs flat to the largest time, or a little past the last
        // one when its limits are drawn.
        CifRow r = row(last_, 0);
        if (r.time < s_.maxtime) {
            r.time = s_.maxtime;
            sink_.plotRow(r);
        } else if (s_.plotLimits) {
            r.time = 1.005 * r.time;
            sink_.plotRow(r);
        }
    }
}

} // namespace

void cifWalk(const CifSettings& s, const Timed& cell, const int* roleMap, int ncat, CifSink& sink)
{
    CifWalker w(s, sink);
    w.start();
    // At each time: c0 censored, d events, d1 of interest, d2 competing.
    for (int64_t i = 0; i < cell.n; ++i) {
        double c0 = 0, d = 0, d1 = 0, d2 = 0;
        for (uint32_t e = cell.start[i]; e < cell.start[i + 1]; ++e) {
            const double f = cell.amount[e];
            const int role = roleOf(cell.cat[e], roleMap, ncat);
            if (role == 0)
                c0 += f;
            else if (role == 1)
                d += f, d1 += f;
            else
                d += f, d2 += f;
        }
        w.time(cell.time[i], cell.ahead[i], cell.ahead[i + 1] + c0, c0, d, d1, d2);
    }
    w.finish();
}

} // namespace korv_cr
