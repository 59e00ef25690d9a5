// The named slots of the common block's row buffer (KORVCOM.iovar). Stages
// hand values to their tables through the buffer: a table's columns are
// bound to slots when it is defined (results/, the plot data in the frame),
// and the stage that fills the table writes those slots before each row.
// Each table's slots are named here, once, and both sides use the names.
//
// Every namespace below says which files bind its slots ("Bound by") and
// which write them ("Written by"); the test tests/structure/slots_test.cpp
// reads these lines and checks that every slot a table binds is one its
// stage writes, and that no bare slot number is used outside this header.
// A name listed in an array of its namespace is written by a file that uses
// the array. COUNT is the number of slots a table spans, from slot 0.
//
// This header holds constants only: any stage may include it (the
// include-order test names it), and it adds no link dependency.
#pragma once

#include "common/korvcom.h"

// The number of slots in the buffer.
inline constexpr int KORV_IOVAR_SLOTS = static_cast<int>(sizeof(KORVCOM::iovar) / sizeof(double));

// The data pass's record: the analysis variables of one observation.
// Bound by: frame/setin.cpp
// Written by: frame/korvdat.cpp, frame/korvdac.cpp
namespace input_slot
{
inline constexpr int TIME = 0;
inline constexpr int CENSOR = 2;
inline constexpr int FREQ = 3;
inline constexpr int WEIGHT = 4;
// The slots read from the data set, in the order they are checked.
inline constexpr int READ[] = {TIME, CENSOR, FREQ, WEIGHT};
inline constexpr int COUNT = 5;
} // namespace input_slot

// A product-limit row: the estimates table (SurvTblPL), OUTSURV= and the
// plot data of the product-limit family. The F_ and CDF_ slots are the
// failure side of the plot data.
// Bound by: results/survtbl.cpp, results/korvout.cpp, frame/PhantomData.cpp
// Written by: estimate/plrows.cpp, estimate/plotdata.cpp, estimate/korvpl.cpp
namespace pl_slot
{
inline constexpr int TIME = 0;
inline constexpr int SURV = 1;
inline constexpr int FAIL = 2;
inline constexpr int STDERR = 3;
inline constexpr int UCL = 4;
inline constexpr int LCL = 5;
inline constexpr int FAILED = 6;
inline constexpr int LEFT = 7;
inline constexpr int FREQ = 8;
inline constexpr int TIMELIST = 9;
inline constexpr int SIGMA = 10; // the band's standard error factor; in no table
inline constexpr int HW_LCL = 11;
inline constexpr int HW_UCL = 12;
inline constexpr int EP_LCL = 13;
inline constexpr int EP_UCL = 14;
inline constexpr int CUMHAZ = 15;
inline constexpr int CUMHAZ_STDERR = 16;
inline constexpr int WEIGHT = 17;
inline constexpr int NUMBER_AT_RISK = 19;
inline constexpr int OBSERVED_EVENTS = 20;
inline constexpr int EVENTS = 21;
inline constexpr int AT_RISK = 22;
inline constexpr int CENSORED = 24;
inline constexpr int F_CENSORED = 27;
inline constexpr int CDF_LCL = 28;
inline constexpr int CDF_UCL = 29;
inline constexpr int F_HW_LCL = 30;
inline constexpr int F_HW_UCL = 31;
inline constexpr int F_EP_LCL = 32;
inline constexpr int F_EP_UCL = 33;
// The slots the time-0 row starts at 0 (the others start missing): those up
// to this one.
inline constexpr int LAST_ZERO_AT_START = WEIGHT;
// The fields of a plot-data record, in the record's order (estimate/plotdata.h).
inline constexpr int PLOT_RECORD[] = {TIME,   SURV,   CENSORED, LCL,    UCL,    HW_LCL,
                                      HW_UCL, EP_LCL, EP_UCL,   EVENTS, AT_RISK};
inline constexpr int COUNT = 34;
} // namespace pl_slot

