// The stages the procedure frame hands its work to, declared once. The frame
// calls a stage only through these declarations and each stage's room
// defines it, so the wiring is explicit: a stage whose definition does not
// match its declaration here leaves the declared function undefined and the
// link fails. A stage that is not built yet is defined by a named stub in the
// room it will belong to (its stubs.cpp); the stub refuses the request with a
// message naming the feature (korv_refuse) and never passes it over.
//
// Which features a build holds is told by the korv_built_* flags: each flag
// is defined beside its stages (true beside the real ones, false beside the
// stubs), so that the frame can refuse a request before any of its output is
// made. Moving a feature from stub to stage moves its flag with it.
#pragma once

struct KORVCOM;
struct STRATA;
struct SMOOTHED;
struct GRAFSTR;
struct POOLHANDLE;
struct NAMESTR;
typedef KORVCOM* KorvPtr;

// ---------------------------------------------------------------------------
// Features whose stages may be missing from a build, and their refusal.

enum class KorvFeature : int {
    LifeTable,           // METHOD=LIFE: error, the step ends
    GroupAnalysis,       // STRATA / GROUP=: error, the step ends
    CompetingRisks,      // TIME / FAILCODE: error, the step ends
    Association,         // TEST statement: warning
    ConfidenceBands,     // CONFBAND=: warning
    PlotBands,           // PLOTS=SURVIVAL(CB=, HW, EP): warning
    MultipleComparisons, // STRATA / DIFF=, ADJUST=: warning
    Graphs,              // output-layer graphs (asked for by default): note
    SmoothedHazard,      // PLOTS=HAZARD: warning
    RestrictedMeans,     // RMST, RMTL, PLOTS=RMST/RMTL: warning
    DeviceGraphics,      // PLOTS= with graphics off: warning
    GroupEstimates,      // STRATA / GROUP= with restricted means: warning, only they run
    LinePrinterPlots,    // PLOTS= with LINEPRINTER: warning
    Count
};

// Refuses a requested feature that this build lacks: the first refusal of a
// feature in a step logs its message (naming the feature) and raises the
// step's return code (4 for a warning, 2000 for an error); an error then
// ends the step. Later refusals of the same feature in the step say nothing
// more. A null q stands for the common block of the running step.
void korv_refuse(KorvPtr q, KorvFeature feature);

extern const bool korv_built_lifetable;   // korvtb (estimate)
extern const bool korv_built_group;       // korvxsg, korvpbg, korvpsg (estimate)
extern const bool korv_built_cmprisk;     // korvcit, korvcif (cmprisk); korvdac (frame)
extern const bool korv_built_association; // korvtes (homogeneity)
extern const bool korv_built_bands;       // BandCritVal (estimate)
extern const bool korv_built_comparisons; // MultipleComparisons (mcomp)
extern const bool korv_built_graphs;      // StratifiedSurvival, korvmxt (estimate)
extern const bool korv_built_smoothed;    // korvkrn, StratifiedSmoothedHazard (estimate)
extern const bool korv_built_rmst;        // korvrms (rmst)
extern const bool korv_built_lineprinter; // korvcp, korvplt, korvfp, korvleg (lpplot)
extern const bool korv_built_devplot;     // korvgp1, zggrend (devplot)

// ---------------------------------------------------------------------------
// Set-up, once per step after the statements are read (results).

// Defines every result table of the run.
void korvprl(KorvPtr q);
// Defines the variables of every output data set.
void korvout(KorvPtr q);
// Binds the kernel of the smoothed hazard (estimate); called by the
// statement reader when PLOTS=HAZARD makes the smoothing record.
void korvkrn(SMOOTHED* s);
// Refuses an NGRID= whose smoothed-hazard table of one stratum would pass
// the step's table memory (estimate): the message names NGRID= and
// MEMSIZE=, and the step ends.
void korv_check_grid_memory(KorvPtr q, const SMOOTHED* s);

// ---------------------------------------------------------------------------
// Survival road, once per BY group before the strata.

// At-risk tick times of the survival graphs (estimate).
void korvmxt(KorvPtr q);
// Graph dynamics of the GROUP= levels (estimate).
void korvpbg(KorvPtr q);
// Frame of the line-printer plot of censored observations (lpplot).
void korvcp(KorvPtr q);

// Warns, before any estimate, when the tests across strata would need more
// memory than they may take for this many strata; for many strata that fit,
// says what the tests will take (homogeneity).
void korv_hom_announce(KorvPtr q);
// The same for the tests across many GROUP= levels that fit (homogeneity).
void korv_group_announce(KorvPtr q);
// Says, before any estimate, how many comparisons DIFF= will make when they
// are many, and warns when they are more than may be made (mcomp).
void korv_mc_announce(KorvPtr q);

// ---------------------------------------------------------------------------
// Survival road, once per stratum.

// The stratum label (into q->stratumid->label), the graph label
// (q->ogstrlab) and the stratum's text key (q->ogstat->strval); returns the
// label's length (common, shared with the estimators and the competing
// risks).
int korvut(KorvPtr q, STRATA* node);
// Product-limit, Breslow or Fleming-Harrington estimates (estimate).
void korvpl(KorvPtr q, STRATA* node);
// The same with a WEIGHT variable (estimate).
void korvwpl(KorvPtr q, STRATA* node);
// Life-table estimates (estimate).
void korvtb(KorvPtr q, STRATA* node);
// The GROUP= road of one stratum, instead of reread and estimation
// (estimate).
void korvxsg(KorvPtr q, STRATA* node);
// Scores of the TEST covariates (homogeneity).
void korvtes(KorvPtr q, STRATA* node);
// Critical values and time range of the confidence bands of a stratum,
// called by the estimators (estimate).
void BandCritVal(KorvPtr q, int confband, STRATA* node, double* bandmintime, double* bandmintime2,
                 double* bandmaxtime, double* HWCrit, double* EPCrit);

// ---------------------------------------------------------------------------
// Survival road, once per BY group after the strata.

// Censoring summary (results).
void korvsum(KorvPtr q);
// Line-printer plot frames, the plots, and the strata legend with the
// symbol column (flag 1) after them (lpplot). The tests' legend, without the
// symbols, is theirs to call from lpplot/lpplot.h.
void korvplt(KorvPtr q);
void korvfp(KorvPtr q);
void korvleg(KorvPtr q, int flag);
// Device graphics of the group (devplot): 0, or 1 to 3 for message 326/141
// to 143.
int korvgp1(KorvPtr q);
// Tests of equal survival across strata (homogeneity).
void korvpol(KorvPtr q);
// The multiple comparisons of the strata are called by the tests, not the
// frame: MultipleComparisons in mcomp/survdiff.h.
// Graphs across strata (estimate).
void StratifiedSurvival(KorvPtr q);
void StratifiedSmoothedHazard(KorvPtr q);
void korvpsg(KorvPtr q);

// ---------------------------------------------------------------------------
// Competing-risks road, once per BY group.

// The data pass (frame): 0, or non-zero when the group has nothing to
// analyse.
int korvdac(KorvPtr q);
// Gray's test and the cumulative incidence (cmprisk).
void korvcit(KorvPtr q);
void korvcif(KorvPtr q);
// Sets the output heading to a variable's label or name and a formatted
// value: the heading of a failure type's output (cmprisk).
void korvct2(KorvPtr q, NAMESTR* nm, double value);

// ---------------------------------------------------------------------------
// Both roads.

// Restricted means of the BY group; does nothing when none were asked for
// (rmst).
void korvrms(KorvPtr q);
// Ends device graphics after the last BY group; returns a status (devplot).
int zggrend(GRAFSTR** graphics);
