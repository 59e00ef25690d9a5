// Test helpers: samples from the example data sets and the reference files,
// ranking, and a run of the estimator that keeps every row.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "estimate/estimate.h"
#include "runtime/missing.h"
#include "support/reference.h"

namespace est_test
{

using korvtest::Table;

// A number of a table, the ordinary missing value where the table has none.
inline double value(const Table& t, size_t r, const std::string& col)
{
    const double v = t.num(r, col);
    return std::isnan(v) ? korv_missing() : v;
}

// One stratum's records in record order, ranked.
struct Sample {
    std::vector<double> times, freqs, weights;
    std::vector<int64_t> indxs;
    double cum = 0, cen = 0, cumwt = 0, cumwt2 = 0;

    void add(double t, bool event, double f = 1, double w = 1)
    {
        times.push_back(t);
        freqs.push_back(event ? f : -f);
        weights.push_back(w);
    }
    // Ranks the records: increasing time, events before censored records at
    // equal times, ties of the same kind negated except the last.
    void rank()
    {
        size_t n = times.size();
        std::vector<int64_t> ord(n);
        std::iota(ord.begin(), ord.end(), 0);
        std::stable_sort(ord.begin(), ord.end(), [&](int64_t a, int64_t b) {
            if (times[a] != times[b])
                return times[a] < times[b];
            return (freqs[a] > 0) && !(freqs[b] > 0);
        });
        indxs.assign(n, 0);
        for (size_t j = 0; j < n; ++j) {
            int64_t k = ord[j] + 1;
            bool tie = j + 1 < n && times[ord[j + 1]] == times[ord[j]] &&
                       ((freqs[ord[j + 1]] > 0) == (freqs[ord[j]] > 0));
            indxs[j] = tie ? -k : k;
        }
        cum = cen = cumwt = cumwt2 = 0;
        for (size_t i = 0; i < n; ++i) {
            double f = std::fabs(freqs[i]);
            cum += f;
            if (freqs[i] < 0)
                cen += f;
            cumwt += f * weights[i];
            cumwt2 += f * weights[i] * weights[i];
        }
    }
    korv_est::PlData data(bool weighted = false) const
    {
        korv_est::PlData d;
        d.times = times.data();
        d.freqs = freqs.data();
        d.weights = weighted ? weights.data() : nullptr;
        d.indxs = indxs.data();
        d.nobs = static_cast<int64_t>(times.size());
        d.cum = cum;
        d.cen = cen;
        d.cumwt = cumwt;
        d.cumwt2 = cumwt2;
        return d;
    }
};

// The sample of a reference case (the same subsets the R script takes).
// With `weight`, each record's weight is that column (records without a
// positive weight are left out, as the data pass leaves them out); with
// karnoWeights, karno / 50.
inline Sample caseSample(const std::string& id, bool karnoWeights = false,
                         const std::string& weight = "")
{
    struct Def {
        const char* id;
        const char* file;
        const char* time;
        const char* status;
        const char* event;
        const char* by;
        const char* value;
    };
    static const Def defs[] = {
        {"lung", "lung.csv", "time", "status", "2", nullptr, nullptr},
        {"lung_m", "lung.csv", "time", "status", "2", "sex", "1"},
        {"lung_f", "lung.csv", "time", "status", "2", "sex", "2"},
        {"veteran_1", "veteran.csv", "time", "status", "1", "trt", "1"},
        {"veteran_2", "veteran.csv", "time", "status", "1", "trt", "2"},
        {"veteran_w", "veteran.csv", "time", "status", "1", nullptr, nullptr},
        {"veteran", "veteran.csv", "time", "status", "1", nullptr, nullptr},
        {"aml", "aml.csv", "time", "status", "1", nullptr, nullptr},
        {"aml_m", "aml.csv", "time", "status", "1", "x", "Maintained"},
        {"aml_n", "aml.csv", "time", "status", "1", "x", "Nonmaintained"},
        {"ovarian", "ovarian.csv", "futime", "fustat", "1", nullptr, nullptr},
        {"colon", "colon.csv", "time", "status", "1", nullptr, nullptr},
        {"kidney", "kidney.csv", "time", "status", "1", nullptr, nullptr},
        {"tied_last", "tests/reference/bands_data.csv", "time", "event", "1", "case", "tied_last"},
    };
    Sample s;
    for (const Def& d : defs) {
        if (id != d.id)
            continue;
        // A file named without a folder is an example data set.
        const std::string file = d.file;
        Table c(file.find('/') == std::string::npos ? "examples/" + file : file);
        for (size_t r = 0; r < c.size(); ++r) {
            if (d.by && c.text(r, d.by) != d.value)
                continue;
            bool ev = c.text(r, d.status) == d.event;
            double w = karnoWeights ? c.num(r, "karno") / 50 : 1.0;
            if (!weight.empty()) {
                w = c.num(r, weight);
                if (!(w > 0))
                    continue;
            }
            s.add(c.num(r, d.time), ev, 1.0, w);
        }
    }
    s.rank();
    return s;
}

// Every step of a run, and the engine's results.
struct Result {
    std::vector<korv_est::PlStep> steps;
    std::vector<korv_est::PlStep> events; // the event-time steps only
    double quant[3], qtlower[3], qtupper[3];
    double mean, mse;
    int bias;
};

inline Result runEngine(const Sample& s, const korv_est::PlSettings& set)
{
    korv_est::PlEngine e(s.data(set.weighted), set);
    Result r;
    for (int64_t j = 0; j < static_cast<int64_t>(s.times.size()); ++j) {
        const korv_est::PlStep& st = e.step(j);
        r.steps.push_back(st);
        if (st.eventTime)
            r.events.push_back(st);
    }
    e.finish();
    for (int i = 0; i < 3; ++i) {
        r.quant[i] = e.quant[i];
        r.qtlower[i] = e.qtlower[i];
        r.qtupper[i] = e.qtupper[i];
    }
    r.mean = e.mean;
    r.mse = e.mse;
    r.bias = e.biasCode;
    return r;
}

// Relative agreement; two missing values agree.
inline bool close(double a, double b, double rel = 1e-10)
{
    bool ma = wzmis(a) || std::isnan(a), mb = wzmis(b) || std::isnan(b);
    if (ma || mb)
        return ma && mb;
    return std::fabs(a - b) <= rel * std::max(std::fabs(a), std::fabs(b)) + 1e-15;
}

} // namespace est_test