// A life-table row: the estimates table (SurvTblLT), OUTSURV= and the plot
// data of a life table.
// Bound by: results/survtbl.cpp, results/korvout.cpp, frame/PhantomData.cpp
// Written by: estimate/korvtb.cpp
namespace lt_slot
{
inline constexpr int LOWER = 0;
inline constexpr int SURV = 1;
inline constexpr int FAIL = 2;
inline constexpr int STDERR = 3;
inline constexpr int UCL = 4;
inline constexpr int LCL = 5;
inline constexpr int MIDPOINT = 6;
inline constexpr int COND_FAIL = 7;
inline constexpr int COND_STDERR = 8;
inline constexpr int PDF = 9;
inline constexpr int PDF_STDERR = 10;
inline constexpr int PDF_UCL = 11;
inline constexpr int PDF_LCL = 12;
inline constexpr int HAZARD = 13;
inline constexpr int HAZARD_STDERR = 14;
inline constexpr int HAZARD_UCL = 15;
inline constexpr int HAZARD_LCL = 16;
inline constexpr int MED_RESID = 17;
inline constexpr int MED_STDERR = 18;
inline constexpr int FAILED = 21;
inline constexpr int CENSORED = 22;
inline constexpr int EFF_SIZE = 23;
inline constexpr int UPPER = 24;
inline constexpr int CDF_LCL = 28;
inline constexpr int CDF_UCL = 29;
inline constexpr int COUNT = 30;
} // namespace lt_slot

// The plot data and OUTSURV= bind their time, survival and limit columns
// once for both rows: the two rows keep them in the same slots.
static_assert(pl_slot::TIME == lt_slot::LOWER && pl_slot::SURV == lt_slot::SURV &&
              pl_slot::FAIL == lt_slot::FAIL && pl_slot::STDERR == lt_slot::STDERR &&
              pl_slot::UCL == lt_slot::UCL && pl_slot::LCL == lt_slot::LCL &&
              pl_slot::CDF_LCL == lt_slot::CDF_LCL && pl_slot::CDF_UCL == lt_slot::CDF_UCL);

// Quartiles.
// Bound by: results/survtbl.cpp
// Written by: estimate/korvpl.cpp
namespace quartile_slot
{
inline constexpr int PERCENT = 0;
inline constexpr int ESTIMATE = 1;
inline constexpr int LOWER = 2;
inline constexpr int UPPER = 3;
inline constexpr int COUNT = 4;
} // namespace quartile_slot

// The mean survival time.
// Bound by: results/survtbl.cpp
// Written by: estimate/korvpl.cpp
namespace mean_slot
{
inline constexpr int MEAN = 0;
inline constexpr int STDERR = 1;
inline constexpr int COUNT = 2;
} // namespace mean_slot

// The censoring summary of the survival road.
// Bound by: results/survtbl.cpp
// Written by: results/korvsum.cpp, estimate/korvxsg.cpp
namespace censsum_slot
{
inline constexpr int TOTAL = 0;
inline constexpr int FAILED = 1;
inline constexpr int CENSORED = 2;
inline constexpr int PCT_CENSORED = 3;
inline constexpr int COUNT = 4;
} // namespace censsum_slot

// The counts of the competing-risks summaries (the censoring summary and
// the failure summary).
// Bound by: results/survtbl.cpp, results/ciftbl.cpp, results/korvprl.cpp
// Written by: cmprisk/korvcif.cpp
namespace crcount_slot
{
inline constexpr int CENSORED = 0;
inline constexpr int EVENT = 1;
inline constexpr int COMPETE = 2;
inline constexpr int TOTAL = 3;
inline constexpr int COUNT = 4;
} // namespace crcount_slot

// The cumulative incidence: the estimates table and the plot data.
// Bound by: results/ciftbl.cpp
// Written by: cmprisk/korvcif.cpp
namespace cif_slot
{
inline constexpr int TIME = 0;
inline constexpr int CIF = 1;
inline constexpr int ERR = 2; // the standard error, or the variance
inline constexpr int LCL = 3;
inline constexpr int UCL = 4;
inline constexpr int TIMELIST = 9;
inline constexpr int COUNT = 10;
} // namespace cif_slot

// The smoothed hazard at a time.
// Bound by: results/hazardtbl.cpp
// Written by: estimate/smoothed.cpp
namespace hazard_slot
{
inline constexpr int TIME = 0;
inline constexpr int HAZARD = 1;
inline constexpr int STDERR = 2;
inline constexpr int LOWER = 3;
inline constexpr int UPPER = 4;
inline constexpr int COUNT = 5;
} // namespace hazard_slot

// The MISE of a bandwidth of the grid.
// Bound by: results/hazardtbl.cpp
// Written by: estimate/smoothed.cpp
namespace bandwidth_slot
{
inline constexpr int BANDWIDTH = 0;
inline constexpr int MISE = 1;
inline constexpr int COUNT = 2;
} // namespace bandwidth_slot

// A chi-square test: the tests across strata and Gray's test.
// Bound by: results/testtbl.cpp
// Written by: homogeneity/present.cpp, cmprisk/korvcit.cpp
namespace chisq_slot
{
inline constexpr int CHISQ = 2;
inline constexpr int DF = 3;
inline constexpr int PROB = 4;
inline constexpr int COUNT = 5;
} // namespace chisq_slot

