// The standard normal distribution: distribution function, error functions,
// log-scale tails, Mills ratio, quantile, inverse Gaussian distribution
// function, differences of probabilities and finite normal mixtures.
#pragma once

double zprbnrm(double x);
double zferf(double x);
double zferfc(double x);
// jint 0: erf(x); any other value: erfc(x).
void calerf(double x, double* result, int jint);
// log Phi(x), log(1 - Phi(x)), log phi(x). 0 success, 1 when the continued
// fraction of the far tail did not converge (values still stored).
int zlognrm(double x, double* lpl, double* lpr, double* ldens);
double zprobit(double p);
double szprobit(double p);
// (1 - Phi(x)) / phi(x). 0 success, 1 no convergence (last convergent stored).
int zmillsr(double x, double* ratio);
int zcnfmill(double x, double* ratio);
// Inverse Gaussian distribution function, mean 1 and shape d, at x.
double zprbigs(double x, double d);
// Phi(a) - Phi(b); PreciseDelta is a - b as the caller knows it.
double DiffNormal(double a, double b, double PreciseDelta);

// Request record of zmxnorm (a finite mixture of normal distributions).
struct NORMAL_MIX_ARG {
    int State = 0;    // bit 1: verified
    int Purpose = 0;  // bit 2: quantile of Probability; bit 4: of targetSDF
    int Shooting = 0; // 1 log lower tail, 2 lower tail with density ratio, 3 log upper tail
    double InitialGuess = 0, Quantile = 0, QTarget = 0, Probability = 0, targetSDF = 0,
           LogRatio = 0;
    long n = 0;
    double Right = 0, Left = 0, LeftSupport = 0, RightSupport = 0;
    double* Proportions = nullptr;
    double* Mu = nullptr;
    double* Sigma = nullptr;
    double LogLeftPr = 0, LogRightPr = 0, LogDensity = 0;
};
int zmxnorm(NORMAL_MIX_ARG* q);
