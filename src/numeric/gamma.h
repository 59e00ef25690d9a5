// The incomplete gamma function and what is built on it: chi-square upper
// tails, gamma probabilities, densities and quantiles on the log scale,
// log-gamma, Stirling's correction and small accurate helpers.
#pragma once

struct shrdarg;

// Request record of zloggam.
struct ARGGAM {
    int Objective = 0; // 1 probability, 2 log density, 4 quantile of Prob, 8 of targetSDF
    double Prob = 0;
    double z = 0;
    double a = 0;
    double lpl = 0, lpr = 0, ldens = 0;
    double eps = 0;
    double targetSDF = 0;
    double am1 = 0;
    double f = 0;
    double sc = 0;
    int left = 0;
    int method = 0; // 0 series, 2 Wilson-Hilferty, 3 upper fraction, 4 lower fraction, 5 quadrature
    int scale = 0;
    double MultiplierUp = 0, MultiplierDown = 0;
    shrdarg* qs = nullptr;
    int CalculatedTheMeanAndStdDeviation = 0;
    double Mean = 0, StdDeviation = 0;
    double AbsoluteLowerBound = 0;
    double QuantileEps = 0;
};

double zpgx2(double chisq, long df);
double zpgx2f(double chisq, double df);
double zpgx2DF1(double ChiSq);
// p = P(a, z), pr = Q(a, z), d = density. 0 success, 1 failure (p = pr = -2, d = 0).
int zigamma(double z, double a, double* p, double* pr, double* d);
// Wilson-Hilferty approximation with a correction term: returns the lower
// tail of gamma(a) at z; pr receives the upper tail.
double wilhil(double a, double z, double* pr);
int zloggam(ARGGAM* qgam);
int zldngam(double x, double df, double* ldens);
double zlgamma(double x);
double zlgbern(double x);
int zlgammaMV(double a, int m, double* Result);
double zln1px(double z);
double zexpm1(double x);
double zlnSumOfExp(double x1, double x2);

// The quadrature fallback of the log-scale probabilities (normally reached
// only when the series and continued fractions fail); exposed for testing.
int zintgam(ARGGAM* qgam);
