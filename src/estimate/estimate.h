// Survival function estimation: the product-limit, Breslow and
// Fleming-Harrington estimators of one stratum (with and without a WEIGHT
// variable), the quartiles with their confidence intervals (pointwise
// limits and membership tests: numeric/pointwise.h), the restricted mean,
// the Hall-Wellner and equal-precision confidence bands, the rows at
// TIMELIST= values and INTERVALS= boundaries, and the life table.
//
// Two layers:
//  - the statistical core (namespace korv_est, and the statistical steps of
//    korv_lt): plain arrays in, numbers out, no host services; everything
//    the estimators compute is computed here;
//  - the per-stratum drivers (korvpl, korvwpl, korvtb with the steps of
//    korv_lt that read the common block) that run the core
//    and deliver its rows to the tables, OUTSURV= and the plot data.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/korvcom.h"
#include "common/stages.h"
#include "numeric/pointwise.h"
#include "results/slots.h"

struct STRATA;
struct GRPTREE;
struct PGRAFSTR;

// ---------------------------------------------------------------------------
// Per-stratum drivers (called by the survival path of each BY group).

// Product-limit (method 0), Breslow (2) or Fleming-Harrington (3) estimates
// of one stratum whose records korvbeg has reread and ranked.
void korvpl(KorvPtr q, STRATA* node);
// The same with a WEIGHT variable (product-limit only).
void korvwpl(KorvPtr q, STRATA* node);
// The two for a stratum prepared ahead, whose counts still ahead of each
// ranked position were added up with its records (nobs + 1 doubles each;
// ahead2 those of frequency x weight squared).
void korvpl_counted(KorvPtr q, STRATA* node, double* ahead);
void korvwpl_counted(KorvPtr q, STRATA* node, double* ahead, double* ahead2);
// The GROUP= road (korvxsg): the estimates of one GROUP= level within the
// stratum `snode`, from the level's own records (times, signed frequencies,
// weights and ID values, positions 1..node->nobs, ranked into indxs). The
// level's value and number are in the GROUP= variable's row fields, the
// stratum's key in q->value. A level without records gives nothing.
// Product-limit family (the weighted estimator when weights is not null):
void korvplg(KorvPtr q, STRATA* snode, GRPTREE* node, const double* times, const double* freqs,
             const double* weights, const char* ids, const int64_t* indxs);
// Life table:
void korvtbg(KorvPtr q, STRATA* snode, GRPTREE* node, const double* times, const double* freqs,
             const int64_t* indxs);
// The graphs of one stratum on the GROUP= road: the survival (or failure)
// curves of its groups, then the -log, log(-log), density and hazard graphs
// asked for; ngroup is the number of GROUP= levels of the BY group.
void StratumSpecificSurvival(KorvPtr q, STRATA* node, int ngroup);
void StratumSpecificOthers(KorvPtr q, STRATA* node, int ngroup);
// Whether the survival graph of the GROUP= levels waits for the test of the
// levels, to show its p-value: without STRATA variables the one stratum's
// graph is the BY group's, drawn by korvpsg once the test is known.
bool GroupSurvivalAfterTest(KorvPtr q);
// Past the curves a legend names (VYR_LEGEND_MOST), the graphs of the
// stratum `node` name none of its GROUP= levels: a note says so and how to
// see them apart, once in a BY group.
void NoteLevelsPastLegend(KorvPtr q, STRATA* node);
// " of stratum N" (the current stratum) when the BY group has STRATA
// variables, else "": what a note about one stratum's estimates adds to say
// which.
std::string korv_of_stratum(KorvPtr q);

// Marks a censored time in the line-printer plot of censored observations:
// the stratum's symbol in row `stratumno` (from 0) at the time's column, or
// '*' where the cell is already marked.
void cenplot(PGRAFSTR* grafc, double time, long stratumno, int symbol);

// ---------------------------------------------------------------------------
// Small helpers of the estimators.

// exp(-(1/Y + 1/(Y-1) + ...)) with one term per tied event (ceil(d) terms
// for a fractional d); 1 for d <= 0.
double tiesFH(double d, double Y);
// The sum in the exponent of tiesFH: 1/Y + 1/(Y - 1) + ..., ceil(d) terms.
// Past 64 terms it is psi(Y + 1) - psi(Y - ceil(d) + 1) through the
// asymptotic series of psi, so a tie of 1e15 events costs no more than one
// of 65.
double korv_fh_sum(double d, double Y);
// 1 when every |freq[i]| is a whole number, else 0; 1 for n < 0.
short integralFreqs(const double* freq, long n);
// Number of distinct event times of a ranked stratum.
long nJumps(KorvPtr q, STRATA* node);
long korv_njumps(const double* times, const double* freqs, const int64_t* indxs, int64_t nobs);
// Removes quartile limits that exclude their estimate (the weighted
// estimator, whose limits can cross the estimate).
void TrapBogusQuartileCL(double* quartile, double* lower, double* upper);
// The bands a stratum gets: CONFBAND= (0 none, 1 Hall-Wellner, 2 equal
// precision, 3 both) widened by the bands the survival plot asks for.
int korv_band_choice(int confband, int vdqgraph);

