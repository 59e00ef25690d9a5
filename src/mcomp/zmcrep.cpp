// Reports of the comparison engine: the step-down subsets (DoStepRep), the
// subsets of a step-down simulation (SubsetReport, a callback of the
// instance), the simulation details (DoSimDetails: a factoid and a results
// table, or a listing in the log) and the progress note of a simulation
// (TimingFunction, with its clock text TimeString). Each reads the instance
// through ValueGet; the control block (the parameter record's userPtr)
// supplies the output object and receives some values back. A failed
// output-object call is logged and ends the step with its own code.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mcomp/zmclsm.h"
#include "numeric/normal.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

namespace
{

constexpr double kTwo53 = 9007199254740992.0;

template <class T> T item(QXMCLSM_INSTANCE* inst, int code, T fallback)
{
    T v = fallback;
    if (inst->FactoryPtr->ValueGet(inst, code, &v, 0) != 0)
        return fallback;
    return v;
}

// A data object named `name` (optionally labelled) on the output object.
xobop makeData(xobop vdq, const char* name, xobskey label = nullptr)
{
    std::vector<WOB_PARM_BLK_STR> pb = {wob_string(WOB_TAG_PACKAGE, "vdq", 3),
                                        wob_string(WOB_TAG_CLASS, "data", 4),
                                        wob_object(WOB_TAG_OUT, nullptr), wob_int(WOB_TAG_148, -1),
                                        wob_key(WOB_TAG_NAME, vdqtxt(name, -1))};
    if (label)
        pb.push_back(wob_key(WOB_TAG_LABEL, label));
    wobcall(vdq, WOB_SEL_CREATE, pb);
    return pb[2].value.o;
}

// One column: type (3 integer, 5 double, 66 text key), name, bound address,
// then any further blocks.
void column(xobop data, int type, xobskey name, const void* address,
            std::vector<WOB_PARM_BLK_STR> more = {})
{
    std::vector<WOB_PARM_BLK_STR> pb = {wob_int(WOB_TAG_COLTYPE, type), wob_key(WOB_TAG_NAME, name),
                                        wob_address(WOB_TAG_ADDRESS, address)};
    pb.insert(pb.end(), more.begin(), more.end());
    wobcall(data, WOB_SEL_ADD_COLUMN, pb);
}
void column(xobop data, int type, const char* name, const void* address,
            std::vector<WOB_PARM_BLK_STR> more = {})
{
    column(data, type, vdqtxt(name, -1), address, std::move(more));
}

void endColumns(xobop data)
{
    std::vector<WOB_PARM_BLK_STR> none;
    wobcall(data, WOB_SEL_END_COLUMNS, none);
}

xobop templateOutput(xobop vdq, xobop data, const char* templ)
{
    std::vector<WOB_PARM_BLK_STR> pb = {wob_object(WOB_TAG_OBJECT, nullptr),
                                        wob_object(WOB_TAG_OBJECT, data),
                                        wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1))};
    wobcall(vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    return pb[0].value.o;
}

void putRow(xobop data)
{
    std::vector<WOB_PARM_BLK_STR> none;
    wobcall(data, WOB_SEL_PUT_ROW, none);
}

void finish(xobop vdq, xobop data, xobop output, xobop note = nullptr)
{
    std::vector<WOB_PARM_BLK_STR> end = {wob_int(WOB_TAG_ENDDATA, 1)};
    wobcall(data, WOB_SEL_END_DATA, end);
    std::vector<WOB_PARM_BLK_STR> close = {wob_object(WOB_TAG_OBJECT, output)};
    if (note)
        close.push_back(wob_object(WOB_TAG_NOTE_OBJ, note));
    wobcall(vdq, WOB_SEL_CLOSE_OUTPUT, close);
}

// The key to the Cmp columns of a subsets table that follows the caller's
// comparisons: their rows in order (null when the reports come first).
xobop cmpKey(QXMCLSM_INSTANCE* inst, xobop vdq, int ncmp, int parts = 0)
{
    auto* parms = item<QXMCLSM_PARMS*>(inst, QXMCLSM_PARMS_ADDR, nullptr);
    auto* lmc = parms ? static_cast<ZMCLSMI*>(parms->userPtr) : nullptr;
    if (!lmc || !lmc->beforeReports || ncmp < 1)
        return nullptr;
    if (parts > 0)
        return wobtitle(vdq, vdqmsgs(326, msg326::MC_SUBSET_KEY_PARTS, ncmp, parts), 'l');
    return wobtitle(vdq, vdqmsgs(326, msg326::MC_SUBSET_KEY, ncmp), 'l');
}

