// Simultaneous confidence bands of a survival function: the time range and
// the critical values of the Hall-Wellner and equal-precision bands of one
// stratum, and the band limits at a time.
//
// The bands are those of the sample the estimator describes: the risk sets
// count frequencies as given (fractional ones under NOTRUNCATE as well), and
// the sample size of the Brownian-bridge scale is the total frequency, so a
// FREQ-aggregated data set and the same data written out record by record
// have the same bands.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "common/strata.h"
#include "estimate/estimate.h"
#include "numeric/bands.h"
#include "runtime/missing.h"

const bool korv_built_bands = true;

namespace korv_est
{

BandRange bandRange(const BandInput& in, int choice, const BandSettings& set)
{
    const double miss = korv_missing();
    BandRange b;
    b.hwCrit = b.epCrit = miss;
    b.upper = DBL_MAX;
    b.n = in.cum;
    // A setting counts as given when it is at least -0.1 (-1 stands for none).
    const bool minGiven = set.bandmin >= -0.1;
    const bool maxGiven = set.bandmax >= -0.1;
    double lower = set.bandmin, lower2 = set.bandmin, upper = set.bandmax;
    double s = 0, sL = 0, sL2 = 0, sU = 0;
    double r = in.cum, d = 0;
    bool anyEvent = false, first = true;
    double lastEvent = 0;
    for (int64_t i = 0; i < in.nobs; ++i) {
        const int64_t k = std::llabs(in.indxs[i]);
        const double t = in.times[k - 1];
        const double f = in.freqs[k - 1];
        if (f < 0) {
            r += f;
            continue;
        }
        d += f;
        if (in.indxs[i] < 0)
            continue;
        // The run of events at t is complete.
        anyEvent = true;
        lastEvent = t;
        if (first) {
            if (!minGiven)
                lower = std::fmax(lower, t);
            lower2 = std::fmax(lower2, t);
            first = false;
        }
        if (!maxGiven)
            upper = t;
        const double before = r;
        r -= d;
        // Every frequency is positive, so the risk set is empty exactly
        // when no record follows; the running difference could leave a
        // rounding residue where fractional frequencies were subtracted.
        if (i + 1 < in.nobs && r > 0)
            s += d / (before * r);
        if (t <= lower)
            sL = s;
        if (t <= lower2)
            sL2 = s;
        if (t <= upper)
            sU = s;
        d = 0;
    }
    b.lowerHW = lower;
    b.lowerEP = lower2;
    b.lastEvent = lastEvent;
    // Without an event there is no band (and no band end to mark).
    if (!anyEvent)
        return b;
    if (upper >= lastEvent) {
        // The band ends at the last event time when someone stays at risk
        // after it, else just below it: at the time that empties the risk
        // set the variance is not known. Censored records rank after the
        // events of their time, so someone stays exactly when the last
        // record is censored, whether its time is later or the same.
        // "Just below" is the next double down, which stays below the event
        // time at any magnitude of time.
        b.belowLastEvent = !(in.freqs[std::llabs(in.indxs[in.nobs - 1]) - 1] < 0);
        b.upper = b.belowLastEvent ? std::nextafter(lastEvent, -DBL_MAX) : lastEvent;
    } else {
        b.upper = set.bandmax;
    }
    const double n = b.n;
    if (!(n > 0))
        return b;
    const double aU = n * sU / (1 + n * sU);
    if (choice == 1 || choice == 3) {
        const double aL = n * sL / (1 + n * sL);
        int rc;
        double quantile = 0;
        if (aL < 1.110223024625157e-13) {
            ARG_KOLMOGOROV_B k{};
            k.Objective = 2;
            k.Prob = 1 - set.alpha;
            k.A = aU;
            rc = zprbksb(&k);
            quantile = k.Quantile;
        } else {
            ARG_WIENER_BRIDGE w{};
            w.Objective = 2;
            w.Prob = 1 - set.alpha;
            w.ALow = aL;
            w.AHigh = aU;
            rc = zprbwbr(&w);
            quantile = w.Quantile;
        }
        b.hwCrit = rc == 0 ? quantile : miss;
    }
    if (choice == 2 || choice == 3) {
        double q = miss;
        zqmsa(n * sL2 / (1 + n * sL2), aU, set.alpha, &q);
        b.epCrit = q;
    }
    return b;
}

namespace
{

// The number of event times (the last record of each run of tied events)
// in [lo, hi], counted up to `most`.
int eventTimes(const BandInput& in, double lo, double hi, int most)
{
    int n = 0;
    for (int64_t i = 0; i < in.nobs && n < most; ++i) {
        const int64_t k = std::llabs(in.indxs[i]);
        const double t = in.times[k - 1];
        if (in.freqs[k - 1] >= 0 && in.indxs[i] > 0 && lo <= t && t <= hi)
            ++n;
    }
    return n;
}

} // namespace

BandGap bandGap(const BandInput& in, const BandRange& r, bool hw)
{
    const double lower = hw ? r.lowerHW : r.lowerEP;
    if (eventTimes(in, -DBL_MAX, DBL_MAX, 1) == 0)
        return BandGap::NoEvent;
    // Limits are given at event times only: a range that holds none gives
    // no limit, whatever its critical value.
    const int inRange = eventTimes(in, lower, r.upper, 2);
    if (inRange == 0)
        return r.belowLastEvent && lower <= r.lastEvent ? BandGap::LastEventOnly
                                                        : BandGap::NoEventInRange;
    if (!wzmis(hw ? r.hwCrit : r.epCrit))
        return BandGap::None;
    // The Hall-Wellner critical value is that of the bridge between the
    // variances at the two ends of the range: with one event time, at the
    // start, they are the same and there is no interval to take it over.
    if (hw && inRange == 1 && eventTimes(in, lower, lower, 1) == 1)
        return BandGap::OneEventTime;
    return BandGap::NoCritical;
}

void PlBands::origin(double* hwl, double* hwu, double* epl, double* epu) const
{
    const double miss = korv_missing();
    *hwl = *hwu = *epl = *epu = miss;
    if (hw && range.lowerHW == 0 && range.n > 0)
        korvwcl(conftype, 1 / std::sqrt(range.n), range.hwCrit, 1.0, hwl, hwu);
}

void PlBands::at(double t, double S, double G, double sigma, bool emptied, double* hwl, double* hwu,
                 double* epl, double* epu) const
{
    const double miss = korv_missing();
    *hwl = *hwu = *epl = *epu = miss;
    // Where the risk set has emptied the variance is not known: no band
    // there rather than one of the wrong width.
    if (emptied || wzmis(S))
        return;
    const double n = range.n;
    if (hw && n > 0 && range.lowerHW <= t && t <= range.upper)
        korvwcl(conftype, S * (1 + n * G) / std::sqrt(n), range.hwCrit, S, hwl, hwu);
    if (ep && range.lowerEP <= t && t <= range.upper)
        korvwcl(conftype, sigma, range.epCrit, S, epl, epu);
}

PlBands PlBands::make(const BandRange& range, int choice, int conftype)
{
    PlBands b;
    b.range = range;
    b.conftype = conftype;
    b.hw = (choice == 1 || choice == 3) && !wzmis(range.hwCrit);
    b.ep = (choice == 2 || choice == 3) && !wzmis(range.epCrit);
    return b;
}

} // namespace korv_est

