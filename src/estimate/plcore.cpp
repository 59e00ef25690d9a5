// The product-limit family's computation over the ranked records of one
// stratum: survival (product-limit, Breslow or Fleming-Harrington), the
// Greenwood variance, the Nelson-Aalen cumulative hazard, pointwise limits,
// the quartiles with their confidence intervals and the restricted mean.
// With a WEIGHT variable each record counts as its frequency times its
// weight. No host services: everything lives in the engine.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "estimate/estimate.h"
#include "runtime/missing.h"

namespace
{

// psi(x) - ln(x) by its asymptotic series, to full precision for x >= 16
// (the first term left out is below 1e-19 there).
double digammaLessLog(double x)
{
    const double r = 1 / x, r2 = r * r;
    return -0.5 * r -
           r2 *
               (1.0 / 12 -
                r2 * (1.0 / 120 -
                      r2 * (1.0 / 252 -
                            r2 * (1.0 / 240 - r2 * (1.0 / 132 - r2 * (691.0 / 32760 - r2 / 12))))));
}

} // namespace

double korv_fh_sum(double d, double Y)
{
    if (d <= 0)
        return 0;
    // d terms 1/Y + 1/(Y - 1) + ..., ceil(d) of them for a fractional d.
    const double m = std::ceil(d);
    double b = Y - m + 1; // the last denominator
    double sum = 0;
    if (m <= 64) {
        for (double i = 0; i < m; i += 1)
            sum += 1.0 / (Y - i);
        return sum;
    }
    // More events than at risk (a denominator reaches 0): nobody is left.
    if (!(b > 0))
        return HUGE_VAL;
    // A large tie: the sum over the denominators b, b + 1, ..., Y is
    // psi(Y + 1) - psi(b). The denominators below 16 are added as they are;
    // from there psi(x) = ln(x) + its asymptotic series, and the difference
    // of the logarithms is log1p of the exact count over the lower end, so
    // nothing large cancels.
    for (; b < 16; b += 1)
        sum += 1.0 / b;
    const double a = Y + 1;
    sum += std::log1p((a - b) / b) + (digammaLessLog(a) - digammaLessLog(b));
    return sum;
}

double tiesFH(double d, double Y)
{
    if (d <= 0)
        return 1.0;
    return std::exp(-korv_fh_sum(d, Y));
}

short integralFreqs(const double* freq, long n)
{
    for (long i = 0; i < n; ++i) {
        double a = std::fabs(freq[i]);
        if (a != std::floor(a))
            return 0;
    }
    return 1;
}

long korv_njumps(const double* times, const double* freqs, const int64_t* indxs, int64_t nobs)
{
    long n = 0;
    double last = -1.0;
    for (int64_t j = 0; j < nobs; ++j) {
        int64_t k = std::llabs(indxs[j]);
        if (freqs[k - 1] > 0 && times[k - 1] > last) {
            ++n;
            last = times[k - 1];
        }
    }
    return n;
}

void TrapBogusQuartileCL(double* quartile, double* lower, double* upper)
{
    for (int i = 0; i < 3; ++i) {
        if (wzmis(quartile[i]))
            continue;
        bool hasL = !wzmis(lower[i]), hasU = !wzmis(upper[i]);
        if (hasL && hasU) {
            if (lower[i] > quartile[i] || quartile[i] > upper[i])
                lower[i] = upper[i] = korv_missing();
        } else if (hasL) {
            if (lower[i] > quartile[i])
                lower[i] = korv_missing();
        } else if (hasU) {
            if (quartile[i] > upper[i])
                upper[i] = korv_missing();
        }
    }
}