// "Cmp%-d" of k, and "%-d" of k.
xobskey cmpName(int k)
{
    return vdqtxts("Cmp%-d", -1, k);
}

} // namespace

// ---------------------------------------------------------------------------
// The subsets of a step-down test.

void DoStepRep(QXMCLSM_INSTANCE* inst, xobop vdq)
{
    auto* parms = item<QXMCLSM_PARMS*>(inst, QXMCLSM_PARMS_ADDR, nullptr);
    auto* info = item<QXMCLSM_STEPINFO*>(inst, QXMCLSM_STEPINFO_ADDR, nullptr);
    if (!parms || !info || !parms->steprep || !vdq)
        return;
    const int ncmp = item<int>(inst, QXMCLSM_NCMP, 0);
    if (auto* lmc = static_cast<ZMCLSMI*>(parms->userPtr))
        lmc->ncmp = ncmp;
    const int nl = parms->nl;

    // The partition and the membership flags come from a pool of the kernel.
    QXHandle* h = Exported_QXHandle;
    QXPoolh pool = h && h->poolCreate ? h->poolCreate(h, "WORKPOOL", 0x80000000u, 0, -1) : nullptr;
    if (!pool)
        xexit(1016, 0);
    auto* part = static_cast<int*>(
        pool->alloc(pool, sizeof(int) * static_cast<size_t>(std::max(nl, 1)), 0x80000000u));
    auto* flags = static_cast<int*>(
        pool->alloc(pool, sizeof(int) * static_cast<size_t>(std::max(ncmp, 1)), 0x80000000u));
    if (!part || !flags) {
        pool->hdr.destroy(pool);
        xexit(1016, 0);
    }

    int subset = 0, step = 0, comparison = 0, size = 0, df = 0;
    double peval = 0;
    xobop data = makeData(vdq, "Subsets");
    column(data, WOB_COL_INT, "Subset", &subset);
    column(data, WOB_COL_INT, "Step", &step);
    column(data, WOB_COL_INT, "Comparison", &comparison);
    column(data, WOB_COL_INT, "Size", &size);
    for (int k = 1; k <= ncmp; ++k) {
        std::vector<WOB_PARM_BLK_STR> more = {wob_key(WOB_TAG_TEMPLATE, vdqtxt("Cmp", 3)),
                                              wob_key(WOB_TAG_DYNNAME, vdqtxt("idx", 3)),
                                              wob_key(WOB_TAG_DYNVALUE, vdqtxts("%-d", -1, k))};
        if (k == ncmp) {
            more.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt("StartCmp", 8)));
            more.push_back(wob_key(WOB_TAG_DYNVALUE, cmpName(1)));
            more.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt("EndCmp", 6)));
            more.push_back(wob_key(WOB_TAG_DYNVALUE, cmpName(ncmp)));
        }
        column(data, WOB_COL_INT, cmpName(k), &flags[k - 1], more);
    }
    if (info->pEval)
        column(data, WOB_COL_DOUBLE, "pEval", &peval);
    const bool partition = parms->method == QXMCLSM_EXACT && parms->type == QXMCLSM_ALL && nl > 0;
    if (partition)
        for (int a = 1; a <= nl; ++a)
            column(data, WOB_COL_INT, vdqtxts("Part%-d", -1, a), &part[a - 1]);
    if (parms->method == QXMCLSM_F)
        column(data, WOB_COL_INT, "DF", &df);
    endColumns(data);
    xobop output = templateOutput(vdq, data, "Stat.XPN.Subsets");

    for (int j = 0; j < info->nSubsets; ++j) {
        subset = j + 1;
        step = info->Step[j] + 1;
        comparison = info->Orig[info->Step[j]] + 1;
        size = 0;
        for (int k = 0; k < ncmp; ++k) {
            flags[k] = info->Subset[static_cast<size_t>(j) * ncmp + k];
            size += flags[k] != 0;
        }
        if (info->pEval)
            peval = info->pEval[j];
        if (partition && info->PrtPart)
            for (int a = 0; a < nl; ++a)
                part[a] = info->PrtPart[static_cast<size_t>(j) * nl + a];
        if (parms->method == QXMCLSM_F && info->PrtRank)
            df = info->PrtRank[j];
        putRow(data);
    }
    finish(vdq, data, output, cmpKey(inst, vdq, ncmp, partition ? nl : 0));
    pool->hdr.destroy(pool);
}

