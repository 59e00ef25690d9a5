// A small harness over data sets for the levelization library: it levelizes
// the classification variables of a data set (a file of examples/ or a
// crafted CSV text with its attribute file) BY group by BY group, on one
// thread or with worker threads of a given number and buffer size, and
// hands back everything a level is: its text, frequency, first appearance,
// unformatted value, order, reference and coding, and the byte-sorted index.
// Used by the tests of tests/levelize/*; header-only.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_kernel.h"
#include "vyr_pool.h"

namespace lev
{

namespace fs = std::filesystem;

// A classification variable to levelize and how.
struct Var {
    Var(const char* n, int o = 'M') : name(n), order(o) {}
    std::string name;
    int order = 'M';
    int ref = ZLEV_REF_LAST;
    std::string refval;
    int param = 0;
    int desc = 0;
    int vlen = -1;
    int countmissing = 0;
    int ignoremissingness = 0;
    int nojust = 0;
};

struct Plan {
    std::vector<Var> vars;
    std::string freq;            // FREQ variable, or empty
    std::vector<std::string> by; // BY variables
    int threads = 0;             // 0: single thread; else worker count
    long nRecMax = 0;            // records per worker buffer (0: the library's choice)
    bool defaultReaders = false; // the levelizer reads the data set itself (xvget1v)
    unsigned char opt0 = 0, opt1 = 0;
};

// One level as the levelizer left it (before ordering), in tree order.
struct Node {
    std::string idx;
    long long freq;
    long long order;
    std::string truth; // the unformatted value's bytes
    bool operator==(const Node&) const = default;
};

// One classification variable's levels after ordering.
struct Levels {
    std::vector<Node> nodes;         // the level tree in key order
    std::vector<std::string> text;   // val.l, vlen bytes each
    std::vector<std::string> truth;  // true_, as bytes
    std::vector<std::string> sorted; // sl
    std::vector<int> lidx;
    int ref = 0;
    int ochmsg = 0;
    std::vector<double> col;
    bool operator==(const Levels&) const = default;
};

struct Group {
    std::vector<Levels> vars;
    bool operator==(const Group&) const = default;
};

struct Result {
    std::vector<Group> groups;
    int workers = 0; // workers of the last threaded pass (0: single thread)
    int rc = 0;      // read parameters' outcome
    int readFail = 0;
};

inline std::string bytes(const void* p, size_t n)
{
    return std::string(static_cast<const char*>(p), n);
}

inline std::string source_dir()
{
    const char* root = std::getenv("KORV_SOURCE_DIR");
    return root ? root : KORV_SOURCE_DIR;
}

// A folder of crafted data sets, removed at the end.
struct Folder {
    fs::path dir;
    Folder()
    {
        static int n = 0;
        dir = fs::temp_directory_path() /
              ("korv-lev-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
        fs::create_directories(dir);
    }
    ~Folder()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string write(const std::string& name, const std::string& text)
    {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    }
};

inline std::string trim(const std::string& s)
{
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos)
        return "";
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

inline DSHANDLE* open(const std::string& path)
{
    DSHANDLE* ds = nullptr;
    EXPECT_EQ(vyr_dsopen_path(path, VYR_DS_INPUT, &ds), 0) << path;
    return ds;
}

// The model's variables, made from a setup over a data set.
struct Model {
    std::vector<ZLEVVAR> clas;
    std::vector<std::string> refvals;
    ZLEVVAR freq{};
    ZLEVMOD m{};
    ZLEVDAT d{};
    ZLEVREGI r{};
    ZLEVREADPARMS rp{};

