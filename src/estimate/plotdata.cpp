// Plot-data records in the paged store and the hidden plot-data table made
// from them.
#include "estimate/plotdata.h"

#include <cfloat>
#include <cstring>

#include "common/options.h"
#include "common/strata.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/xccheck.h"
#include "vyr_files.h"
#include "vyr_host.h"

namespace
{

constexpr long RECLEN = PLOTREC_FIELDS * sizeof(double);

// One pinned page at a time, moved as records are asked for; a changed page
// is written back when it is left, an unchanged one only released.
class Pager
{
  public:
    Pager(XCBSTR* xcb, int mode) : xcb_(xcb), mode_(mode) {}
    ~Pager() { release(); }
    double* record(long k)
    {
        long page = (k - 1) / xcb_->nrpp + 1;
        if (page != pageno_) {
            release();
            check_file(xcbgetp(xcb_->fileptr, page, mode_, &page_));
            pageno_ = page;
        }
        return reinterpret_cast<double*>(page_ + RECLEN * ((k - 1) % xcb_->nrpp));
    }
    void changed() { changed_ = true; }
    void release()
    {
        if (pageno_ > 0) {
            check_file(changed_ ? xcbwrtp(xcb_->fileptr, pageno_)
                                : xcbmlok(xcb_->fileptr, pageno_));
            pageno_ = 0;
            changed_ = false;
        }
    }

  private:
    XCBSTR* xcb_;
    int mode_;
    char* page_ = nullptr;
    long pageno_ = 0;
    bool changed_ = false;
};

double get(const double* rec, int field)
{
    double v;
    std::memcpy(&v, rec + field, sizeof v);
    return v;
}
void set(double* rec, int field, double v)
{
    std::memcpy(rec + field, &v, sizeof v);
}

double mirror(double v)
{
    return wzmis(v) ? korv_missing() : 1 - v;
}

} // namespace

void PlotStore::begin(XCBSTR* xcb)
{
    xcb_ = xcb;
    count_ = 0;
    slot_ = 0;
    pageno_ = 1;
    check_file(xcbgetp(xcb_->fileptr, 1, 16, &page_));
}

void PlotStore::put(const double* rec)
{
    if (!xcb_ || pageno_ == 0)
        return;
    if (slot_ >= xcb_->nrpp) {
        check_file(xcbwrtp(xcb_->fileptr, pageno_));
        ++pageno_;
        check_file(xcbgetp(xcb_->fileptr, pageno_, 16, &page_));
        slot_ = 0;
    }
    std::memcpy(page_ + RECLEN * slot_, rec, RECLEN);
    ++slot_;
    ++count_;
}

void PlotStore::finish()
{
    if (xcb_ && pageno_ > 0) {
        check_file(xcbwrtp(xcb_->fileptr, pageno_));
        pageno_ = 0;
    }
}

void korv_plot_mirrors(KorvPtr q, bool failureCols)
{
    if (!failureCols)
        return;
    double* io = q->iovar;
    io[pl_slot::FAIL] = mirror(io[pl_slot::SURV]);
    io[pl_slot::F_CENSORED] = mirror(io[pl_slot::CENSORED]);
    io[pl_slot::CDF_LCL] = mirror(io[pl_slot::UCL]);
    io[pl_slot::CDF_UCL] = mirror(io[pl_slot::LCL]);
    io[pl_slot::F_HW_LCL] = mirror(io[pl_slot::HW_UCL]);
    io[pl_slot::F_HW_UCL] = mirror(io[pl_slot::HW_LCL]);
    io[pl_slot::F_EP_LCL] = mirror(io[pl_slot::EP_UCL]);
    io[pl_slot::F_EP_UCL] = mirror(io[pl_slot::EP_LCL]);
}

int UclCorrection(XCBSTR* xcb, long nobs, int uclindex)
{
    Pager p(xcb, 0);
    long k = 1;
    double m = 0;
    for (; k <= nobs; ++k) {
        double v = get(p.record(k), uclindex);
        if (!wzmis(v)) {
            m = v;
            break;
        }
    }
    if (k > nobs)
        return 0;
    int changed = 0;
    for (++k; k <= nobs; ++k) {
        double* rec = p.record(k);
        double v = get(rec, uclindex);
        if (wzmis(v))
            continue;
        if (v > m) {
            set(rec, uclindex, m);
            p.changed();
            changed = 1;
        } else {
            m = v;
        }
    }
    return changed;
}

int LclCorrection(XCBSTR* xcb, long nobs, int lclindex)
{
    Pager p(xcb, 0);
    long k = nobs;
    double m = 0;
    for (; k >= 1; --k) {
        double v = get(p.record(k), lclindex);
        if (!wzmis(v)) {
            m = v;
            break;
        }
    }
    if (k < 1)
        return 0;
    int changed = 0;
    for (--k; k >= 1; --k) {
        double* rec = p.record(k);
        double v = get(rec, lclindex);
        if (wzmis(v))
            continue;
        if (v < m) {
            set(rec, lclindex, m);
            p.changed();
            changed = 1;
        } else {
            m = v;
        }
    }
    return changed;
}

void XcbToTable(KorvPtr q, XCBSTR* xcb, long nobs, double bandmax)
{
    if (nobs < 1)
        return;
    if (q->vdqgraph & plot_bit::HW_BAND) {
        LclCorrection(xcb, nobs, 5);
        UclCorrection(xcb, nobs, 6);
    }
    if (q->vdqgraph & plot_bit::EP_BAND) {
        LclCorrection(xcb, nobs, 7);
        UclCorrection(xcb, nobs, 8);
    }
    MakePhantomTable(q, xcb, nobs, bandmax);
}