int DeferSubsetReport(QXMemPtr pp)
{
    auto* inst = static_cast<QXMCLSM_INSTANCE*>(pp);
    auto* parms = item<QXMCLSM_PARMS*>(inst, QXMCLSM_PARMS_ADDR, nullptr);
    if (auto* lmc = parms ? static_cast<ZMCLSMI*>(parms->userPtr) : nullptr)
        lmc->subsetPending = 1;
    return 0;
}

int SubsetReport(QXMemPtr pp)
{
    auto* inst = static_cast<QXMCLSM_INSTANCE*>(pp);
    auto* parms = item<QXMCLSM_PARMS*>(inst, QXMCLSM_PARMS_ADDR, nullptr);
    if (!parms || !parms->steprep)
        return 1;
    auto* info = item<QXMCLSM_STEPINFO*>(inst, QXMCLSM_STEPINFO_ADDR, nullptr);
    auto* lmc = static_cast<ZMCLSMI*>(parms->userPtr);
    xobop vdq = lmc ? lmc->vdq : nullptr;
    if (!info || !vdq)
        return 1;
    const int ncmp = item<int>(inst, QXMCLSM_NCMP, 0);
    POOLHANDLE* pool = xlongpool();
    auto* flags = static_cast<int*>(
        xmalloc_or_exit(pool, static_cast<int64_t>(sizeof(int)) * std::max(ncmp, 1), 0x3004));
    int subset = 0, step = 0;
    double tobs = 0, simple = 0, avgcv = 0, avgcv2 = 0, pbon = 0, adjp = 0, seadjp = 0;
    xobop data = makeData(vdq, "SubsetSim");
    column(data, WOB_COL_INT, "Subset", &subset);
    column(data, WOB_COL_INT, "Step", &step);
    for (int k = 1; k <= ncmp; ++k)
        column(data, WOB_COL_INT, cmpName(k), &flags[k - 1],
               {wob_key(WOB_TAG_TEMPLATE, vdqtxt("Cmp", 3))});
    column(data, WOB_COL_DOUBLE, "tObs", &tobs);
    column(data, WOB_COL_DOUBLE, "Simple", &simple);
    column(data, WOB_COL_DOUBLE, "AvgCV", &avgcv);
    column(data, WOB_COL_DOUBLE, "AvgCV2", &avgcv2);
    column(data, WOB_COL_DOUBLE, "pBon", &pbon);
    column(data, WOB_COL_DOUBLE, "AdjP", &adjp);
    column(data, WOB_COL_DOUBLE, "SEAdjP", &seadjp);
    endColumns(data);
    xobop output = templateOutput(vdq, data, "Stat.XPN.SubsetSim");
    for (int j = 0; j < info->nSubsets; ++j) {
        subset = j + 1;
        step = info->Step[j] + 1;
        for (int k = 0; k < ncmp; ++k)
            flags[k] = info->Subset[static_cast<size_t>(j) * ncmp + k];
        tobs = info->tObs[j];
        simple = info->Simple[j];
        avgcv = info->AvgCV[j];
        avgcv2 = info->AvgCV2[j];
        pbon = info->pBon[j];
        adjp = info->GLS[j];
        seadjp = info->sGLS[j];
        putRow(data);
    }
    pool->free(pool, flags, -1, 4);
    finish(vdq, data, output, cmpKey(inst, vdq, ncmp));
    return 0;
}

// ---------------------------------------------------------------------------
// Simulation details.