// The rank statistics of a stratum, one slot per test.
// Bound by: results/testtbl.cpp
// Written by: homogeneity/present.cpp
namespace homstat_slot
{
inline constexpr int LOGRANK = 0;
inline constexpr int WILCOXON = 1;
inline constexpr int TARONE = 2;
inline constexpr int PETO = 3;
inline constexpr int MODPETO = 4;
inline constexpr int FLEMING = 5;
// By the tests' own order (the order of the covariance blocks).
inline constexpr int BY_TEST[] = {LOGRANK, WILCOXON, TARONE, PETO, MODPETO, FLEMING};
inline constexpr int COUNT = 6;
} // namespace homstat_slot

// The trend score of a stratum.
// Bound by: results/testtbl.cpp
// Written by: homogeneity/present.cpp
namespace trendscore_slot
{
inline constexpr int SCORE = 0;
inline constexpr int COUNT = 1;
} // namespace trendscore_slot

// A trend test.
// Bound by: results/testtbl.cpp
// Written by: homogeneity/korvcs.cpp
namespace trend_slot
{
inline constexpr int STATISTIC = 0;
inline constexpr int STDERR = 1;
inline constexpr int Z = 2;
inline constexpr int PROB_Z = 3;
inline constexpr int LOWER_PROB_Z = 4;
inline constexpr int UPPER_PROB_Z = 5;
inline constexpr int COUNT = 6;
} // namespace trend_slot

// A comparison of two strata (DIFF=): the level numbers (several STRATA
// variables), the chi-square, the raw p-value, the adjusted p-value of the
// method, and the approximation shown instead of an exact method.
// Bound by: results/testtbl.cpp
// Written by: mcomp/korvdiff.cpp
namespace diff_slot
{
inline constexpr int STRATUM1 = 0;
inline constexpr int STRATUM2 = 1;
inline constexpr int LEVEL[] = {STRATUM1, STRATUM2};
inline constexpr int CHISQ = 2;
// The adjusted p-value of a method (0 to -5): slots 3 to 8.
inline constexpr int FIRST_ADJUSTED = 3;
inline constexpr int LAST_ADJUSTED = 8;
constexpr int adjusted(int method)
{
    return FIRST_ADJUSTED - method;
}
inline constexpr int RAW = 9;
inline constexpr int APPROX = 10;
inline constexpr int COUNT = 11;
} // namespace diff_slot

// The univariate rank tests of association, and the OUTTEST= row's time
// column.
// Bound by: results/testtbl.cpp, results/korvout.cpp
// Written by: homogeneity/korvrno.cpp
namespace unichi_slot
{
inline constexpr int STATISTIC = 0;
inline constexpr int CHISQ = 2;
inline constexpr int PROB = 3;
inline constexpr int STDERR = 4;
inline constexpr int COUNT = 5;
} // namespace unichi_slot

// A step of the stepwise sequence of association.
// Bound by: results/testtbl.cpp
// Written by: homogeneity/korvrno.cpp
namespace step_slot
{
inline constexpr int DF = 1;
inline constexpr int CHISQ = 2;
inline constexpr int PROB = 3;
inline constexpr int INCREMENT = 4;
inline constexpr int PROB_INCREMENT = 5;
inline constexpr int COUNT = 6;
} // namespace step_slot

// Every table fits the buffer.
static_assert(input_slot::COUNT <= KORV_IOVAR_SLOTS && pl_slot::COUNT <= KORV_IOVAR_SLOTS &&
              lt_slot::COUNT <= KORV_IOVAR_SLOTS && quartile_slot::COUNT <= KORV_IOVAR_SLOTS &&
              mean_slot::COUNT <= KORV_IOVAR_SLOTS && censsum_slot::COUNT <= KORV_IOVAR_SLOTS &&
              crcount_slot::COUNT <= KORV_IOVAR_SLOTS && cif_slot::COUNT <= KORV_IOVAR_SLOTS &&
              hazard_slot::COUNT <= KORV_IOVAR_SLOTS && bandwidth_slot::COUNT <= KORV_IOVAR_SLOTS &&
              chisq_slot::COUNT <= KORV_IOVAR_SLOTS && homstat_slot::COUNT <= KORV_IOVAR_SLOTS &&
              trendscore_slot::COUNT <= KORV_IOVAR_SLOTS && trend_slot::COUNT <= KORV_IOVAR_SLOTS &&
              diff_slot::COUNT <= KORV_IOVAR_SLOTS && unichi_slot::COUNT <= KORV_IOVAR_SLOTS &&
              step_slot::COUNT <= KORV_IOVAR_SLOTS);
