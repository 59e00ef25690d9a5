// Line-printer plots: the frames of a BY group's plots (korvcp, korvplt),
// the curves drawn into them and printed (korvfp) and the strata legend
// (korvleg); the stages are declared in common/stages.h. This header holds
// the room's own helpers, which the tests call too, and the legend the tests
// across strata print (korv_lp_tests_legend), the one call into this room
// from another stage.
#pragma once

#include "common/korvcom.h"
#include "runtime/pgraf.h"

// 1 when value is missing or lies outside [lower - 1e-10, upper + 1e-10].
int bound1(double lower, double upper, double value);
// 1 when value is missing or not strictly inside (lower, upper).
int bound2(double lower, double upper, double value);
// ln(value), or the missing value for a missing value or one not above 0.
double clog(double value);
// -ln(value), or the missing value as for clog.
double cneglog(double value);

// Draws a line of characters from (x0, y0) to (x1, y1): plotchar[0] at the
// first end, plotchar[2] at the second (an end over another character
// becomes '*', unless it is the same character), plotchar[1] in the blank
// cells between.
void zpgrafl(PGRAFSTR* pgraf, double x0, double y0, double x1, double y1, const char* plotchar);

// The form characters of the step: the FORMCHAR option with the PROC
// statement's FORMCHAR= over it; nfch of them into setform.
void korv_formchar(KorvPtr q, char* setform, int nfch);

// The line-printer plots of a group, in the order they are printed.
enum class LpPlot : int { Survival, Censored, LogSurvival, LogLogSurvival, Hazard, Density };
// The plot's output name ("SurvivalPlot", ...).
const char* korv_lp_name(LpPlot plot);

// The strata legend without the symbol column: the tests across strata
// print it after their tables when they number strata of several STRATA
// variables.
void korv_lp_tests_legend(KorvPtr q);