namespace
{

// The instance's values that the details report, copied into the control
// block (which keeps its own when the instance has none).
void readSimItems(QXMCLSM_INSTANCE* inst, ZMCLSMI* lmc)
{
    lmc->eps = item<double>(inst, QXMCLSM_EPS, lmc->eps);
    lmc->acc = item<double>(inst, QXMCLSM_ACC, lmc->acc);
    lmc->side = item<char>(inst, QXMCLSM_SIDE, lmc->side);
    lmc->type = item<int>(inst, QXMCLSM_TYPE, lmc->type);
    lmc->cva = item<int>(inst, QXMCLSM_CVA, lmc->cva);
    lmc->ncmp = item<int>(inst, QXMCLSM_NCMP, lmc->ncmp);
    lmc->exact = item<int>(inst, QXMCLSM_ISEXACT, lmc->exact);
    lmc->totalsamp = item<double>(inst, QXMCLSM_TOTALSAMP, lmc->totalsamp);
    lmc->structure = item<int>(inst, QXMCLSM_STRUCTURE, lmc->structure);
}

// The label of the method's own row of the results (0: the type has none).
int methodRowLabel(const ZMCLSMI* lmc, bool twoSided)
{
    switch (lmc->type) {
    case QXMCLSM_ANOM:
        return msg183::METHOD_NELSON;
    case QXMCLSM_CONTROL:
        if (lmc->exact)
            return twoSided ? msg183::METHOD_DUNNETT2_EXACT : msg183::METHOD_DUNNETT1_EXACT;
        return twoSided ? msg183::METHOD_DUNNETT2_ESTIMATED : msg183::METHOD_DUNNETT1_ESTIMATED;
    case QXMCLSM_ALL:
        return lmc->exact ? msg183::METHOD_TUKEY_EXACT : msg183::METHOD_TUKEY_ESTIMATED;
    default:
        return 0;
    }
}

// Element i of the simulation's quantiles, or null past their end.
const QXMCLSM_SIMELEM* quantileAt(const QXMCLSM_SIMINFO* sim, int i)
{
    return i >= 0 && i < sim->nq ? &sim->quantile[i] : nullptr;
}

// The factoid of the simulation: seed, comparison type, sample size, alpha
// and the accuracy reached; h is the half-width of the p-value's interval.
void simFactoid(xobop vdq, const ZMCLSMI* lmc, const QXMCLSM_PARMS* parms,
                const QXMCLSM_SIMINFO* sim, double h, bool twoSided)
{
    std::vector<WOB_PARM_BLK_STR> pb = {
        wob_string(WOB_TAG_PACKAGE, "vdq", 3),
        wob_string(WOB_TAG_CLASS, "factoid", 7),
        wob_object(WOB_TAG_OUT, nullptr),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.XPN.Factoid", -1)),
        wob_int(WOB_TAG_148, -1),
        wob_key(WOB_TAG_HEADER_KEY, vdqmsg(183, msg183::SIM_DETAILS)),
        wob_key(WOB_TAG_NAME, vdqtxt("SimDetails", -1)),
        wob_key(WOB_TAG_LABEL, vdqmsg(183, msg183::SIM_DETAILS))};
    wobcall(vdq, WOB_SEL_CREATE, pb);
    xobop factoid = pb[2].value.o;
    auto entry = [&](int group, int label, WOB_PARM_BLK_STR value, int width, int decimals,
                     const char* format) {
        std::vector<WOB_PARM_BLK_STR> e = {wob_key(WOB_TAG_LABEL, vdqmsg(group, label)), value};
        e[1].tag = WOB_TAG_DYNVALUE;
        if (format) {
            e.push_back(wob_key(WOB_TAG_FORMAT, vdqtxt(format, -1)));
        } else if (width > 0) {
            e.push_back(wob_int(WOB_TAG_WIDTH, width));
            e.push_back(wob_int(WOB_TAG_DECIMALS, decimals));
        }
        wobcall(factoid, WOB_SEL_ADD_ENTRY, e);
    };
    WOB_PARM_BLK_STR seed{};
    seed.type = WOB_T_LONG;
    seed.value.l = sim->initseed;
    entry(183, msg183::SIM_SEED, seed, 12, 99, nullptr);
    const int kind = lmc->type == QXMCLSM_ANOM     ? msg183::TYPE_ANOM
                     : lmc->type == QXMCLSM_ALL    ? msg183::TYPE_ALL
                     : lmc->type == QXMCLSM_NODIFF ? msg183::TYPE_INDIVIDUAL
                     : twoSided                    ? msg183::TYPE_CONTROL_TWO_SIDED
                                                   : msg183::TYPE_CONTROL_ONE_SIDED;
    entry(183, msg183::SIM_COMPARISON_TYPE, wob_key(0, vdqmsg(183, kind)), 0, 0, nullptr);
    entry(183, msg183::SIM_SAMPLE_SIZE, wob_double(0, lmc->totalsamp), 12, 99, nullptr);
    entry(183, msg183::SIM_ALPHA, wob_double(0, parms->p), 6, 99, nullptr);
    if (!lmc->cva) {
        entry(183, msg183::SIM_ACCURACY, wob_double(0, h), 6, 99, nullptr);
    } else {
        entry(183, msg183::SIM_ACCURACY_TARGET, wob_double(0, lmc->acc), 6, 99, nullptr);
        entry(183, msg183::SIM_ACCURACY_ACTUAL, wob_double(0, h), 6, 99, nullptr);
    }
    entry(183, msg183::SIM_CONFIDENCE, wob_double(0, 1.0 - lmc->eps), 0, 0, "percent6.");
    if (lmc->RNGMethod == 1)
        entry(172, msg172::SIM_THREADS, wob_double(0, parms->nCompute), 0, 0, "best6.");
    std::vector<WOB_PARM_BLK_STR> end = {wob_int(WOB_TAG_ENDDATA, 1)};
    wobcall(factoid, WOB_SEL_END_DATA, end);
}

// The results table of the simulation: the simulated critical value, then
// those of the method and of the other adjustments, each with its alpha and
// (when the alpha is estimated) its confidence limits; z is the normal
// quantile of the accuracy's confidence.
void simResultsTable(xobop vdq, const ZMCLSMI* lmc, const QXMCLSM_PARMS* parms,
                     const QXMCLSM_SIMINFO* sim, double z, int methodLabel)
{
    const int ncmp = lmc->ncmp;
    const int tLabel =
        wzmis(parms->dfe) ? msg183::METHOD_UNADJUSTED_NORMAL : msg183::METHOD_UNADJUSTED_T;
    const bool nodiff = lmc->type == QXMCLSM_NODIFF;
    xobop data = makeData(vdq, "SimResults", vdqmsg(183, msg183::SIM_RESULTS));
    std::vector<WOB_PARM_BLK_STR> dyn = {
        wob_key(WOB_TAG_DYNNAME, vdqtxt("alphaval", 8)),
        wob_double(WOB_TAG_DYNVALUE, 100.0 * (1.0 - parms->p)),
        wob_key(WOB_TAG_DYNNAME, vdqtxt("acc", 3)),
        wob_double(WOB_TAG_DYNVALUE, 100.0 * (1.0 - lmc->eps)),
        wob_key(WOB_TAG_DYNNAME, vdqtxt("halpha", 6)),
        wob_key(WOB_TAG_DYNVALUE,
                vdqmsg(183, lmc->exact ? msg183::EXACT_ALPHA : msg183::ESTIMATED_ALPHA))};
    wobcall(data, WOB_SEL_SET_DYNAMIC, dyn);
    int widest = 0;
    for (int n : {msg183::METHOD_SIMULATED, methodLabel, msg183::METHOD_BONFERRONI,
                  msg183::METHOD_SIDAK, msg183::METHOD_GT2, msg183::METHOD_SCHEFFE, tLabel}) {
        const char* t = nullptr;
        int len = 0;
        if (n && wkread(183, n, &t, &len) == 0)
            widest = std::max(widest, len);
    }
    xobskey method = nullptr;
    double quantile = 0, alpha = 0, lower = 0, upper = 0;
    column(data, WOB_COL_KEY, "Method", &method, {wob_int(WOB_TAG_WIDTH, widest)});
    column(data, WOB_COL_DOUBLE, "Quantile", &quantile);
    column(data, WOB_COL_DOUBLE, "Alpha", &alpha);
    if (!lmc->exact) {
        column(data, WOB_COL_DOUBLE, "LowerCL", &lower);
        column(data, WOB_COL_DOUBLE, "UpperCL", &upper);
    }
    endColumns(data);
    xobop output = templateOutput(vdq, data, "Stat.XPN.SimResults");
    auto row = [&](xobskey label, const QXMCLSM_SIMELEM* e) {
        if (!e)
            return;
        method = label;
        quantile = e->q;
        alpha = lower = upper = korv_missing();
        if (!wzmis(e->p)) {
            alpha = 1.0 - e->p;
            if (!wzmis(e->var)) {
                const double w = z * std::sqrt(e->var);
                lower = std::clamp(alpha - w, 0.0, 1.0);
                upper = std::clamp(alpha + w, 0.0, 1.0);
            }
        }
        putRow(data);
    };
    row(vdqmsg(183, msg183::METHOD_SIMULATED), &sim->pvalue);
    if (!nodiff && methodLabel)
        row(vdqmsg(183, methodLabel), quantileAt(sim, ncmp));
    row(vdqmsg(183, msg183::METHOD_BONFERRONI), quantileAt(sim, ncmp + 2));
    row(vdqmsg(183, msg183::METHOD_SIDAK), quantileAt(sim, ncmp + 3));
    if (!nodiff)
        row(vdqmsg(183, msg183::METHOD_GT2), quantileAt(sim, ncmp + 4));
    row(vdqmsg(183, msg183::METHOD_SCHEFFE), quantileAt(sim, ncmp + 5));
    row(vdqmsg(183, tLabel), quantileAt(sim, ncmp + 1));
    const int base = ncmp + (parms->rep ? 6 : 0);
    for (int i = 1; i <= parms->nqeval; ++i)
        row(vdqtxts("QEVAL %d", -1, i), quantileAt(sim, base + i - 1));
    finish(vdq, data, output);
}

// The details as a listing in the log, for debug runs without an output
// object; the method's name is also left in the control block.
void simListing(ZMCLSMI* lmc, const QXMCLSM_PARMS* parms, const QXMCLSM_SIMINFO* sim, double z,
                bool twoSided)
{
    const int ncmp = lmc->ncmp;
    const char* test = "";
    switch (lmc->type) {
    case QXMCLSM_ANOM:
        test = "AOM";
        std::memcpy(lmc->ctype, "Nelson      ", 12);
        break;
    case QXMCLSM_ALL:
        test = "MCA";
        std::memcpy(lmc->ctype, lmc->exact ? "Tukey       " : "Tukey-Kramer", 12);
        break;
    case QXMCLSM_CONTROL:
    case QXMCLSM_CONTROLL:
    case QXMCLSM_CONTROLU:
        if (twoSided) {
            test = "MCC2";
            std::memcpy(lmc->ctype, lmc->exact ? "Dunnett 2   " : "Hsu 2       ", 12);
        } else {
            test = "MCC1";
            std::memcpy(lmc->ctype, lmc->exact ? "Dunnett 1   " : "Hsu 1       ", 12);
        }
        break;
    default:
        break;
    }
    const double p = parms->p;
    if (!lmc->cva) {
        xpslog("Test=%s, Simulated p = %6g +- %6g (%4g %%)", test, 1.0 - p, lmc->acc,
               100.0 * (1.0 - lmc->eps));
    } else {
        xpslog("Test=%s, CV simulated p = %6g +- %6g (%4g %%)", test, 1.0 - p,
               z * std::sqrt(sim->pvalue.var), 100.0 * (1.0 - lmc->eps));
        const double n = (1.0 - p) * p / sim->pvalue.var - 2.0;
        if (std::isfinite(n) && lmc->totalsamp > 0)
            xpslog("Equivalent unCV sample size = %d = %8g * %g", static_cast<int>(n),
                   n / lmc->totalsamp, lmc->totalsamp);
    }
    switch (lmc->structure) {
    case 0:
        xpslog("Means are uncorrelated and balanced.");
        break;
    case 1:
        xpslog("Means are uncorrelated but unbalanced.");
        break;
    case 2:
        xpslog("Means are correlated.");
        break;
    default:
        break;
    }
    xpslog(lmc->exact ? "                            Exact"
                      : "                          Simulated");
    xpslog("                    Q         P");
    auto line = [&](const char* label, const QXMCLSM_SIMELEM* e) {
        if (e)
            xpslog("   %-12.12s %9.4f (%7.4f)", label, e->q, e->p);
    };
    line("Simulated", &sim->pvalue);
    const std::string ct(lmc->ctype, 12);
    line(ct.c_str(), quantileAt(sim, ncmp));
    line("Bonferroni", quantileAt(sim, ncmp + 2));
    line("Sidak", quantileAt(sim, ncmp + 3));
    line("GT-2", quantileAt(sim, ncmp + 4));
    line("Scheffe", quantileAt(sim, ncmp + 5));
    line("T", quantileAt(sim, ncmp + 1));
}

} // namespace

