// Shared helpers of the core tests: records, their rank index, a whole run of
// the unweighted and weighted tests over plain arrays, and the example files
// and peer reference tables read through the tests' one reader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "homogeneity/homogeneity.h"
#include "support/reference.h"

namespace homtest
{

struct Records {
    std::vector<double> time, freq, wt;
    std::vector<int32_t> level;
    void add(double t, double f, int64_t h, double w = 1.0)
    {
        time.push_back(t);
        freq.push_back(f);
        level.push_back(static_cast<int32_t>(h));
        wt.push_back(w);
    }
    int64_t n() const { return static_cast<int64_t>(time.size()); }
};

// The rank index: by increasing time, at equal times by decreasing signed
// frequency; an entry is negated when the next place has the same time and
// the same status.
inline std::vector<int64_t> rank_index(const Records& r)
{
    std::vector<int64_t> order(r.n());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
        if (r.time[a] != r.time[b])
            return r.time[a] < r.time[b];
        return r.freq[a] > r.freq[b];
    });
    std::vector<int64_t> j(r.n());
    for (int64_t p = 0; p < r.n(); ++p) {
        j[p] = order[p] + 1;
        if (p + 1 < r.n()) {
            const int64_t a = order[p], b = order[p + 1];
            if (r.time[a] == r.time[b] && (r.freq[a] > 0) == (r.freq[b] > 0))
                j[p] = -j[p];
        }
    }
    return j;
}

// Every bordered block of one run.
struct Result {
    int k = 0;
    std::vector<double> lr, wil, tar, peto, mpeto, flem;
    HomLR lrt;
    // The unit of the weighted blocks (HomWeightUnit): exp 0 for weights
    // within [2^-64, 2^64].
    HomWeightUnit unit;
    const double* scores(const std::vector<double>& b) const
    {
        return b.data() + korv_score_offset(k);
    }
};

inline void keep(void* ctx, double d, double n)
{
    auto* v = static_cast<std::vector<double>*>(ctx);
    v->push_back(d);
    v->push_back(n);
}

// The unweighted tests across k levels, as the test routine runs them.
inline Result unweighted(const Records& r, int k, const double* fleming = nullptr)
{
    Result res;
    res.k = k;
    const int64_t bs = korv_block_size(k);
    for (auto* v : {&res.lr, &res.wil, &res.tar, &res.peto, &res.mpeto, &res.flem})
        v->assign(bs, 0.0);
    HomBlocks b{res.lr.data(),   res.wil.data(),   res.tar.data(),
                res.peto.data(), res.mpeto.data(), res.flem.data()};
    std::vector<double> risk(k), die(k), work;
    auto j = rank_index(r);
    int64_t nfail = korv_hom_first_pass(k, r.n(), r.freq.data(), r.level.data(), j.data(),
                                        risk.data(), die.data(), b, keep, &work);
    work.resize(2 * (nfail + 1));
    korv_hom_pooled_survival(work.data(), nfail);
    korv_hom_second_pass(k, r.n(), r.freq.data(), r.level.data(), j.data(), risk.data(), die.data(),
                         work.data(), fleming, b);
    // Likelihood-ratio totals level by level.
    for (int h = 0; h < k; ++h) {
        std::vector<double> t, f;
        double events = 0;
        for (int64_t i = 0; i < r.n(); ++i)
            if (r.level[i] == h) {
                t.push_back(r.time[i]);
                f.push_back(r.freq[i]);
                if (r.freq[i] > 0)
                    events += r.freq[i];
            }
        korv_lr_add(&res.lrt, t.data(), f.data(), static_cast<int64_t>(t.size()), events);
    }
    korv_lr_finish(&res.lrt);
    return res;
}

inline Result weighted(const Records& r, int k)
{
    Result res;
    res.k = k;
    const int64_t bs = korv_block_size(k);
    for (auto* v : {&res.lr, &res.wil, &res.tar})
        v->assign(bs, 0.0);
    std::vector<double> a(k), b(k), c(k);
    auto j = rank_index(r);
    korv_hom_weighted_pass(k, r.n(), r.freq.data(), r.wt.data(), r.level.data(), j.data(), a.data(),
                           b.data(), c.data(), res.lr.data(), res.wil.data(), res.tar.data(),
                           &res.unit);
    return res;
}

// Chi-square of a copy of a block (the sweep works in place).
inline KorvChiSq chisq(std::vector<double> block, int k, double singular = 1e-12)
{
    std::vector<char> dfs(k + 1);
    std::vector<double> work(k + 1);
    return korv_chisq(block.data(), k, singular, dfs.data(), work.data());
}

// ---------------------------------------------------------------------------
// Reference tables and example files, through the tests' one reader.
using Row = std::map<std::string, std::string>;
inline std::vector<Row> read_table(const std::string& name)
{
    return korvtest::Table(name).records();
}

inline std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, sep))
        out.push_back(item);
    return out;
}

// Records of an example file by the description of a reference row: levels
// of `group` in the order given (numbers compared as numbers), optional
// strata column (its values numbered in order of appearance into *strata).
inline Records example(const Row& ref, std::vector<int64_t>* strata = nullptr)
{
    auto rows = read_table("examples/" + ref.at("data") + ".csv");
    auto levels = split(ref.at("levels"), '|');
    std::vector<double> events;
    for (auto& e : split(ref.at("events"), '|'))
        events.push_back(std::stod(e));
    const std::string tv = ref.at("time"), sv = ref.at("status"), gv = ref.at("group");
    const std::string st = ref.count("strata") ? ref.at("strata") : "";
    std::map<std::string, int64_t> snum;
    Records r;
    for (auto& row : rows) {
        auto bad = [&](const std::string& c) { return row[c].empty() || row[c] == "NA"; };
        if (bad(tv) || bad(sv) || bad(gv) || (!st.empty() && bad(st)))
            continue;
        int64_t h = -1;
        for (size_t i = 0; i < levels.size(); ++i) {
            bool same = levels[i] == row[gv];
            if (!same) {
                char* e1 = nullptr;
                char* e2 = nullptr;
                double a = std::strtod(levels[i].c_str(), &e1),
                       b = std::strtod(row[gv].c_str(), &e2);
                same = *e1 == '\0' && *e2 == '\0' && a == b;
            }
            if (same)
                h = static_cast<int64_t>(i);
        }
        if (h < 0)
            continue;
        const double s = std::stod(row[sv]);
        const bool ev = std::find(events.begin(), events.end(), s) != events.end();
        r.add(std::stod(row[tv]), ev ? 1.0 : -1.0, h);
        if (strata) {
            auto it = snum.emplace(row[st], static_cast<int64_t>(snum.size())).first;
            strata->push_back(it->second);
        }
    }
    return r;
}

} // namespace homtest
