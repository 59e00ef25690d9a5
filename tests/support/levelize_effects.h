// A model builder for the tests of the effect part of the levelization
// library: classification and continuous variables of a data set, effects
// over them (crossed, nested, continuous, effect variables) and constructed
// effect variables, read through zlevrgi and zlevrgd like a client would.
// Header-only; used by the tests of tests/levelize/effects.
#pragma once

#include "support/levelize_harness.h"
#include "support/reference.h"
#include "support/step_probe.h"

#include <cmath>
#include <deque>
#include <string>
#include <vector>

namespace eff
{

inline std::string data_path()
{
    return lev::source_dir() + "/tests/reference/levelize_data.csv";
}

struct Effect {
    Effect(std::vector<int> c = {}, std::vector<int> n = {}, std::vector<int> x = {},
           std::vector<int> e = {}, std::string nm = {})
        : cros(std::move(c)), nest(std::move(n)), cont(std::move(x)), efct(std::move(e)),
          name(std::move(nm))
    {
    }
    std::vector<int> cros, nest, cont, efct;
    std::string name;
};

struct Builder {
    DSHANDLE* ds = nullptr;
    POOLHANDLE* pool = nullptr;
    std::deque<std::vector<int>> ints; // stable storage for index lists
    std::deque<std::string> names;
    std::vector<ZLEVVAR> clas, cont, ys;
    std::vector<ZLEVETRM> ef;
    std::vector<ZLEVEFTVAR> eft;
    ZLEVVAR wv{}, fv{};
    ZLEVMOD m{};
    ZLEVDAT d{};
    ZLEVREGI r{};

    // Opens the data set's first BY group.
    explicit Builder(const std::string& path = data_path())
    {
        Exported_QXHandle = vyr_kernel_handle();
        ds = lev::open(path);
        EXPECT_EQ(xbynext(ds), 1);
        pool = xmpoolc(0, 1024, 0);
        m.order = 'M';
        m.vlen = -1;
    }
    ~Builder()
    {
        if (pool)
            xmpoold(pool);
    }

    ZLEVVAR variable(const std::string& name)
    {
        ZLEVVAR v{};
        v.n = xvname(ds, xvfind(ds, name));
        EXPECT_NE(v.n, nullptr) << name;
        v.ref = ZLEV_REF_LAST;
        return v;
    }
    int add_class(const std::string& name, int param = 0)
    {
        clas.push_back(variable(name));
        clas.back().param = param;
        return static_cast<int>(clas.size()) - 1;
    }
    int add_cont(const std::string& name)
    {
        cont.push_back(variable(name));
        return static_cast<int>(cont.size()) - 1;
    }
    int* list(const std::vector<int>& v)
    {
        ints.push_back(v.empty() ? std::vector<int>{0} : v);
        return ints.back().data();
    }
    int add_effect(const Effect& e)
    {
        ZLEVETRM t{};
        t.ncros = static_cast<int>(e.cros.size());
        t.cros = list(e.cros);
        t.nnest = static_cast<int>(e.nest.size());
        t.nest = list(e.nest);
        std::vector<int> all = e.cros;
        all.insert(all.end(), e.nest.begin(), e.nest.end());
        t.nclas = static_cast<int>(all.size());
        t.clas = list(all);
        t.ncont = static_cast<int>(e.cont.size());
        t.cont = list(e.cont);
        t.nefct = static_cast<int>(e.efct.size());
        t.efct = list(e.efct);
        names.push_back(e.name);
        t.name = {names.back().data(), static_cast<int>(names.back().size())};
        ef.push_back(t);
        return static_cast<int>(ef.size()) - 1;
    }
    int add_eft(ZLEVEFTVAR v, const std::vector<int>& contList = {},
                const std::vector<int>& clasList = {}, const std::string& name = "e")
    {
        v.ncont = static_cast<int>(contList.size());
        v.cont = list(contList);
        v.nclas = static_cast<int>(clasList.size());
        v.clas = list(clasList);
        names.push_back(name);
        v.name = {names.back().data(), static_cast<int>(names.back().size())};
        v.splitSource = -1;
        eft.push_back(v);
        return static_cast<int>(eft.size()) - 1;
    }
    void responses(const std::vector<std::string>& list)
    {
        for (const auto& n : list) {
            ZLEVVAR v{};
            v.n = xvname(ds, xvfind(ds, n));
            ys.push_back(v);
        }
    }
    void weight(const std::string& name)
    {
        wv = variable(name);
        r.w = &wv;
        r.nwgt = 1;
    }
    void freq(const std::string& name)
    {
        fv = variable(name);
        r.f = &fv;
    }

