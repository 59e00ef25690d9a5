// The cumulative incidence of one failure type in one cell: one pass over
// the cell's records in time order. At each time the product-limit estimate
// S of being free of every event and the cumulative incidence F of the type
// of interest take their step, and the variance of F grows by running sums
// (Aalen-type or delta method), so every time costs a fixed amount of work.
//
// With n at risk, d events of any type (d1 of interest, d2 competing), m
// records in all and S_ the survival just before the time:
//   S = S_ (n - d) / n,   F = F_ + d1 S_ / n.
// Delta method (sums G, B, A): V = A + G F^2 + B F, the sum over event times
// j of g_j (F - F_j)^2 + S_j^2 d1_j (n_j - d1_j) / n_j^3
// - 2 (F - F_j) S_j d1_j / n_j^2, g_j = d_j / (n_j (n_j - d_j)) (0 when all
// at risk fail). Aalen type (sums X, Y, Z): V = X - 2 Y F + Z F^2, the sum of
// (S_j^2 / n_j^2) {c1 d1_j (1 + (F_j - F) / S(t_j))^2
// + c2 d2_j ((F_j - F) / S(t_j))^2}, with the ties factors
// c = 1 - (d - 1) / (n - 1) when d > 1.
//
// Risk sets are taken as empty when what is left of them is within rounding
// of zero (fractional frequencies), so that no division by a residue of
// rounding ever happens.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "cmprisk/cmprisk.h"
#include "estimate/estimate.h"
#include "runtime/missing.h"

namespace korv_cr
{
namespace
{

// A running total of removed frequencies that keeps its rounding error
// (Neumaier), so that the risk set left is exact to the last bit.
struct Removed {
    double sum = 0, comp = 0;
    void add(double x)
    {
        const double t = sum + x;
        comp += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double value() const { return sum + comp; }
};

int roleOf(const CRRECORD& r, const int* roleMap, int ncat)
{
    const double c = r.status;
    if (c >= 0 && c < ncat) {
        const int k = static_cast<int>(c);
        if (k == c)
            return roleMap[k];
    }
    return 2; // a category no type names is competing
}

class CifWalker
{
  public:
    CifWalker(const CifSettings& s, CifSink& sink)
        : s_(s), sink_(sink), miss_(korv_missing()), tiny_(8 * DBL_EPSILON * s.nrisk), n_(s.nrisk)
    {
    }
    void start();
    void record(const CRRECORD& r, int role);
    void finish();

