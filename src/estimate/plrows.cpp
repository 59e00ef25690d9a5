// The rows of one product-limit stratum: the time-0 row, one row per record
// (or the rows in force at TIMELIST= values, or at INTERVALS= boundaries) for
// the printed table, the OUTSURV= observations and the plot-data points. The
// engine computes; this walk decides which row goes where with which values.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "estimate/estimate.h"
#include "results/slots.h"
#include "runtime/missing.h"

namespace korv_est
{
namespace
{

const char* const BLANK8 = "        ";

void setBandsMissing(RowBuf& r)
{
    const double miss = korv_missing();
    r.io[pl_slot::HW_LCL] = r.io[pl_slot::HW_UCL] = r.io[pl_slot::EP_LCL] = r.io[pl_slot::EP_UCL] =
        miss;
}

class Walk
{
  public:
    Walk(PlEngine& e, const PlOutputs& o, PlSink& s) : e_(e), o_(o), sink_(s) {}
    void run();

  private:
    PlEngine& e_;
    const PlOutputs& o_;
    PlSink& sink_;
    RowBuf r_{};
    RowBuf saved_{};
    const char* word_ = BLANK8;
    bool fullOut_ = false, timelistOut_ = false, intervalsOut_ = false;
    int li_ = 0;         // index of the pending TIMELIST= value
    double L_ = DBL_MAX; // the pending TIMELIST= value
    double b_ = 0;       // the pending INTERVALS= boundary
    double lastLcl_ = 0, lastUcl_ = 0;
    // Thinning of hidden censored plot rows: the previous record's time,
    // the column and survival of the last mark kept, the next keep time.
    double prevTime_ = 0;
    double markCol_ = -1, markS_ = 0;
    size_t keepAt_ = 0;

    // Whether a censored record's plot row is made (see PlOutputs).
    bool markRow(const PlStep& st)
    {
        if (!o_.thinMarks)
            return true;
        const std::vector<double>& keep = o_.keepTimes;
        while (keepAt_ < keep.size() && keep[keepAt_] <= prevTime_)
            ++keepAt_;
        const bool forced = st.last || (keepAt_ < keep.size() && keep[keepAt_] <= st.time);
        const double col =
            o_.markEnd > 0 ? std::floor(std::min(st.time, o_.markEnd) / o_.markEnd * kMarkColumns)
                           : 0;
        if (!forced && col == markCol_ && st.S == markS_)
            return false;
        markCol_ = col;
        markS_ = st.S;
        return true;
    }