int korv_band_choice(int confband, int vdqgraph)
{
    int choice = confband;
    if (vdqgraph != 0) {
        const bool hw = (vdqgraph & plot_bit::HW_BAND) != 0,
                   ep = (vdqgraph & plot_bit::EP_BAND) != 0;
        if (choice == 0)
            choice = (hw ? 1 : 0) + (ep ? 2 : 0);
        else if (choice == 1 && ep)
            choice = 3;
        else if (choice == 2 && hw)
            choice = 3;
    }
    return choice;
}

void BandCritVal(KorvPtr q, int confband, STRATA* node, double* bandmintime, double* bandmintime2,
                 double* bandmaxtime, double* HWCrit, double* EPCrit)
{
    korv_est::BandInput in;
    in.times = q->times;
    in.freqs = q->freqs;
    in.indxs = q->indxs;
    in.nobs = node->nobs;
    in.cum = node->cum;
    korv_est::BandSettings set;
    set.bandmin = q->bandmin;
    set.bandmax = q->bandmax;
    set.alpha = q->alpha;
    const korv_est::BandRange b = korv_est::bandRange(in, confband, set);
    *bandmintime = b.lowerHW;
    *bandmintime2 = b.lowerEP;
    *bandmaxtime = b.upper;
    *HWCrit = b.hwCrit;
    *EPCrit = b.epCrit;
}