  private:
    const CifSettings& s_;
    CifSink& sink_;
    const double miss_;
    const double tiny_; // what is left of a risk set within rounding of zero
    // Running estimates.
    double S_ = 1, F_ = 0, n_;
    Removed removed_;
    double G_ = 0, B_ = 0, A_ = 0, X_ = 0, Y_ = 0, Z_ = 0;
    // The time being gathered.
    bool have_ = false;
    double t_ = -1, m_ = 0, d_ = 0, d1_ = 0;
    // Rows: the previous table row, the last computed one, the OUTCIF= row
    // of the current time and the one saved for REDUCEOUT (with the time of
    // the last change of the CIF as of that row).
    CifRow prev_{}, last_{};
    CIFOUTREC cur_{}, saved_{};
    double savedCifTime_ = 0;
    double lastCifTime_ = 0;
    int tlTable_ = 0, tlOut_ = 0;
    bool tableTimelist() const { return s_.table && s_.ntime > 0 && s_.timelist; }
    void close();
};

void CifWalker::start()
{
    prev_ = CifRow{0, 0, 0, miss_, miss_, 0};
    last_ = prev_;
    if (s_.table && !tableTimelist())
        sink_.tableRow(prev_);
    if (s_.plot)
        sink_.plotRow(prev_);
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

void CifWalker::record(const CRRECORD& r, int role)
{
    const double f = r.freq;
    if (have_ && r.time == t_) {
        m_ += f;
        if (role == 1)
            d1_ += f, d_ += f;
        else if (role == 2)
            d_ += f;
        return;
    }
    if (have_) {
        close();
        removed_.add(m_);
        n_ = s_.nrisk - removed_.value();
    }
    have_ = true;
    t_ = r.time;
    m_ = f;
    d1_ = role == 1 ? f : 0;
    d_ = role == 1 || role == 2 ? f : 0;
}

void CifWalker::close()
{
    const double n = n_, d = d_, d1 = d1_, d2 = d_ - d1_, t = t_;
    const double Sprev = S_;
    double left = n - d;
    if (left <= tiny_)
        left = 0;
    if (n > tiny_) {
        if (d > 0)
            S_ = Sprev * left / n;
        if (d1 > 0)
            F_ += d1 * Sprev / n;
        const double F = F_, S = S_;
        double V = 0;
        if (s_.error == 1) {
            if (d > 0) {
                const double g = left > 0 ? d / (n * left) : 0;
                const double h = d1 * Sprev / (n * n);
                G_ += g;
                B_ -= 2 * (F * g + h);
                A_ += Sprev * h * (1 - d1 / n) + g * F * F + 2 * h * F;
            }
            V = A_ + G_ * F * F + B_ * F;
        } else {
            if (d2 > 0 && S > 0) {
                const double c2 = d2 <= 1 ? 1 : 1 - (d2 - 1) / (n - 1);
                const double w = c2 * d2 * Sprev * Sprev / (n * n);
                const double r = F / S;
                X_ += w * r * r;
                Z_ += w / (S * S);
                Y_ += w * r / S;
            }
            if (d1 > 0) {
                const double c1 = d1 <= 1 ? 1 : 1 - (d1 - 1) / (n - 1);
                const double w1 = c1 * d1 * Sprev * Sprev / (n * n);
                const double u = S > 0 ? 1 / S : 0;
                Z_ += w1 * u * u;
                Y_ += w1 * u * (1 + F * u);
                X_ += w1 * (1 + F * u) * (1 + F * u);
            }
            V = X_ - 2 * Y_ * F + Z_ * F * F;
        }
        if (d1 > 0) {
            // A sum of squares cannot be negative; cancellation can leave a
            // rounding residue below 0.
            if (!(V > 0))
                V = 0;
            const double se = std::sqrt(V);
            CifRow row{t, F, s_.printVar ? V : se, miss_, miss_, 0};
            korvwcl(s_.conftype, se, s_.critical, F, &row.lcl, &row.ucl);
            if (s_.table) {
                if (tableTimelist()) {
                    while (tlTable_ < s_.ntime && s_.timelist[tlTable_] < t) {
                        CifRow p = prev_;
                        p.timelist = s_.timelist[tlTable_++];
                        sink_.tableRow(p);
                    }
                    if (tlTable_ < s_.ntime && s_.timelist[tlTable_] == t) {
                        row.timelist = t;
                        ++tlTable_;
                        sink_.tableRow(row);
                    }
                } else {
                    sink_.tableRow(row);
                }
            }
            prev_ = row;
            if (s_.plot)
                sink_.plotRow(row);
            last_ = row;
            lastCifTime_ = t;
            cur_.cif = row.cif;
            cur_.err = row.err;
            cur_.lcl = row.lcl;
            cur_.ucl = row.ucl;
        }
    }
    // The OUTCIF= row of the time.
    cur_.time = t;
    cur_.atrisk = n;
    cur_.event = d1;
    cur_.allevents = d;
    cur_.censored = m_ - d;
    if (!s_.out)
        return;
    if (!s_.reduce) {
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
    if (have_)
        close();
    if (tableTimelist())
        for (; tlTable_ < s_.ntime; ++tlTable_) {
            const double v = s_.timelist[tlTable_];
            CifRow r = v > s_.maxtime ? CifRow{miss_, miss_, miss_, miss_, miss_, 0} : last_;
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
        CifRow r = last_;
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

void cifWalk(const CifSettings& s, const Chunk* chunks, size_t nchunks, const int* roleMap,
             int ncat, CifSink& sink)
{
    CifWalker w(s, sink);
    w.start();
    for (size_t c = 0; c < nchunks; ++c)
        for (int64_t i = 0; i < chunks[c].n; ++i) {
            const CRRECORD& r = chunks[c].rec[i];
            w.record(r, roleOf(r, roleMap, ncat));
        }
    w.finish();
}

} // namespace korv_cr