    double nextTimelist()
    {
        ++li_;
        return li_ < o_.ntime ? o_.timelist[li_] : DBL_MAX;
    }
    // The band limits of a row, from its time, survival and variance.
    void bandLimits(RowBuf& r)
    {
        setBandsMissing(r);
        if (!o_.bands)
            return;
        if (r.origin)
            o_.bands->origin(&r.io[pl_slot::HW_LCL], &r.io[pl_slot::HW_UCL], &r.io[pl_slot::EP_LCL],
                             &r.io[pl_slot::EP_UCL]);
        else
            o_.bands->at(r.io[pl_slot::TIME], r.io[pl_slot::SURV], r.G, r.io[pl_slot::SIGMA],
                         r.emptied, &r.io[pl_slot::HW_LCL], &r.io[pl_slot::HW_UCL],
                         &r.io[pl_slot::EP_LCL], &r.io[pl_slot::EP_UCL]);
    }
    void recomputeLimits(RowBuf& r)
    {
        e_.limits(r.io[pl_slot::SURV], r.io[pl_slot::SIGMA], r.emptied, &r.io[pl_slot::LCL],
                  &r.io[pl_slot::UCL]);
        bandLimits(r);
    }
    void timelistRows(const PlStep& st);
    void intervalRow(const PlStep& st);
    void finishTimelist();
};

void Walk::run()
{
    const double miss = korv_missing();
    const PlData& d = e_.data();
    const bool weighted = e_.settings().weighted;
    const double total = e_.total();
    word_ = korv_conftype_word(e_.settings().conftype);

    const bool timelist = o_.timelist && o_.ntime > 0;
    const bool intervals = !timelist && o_.interval && o_.ninter > 0;
    fullOut_ = o_.outsurv && !(o_.reduce && (timelist || (o_.interval && o_.ninter > 0)));
    timelistOut_ = o_.outsurv && o_.reduce && timelist;
    intervalsOut_ = o_.outsurv && o_.reduce && intervals;

    // The time-0 row.
    for (int i = 0; i < pl_slot::COUNT; ++i)
        r_.io[i] = i <= pl_slot::LAST_ZERO_AT_START ? 0.0 : miss;
    setBandsMissing(r_);
    r_.io[pl_slot::TIME] = 0;
    r_.io[pl_slot::SURV] = 1;
    r_.io[pl_slot::FAIL] = 0;
    r_.io[pl_slot::STDERR] = 0;
    r_.io[pl_slot::LCL] = r_.io[pl_slot::UCL] = 1;
    r_.io[pl_slot::FAILED] = 0;
    r_.io[pl_slot::LEFT] = total;
    r_.io[pl_slot::FREQ] = 0;
    r_.io[pl_slot::CUMHAZ] = 0;
    r_.io[pl_slot::CUMHAZ_STDERR] = miss;
    r_.io[pl_slot::WEIGHT] = 0;
    r_.io[pl_slot::NUMBER_AT_RISK] = total;
    r_.io[pl_slot::OBSERVED_EVENTS] = 0;
    r_.io[pl_slot::EVENTS] = 0;
    r_.io[pl_slot::AT_RISK] = total;
    r_.io[pl_slot::CENSORED] = r_.io[pl_slot::F_CENSORED] = miss;
    r_.cenval = miss;
    r_.cenchar = miss;
    r_.idrec = 0;
    r_.origin = true;
    r_.G = 0;
    bandLimits(r_);
    lastLcl_ = lastUcl_ = 1;

    if (fullOut_ || intervalsOut_)
        sink_.outRow(r_, BLANK8);
    if (timelist) {
        saved_ = r_;
        li_ = 0;
        L_ = o_.timelist[0];
    } else {
        b_ = 0;
    }
    if (o_.printed && !timelist)
        sink_.tableRow(r_);
    if (o_.plot)
        sink_.plotRow(r_);

    // The largest time with an event, for the survival of censored rows.
    const double E = e_.lastEventRecordTime;

    for (int64_t j = 0; j < d.nobs; ++j) {
        const PlStep& st = e_.step(j);
        r_.io[pl_slot::SURV] = r_.io[pl_slot::FAIL] = r_.io[pl_slot::STDERR] =
            r_.io[pl_slot::SIGMA] = miss;
        r_.io[pl_slot::CUMHAZ] = r_.io[pl_slot::CUMHAZ_STDERR] = r_.io[pl_slot::NUMBER_AT_RISK] =
            r_.io[pl_slot::OBSERVED_EVENTS] = miss;
        r_.io[pl_slot::TIME] = st.time;
        r_.io[pl_slot::FREQ] = st.freq;
        r_.io[pl_slot::WEIGHT] = weighted ? st.weight : 0;
        r_.io[pl_slot::LEFT] = st.left;
        r_.io[pl_slot::FAILED] = st.failed;
        r_.io[pl_slot::EVENTS] = st.eventsAtTime;
        r_.io[pl_slot::AT_RISK] = st.atRiskSnap;
        r_.emptied = false;
        r_.origin = false;
        if (st.censored) {
            r_.io[pl_slot::OBSERVED_EVENTS] = 0;
            r_.io[pl_slot::NUMBER_AT_RISK] = st.numberAtRisk;
            r_.cenchar = 1;
            setBandsMissing(r_);
            if (fullOut_) {
                r_.io[pl_slot::SURV] = E > st.time ? st.S : miss;
                r_.io[pl_slot::LCL] = r_.io[pl_slot::UCL] = miss;
                r_.cenval = 1;
                sink_.outRow(r_, BLANK8);
                r_.io[pl_slot::SURV] = miss;
            }
            if (o_.plot && markRow(st)) {
                r_.io[pl_slot::CENSORED] = st.S;
                r_.io[pl_slot::F_CENSORED] = 1 - st.S;
                double l = r_.io[pl_slot::LCL], u = r_.io[pl_slot::UCL];
                if (st.last) {
                    r_.io[pl_slot::SURV] = st.S;
                    r_.io[pl_slot::FAIL] = 1 - st.S;
                    r_.io[pl_slot::LCL] = lastLcl_;
                    r_.io[pl_slot::UCL] = lastUcl_;
                } else {
                    r_.io[pl_slot::LCL] = r_.io[pl_slot::UCL] = miss;
                }
                sink_.plotRow(r_);
                r_.io[pl_slot::LCL] = l;
                r_.io[pl_slot::UCL] = u;
                r_.io[pl_slot::CENSORED] = r_.io[pl_slot::F_CENSORED] = miss;
                r_.io[pl_slot::SURV] = r_.io[pl_slot::FAIL] = miss;
            }
        } else {
            r_.cenchar = 0;
            if (st.eventTime) {
                r_.io[pl_slot::SURV] = st.S;
                r_.io[pl_slot::FAIL] = 1 - st.S;
                r_.io[pl_slot::SIGMA] = st.sigma;
                r_.io[pl_slot::STDERR] = st.stderr_;
                r_.io[pl_slot::CUMHAZ] = st.H;
                r_.io[pl_slot::CUMHAZ_STDERR] = st.seH;
                r_.io[pl_slot::NUMBER_AT_RISK] = st.numberAtRisk;
                r_.io[pl_slot::OBSERVED_EVENTS] = st.observedEvents;
                r_.io[pl_slot::AT_RISK] = st.Y;
                r_.io[pl_slot::EVENTS] = st.d;
                r_.io[pl_slot::LCL] = st.lcl;
                r_.io[pl_slot::UCL] = st.ucl;
                r_.emptied = st.emptied;
                r_.G = st.G;
                bandLimits(r_);
                lastLcl_ = st.lcl;
                lastUcl_ = st.ucl;
                if (fullOut_) {
                    r_.cenval = 0;
                    sink_.outRow(r_, word_);
                }
                if (o_.plot)
                    sink_.plotRow(r_);
                r_.io[pl_slot::EVENTS] = 0;
            }
        }

        prevTime_ = st.time;
        sink_.stepDone(st);
        // Rows of the printed table and of the reduced data sets.
        if (timelist) {
            timelistRows(st);
        } else if (intervals) {
            intervalRow(st);
        } else if (o_.printed) {
            r_.idrec = st.k;
            sink_.tableRow(r_);
        }
    }
    if (timelist)
        finishTimelist();
    e_.finish();
}

void Walk::intervalRow(const PlStep& st)
{
    const double miss = korv_missing();
    if (!(st.last || (st.eventTime && st.time >= b_)))
        return;
    if (intervalsOut_) {
        if (wzmis(r_.io[pl_slot::SIGMA])) {
            r_.io[pl_slot::SURV] = st.S;
            r_.io[pl_slot::LCL] = r_.io[pl_slot::UCL] = miss;
            setBandsMissing(r_);
            r_.cenval = 1;
            sink_.outRow(r_, BLANK8);
            r_.io[pl_slot::SURV] = miss;
        } else {
            recomputeLimits(r_);
            r_.cenval = 0;
            sink_.outRow(r_, word_);
        }
    }
    if (st.time >= b_) {
        b_ = DBL_MAX;
        for (int i = 1; i < o_.ninter; ++i)
            if (o_.interval[i] > st.time) {
                b_ = o_.interval[i];
                break;
            }
    }
    if (o_.printed) {
        r_.idrec = st.k;
        sink_.tableRow(r_);
    }
}

void Walk::timelistRows(const PlStep& st)
{
    if (!st.endsRun)
        return;
    // Listed values before this time show the row in force before it.
    if (L_ < st.time) {
        RowBuf cur = r_;
        r_ = saved_;
        // At a listed time between records: at risk is what had not been
        // passed by then, and no event falls on it.
        r_.io[pl_slot::NUMBER_AT_RISK] = saved_.io[pl_slot::LEFT];
        r_.io[pl_slot::OBSERVED_EVENTS] = 0;
        if (timelistOut_) {
            r_.cenval = 0;
            recomputeLimits(r_);
        }
        while (L_ < st.time) {
            r_.io[pl_slot::TIMELIST] = L_;
            if (o_.printed) {
                r_.cenchar = 0;
                sink_.tableRow(r_);
            }
            if (timelistOut_)
                sink_.outRow(r_, BLANK8);
            L_ = nextTimelist();
        }
        r_ = cur;
        r_.cenchar = st.censored ? 1 : 0;
    }
    // A listed value at this very time.
    if (L_ == st.time) {
        r_.idrec = st.k;
        RowBuf cur = r_;
        if (st.censored) {
            double left = r_.io[pl_slot::LEFT];
            r_ = saved_;
            r_.io[pl_slot::LEFT] = left;
            r_.io[pl_slot::NUMBER_AT_RISK] = st.atRiskSnap;
            r_.io[pl_slot::OBSERVED_EVENTS] = 0;
            r_.idrec = st.k;
        }
        r_.io[pl_slot::TIMELIST] = L_;
        if (o_.printed) {
            r_.cenchar = 0;
            // Records still to come at this time leave the count now; the
            // engine forms it in its own units, so that a count shown
            // missing is never added to.
            double left = r_.io[pl_slot::LEFT];
            r_.io[pl_slot::LEFT] = e_.leftThrough(st.rank, L_);
            sink_.tableRow(r_);
            r_.io[pl_slot::LEFT] = left;
        }
        if (timelistOut_) {
            r_.cenval = 0;
            recomputeLimits(r_);
            sink_.outRow(r_, word_);
        }
        L_ = nextTimelist();
        if (st.censored) {
            r_ = cur;
            r_.cenchar = 1;
        }
    }
    // The row in force is kept for the listed values still to come.
    if (st.censored)
        saved_.io[pl_slot::LEFT] = r_.io[pl_slot::LEFT];
    else
        for (int i = 0; i <= pl_slot::CUMHAZ_STDERR; ++i)
            saved_.io[i] = r_.io[i];
    if (!st.censored) {
        saved_.emptied = r_.emptied;
        saved_.origin = false;
        saved_.G = r_.G;
    }
    r_.idrec = st.k;
}

void Walk::finishTimelist()
{
    if (L_ == DBL_MAX)
        return;
    const double miss = korv_missing();
    if (e_.lastIsEvent) {
        r_ = saved_;
        r_.cenchar = 0;
        if (timelistOut_) {
            r_.cenval = 0;
            recomputeLimits(r_);
        }
        r_.io[pl_slot::OBSERVED_EVENTS] = 0;
        r_.io[pl_slot::NUMBER_AT_RISK] = 0;
    } else {
        r_.io[pl_slot::TIME] = r_.io[pl_slot::SURV] = r_.io[pl_slot::FAIL] = r_.io[pl_slot::SIGMA] =
            miss;
        r_.io[pl_slot::LCL] = r_.io[pl_slot::UCL] = miss;
        setBandsMissing(r_);
        r_.cenchar = r_.cenval = miss;
        r_.io[pl_slot::OBSERVED_EVENTS] = r_.io[pl_slot::NUMBER_AT_RISK] = miss;
    }
    while (L_ != DBL_MAX) {
        r_.io[pl_slot::TIMELIST] = L_;
        if (o_.printed)
            sink_.tableRow(r_);
        if (timelistOut_)
            sink_.outRow(r_, word_);
        L_ = nextTimelist();
    }
}

} // namespace

void korv_pl_run(PlEngine& engine, const PlOutputs& out, PlSink& sink)
{
    if (engine.data().nobs < 1)
        return;
    Walk(engine, out, sink).run();
}

} // namespace korv_est