// ---------------------------------------------------------------------------
// Life tables (actuarial estimates over intervals). The statistical steps
// take plain arrays and no host service, so that a stratum and a GROUP= level
// within it run the same code; the host-facing steps read the common block.

struct LIFETABLE;

namespace korv_lt
{

// The intervals of a BY group: boundaries[0] = 0 < boundaries[1] < ... <
// boundaries[ninter - 1]; interval j runs from boundaries[j] (included) to
// boundaries[j + 1], the last one is open above.
struct Intervals {
    const double* bounds = nullptr;
    int ninter = 0;
    bool given = false; // INTERVALS= gave them (not WIDTH= or NINTERVAL=)
};

// Counts each ranked record into rows[0 .. ninter-1] (cleared first): event
// frequencies into n_die, censored ones into n_with. Returns the total.
double bin(LIFETABLE* rows, const Intervals& iv, const double* times, const double* freqs,
           const int64_t* indxs, int64_t nobs);

// Fills the estimates of the binned rows and the closing row (rows has
// ninter + 1 entries: the last may receive the closing row); returns the
// index of the last row produced (-1 when none). `pdfmax` and `hazmax` are
// raised to the largest density and hazard.
int estimateRows(LIFETABLE* rows, const Intervals& iv, double n_all, double* pdfmax,
                 double* hazmax);

// What staging a row needs besides the rows.
struct StageSettings {
    int conftype = 3;
    double critical = 1.959963984540054;
    bool failure = false; // failure values for the plot data (slots 2, 28, 29)
};

// Stages row k of rows[0 .. nintused] into the row buffer `io` (34 slots):
// the values the plot data and OUTSURV= take, and the failure.
void stageRow(const LIFETABLE* rows, int k, const Intervals& iv, const StageSettings& set,
              double* io);
// Stages the values only the printed table shows (counts, conditional
// probability, median residual lifetime, standard errors).
void stageTableRow(const LIFETABLE& row, double* io);

// Opens the LifetableEstimates table (its output object in KORVCOM.output).
void openTable(KorvPtr q);

// The common block's side: binning of the stratum's ranked records, the
// estimates into KORVCOM.lifetab, the rows to the table, OUTSURV= and the
// plot data with the stratum's graphs, and the line-printer plot records.
void bindata(KorvPtr q, STRATA* node, double* n_all);
void estimate(KorvPtr q, double n_all, int* nintused);
void printit(KorvPtr q, STRATA* node, double n_all, int nintused, int zprinttab, int zoutds,
             int vdqgraph);
void plotit(KorvPtr q, STRATA* node, int nintused);

} // namespace korv_lt