    // zlevrgi over what was added.
    int init(unsigned char opt0 = 0, unsigned char opt1 = 0)
    {
        m.clas = {static_cast<int>(clas.size()), clas.data()};
        m.cont = {static_cast<int>(cont.size()), cont.data()};
        m.nef = static_cast<int>(ef.size());
        m.ef = ef.data();
        m.eft = {static_cast<int>(eft.size()), eft.data()};
        m.opt[0] = static_cast<char>(m.opt[0] | opt0);
        m.opt[1] = static_cast<char>(m.opt[1] | opt1);
        d.fid = ds;
        d.pool = pool;
        r.d = &d;
        r.m = &m;
        r.y = {static_cast<int>(ys.size()), ys.data()};
        return zlevrgi(&r);
    }

    // Calls fn for every observation of the group after zlevrgd.
    template <typename F>
    void each(F fn, double* y = nullptr, double* w = nullptr, double* f = nullptr)
    {
        xbyrwnd(ds, 66);
        int obs = 0;
        while (xybyget(ds) == 0)
            fn(obs++, zlevrgd(&r, y, w, f));
    }

    // The design rows of the group.
    std::vector<std::vector<double>> rows()
    {
        std::vector<std::vector<double>> out;
        std::vector<double> row(static_cast<size_t>(std::max(m.p, 1)));
        each([&](int, int) {
            zlevrgx(&r, nullptr, nullptr, row.data());
            out.emplace_back(row.begin(), row.begin() + m.p);
        });
        return out;
    }
};

inline double missing()
{
    return korv_missing();
}

// A spline control with no knot bounds.
inline ZLEVSPLINECONTROL spline(int degree, int K, char method, char basis = 1)
{
    ZLEVSPLINECONTROL s{};
    s.degree = degree;
    s.nSpecifiedKnots = K;
    s.knotMethod = method;
    s.basisType = basis;
    s.knotMin = korv_missing();
    s.knotMax = korv_missing();
    return s;
}

// The layout of a polynomial of n variables up to degree D: nCumTerms[k]
// monomials of degree at most k, offset[k - 1][i] the column of the first
// monomial of degree k whose lowest variable is i.
struct PolyLayout {
    std::vector<int> cum;
    std::vector<std::vector<int>> rows;
    std::vector<int*> offset;
    PolyLayout(int n, int D)
    {
        // count[k][i]: monomials of degree k whose lowest variable is >= i.
        std::vector<std::vector<long>> count(static_cast<size_t>(D) + 1,
                                             std::vector<long>(static_cast<size_t>(n) + 1, 0));
        for (int i = 0; i <= n; ++i)
            count[0][static_cast<size_t>(i)] = 1;
        for (int k = 1; k <= D; ++k)
            for (int i = n - 1; i >= 0; --i)
                count[k][i] = count[k - 1][i] + count[k][i + 1];
        cum.assign(static_cast<size_t>(D) + 1, 0);
        for (int k = 1; k <= D; ++k)
            cum[k] = cum[k - 1] + static_cast<int>(count[k][0]);
        for (int k = 1; k < D; ++k) {
            std::vector<int> row(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i)
                row[i] = cum[k - 1] + static_cast<int>(count[k][0] - count[k][i]);
            rows.push_back(row);
        }
        for (auto& r : rows)
            offset.push_back(r.data());
    }
    void fill(ZLEVPOLYCONTROL& pc, int n, int D)
    {
        pc.nVars = n;
        pc.degree = D;
        pc.nCumTerms = cum.data();
        pc.offset = offset.empty() ? nullptr : offset.data();
    }
};

} // namespace eff
