// Life-table interval boundaries from WIDTH= or NINTERVAL= once a BY group's
// largest time is known.
#pragma once

#include <cstdint>

struct KORVCOM;

// The most boundaries a width or a count may produce. More would ask for
// arrays no table could show.
inline constexpr int KORV_MAX_INTERVALS = 100000;

// Result of the boundary computation.
struct IntervalPlan {
    int status;   // 0 ok; 1 the width or count would give more than the limit;
                  // 2 the largest time or the width is not a finite positive number;
                  // 3 a boundary above the largest time would be past the
                  // largest double
    int ninter;   // number of boundaries
    double width; // interval width
};

// Works out the number of boundaries and the width: with `zwidth` from the
// width `width`, else from the requested count `ninter`.
IntervalPlan korv_interval_plan(double maxobstime, bool zwidth, double width, int ninter);

// Boundary k of intervals of width `width`: k times the width, as the double
// nearest to the decimal boundary where the width is a short decimal (3 x 0.2
// gives 0.6), so that a time equal to a printed boundary opens its interval.
double korv_interval_bound(int k, double width);

// Fills boundaries[0..ninter-1]: 0, width, 2 width, ... (korv_interval_bound).
void korv_interval_fill(double* boundaries, int ninter, double width);

// Records the NINTERVAL= request at set-up (the common block's count is
// overwritten per BY group).
void korv_set_ninterval_request(int n);

// Sets KORVCOM.interval, ninter, width and tmin for the current BY group;
// the boundary array comes from the group's node pool. Returns 0, or a
// non-zero status after printing a message (the group cannot be analysed).
int getinter(KORVCOM* q);