void DoSimDetails(QXMCLSM_INSTANCE* inst, xobop vdq)
{
    auto* parms = item<QXMCLSM_PARMS*>(inst, QXMCLSM_PARMS_ADDR, nullptr);
    auto* lmc = parms ? static_cast<ZMCLSMI*>(parms->userPtr) : nullptr;
    if (!parms || !lmc)
        return;
    readSimItems(inst, lmc);
    auto* sim = item<QXMCLSM_SIMINFO*>(inst, QXMCLSM_SIMINFO_ADDR, nullptr);
    if (!sim)
        return;
    const double z = zprobit(1.0 - lmc->eps / 2.0);
    const double h = wzmis(sim->pvalue.var) ? korv_missing() : z * std::sqrt(sim->pvalue.var);
    const bool twoSided = lmc->side == 'B';

    if (vdq) {
        simFactoid(vdq, lmc, parms, sim, h, twoSided);
        simResultsTable(vdq, lmc, parms, sim, z, methodRowLabel(lmc, twoSided));
        return;
    }
    // Without an output object: a listing in the log, in debug runs only.
    if (parms->debug)
        simListing(lmc, parms, sim, z, twoSided);
}

// ---------------------------------------------------------------------------
// Progress of a simulation.

bool korv_mc_clock(double t, char* buf, int size)
{
    if (wzmis(t) || !(t >= 0) || t / 3600.0 > kTwo53 || size < 2)
        return false;
    const long hours = static_cast<long>(t / 3600.0);
    const long minutes = static_cast<long>((t - 3600.0 * hours) / 60.0);
    const long seconds = static_cast<long>(t - 3600.0 * hours - 60.0 * minutes);
    const int n = xpsstr(buf, size, "%ld:%2ld:%2ld", hours, minutes, seconds);
    if (n <= 0)
        return false;
    for (int i = 0; i < n; ++i)
        if (buf[i] == ' ')
            buf[i] = '0';
    return true;
}

