// Plot-data records of the product-limit estimators: eleven doubles per
// plotted point, kept in the paged record store while a stratum is walked,
// then made monotone (band limits) and turned into the rows of the stratum's
// hidden plot-data table.
#pragma once

#include <cstdint>

#include "common/korvcom.h"
#include "results/slots.h"

struct XCBSTR;

// Fields of a record: time, survival, censoring mark, pointwise lower and
// upper limit, Hall-Wellner lower and upper, equal-precision lower and
// upper, events at the time, number at risk before the time: the row
// buffer's slots pl_slot::PLOT_RECORD (results/slots.h), in order.
inline constexpr int PLOTREC_FIELDS = 11;
static_assert(sizeof(pl_slot::PLOT_RECORD) / sizeof(int) == PLOTREC_FIELDS);

// Writes a stratum's records in order into the paged store, one page pinned
// at a time; the store restarts at record 1 for every stratum.
class PlotStore
{
  public:
    explicit PlotStore(XCBSTR* xcb) : xcb_(xcb) {}
    void begin(XCBSTR* xcb);
    void put(const double* rec);
    // Writes the last page back.
    void finish();
    long count() const { return count_; }

  private:
    XCBSTR* xcb_;
    char* page_ = nullptr;
    long pageno_ = 0;
    long slot_ = 0;
    long count_ = 0;
};

// The failure mirrors of a plot-data row (1 - survival, limits exchanged),
// each missing when its source is; only with failure columns.
void korv_plot_mirrors(KorvPtr q, bool failureCols);

// Band limits made monotone, then the rows of the plot-data table.
void XcbToTable(KorvPtr q, XCBSTR* xcb, long nobs, double bandmax);
int UclCorrection(XCBSTR* xcb, long nobs, int uclindex);
int LclCorrection(XCBSTR* xcb, long nobs, int lclindex);
void MakePhantomTable(KorvPtr q, XCBSTR* xcb, long nobs, double bandmax);