namespace korv_est
{

PlEngine::PlEngine(const PlData& data, const PlSettings& settings) : d_(data), s_(settings)
{
    const double miss = korv_missing();
    for (int i = 0; i < 3; ++i)
        quant[i] = qtlower[i] = qtupper[i] = miss;
    test_ = korv_qt_test(s_.conftype);
    const int64_t n = d_.nobs > 0 ? d_.nobs : 0;
    double* ahead = d_.ahead;
    double* ahead2 = d_.ahead2;
    if (!ahead) {
        ownAhead_.assign(static_cast<size_t>(n + 1), 0.0);
        ahead = ownAhead_.data();
    }
    if (s_.weighted && !ahead2) {
        ownAhead2_.assign(static_cast<size_t>(n + 1), 0.0);
        ahead2 = ownAhead2_.data();
    }
    // The records in rank order: one gather through the rank index here, so
    // that the pass (and its many branches) reads them in sequence. Reading
    // each record through the index in the pass costs a cache miss per
    // record once a stratum no longer fits in the cache.
    double* rt = d_.rankedTimes;
    double* rf = d_.rankedFreqs;
    double* rw = d_.weights ? d_.rankedWeights : nullptr;
    bool filled = d_.rankedFilled;
    if (!rt || !rf || (d_.weights && !rw)) {
        filled = false;
        const size_t m = static_cast<size_t>(n);
        ownRanked_.assign((d_.weights ? 3 : 2) * m, 0.0);
        rt = ownRanked_.data();
        rf = rt + m;
        rw = d_.weights ? rf + m : nullptr;
    }
    for (int64_t j = 0; j < n && !filled; ++j) {
        const int64_t k = std::llabs(d_.indxs[j]) - 1;
        rt[j] = d_.times[k];
        rf[j] = d_.freqs[k];
        if (rw)
            rw[j] = d_.weights[k];
    }
    // Weights whose sums would pass the largest double, or whose squares
    // would fall below the smallest, are taken times the power of two that
    // brings the largest near 1. The scaling is exact, so the estimates are
    // those of the weights as given; the counts ahead are then added up here
    // from the scaled weights.
    bool rescaled = false;
    if (rw && n > 0) {
        double maxw = 0;
        for (int64_t j = 0; j < n; ++j)
            maxw = std::fmax(maxw, rw[j]);
        if (maxw > 0x1p480 || (maxw > 0 && maxw < 0x1p-480)) {
            scale_ = std::ldexp(1.0, -std::ilogb(maxw));
            ownScaled_.resize(static_cast<size_t>(n));
            for (int64_t j = 0; j < n; ++j)
                ownScaled_[static_cast<size_t>(j)] = rw[j] * scale_;
            rw = ownScaled_.data();
            rescaled = true;
            if (ahead == d_.ahead) {
                ownAhead_.assign(static_cast<size_t>(n + 1), 0.0);
                ahead = ownAhead_.data();
            }
            if (ahead2 == d_.ahead2) {
                ownAhead2_.assign(static_cast<size_t>(n + 1), 0.0);
                ahead2 = ownAhead2_.data();
            }
        }
    }
    rt_ = rt;
    rf_ = rf;
    rw_ = rw;
    // The counts still ahead of each ranked position, added up from the last
    // record down (korv_stratum_prepare adds them up the same way).
    const bool aheadFilled = !rescaled && d_.aheadFilled && d_.ahead && (!s_.weighted || d_.ahead2);
    if (!aheadFilled) {
        ahead[n] = 0.0;
        if (s_.weighted)
            ahead2[n] = 0.0;
    }
    for (int64_t j = n - 1; j >= 0 && !aheadFilled; --j) {
        const double freq = std::fabs(rf[j]);
        if (s_.weighted) {
            const double w = rw ? rw[j] : 1.0;
            ahead[j] = ahead[j + 1] + freq * w;
            ahead2[j] = ahead2[j + 1] + freq * w * w;
        } else {
            ahead[j] = ahead[j + 1] + freq;
        }
    }
    ahead_ = ahead;
    ahead2_ = s_.weighted ? ahead2 : nullptr;
    total_ = ahead_[0];
    R_ = total_;
    R2_ = ahead2_ ? ahead2_[0] : 0.0;
    left_ = total_;
    snap_ = total_;
    // The mean's end point: a TIMELIM= time, the largest time, or none (the
    // last event time).
    if (s_.restric >= 0)
        end_ = s_.restric;
    else
        end_ = -1;
    if (d_.nobs > 0) {
        firstTime = rt[0];
        largestTime = rt[d_.nobs - 1];
        lastIsEvent = rf[d_.nobs - 1] > 0;
        lastEventRecordTime = firstTime;
        for (int64_t j = d_.nobs - 1; j >= 0; --j) {
            if (rf[j] > 0) {
                lastEventRecordTime = rt[j];
                break;
            }
        }
        if (s_.restric < 0 && s_.restric != -1)
            end_ = largestTime;
    }
    // The mean's variance sums the squares of areas: with times beyond
    // [2^-256, 2^256] they are kept in a power-of-two unit of time, which
    // changes no digit of the mean or its standard error.
    const double reach = std::fmax(largestTime, end_);
    if (reach > 0x1p256 || (reach > 0 && reach < 0x1p-256))
        timeExp_ = std::ilogb(reach);
    mean = mse = miss;
}

double PlEngine::leftThrough(int64_t j, double L) const
{
    double x = ahead_[j + 1];
    const bool weighted = s_.weighted && d_.weights;
    for (int64_t i = j + 1; i < d_.nobs && rt_[i] <= L; ++i)
        x += weighted ? rf_[i] * (rw_ ? rw_[i] : 1.0) : rf_[i];
    return counted(x);
}

double PlEngine::counted(double x) const
{
    if (scale_ == 1 || wzmis(x))
        return x;
    const double y = x / scale_;
    if (std::isfinite(y))
        return y;
    beyond_ = true;
    return korv_missing();
}

void PlEngine::limits(double S, double sigma, bool emptied, double* lcl, double* ucl) const
{
    // Once the risk set is empty the variance is undefined: no limits rather
    // than limits of zero width.
    if (emptied) {
        *lcl = *ucl = korv_missing();
        return;
    }
    korvwcl(s_.conftype, sigma, s_.critical, S, lcl, ucl);
}

// The mean's sums with the values before this event time; the area is cut at
// a TIMELIM= time that falls before it.
void PlEngine::meanSums(double time, double tprev, double Sprev)
{
    double upto = time;
    if (end_ >= 0 && upto > end_)
        upto = end_;
    double A = upto > tprev ? inTimeUnit(upto - tprev) * Sprev : 0.0;
    double Bnew = Gmean_ * A + B_;
    area_ += A;
    V_ += (B_ + Bnew) * A;
    B_ = Bnew;
}

// The percentiles the survival has reached at this event time: a curve that
// sits exactly on a level between two event times gets their midpoint, a drop
// through several levels sets each of them.
void PlEngine::quartilePoints(double time, double tprev, double Sprev)
{
    double x = S_ + 1e-12;
    if (x > lambda_)
        return;
    double rec = std::fabs(lambda_ - Sprev) < 1e-10 ? (tprev + time) / 2 : time;
    while (qi_ >= 0 && x <= lambda_) {
        lambda_ -= 0.25;
        quant[qi_] = rec;
        rec = time;
        --qi_;
    }
}

// The confidence intervals of the percentiles. The lower limit is the first
// event time whose survival is compatible with the level, the upper limit the
// first later event time whose survival is below the level and no longer
// compatible with it (left missing when the curve leaves the compatible set
// with S = 0 and G = 0, where the variance is not known).
//
// The compatible event times need not form one run. With weights a first
// event can be compatible on its own, when its variance is large, and the
// next ones significantly above the level; the percentile lies after them.
// Such a run that ends above the level is set aside: a later compatible run
// gives the lower limit, and the interval ends only where the survival is
// significantly below the level. The interval therefore always holds the
// percentile, and for compatible times that form one run (the usual
// unweighted case) it is that run with the event time that ends it.
void PlEngine::quartileIntervals(double time, double sigma)
{
    enum { Outside = 0, Inside = 1, Above = 2, Done = 3 };
    static const double levels[3] = {0.75, 0.5, 0.25};
    static const int index[3] = {2, 1, 0};
    for (int l = 0; l < 3; ++l) {
        const int i = index[l];
        int& state = qstate_[i];
        if (state == Done)
            continue;
        const bool ok = test_(S_, levels[l], sigma, s_.qtcritical) != 0;
        if (ok) {
            if (state != Inside)
                qtlower[i] = time;
            state = Inside;
        } else if (state != Outside && S_ < levels[l]) {
            if (S_ > 0 || G_ > 0)
                qtupper[i] = time;
            state = Done;
        } else if (state == Inside) {
            state = Above;
        }
    }
}

const PlStep& PlEngine::step(int64_t j)
{
    const double miss = korv_missing();
    const int64_t idx = d_.indxs[j];
    const int64_t k = std::llabs(idx);
    const double time = rt_[j];
    const double f = rf_[j];
    const double freq = std::fabs(f);
    const double w = rw_ ? rw_[j] : 1.0;
    const double fq = s_.weighted ? freq * w : freq;

    PlStep& r = r_;
    r.rank = j;
    r.k = k;
    r.time = time;
    r.freq = freq;
    r.weight = w;
    r.endsRun = idx > 0;
    r.last = j == d_.nobs - 1;
    r.censored = f < 0;
    r.eventTime = false;
    r.emptied = false;
    r.sigma = r.stderr_ = r.H = r.seH = r.numberAtRisk = r.observedEvents = miss;
    r.Y = r.d = miss;

    // What is not yet passed after this record.
    left_ = ahead_[j + 1];
    r.left = left_;

    if (r.censored) {
        r.observedEvents = 0;
        // The at-risk snapshot is taken before the record leaves the risk set.
        const bool snapshot =
            s_.weighted ? time > prevTime_ : time > prevTime_ || (j == 0 && time == 0);
        if (snapshot)
            snap_ = R_;
        R_ = ahead_[j + 1];
        if (s_.weighted)
            R2_ = ahead2_[j + 1];
        if (r.endsRun && (s_.weighted ? time > lastEvent_ : time == 0 || time > lastEvent_))
            r.numberAtRisk = snap_;
        censmax = time;
        ++censoredRecords;
    } else {
        dd_ += fq;
        failed_ += fq;
        if (r.endsRun)
            eventTime(r, time);
    }
    r.eventsAtTime = dd_;
    if (r.eventTime)
        dd_ = 0;
    r.S = S_;
    r.G = G_;
    r.failed = failed_;
    r.atRiskSnap = snap_;
    prevTime_ = time;
    if (scale_ != 1) {
        // The weighted counts back in the weights' units; the Nelson-Aalen
        // variance is a sum of d / Y^2 and scales with 1 / weight.
        r.weight = w / scale_;
        for (double* c : {&r.left, &r.failed, &r.atRiskSnap, &r.eventsAtTime, &r.numberAtRisk,
                          &r.observedEvents, &r.Y, &r.d})
            *c = counted(*c);
        if (r.eventTime)
            r.seH = std::sqrt(W_ * scale_);
    }
    return r;
}

// The event record that closes a run of tied event times: the estimates move.
void PlEngine::eventTime(PlStep& r, double time)
{
    const int64_t j = r.rank;
    // At risk just before the time (the run's records are still ahead), and
    // after it.
    const double Y = R_;
    const double R2before = R2_;
    const double d = dd_;
    snap_ = Y;
    R_ = ahead_[j + 1];
    if (s_.weighted)
        R2_ = ahead2_[j + 1];
    const double Sprev = S_, tprev = lastEvent_;
    meanSums(time, tprev, Sprev);

    // Survival.
    double factor;
    if (s_.method == 2)
        factor = std::exp(-d / Y);
    else if (s_.method == 3)
        factor = tiesFH(d, Y);
    else
        factor = R_ / Y;
    S_ = factor * S_;
    if (s_.weighted && S_ < 1e-12)
        S_ = 0;

    // Greenwood-type variance sum; reset when the risk set empties (no
    // record is left ahead).
    const bool emptied = !(R_ > 0);
    if (emptied) {
        G_ = 0;
    } else {
        double inc = s_.weighted ? d * R2before / (Y * Y * R_) : d / (R_ * Y);
        G_ += inc;
        Gmean_ += inc;
    }

    // Nelson-Aalen.
    double h = d / Y, v = h / Y;
    H_ += h;
    W_ += v;

    quartilePoints(time, tprev, Sprev);
    const double sigma = std::sqrt(G_) * S_;
    quartileIntervals(time, sigma);

    r.eventTime = true;
    r.emptied = emptied;
    r.dH = h;
    r.dvarH = d / (Y * Y) * scale_;
    r.Y = Y;
    r.d = d;
    r.sigma = sigma;
    r.stderr_ = emptied ? korv_missing() : sigma;
    r.H = H_;
    r.seH = std::sqrt(W_);
    r.numberAtRisk = Y;
    r.observedEvents = d;
    limits(S_, sigma, emptied, &r.lcl, &r.ucl);
    lastEvent_ = time;
    lastEventTime = time;
    ++eventTimes;
}

void PlEngine::finish()
{
    const double miss = korv_missing();
    // The tail of the mean: from the last event time to the end point.
    if (end_ >= 0 && lastEventTime < end_) {
        double A = inTimeUnit(end_ - lastEventTime) * S_;
        area_ += A;
        V_ += (2 * B_ + Gmean_ * A) * A;
    }
    const double n = d_.cum - d_.cen;
    const double m = std::fmax(std::fabs(n), 1.0);
    const double tol = 1.110223024625157e-13;
    // Back in the time's units; the mean is at most the end point and its
    // standard error of its order, so both are held (missing otherwise).
    auto inTime = [this, miss](double x) {
        if (timeExp_ == 0)
            return x;
        x = std::ldexp(x, timeExp_);
        return std::isfinite(x) ? x : miss;
    };
    mean = inTime(area_);
    if (n - 1 > m * tol) {
        mse = inTime(std::sqrt(V_ * n / (n - 1)));
    } else {
        mse = miss;
        if (n <= std::fabs(n) * tol)
            mean = miss;
    }
    if (s_.weighted)
        TrapBogusQuartileCL(quant, qtlower, qtupper);

    // Bias code of the mean.
    const double restric = s_.restric;
    if (restric == -1) {
        biasCode = lastIsEvent ? 0 : (wzmis(mean) ? 6 : 4);
    } else if (restric < 0) {
        if (largestTime <= lastEventTime)
            biasCode = 0;
        else
            biasCode = wzmis(mean) ? 6 : 2;
    } else {
        if (lastIsEvent)
            biasCode = 0;
        else if (restric < lastEventTime)
            biasCode = 5;
        else if (restric >= censmax)
            biasCode = 1;
        else
            biasCode = 3;
    }
}

} // namespace korv_est