char* TimeString(double t)
{
    char buf[80];
    if (!korv_mc_clock(t, buf, sizeof buf))
        return nullptr;
    const size_t n = std::strlen(buf);
    POOLHANDLE* pool = xlongpool();
    auto* s = static_cast<char*>(pool->allocate(pool, static_cast<int64_t>(n + 1), 0x3006));
    if (s)
        std::memcpy(s, buf, n + 1);
    return s;
}

int TimingFunction(QXMemPtr pp, double t, double total)
{
    auto* inst = static_cast<QXMCLSM_INSTANCE*>(pp);
    if (!inst)
        return 0;
    const double totalsamp = item<double>(inst, QXMCLSM_TOTALSAMP, korv_missing());
    // Nothing is drawn yet (or the count is unusable): there is no rate to
    // tell the time remaining by.
    if (wzmis(total) || !(total > 0) || wzmis(totalsamp))
        return 0;
    char* elapsed = TimeString(t);
    if (!elapsed)
        return 0;
    char* remaining = TimeString((totalsamp - total) * t / total);
    POOLHANDLE* pool = xlongpool();
    if (remaining) {
        if (totalsamp < kTwo53)
            xpmlog(183, msg183::PROGRESS, static_cast<long long>(total),
                   static_cast<long long>(totalsamp), elapsed, remaining);
        else
            xpmlog(183, msg183::PROGRESS_LARGE, total, totalsamp, elapsed, remaining);
        pool->free(pool, remaining, -1, 4);
    }
    pool->free(pool, elapsed, -1, 4);
    return 0;
}

int CostFunction(QXMemPtr pp, double evaluations, double seconds, int dims)
{
    auto* inst = static_cast<QXMCLSM_INSTANCE*>(pp);
    if (!inst)
        return 0;
    auto* parms = item<QXMCLSM_PARMS*>(inst, QXMCLSM_PARMS_ADDR, nullptr);
    const auto* lmc = parms ? static_cast<const ZMCLSMI*>(parms->userPtr) : nullptr;
    char clock[80];
    if (!korv_mc_clock(seconds, clock, sizeof clock))
        return 0;
    xpmlog(326, msg326::MC_EXACT_COST, lmc && lmc->subject ? lmc->subject : "the comparisons", dims,
           evaluations / 1e6, clock);
    return 0;
}
