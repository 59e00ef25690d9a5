// The comparisons of survival curves (DIFF=, ADJUST=): the driver that the
// tests across strata call (MultipleComparisons, the one call into this room
// from another stage), the comparisons and table of one test, and the lookup
// of a DIFF=CONTROL value.
#pragma once

#include "common/korvcom.h"
#include "mcomp/zmclsm.h"

// The most comparisons of one test's table unless the system option
// MAXCOMPARISONS= says otherwise (0 there for no limit); past the limit the
// comparisons are left out with a warning before any estimate is made.
inline constexpr double KORV_MC_MAX_COMPARISONS = 100000;

// The comparisons of the strata or GROUP= levels of each test, from the
// scores the tests saved, after the tests' tables; polhomo is the tests' pool,
// which holds the arrays of the saved scores. Returns 0.
int MultipleComparisons(KorvPtr q, int nstrata, POOLHANDLE* polhomo);

// The comparisons of one test whose saved record is in lmc->var and
// lmc->mean, and its table; `test` names the test ("Logrank", "Wilcoxon",
// "Tarone", "Peto", "ModPeto" or "Fleming").
void Diff(KorvPtr q, int nstrata, ZMCLSMI* lmc, xobskey test);
// The 0-based level named by the DIFF=CONTROL values (0, with a warning,
// when none matches); also stored in SURVDIFF.idxcntl.
int findIndex(KorvPtr q);