namespace korv_est
{

// The ranked records of one stratum.
struct PlData {
    const double* times = nullptr;   // record times, positions 1..nobs at [0..nobs-1]
    const double* freqs = nullptr;   // signed frequencies (censored negative)
    const double* weights = nullptr; // weights, or null without WEIGHT
    const int64_t* indxs = nullptr;  // rank index (negative: tie run continues)
    int64_t nobs = 0;
    double cum = 0;    // total frequency
    double cen = 0;    // total censored frequency
    double cumwt = 0;  // sum of frequency x weight (WEIGHT)
    double cumwt2 = 0; // sum of frequency x weight squared (WEIGHT)
    // Work space of nobs + 1 doubles each for the counts still ahead (see
    // PlEngine); null: the engine keeps its own.
    double* ahead = nullptr;
    double* ahead2 = nullptr;
    // Work space of nobs doubles each for the times, signed frequencies and
    // (WEIGHT) weights copied into rank order, so that the pass reads them in
    // sequence instead of gathering each record through the rank index;
    // null: the engine keeps its own.
    double* rankedTimes = nullptr;
    double* rankedFreqs = nullptr;
    double* rankedWeights = nullptr;
    // The three hold the records in rank order already (korvbeg copied them).
    bool rankedFilled = false;
    // ahead (and ahead2 when weighted) hold the counts still ahead already
    // (added up with the records when they were prepared ahead).
    bool aheadFilled = false;
};

// What the estimator needs of the options.
struct PlSettings {
    int method = 0;                        // 0 product-limit, 2 Breslow, 3 Fleming-Harrington
    bool weighted = false;                 // counts are frequency x weight
    int conftype = 3;                      // transform of the pointwise limits and quartile tests
    double critical = 1.959963984540054;   // of ALPHA=
    double qtcritical = 1.959963984540054; // of ALPHAQT=
    double restric = -1;                   // TIMELIM=: -1 last event, -2 largest time, else a time
};

// ---------------------------------------------------------------------------
// Confidence bands.

// The ranked records of a stratum (or of one group), as the band range reads
// them.
struct BandInput {
    const double* times = nullptr;
    const double* freqs = nullptr; // signed frequencies (censored negative)
    const int64_t* indxs = nullptr;
    int64_t nobs = 0;
    double cum = 0; // total frequency
};

// BANDMIN=, BANDMAX= (-1 when not given) and ALPHA=.
struct BandSettings {
    double bandmin = -1;
    double bandmax = -1;
    double alpha = 0.05;
};

// Time range and critical values of the bands of one stratum.
struct BandRange {
    double lowerHW = 0; // start of the Hall-Wellner band
    double lowerEP = 0; // start of the equal-precision band
    double upper = 0;   // end of both; the largest double when there is no band
    double hwCrit = 0;  // critical values, missing when not formed
    double epCrit = 0;
    double n = 0; // sample size of the Brownian-bridge scale (total frequency)
    // The last event time; `belowLastEvent` when it empties the risk set and
    // the range therefore ends just below it.
    double lastEvent = 0;
    bool belowLastEvent = false;
};

// The range and the critical values of the bands `choice` asks for (1
// Hall-Wellner, 2 equal precision, 3 both), from the unweighted risk sets.
BandRange bandRange(const BandInput& in, int choice, const BandSettings& set);

// Why a band that was asked for has no limits anywhere.
enum class BandGap {
    None,           // the band is formed
    NoEvent,        // every observation is censored
    LastEventOnly,  // the one event time its range would hold empties the risk set
    NoEventInRange, // its range (BANDMIN=, BANDMAX=) holds no event time
    OneEventTime,   // Hall-Wellner: one event time, at the start of its range
    NoCritical,     // its critical value was not found
};
BandGap bandGap(const BandInput& in, const BandRange& r, bool hw);

// The bands an estimator forms, and their limits at a time.
struct PlBands {
    BandRange range;
    int conftype = 3;
    bool hw = false; // Hall-Wellner limits are formed
    bool ep = false; // equal-precision limits are formed
    static PlBands make(const BandRange& range, int choice, int conftype);
    // Limits at the time-0 row (Hall-Wellner only, when the band starts at 0).
    void origin(double* hwl, double* hwu, double* epl, double* epu) const;
    // Limits at an event time t with survival S, variance sum G and standard
    // error sigma; missing outside each band's range and where the risk set
    // has emptied.
    void at(double t, double S, double G, double sigma, bool emptied, double* hwl, double* hwu,
            double* epl, double* epu) const;
};

// The estimates after one ranked record.
struct PlStep {
    int64_t rank = 0; // position in time order, from 0
    int64_t k = 0;    // 1-based record number
    double time = 0;
    double freq = 0;   // absolute frequency
    double weight = 1; // the record's weight (1 without WEIGHT)
    bool censored = false;
    bool endsRun = false;      // last record of its run of tied times of the same kind
    bool eventTime = false;    // an event record ending its run: the estimates moved
    bool last = false;         // last ranked record
    bool emptied = false;      // this event time emptied the risk set
    double S = 1;              // survival in force after the record
    double G = 0;              // Greenwood sum in force
    double sigma = 0;          // S x sqrt(G) at an event time, else missing
    double stderr_ = 0;        // the printed standard error (missing when emptied)
    double H = 0;              // Nelson-Aalen cumulative hazard at an event time
    double seH = 0;            // its standard error
    double Y = 0;              // number at risk just before the time (at an event time)
    double d = 0;              // events at the time (at an event time)
    double atRiskSnap = 0;     // running at-risk snapshot (plot-data "AtRisk")
    double numberAtRisk = 0;   // "NumberAtRisk": value or missing
    double observedEvents = 0; // "ObservedEvents": value or missing
    double failed = 0;         // cumulative events
    double left = 0;           // frequency not yet passed
    double eventsAtTime = 0;   // events accumulated at the current time (slot 21)
    double lcl = 0, ucl = 0;   // pointwise limits at an event time
    double dH = 0, dvarH = 0;  // Nelson-Aalen increment d / Y and d / Y^2 (at an event time)
};

// One pass over the ranked records of a stratum. Call step(j) for
// j = 0 .. nobs-1 in order, then finish().
//
// Risk sets. The number at risk is never the total less the records passed:
// one record of frequency 1e12 would leave a residue of the order of its
// rounding in every later risk set. Before the pass the engine adds up, from
// the last ranked record down, the count still ahead of each position
// (frequency, or frequency x weight and frequency x weight squared with
// WEIGHT); the risk set at a time is read from that sum, which holds exactly
// the records not yet passed and is exactly 0 once none is left.
class PlEngine
{
  public:
    PlEngine(const PlData& data, const PlSettings& settings);
    const PlStep& step(int64_t j);
    void finish();

