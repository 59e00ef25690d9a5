// One-dimensional solvers: a quantile solver for monotone distribution-type
// functions (bracketing, then secant steps on the log-odds scale) and
// Brent's minimiser.
#pragma once

struct ARG_QUANT;
using QuantFn = int (*)(ARG_QUANT*);

struct ARG_QUANT {
    int targetType = 0; // 0 probability, 1 log lower-tail, 2 log upper-tail probability
    int DomainType = 1; // 1 real line (secant in q), 2 positive (secant in log q)
    int ErrorType = 0;  // 0, 1 (no bracket or no convergence), 12345677 (missing target, bad start)
    int SolutionIsBracketed = 0;
    int DoNotBracketedTheSolution = 0;
    double EpsQ = 0;
    double EpsProb = 0;
    double* TargetPtr = nullptr;
    double Target = 0, LeftTarget = 0, RightTarget = 0;
    double LogRatio = 0, LogRatioLeft = 0, LogRatioRight = 0, LogRatioTarget = 0;
    double UserTarget = 0;
    double MultiplierUp = 0, MultiplierDown = 0;
    double LeftQ = 0, Q = 0, RightQ = 0, InitialQ = 0, MaxPossibleQ = 0, MinPossibleQ = 0;
    void* UserPtr = nullptr;
    const char* Name = nullptr;
    bool Converged = false;
    QuantFn GetAnInitialGuess = nullptr;
    QuantFn ComputeTheFunction = nullptr;
    bool UseHybrid = false;
};

// 0 success (the solution in Q), otherwise 1, 12345677 or a callback's code.
int zquant(ARG_QUANT* qs);

using BrentFn = int (*)(double* result, void* fargs, double x);
// Minimises f over [min(ax, cx), max(ax, cx)] starting at bx. 0 converged,
// 1 maxiter reached (best point returned), or the callback's nonzero code.
int zbrent(BrentFn fptr, void* fargs, double ax, double bx, double cx, double tol, int maxiter,
           double* xmin, double* ymin);
