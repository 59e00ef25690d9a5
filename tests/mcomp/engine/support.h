// Shared by the engine tests: the saved scores of the peer examples, a pool,
// the engine registered with the kernel, one request run through zmclsm, and
// the log captured.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host/output/layer.h"
#include "host/session/session_state.h"
#include "mcomp/qxmclsm.h"
#include "mcomp/zmclsm.h"
#include "runtime/missing.h"
#include "support/reference.h"
#include "support/wob_setup.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_pool.h"

namespace mctest
{

using korvtest::bars;

// One example's scores and their covariance (packed lower by rows).
struct Scores {
    std::string name;
    double rho = 0;
    std::vector<double> U, V;
    int k() const { return static_cast<int>(U.size()); }
};

inline std::vector<Scores> scores()
{
    korvtest::Table t("mcomp_scores.csv");
    std::vector<Scores> out;
    for (size_t i = 0; i < t.size(); ++i)
        out.push_back(
            {t.text(i, "case"), t.num(i, "rho"), bars(t.text(i, "U")), bars(t.text(i, "V"))});
    return out;
}

inline const Scores& example(const std::string& name, double rho = 0)
{
    static const std::vector<Scores> all = scores();
    for (const Scores& s : all)
        if (s.name == name && s.rho == rho)
            return s;
    ADD_FAILURE() << "no scores for " << name;
    return all.front();
}

inline int methodCode(const std::string& m)
{
    if (m == "T")
        return QXMCLSM_T;
    if (m == "BON")
        return QXMCLSM_BON;
    if (m == "SIDAK")
        return QXMCLSM_SIDAK;
    if (m == "GT2")
        return QXMCLSM_GT2;
    if (m == "F")
        return QXMCLSM_F;
    if (m == "SIM")
        return QXMCLSM_SIM;
    return QXMCLSM_EXACT;
}

struct EngineFixture : ::testing::Test {
    POOLHANDLE* pool = nullptr;
    std::string log;

    void SetUp() override
    {
        Exported_QXHandle = vyr_kernel_handle();
        korv_mcomp_register_engine();
        pool = xmpoolc(0, 1024, 6);
        ASSERT_NE(pool, nullptr);
        vdq::takeCurrentStep();
        vyr::print_capture(nullptr, &log);
    }
    void TearDown() override
    {
        vyr::print_capture(nullptr, nullptr);
        xmpoold(pool);
        vdq::takeCurrentStep();
        korv_mcomp_register_engine();
        vyr::pool_configure(true, 4);
    }

    // A request on the scores s, as the comparisons make it.
    ZMCLSMI request(const Scores& s, std::vector<double>& var, int type, int control, int method,
                    int step = 0)
    {
        var = s.V;
        ZMCLSMI lmc;
        std::memset(&lmc, 0, sizeof lmc);
        lmc.nl = s.k();
        lmc.type = type;
        lmc.idxcntl = control;
        lmc.method = method;
        lmc.step = step;
        lmc.stepcsize = -1;
        lmc.stepmaxtime = 60;
        lmc.pool = pool;
        lmc.p = 0.05;
        lmc.acc = 0.005;
        lmc.eps = 0.01;
        lmc.tinc = 30;
        lmc.seed = 20240601;
        lmc.dfe = korv_missing();
        lmc.rmse = 1.0;
        lmc.var = var.data();
        lmc.mean = const_cast<double*>(s.U.data());
        return lmc;
    }

    // The p-values of one request (empty when the engine gave none).
    std::vector<double> run(ZMCLSMI& lmc)
    {
        lmc.adjp = nullptr;
        zmclsm(&lmc);
        std::vector<double> p;
        if (lmc.adjp)
            p.assign(lmc.adjp, lmc.adjp + lmc.ncmp);
        return p;
    }
};

} // namespace mctest
