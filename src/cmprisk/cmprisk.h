// Competing risks: the cumulative incidence of each failure type per stratum
// and GROUP= level, with its variance and pointwise limits, the failure
// summary, the OUTCIF= rows, the plot data and graph requests, and Gray's
// k-sample test of equal cumulative incidence.
//
// Two layers, as in the survival estimators:
//  - the statistical core (namespace korv_cr): records in, numbers and rows
//    out, no host services but the pointwise limits; everything the stage
//    computes is computed here and checked against the peers;
//  - the drivers (korvcif, korvcit in common/stages.h, and the routines
//    below) that read the BY group's records from the data pass's utility
//    file, order them, page them into the paged record store and hand the
//    core's rows to the tables, the plot data and OUTCIF=.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/korvcom.h"
#include "common/options.h"
#include "common/stages.h"
#include "runtime/korv_assert.h"

struct STRATA;
struct GRPTREE;

namespace korv_cr
{

// A frequency total below this counts as zero (the double just above 2^-53).
inline constexpr double ZERO_FREQ = 1.110223024625157e-16;
// The time of the end-marker record written behind the records of a cell.
inline constexpr double END_MARKER_TIME = 1.7976931348623157e308;

// Records of one cell or group in time order, as the walks read them: one
// array per field they use (time, frequency, status category), so that a
// walk reads 20 bytes of a record and not 48.
struct Span {
    const double* time = nullptr;
    const double* freq = nullptr;
    const int32_t* cat = nullptr;
    int64_t n = 0;
    // Records [first, first + count), within the span (an empty range may
    // start at its end).
    Span sub(int64_t first, int64_t count) const
    {
        KORV_ASSERT(first >= 0 && count >= 0 && first <= n && count <= n - first,
                    "a cell's records lie within the group's records");
        Span s;
        if (first < 0 || count <= 0 || first >= n)
            return s;
        count = count < n - first ? count : n - first;
        s.time = time + first;
        s.freq = freq + first;
        s.cat = cat + first;
        s.n = count;
        return s;
    }
};

// The records of a cell (or group) gathered by time: its distinct times in
// ascending order and, at each, the amount (total frequency) of every status
// category present; the walks go from time to time, whatever the number of
// records at a time.
//
// The risk sets are the amounts still ahead, added up from the last time
// back: the number at risk at a time never comes from subtracting what left
// before it, so a small risk set behind a huge frequency (up to 2^53) is as
// exact as its own counts, and a risk set that has given up every subject is
// exactly 0, whatever the fractions of its frequencies.
struct Timed {
    const double* time = nullptr;    // the distinct times
    const uint32_t* start = nullptr; // entries of time i: [start[i], start[i + 1]), n + 1 values
    const int32_t* cat = nullptr;    // an entry's category (-1: none of 0 .. ncat-1)
    const double* amount = nullptr;  // an entry's amount
    const double* ahead = nullptr;   // the amount at time i and after, n + 1 values (the last 0)
    int64_t n = 0;
};

// Gathers a span in time order: `time`, `cat` and `amount` have room for
// span.n values, `start` and `ahead` for span.n + 1. Categories outside
// 0 .. ncat-1 are gathered as -1.
Timed gather(const Span& span, int ncat, double* time, uint32_t* start, int32_t* cat,
             double* amount, double* ahead);

// The same into arrays of its own.
struct Gathered {
    std::vector<double> time, amount, ahead;
    std::vector<uint32_t> start;
    std::vector<int32_t> cat;
    Timed view;
    Gathered(const Span& span, int ncat)
        : time(static_cast<size_t>(span.n)), amount(static_cast<size_t>(span.n)),
          ahead(static_cast<size_t>(span.n) + 1), start(static_cast<size_t>(span.n) + 1),
          cat(static_cast<size_t>(span.n))
    {
        view =
            gather(span, ncat, time.data(), start.data(), cat.data(), amount.data(), ahead.data());
    }
};

// ---------------------------------------------------------------------------
// Ordering the records.

// The order of records by the keys stratum (when byStratum), group (when
// byGroup), then time, all ascending, into idx; records equal on every key
// keep their input order. Stratum and group are the ordinal positions the
// data pass wrote (0 .. nStrata-1, 0 .. nGroup-1); false, with nothing
// ordered, when a record names another (or there are 2^32 records or more).
// Work is linear in the records after the times are ranked.
bool order(const CRRECORD* rec, size_t n, bool byStratum, int nStrata, bool byGroup, int nGroup,
           std::vector<uint32_t>& idx);

// ---------------------------------------------------------------------------
// Cumulative incidence of one failure type in one cell.

struct CifSettings {
    int error = 0;         // 0 Aalen-type variance, 1 delta method
    bool printVar = false; // the error column holds the variance (CIFVAR)
    int conftype = 3;      // transform of the pointwise limits
    double critical = 1.959963984540054;
    double alpha = 0.05;
    const char* conftypeWord = "LOGLOG  "; // 8 characters
    const double* timelist = nullptr;      // TIMELIST= values, ascending, distinct
    int ntime = 0;
    bool table = false;      // rows for the CIF table
    bool plot = false;       // rows for the plot data
    bool plotLimits = false; // the plot draws limits (an extra row past the last time)
    bool out = false;        // OUTCIF= rows
    bool reduce = false;     // REDUCEOUT with a TIMELIST= list: OUTCIF= rows at the listed times
    double nrisk = 0;        // the cell's total frequency (the time-0 row's number at risk)
    double maxtime = 0;      // the cell's largest time
};

// A row of the CIF table or the plot data.
struct CifRow {
    double time, cif, err, lcl, ucl;
    double timelist; // the TIMELIST= value the row stands for (table rows)
};

// Receives the rows of one cell as they are made.
class CifSink
{
  public:
    virtual ~CifSink() = default;
    virtual void tableRow(const CifRow&) {}
    virtual void plotRow(const CifRow&) {}
    virtual void outRow(const CIFOUTREC&) {}
};

// Walks one cell from time to time and delivers its rows. roleMap gives
// each status category its role for the type estimated: 0 censored, 1 event
// of interest, 2 competing event; ncat is its length (other categories count
// as competing).
void cifWalk(const CifSettings& s, const Timed& cell, const int* roleMap, int ncat, CifSink& sink);

// ---------------------------------------------------------------------------
// Gray's k-sample test of one failure type.

// Score (k-1 doubles) and covariance (packed lower triangle of order k-1)
// of Gray's test over k groups: group g's records gathered by time in stream
// g; the walk takes the streams together, time by time, so its work is of
// order k per distinct time (and k^3 per event time for the covariance).
// Each group's numbers at risk are its stream's amounts still ahead. Adds
// into score and var.
void grayWalk(const Timed* streams, int k, const int* roleMap, int ncat, double rho, double* score,
              double* var);

// The chi-square of a bordered packed matrix of order K+1 (the score's
// covariance in the leading block of order K-1, row and column K-1 zero, the
// score in row K, the corner 0): each of the first K pivots is swept in turn
// unless it is singular against 1e-12 times its diagonal. The matrix is
// overwritten.
struct GrayChiSq {
    double chisq;
    int df;
    double p; // the ordinary missing value when df is 0
};
GrayChiSq grayChiSq(double* var, int K);

// The p-value as the plot panels show it: "p<0.0001" below 0.0001, else
// "p=" and four decimals.
std::string pValueText(double p);

} // namespace korv_cr