void MakePhantomTable(KorvPtr q, XCBSTR* xcb, long nobs, double bandmax)
{
    const double miss = korv_missing();
    // A band ends at a time of the stratum; a negative end (a band asked
    // for in a stratum without events) means there is no band, and no
    // band-end row before the first record.
    if (!(bandmax >= 0))
        bandmax = DBL_MAX;
    const bool F = (q->vdqgraph & plot_bit::FAILURE) &&
                   !(q->vdqgraph & (plot_bit::OVERLAY | plot_bit::INDIVIDUAL));
    double* io = q->iovar;
    ATRISKTIME* art = q->art;
    double tau = DBL_MAX;
    int ti = 1;
    if (art) {
        art->time2 = miss;
        if (art->n > 0 && art->t)
            tau = art->t[0];
    }
    auto nextTick = [&]() {
        if (art && ti < art->n) {
            tau = art->t[ti];
            ++ti;
        } else {
            tau = DBL_MAX;
        }
    };
    auto put = [&]() { wobcall(q->Phantom, WOB_SEL_PUT_ROW, 0, nullptr); };
    auto atRiskRow = [&](double t, double atrisk) {
        io[pl_slot::TIME] = t;
        art->time2 = t;
        io[pl_slot::SURV] = io[pl_slot::LCL] = io[pl_slot::UCL] = io[pl_slot::HW_LCL] =
            io[pl_slot::HW_UCL] = io[pl_slot::EP_LCL] = io[pl_slot::EP_UCL] =
                io[pl_slot::CENSORED] = io[pl_slot::EVENTS] = miss;
        if (F)
            io[pl_slot::FAIL] = io[pl_slot::F_CENSORED] = io[pl_slot::CDF_LCL] =
                io[pl_slot::CDF_UCL] = io[pl_slot::F_HW_LCL] = io[pl_slot::F_HW_UCL] =
                    io[pl_slot::F_EP_LCL] = io[pl_slot::F_EP_UCL] = miss;
        io[pl_slot::AT_RISK] = atrisk;
        put();
        art->time2 = miss;
    };
    double R[4] = {miss, miss, miss, miss};
    // The survival in force before the band end: the band-end row shows it
    // (the record after the band end already shows the survival after its
    // own time).
    double Sforce = miss;
    double prevTime = -1.0, prevAtRisk = miss, lastTime = miss, lastAtRisk = miss;
    bool bandPending = true;
    Pager p(xcb, 16);
    for (long k = 1; k <= nobs; ++k) {
        double* rec = p.record(k);
        double f[PLOTREC_FIELDS];
        std::memcpy(f, rec, sizeof f);
        const double t = f[0];
        if (art && t > tau) {
            while (tau < t) {
                atRiskRow(tau, tau != prevTime ? f[10] : prevAtRisk);
                nextTick();
            }
        }
        if (t < bandmax) {
            for (int i = 0; i < 4; ++i)
                if (!wzmis(f[5 + i]))
                    R[i] = f[5 + i];
            if (!wzmis(f[1]))
                Sforce = f[1];
        } else if (t == bandmax) {
            // Records at the band end carry the limits in force there: an
            // event's own, which a censored record tied with it repeats.
            for (int i = 0; i < 4; ++i) {
                if (wzmis(f[5 + i]))
                    f[5 + i] = R[i];
                else
                    R[i] = f[5 + i];
            }
            bandPending = false;
        } else if (bandPending) {
            io[pl_slot::TIME] = bandmax;
            io[pl_slot::SURV] = Sforce;
            io[pl_slot::FAIL] = mirror(Sforce);
            io[pl_slot::LCL] = io[pl_slot::UCL] = io[pl_slot::CENSORED] = miss;
            io[pl_slot::HW_LCL] = R[0];
            io[pl_slot::HW_UCL] = R[1];
            io[pl_slot::EP_LCL] = R[2];
            io[pl_slot::EP_UCL] = R[3];
            io[pl_slot::EVENTS] = f[9];
            io[pl_slot::AT_RISK] = f[10];
            // The failure slot follows the row's own survival (it is never
            // left from the row before).
            io[pl_slot::FAIL] = mirror(io[pl_slot::SURV]);
            if (F) {
                io[pl_slot::F_CENSORED] = io[pl_slot::CDF_LCL] = io[pl_slot::CDF_UCL] = miss;
                io[pl_slot::F_HW_LCL] = mirror(R[1]);
                io[pl_slot::F_HW_UCL] = mirror(R[0]);
                io[pl_slot::F_EP_LCL] = mirror(R[3]);
                io[pl_slot::F_EP_UCL] = mirror(R[2]);
            }
            put();
            bandPending = false;
        }
        for (int i = 0; i < PLOTREC_FIELDS; ++i)
            io[pl_slot::PLOT_RECORD[i]] = f[i];
        korv_plot_mirrors(q, F);
        put();
        prevTime = t;
        prevAtRisk = f[10];
        lastTime = t;
        lastAtRisk = f[10];
    }
    p.release();
    if (art) {
        if (tau == lastTime) {
            atRiskRow(tau, lastAtRisk);
        } else if (tau != DBL_MAX && tau > lastTime) {
            atRiskRow(tau, 0);
        }
    }
}