    const PlData& data() const { return d_; }
    const PlSettings& settings() const { return s_; }
    const PlStep& row() const { return r_; }
    // The stratum's total count (frequency, or frequency x weight).
    double total() const { return counted(total_); }
    // "Left" at a TIMELIST= value L shown on the row of ranked record j (the
    // last of its run): the count not yet passed after j less the records
    // after j whose time is at most L (their signed frequencies, times their
    // weights, added), formed in the pass's units and shown like the other
    // counts (missing where it cannot be held).
    double leftThrough(int64_t j, double L) const;
    // The record at ranked position j (from 0): time, signed frequency and
    // weight (1 without weights).
    double rankedTime(int64_t j) const { return rt_[j]; }
    double rankedFreq(int64_t j) const { return rf_[j]; }
    double rankedWeight(int64_t j) const { return rw_ ? rw_[j] / scale_ : 1.0; }
    // With weights whose sums would pass the largest double (or whose
    // squares would fall below the smallest), the pass runs on the weights
    // times a power of two: the estimates do not depend on the scale of the
    // weights, and the weighted counts are scaled back where they can be
    // held. True when a weighted count could not be, and shows missing.
    bool countsBeyondRange() const { return beyond_; }
    // Pointwise limits of a survival value with standard error sigma (missing
    // when the risk set is empty).
    void limits(double S, double sigma, bool emptied, double* lcl, double* ucl) const;

    // Results, complete after finish().
    double quant[3]; // 0: survival <= 0.25 (75th percentile), 1: median, 2: 25th percentile
    double qtlower[3];
    double qtupper[3];
    double mean = 0;
    double mse = 0;
    int biasCode = 0;
    int64_t eventTimes = 0; // distinct event times
    int64_t censoredRecords = 0;
    double censmax = 0;       // last censored time met (0 when none)
    double lastEventTime = 0; // 0 when none
    double largestTime = 0;
    double firstTime = 0;
    bool lastIsEvent = false;
    double lastEventRecordTime = 0; // time of the last ranked record with a positive frequency