    Model(DSHANDLE* ds, const Plan& s, POOLHANDLE* pool)
    {
        clas.resize(s.vars.size());
        refvals.resize(s.vars.size());
        for (size_t j = 0; j < s.vars.size(); ++j) {
            const Var& v = s.vars[j];
            ZLEVVAR& z = clas[j];
            z = ZLEVVAR{};
            z.n = xvname(ds, xvfind(ds, v.name));
            EXPECT_NE(z.n, nullptr) << v.name;
            z.order = v.order;
            z.ref = v.ref;
            refvals[j] = v.refval;
            z.refval = {refvals[j].data(), static_cast<int>(refvals[j].size())};
            z.param = v.param;
            z.desc = v.desc;
            z.vlen = v.vlen;
            z.countmissing = v.countmissing;
            z.ignoremissingness = v.ignoremissingness;
            z.nojust = v.nojust;
        }
        m.clas = {static_cast<int>(clas.size()), clas.data()};
        m.order = 'M';
        m.vlen = -1;
        m.opt[0] = static_cast<char>(s.opt0);
        m.opt[1] = static_cast<char>(s.opt1);
        if (!s.freq.empty()) {
            freq.n = xvname(ds, xvfind(ds, s.freq));
            r.f = &freq;
            m.fvar = &freq;
        }
        d.fid = ds;
        d.pool = pool;
        r.d = &d;
        r.m = &m;
        r.GetInit = GetInit;
        r.GetNext = GetNext;
        r.GetVals = GetVals;
        if (s.threads > 0) {
            rp.nThreads = s.threads;
            rp.nRecMax = s.nRecMax;
            r.readParm = &rp;
            r.threading = 1;
        }
    }
};

inline void walk(TREE* p, std::vector<ZLEVNOD*>& out)
{
    if (!p)
        return;
    walk(p->llink, out);
    out.push_back(reinterpret_cast<ZLEVNOD*>(p));
    walk(p->rlink, out);
}

// Levelizes the current BY group through the levelizer itself, so that the
// level trees (frequencies, first appearance) can be seen before ordering.
inline Group levelize_group(DSHANDLE* ds, const Plan& s, Result* res)
{
    Group out;
    POOLHANDLE* pool = xmpoolc(0, 1024, 0);
    {
        Model md(ds, s, pool);
        ZLEVMOD& m = md.m;
        ZLEV* l = zlevini(ds, &m);
        if (!s.defaultReaders) {
            l->GetInit = LevGetInit;
            l->GetNext = LevGetNext;
            l->GetVals = LevGetVals;
            l->p = &md.r;
        }
        if (s.threads > 0) {
            vyr::pool_configure(true, static_cast<unsigned>(s.threads) + 1);
            EXPECT_EQ(zlevrinit(&md.r, l), 1);
        }
        res->readFail = zlevadd(ds, l, &m);
        res->workers = md.r.readParm ? md.r.readParm->workers : 0;
        res->rc = md.r.readParm ? md.r.readParm->rc : 0;
        for (int j = 0; j < m.clas.n; ++j) {
            ZLEVVAR& v = m.clas.v[j];
            Levels lv;
            std::vector<ZLEVNOD*> nodes;
            walk(l->head[j], nodes);
            const bool num = v.n->ntype == 1;
            for (ZLEVNOD* n : nodes)
                lv.nodes.push_back({bytes(n->idx, static_cast<size_t>(v.vlen)), n->freq, n->order,
                                    num ? bytes(&n->true_.z, 8)
                                        : bytes(n->true_.c.s, static_cast<size_t>(n->true_.c.l))});
            v.nlev = l->nlev[j] > 0 ? zlevlls(pool, l, &m, j, &v.val) : 0;
            for (int k = 0; k < v.nlev; ++k) {
                lv.text.push_back(bytes(v.val.l[k], static_cast<size_t>(v.vlen)));
                lv.truth.push_back(
                    num ? bytes(&v.true_[k].z, 8)
                        : bytes(v.true_[k].c.s, static_cast<size_t>(v.true_[k].c.l)));
                lv.sorted.push_back(bytes(v.sl[k], static_cast<size_t>(v.vlen)));
                lv.lidx.push_back(v.lidx[k]);
            }
            lv.ref = v.ref;
            lv.ochmsg = v.ochmsg;
            if (v.col)
                lv.col.assign(v.col, v.col + static_cast<size_t>(v.nlev) * (v.nlev - 1));
            out.vars.push_back(std::move(lv));
        }
        xmpoold(l->pool);
    }
    xmpoold(pool);
    return out;
}

// Every BY group of a data set.
inline Result levelize(const std::string& path, const Plan& s)
{
    Result res;
    Exported_QXHandle = vyr_kernel_handle();
    DSHANDLE* ds = open(path);
    if (!ds)
        return res;
    if (!s.by.empty()) {
        std::vector<int> nums;
        for (const auto& b : s.by)
            nums.push_back(xvfind(ds, b));
        EXPECT_EQ(xbyset(ds, nums.data(), nullptr, static_cast<int>(nums.size()), false), 0);
    }
    while (xbynext(ds))
        res.groups.push_back(levelize_group(ds, s, &res));
    return res;
}

inline double number(const std::string& b)
{
    double d;
    std::memcpy(&d, b.data(), 8);
    return d;
}

// What the reader gives: zlevrgi's code, each classification variable's
// levels, and per observation of the BY group the status and the level of
// each classification variable (with the responses, which are the
// classification variables themselves).
struct Reading {
    int rc = 0;
    int status = 0; // the model's status
    int threading = 0;
    int workers = 0;
    int readRc = 0;
    std::vector<std::vector<std::string>> text; // per variable: level texts, trimmed
    std::vector<int> ref;
    std::vector<int> obsStatus;
    std::vector<std::vector<int>> obsLevel;
};

// Reads the current BY group through zlevrgi and zlevrgd, as the
// restricted-mean analysis does. `adjust` may change the reader before
// zlevrgi (callbacks, options).
inline Reading read_group(DSHANDLE* ds, const Plan& s,
                          const std::function<void(ZLEVREGI&)>& adjust = {})
{
    Reading out;
    POOLHANDLE* pool = xmpoolc(0, 1024, 0);
    {
        Model md(ds, s, pool);
        std::vector<ZLEVVAR> ys(md.clas.size());
        for (size_t j = 0; j < ys.size(); ++j) {
            ys[j] = ZLEVVAR{};
            ys[j].n = md.clas[j].n;
        }
        md.r.y = {static_cast<int>(ys.size()), ys.data()};
        md.r.GetInit = nullptr;
        md.r.GetNext = nullptr;
        md.r.GetVals = nullptr;
        if (s.threads > 0)
            vyr::pool_configure(true, static_cast<unsigned>(s.threads) + 1);
        if (adjust)
            adjust(md.r);
        out.rc = zlevrgi(&md.r);
        out.status = md.m.status;
        out.threading = md.r.threading;
        if (md.r.readParm) {
            out.workers = md.r.readParm->workers;
            out.readRc = md.r.readParm->rc;
        }
        if (out.rc == 0) {
            for (const ZLEVVAR& v : md.clas) {
                std::vector<std::string> t;
                for (int k = 0; k < v.nlev; ++k)
                    t.push_back(trim(bytes(v.val.l[k], static_cast<size_t>(v.vlen))));
                out.text.push_back(t);
                out.ref.push_back(v.ref);
            }
            std::vector<double> y(ys.size());
            xbyrwnd(ds, 66);
            while (xybyget(ds) == 0) {
                out.obsStatus.push_back(zlevrgd(&md.r, y.data(), nullptr, nullptr));
                out.obsLevel.emplace_back(md.r.g, md.r.g + md.clas.size());
            }
        }
    }
    xmpoold(pool);
    return out;
}

// Every BY group of a data set through the reader.
inline std::vector<Reading> read(const std::string& path, const Plan& s,
                                 const std::function<void(ZLEVREGI&)>& adjust = {})
{
    std::vector<Reading> out;
    Exported_QXHandle = vyr_kernel_handle();
    DSHANDLE* ds = open(path);
    if (!ds)
        return out;
    if (!s.by.empty()) {
        std::vector<int> nums;
        for (const auto& b : s.by)
            nums.push_back(xvfind(ds, b));
        EXPECT_EQ(xbyset(ds, nums.data(), nullptr, static_cast<int>(nums.size()), false), 0);
    }
    while (xbynext(ds))
        out.push_back(read_group(ds, s, adjust));
    return out;
}

} // namespace lev
