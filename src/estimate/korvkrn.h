// The kernel-smoothed hazard of one stratum: the Nelson-Aalen increments at
// the stratum's distinct event times smoothed with an Epanechnikov, uniform
// or biweight kernel, with boundary kernels near both ends of the grid; its
// pointwise variance; the cross-validation estimate of the mean integrated
// squared error (MISE) that chooses the bandwidth; and the stage that runs
// after a product-limit estimator, writes the HazardRate and MISE outputs
// and requests their graphs.
//
// The statistics read only the smoothing record (its arrays t, dH, dvarH of
// njmp entries, strictly ascending times, and its grid ends tl < tr), so
// they can be run on any arrays.
#pragma once

#include <string>

#include "common/korvcom.h"
#include "common/options.h"

struct STRATA;

namespace korv_est
{
struct PlStep;
}

// ---------------------------------------------------------------------------
// Kernels. x is the scaled distance (t - T) / b, |x| at most 1; q the
// distance to an end of the grid in bandwidths, 0 <= q <= 1. The boundary
// kernel is K(x) (alfa + beta x) at the lower end and K(x) (alfa - beta x)
// at the upper end; alfa = 1 and beta = 0 at q = 1.

void KerE(double x, double* kx); // 1 - x^2
void KerU(double x, double* kx); // 1
void KerB(double x, double* kx); // (1 - x^2)^2
void AsymE(double q, double* alfa, double* beta);
void AsymU(double q, double* alfa, double* beta);
void AsymB(double q, double* alfa, double* beta);

// The normalising constant c of a kernel code (0 Epanechnikov 0.75,
// 1 uniform 0.5, 2 biweight 0.9375); 0 for an unknown code. The cross term
// of the MISE uses 4 c.
double korv_kernel_c(int kernel);
// The kernel's name as shown ("Epanechnikov", "Uniform", "Biweight"); null
// for an unknown code.
const char* korv_kernel_name(int kernel);

// ---------------------------------------------------------------------------
// The smoothed hazard and its MISE over the arrays of the record.

// The smoothed hazard at t with bandwidth b: the missing value beyond the
// grid's upper end (by more than 1e-8) or for a non-positive b. A boundary
// estimate below 0 is 0.
double ephaz(double t, double b, const SMOOTHED* hazard);
// The same estimate, returned, and its variance written to var.
double varhaz(double t, double b, const SMOOTHED* hazard, double* var);
// The MISE estimate for bandwidth b into fb; fargs is the SMOOTHED record.
// Returns 0 (it does not fail).
int mise(double b, double* fb, void* fargs);
// Its cross term: the sum over pairs of event times in [tl, tr] no farther
// apart than b of K((Tj - Ti) / b) dHi dHj, in one pass over the times.
double korv_mise_cross(const SMOOTHED* s, double b);

// The standard error and the log-type limits h exp(-+ critical se / h) of
// an estimate h with variance var: the limits are missing where h is below
// 1.110223024625157e-16 or se / h is 5 or more, everything where h or var
// is missing.
void korv_smoothed_limits(double h, double var, double critical, double* se, double* lower,
                          double* upper);
// Grid point k of n from tl to tr: tl + k (tr - tl) / (n - 1), the last one
// tr itself (a running sum of steps would drift past tr on a large time
// scale).
double korv_smoothed_grid_point(double tl, double tr, int n, int k);

// The bandwidth the record chooses by minimising the MISE with Brent's
// method: the search interval is RANGE= or [0.2, 20] times the pilot
// bandwidth (tr - tl) / (8 n^0.2), n the number of events. Returns 0 with b
// set; 1 when there are no events (nothing to smooth); 2 when the search
// does not converge.
// The search range and where the chosen bandwidth lies in it: atEnd -1 or
// 1 when it is within the search's tolerance (2 x 0.01 of the bandwidth)
// of the lower or the upper end, 0 inside. The search finds a local
// minimum: one at an end may mean a smaller criterion beyond it.
struct MiseRange {
    double low = 0, high = 0;
    int atEnd = 0;
};
int korv_mise_minimum(SMOOTHED* s, double events, double* b, MiseRange* range = nullptr);

// ---------------------------------------------------------------------------
// The stage of one stratum.

// Binds the kernel of kmhaz->kernel into the record (called once after the
// statement reader has filled it); an unknown code binds nothing.
// Declared in common/stages.h as well.
void korvkrn(SMOOTHED* kmhaz);

// Collects the stratum's distinct event times, d/n and d/n^2 into the
// smoothing record while the estimator passes over the stratum (weighted
// counts under WEIGHT). Made before the pass; the arrays come from the
// group's work pool and go back to it at the end of the stage.
class SmoothedCollector
{
  public:
    SmoothedCollector(KorvPtr q, STRATA* node);
    void step(const korv_est::PlStep& st);

  private:
    SMOOTHED* s_;
    long n_ = 0;
};

// The most kernel terms the choice of a bandwidth may sum (NMINGRID=
// points x event times x bandwidths tried) when NMINGRID= is raised above
// its default: about ten seconds of work.
inline constexpr double KORV_MISE_WORK = 2e10;

// The BandwidthLabel of a row, at most 12 characters: "bw=" and the
// bandwidth with `timedec` decimals (more for a narrow one, fewer or the
// exponent form for one too wide for the label).
std::string korv_bandwidth_label(double b, int timedec);

// The smoothed-hazard stage of korvpl (weighted false) and korvwpl (true),
// after the stratum's other tables: grid, bandwidth, the HazardRate output,
// the MISE output of a bandwidth list, and with one stratum the graphs.
// Releases the collected arrays on every way out.
void korv_smoothed_stage(KorvPtr q, STRATA* node, bool weighted);

// The KernelSmoothedHazard output of the stratum for bandwidth b (node is
// passed along and not needed).
void ComputeSmoothedHazard(KorvPtr q, STRATA* node, SMOOTHED* kmhaz, double b);