  private:
    PlData d_;
    PlSettings s_;
    PlStep r_;
    QtTest test_ = nullptr;
    std::vector<double> ownAhead_, ownAhead2_, ownRanked_, ownScaled_;
    // The power of two the weights are multiplied by in the pass (1 but for
    // weights near the ends of the double range), and whether a weighted
    // count scaled back was past the largest double.
    double scale_ = 1;
    mutable bool beyond_ = false;
    // A weighted count of the pass in the weights' own units; missing where
    // it is past the largest double.
    double counted(double x) const;
    const double* rt_ = nullptr;     // times in rank order
    const double* rf_ = nullptr;     // signed frequencies in rank order
    const double* rw_ = nullptr;     // weights in rank order (null without weights)
    const double* ahead_ = nullptr;  // count still ahead of each ranked position (nobs + 1)
    const double* ahead2_ = nullptr; // the same of frequency x weight squared (WEIGHT)
    double S_ = 1, G_ = 0, R_ = 0, R2_ = 0, dd_ = 0, H_ = 0, W_ = 0;
    double Gmean_ = 0; // Greenwood sum of the mean's variance (never reset)
    double lastEvent_ = 0, prevTime_ = 0, snap_ = 0, failed_ = 0, left_ = 0, total_ = 0;
    double lambda_ = 0.75;
    int qi_ = 2;
    int qstate_[3] = {0, 0, 0};
    void quartilePoints(double time, double tprev, double Sprev);
    void quartileIntervals(double time, double sigma);
    void meanSums(double time, double tprev, double Sprev);
    void eventTime(PlStep& r, double time);
    double area_ = 0, B_ = 0, V_ = 0;
    double end_ = 0; // end of the mean's integration (restricted) or -1
    // The mean's sums are kept with the times divided by 2^timeExp_: 0 but
    // for times (or a TIMELIM= time) beyond [2^-256, 2^256], where the area
    // squared of the variance would overflow or vanish. The mean and its
    // standard error are turned back into the time's units at the end.
    int timeExp_ = 0;
    double inTimeUnit(double t) const { return timeExp_ == 0 ? t : std::ldexp(t, -timeExp_); }
};

// A full set of row values in the row-buffer layout the tables and OUTSURV=
// are bound to: io is copied whole into the common block's iovar, its slots
// named by pl_slot (results/slots.h).
struct RowBuf {
    double io[KORV_IOVAR_SLOTS];
    double cenchar = 0;
    double cenval = 0;
    int64_t idrec = 0; // 1-based record whose ID values go with the row; 0 none
    bool emptied = false;
    bool origin = false; // the time-0 row
    double G = 0;        // variance sum in force (the Hall-Wellner band's scale)
};

// Where the rows of a stratum go.
class PlSink
{
  public:
    virtual ~PlSink() = default;
    // A row of the printed estimates table.
    virtual void tableRow(const RowBuf& r) = 0;
    // An OUTSURV= observation; `word` is the transform word or eight blanks.
    virtual void outRow(const RowBuf& r, const char* word) = 0;
    // A plot-data point (time-0, censored record or event time).
    virtual void plotRow(const RowBuf& r) { (void)r; }
    // Called after each ranked record's computation.
    virtual void stepDone(const PlStep& st) { (void)st; }
};

// Output choices of one stratum.
struct PlOutputs {
    bool printed = false;             // the estimates table is printed
    bool outsurv = false;             // an OUTSURV= data set exists
    bool reduce = false;              // REDUCEOUT
    bool plot = false;                // plot-data rows wanted
    const double* timelist = nullptr; // TIMELIST= values, increasing
    int ntime = 0;
    const double* interval = nullptr; // INTERVALS=: 0 then the boundaries
    int ninter = 0;
    const PlBands* bands = nullptr; // the bands formed, or none
    // Hidden plot data (no PRINTPHANTOM) keep a censored record's row only
    // when the graph could draw its mark apart from the mark of the row
    // kept before it: another survival value, or another of `markColumns`
    // columns across [0, markEnd] (finer than any graph's pixels over that
    // range, which never exceeds the time axis). Rows the table of plot
    // data needs all the same are kept: the stratum's last, and the first
    // at or after each of `keepTimes` (ascending: at-risk ticks and the
    // band's end, whose rows take their counts from it).
    bool thinMarks = false;
    double markEnd = 0;
    std::vector<double> keepTimes;
};

// Columns of the thinned censoring marks across their time range.
inline constexpr double kMarkColumns = 4096;

// Runs the estimator over a stratum and delivers its rows; returns the
// engine's results through `engine`.
void korv_pl_run(PlEngine& engine, const PlOutputs& out, PlSink& sink);

// The records one product-limit estimator call works on: a stratum (its
// records reread into the common block's arrays), or one GROUP= level
// within the stratum (its records copied out of the stratum's).
struct PlUnit {
    STRATA* stratum = nullptr; // the stratum (of the group, on the GROUP= road)
    GRPTREE* group = nullptr;  // the GROUP= level estimated, or null
    const double* times = nullptr;
    const double* freqs = nullptr;   // signed (censored negative)
    const double* weights = nullptr; // read with WEIGHT only
    const char* ids = nullptr;       // idlen bytes per record, or null
    const int64_t* indxs = nullptr;  // rank index over positions 1..nobs
    int64_t nobs = 0;
    double cum = 0, cen = 0, cumwt = 0, cumwt2 = 0;
    // The counts still ahead of each ranked position (nobs + 1; ahead2 of
    // frequency x weight squared, with WEIGHT) when they were added up with
    // the records; null: the estimator adds them up.
    double* ahead = nullptr;
    double* ahead2 = nullptr;
};

// The estimates of a unit, delivered to the estimates table, OUTSURV=, the
// plot data, the quartiles and means tables, and its results kept in the
// stratum or group node. A stratum also gets its line-printer plot points,
// and its plot-data table is output here; a group's plot rows are left in
// the stratum's plot-data object for the GROUP= driver to output.
void korv_pl_estimate(KorvPtr q, const PlUnit& u, bool weighted);

} // namespace korv_est
