// Result tables, output data sets and the censoring summary: what the
// procedure defines once at start-up (the tables of every kind of output,
// OUTSURV=, OUTTEST= and OUTCIF=) and the censoring summary it prints per BY
// group. Tables are data objects of the output layer whose columns are bound
// to fields of KORVCOM; a row is emitted by filling those fields and putting
// the row.
#pragma once

#include "common/korvcom.h"
#include "common/stages.h"
#include "vyr_output.h"

struct CMPRISK;

// ---------------------------------------------------------------------------
// Table definitions (at start-up, after the variables are resolved).

// korvprl (common/stages.h) defines every result table of the run by the
// options (the decision table).
// The two branches of korvprl as functions of their own (without and with
// competing risks); korvprl does not call them.
void survprl(KorvPtr q);
void cifprl(KorvPtr q);

// Column helpers shared by the table definers.
void DefineStrataVars(KorvPtr q, xobop table, int hide);
void DefineGroupVar(KorvPtr q, xobop table);
void DefineTestColumn(KorvPtr q, xobop table);
void DefineStatusVar(CMPRISK* cmprisk, xobop table, int print);
// Length of the "Test" column: the longest label of the requested tests,
// at least 10 and at most 32.
int TestColumnLength(KorvPtr q);

// Survival estimates, quartiles, means, censoring summary, legend.
void SurvTblPL(KorvPtr q);
void SurvTblLT(KorvPtr q);
void Quantile(KorvPtr q);
void Mean(KorvPtr q);
void Summary(KorvPtr q);
void Legend(KorvPtr q);

// Tests.
void HomTest(KorvPtr q);
void HomStat(KorvPtr q);
void TrendScore(KorvPtr q);
void TrendTest(KorvPtr q);
void SurvDiff(KorvPtr q);
void UniChi(KorvPtr q, const char* test);
void Step(KorvPtr q, const char* test);

// Smoothed hazards.
void HazardRate(KorvPtr q);
void BandwidthGrid(KorvPtr q);
// The stratum-label buffer KORVCOM.ogstrlab, made on first use (nothing
// without STRATA variables). Its length leaves room for every label the
// writers put there: the formatted key, a 4-byte prefix when at-risk times
// are requested, and for each STRATA variable 2 bytes plus the longer of its
// name and label. Allocation failure ends the step with 1016.
varstring* korv_ogstrlab(KorvPtr q);

// Competing risks.
void FailureSummary(KorvPtr q);
void cifTbl(KorvPtr q);
void cifPhantom(KorvPtr q);

// ---------------------------------------------------------------------------
// Output data sets (at start-up, after the tables).
// korvout (common/stages.h) defines them by calling:
void Outsurv(KorvPtr q);
void Outcif(KorvPtr q);

// Byte offsets of the OUTCIF= row record (96 bytes) that the writer hands to
// xyvput with each row.
enum : int {
    OUTCIF_TIME = 0,
    OUTCIF_CIF = 8,
    OUTCIF_STDERR = 16,
    OUTCIF_LCL = 24,
    OUTCIF_UCL = 32,
    OUTCIF_ATRISK = 40,
    OUTCIF_EVENT = 48,
    OUTCIF_ALLEVENTS = 56,
    OUTCIF_CENSORED = 64,
    OUTCIF_TIMELIST = 72,
    OUTCIF_ALPHA = 80,
    OUTCIF_CONFTYPE = 88,
    OUTCIF_RECORD = 96,
};

// ---------------------------------------------------------------------------
// Censoring summary of a BY group (survival road, printing on): korvsum in
// common/stages.h, which calls noGroup without GROUP=.
void noGroup(KorvPtr q);