// ---------------------------------------------------------------------------
// The drivers' routines (the stages korvcif and korvcit are declared in
// common/stages.h).

// The failure summary of failure type k.
void PrintSummary(KorvPtr q, int k);
// The group's cells (stratum by stratum, within a stratum level by level)
// gathered by time (korv_cr::cellTables).
const korv_cr::Timed* sortData(KorvPtr q);
// The note that a cell has no event of the type `type`.
void printNoEventLog(KorvPtr q, double type, STRATA* node, GRPTREE* gnode);
// The cumulative incidence of the current type in one cell (its records in
// time order, nrisk its total frequency, maxtime its largest time): the
// settings come from the common block and the rows go to the sink. Reads
// the common block only, so that cells may be estimated side by side.
int cifEstimate(KorvPtr q, const korv_cr::Timed& cell, double nrisk, double maxtime,
                korv_cr::CifSink& sink);
// The plots of failure type k from the plot data just rendered.
void flushPlot(KorvPtr q, int k);
// Gray's statistic of one failure type (roleMap: the role of each status
// category) for ng groups, group g's records gathered by time in streams[g];
// adds into score (ng - 1 doubles) and var (packed, order ng - 1). Reads the
// common block only, so that types may be tested side by side.
void kSampleTestCif(KorvPtr q, const korv_cr::Timed* streams, int ng, const int* roleMap,
                    double* score, double* var);

// ---------------------------------------------------------------------------
// Records on file and in the paged record store (crstore.cpp).
namespace korv_cr
{

// The BY group's records by stratum, group and time: the data pass leaves
// them cell by cell (CMPRISK.columns, a cell's records starting at its count
// cell's entry [0]); each cell is put in time order once per BY group, the
// cells side by side. Columns that do not hold the group's records end the
// step.
Span sortRecords(KorvPtr q);
// The cells of the BY group (stratum by stratum, within a stratum level by
// level) in time order and gathered by time, made once per BY group.
const Timed* cellTables(KorvPtr q);

} // namespace korv_cr
