// Distributions behind the simultaneous confidence bands of a survival
// function: the supremum of the absolute value of a Brownian bridge over
// [0, A] or [ALow, AHigh], the Kolmogorov limiting distribution, and the
// critical value of the standardised bridge (Miller-Siegmund approximation).
#pragma once

struct ARG_KOLMOGOROV_B {
    int Objective = 1; // 1 probability at Quantile, 2 quantile of Prob
    double Quantile = 0;
    double Prob = 0;
    double A = 0; // upper end of the interval, 0 < A <= 1
    double UserProb = 0;
    double MultiplierUp = 0;
    double MultiplierDown = 0;
};

struct ARG_WIENER_BRIDGE {
    int Objective = 1; // 1 probability, 2 quantile, 3 both
    double Quantile = 0;
    double Prob = 0;
    double ALow = 0, AHigh = 0; // 0 <= ALow < AHigh <= 1
    double ALowP = 0, SqrtALowP = 0, SqrtALow = 0;
    double AHighP = 0, SqrtAHighP = 0;
    double u = 0, v = 0;
    double Rho = 0;
    double Deltau = 0, Deltav = 0;
    double TargetProb = 0;
    double MultiplierUp = 0, MultiplierDown = 0;
};

// K(lambda), the Kolmogorov limiting distribution.
double zprbksa(double lamda);
// 0 success, 1 failure, 1000 when A < 1.053671212772351e-8.
int zprbksb(ARG_KOLMOGOROV_B* q);
// 0 success, 1 failure.
int zprbwbr(ARG_WIENER_BRIDGE* wbr);
// 0 success, 1 failure (quantile = missing value).
int zqmsa(double a1, double a2, double alpha, double* quantile);
