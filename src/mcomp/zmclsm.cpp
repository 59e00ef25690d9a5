// zmclsm: one multiple-comparison request through a fresh instance of the
// kernel extension "qxmclsm" - load, set up, assess, compute (or simulate),
// read the severity and the results back, copy the p-values into the
// caller's pool, and destroy both again.
#include "mcomp/zmclsm.h"

#include <cstring>

#include "runtime/jnltolog.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_kernel.h"
#include "vyr_message_names.h"

namespace
{

constexpr QXChar kName[] = {'q', 'x', 'm', 'c', 'l', 's', 'm'};

// Copies n doubles into a block of the pool (null when n is 0).
double* copyInto(POOLHANDLE* pool, const double* from, int n)
{
    if (!from || n <= 0)
        return nullptr;
    auto* to = static_cast<double*>(xmalloc_or_exit(
        pool, static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(double)), 0x3004));
    std::memcpy(to, from, static_cast<size_t>(n) * sizeof(double));
    return to;
}

} // namespace

char CheckMacroVariable(const char* name)
{
    double v = 0;
    if (!name || xjsymgn(name, &v) != 0)
        return 0;
    return (!wzmis(v) && v != 0) ? 1 : 0;
}

QXMCLSM_INSTANCE* SetupInstance(ZMCLSMI* lmc, QXMCLSM_EXTENSION* ext)
{
    QXMCLSM_PARMS parms;
    std::memset(&parms, 0, sizeof parms);
    QXHandle* h = Exported_QXHandle;
    parms.debug = lmc->debug;
    if (parms.debug) {
        // The session's character encoding, for the instance's messages.
        static const char opt[] = "QXNLS.NQV_SESSION_CEI";
        QXChar wname[sizeof opt - 1];
        for (size_t i = 0; i + 1 < sizeof opt; ++i)
            wname[i] = static_cast<unsigned char>(opt[i]);
        int64_t cei = 0;
        QXMemSize size = 8;
        if (h && h->nameGet &&
            h->nameGet(h, wname, static_cast<QXStrSize>(sizeof opt - 1), 3, &cei, &size) == QX_OK)
            parms.cei = static_cast<int>(cei);
        else
            parms.cei = -1;
    }
    // The host keeps no locale object of its own: the instance gets no
    // locale name and uses its defaults.
    parms.localeName = nullptr;
    parms.flags = 1;
    parms.nl = lmc->nl;
    parms.redrank = lmc->redrank;
    parms.method = lmc->method;
    parms.type = lmc->type;
    parms.weighted = lmc->weighted;
    parms.l = lmc->l;
    parms.nRow = lmc->nRow;
    parms.overall = lmc->overall;
    parms.side = lmc->side;
    parms.nqeval = lmc->nqeval;
    parms.step = lmc->step;
    parms.steprep = lmc->steprep;
    parms.stepcsize = lmc->stepcsize;
    parms.stepliberal = lmc->stepliberal;
    parms.steporder = lmc->steporder;
    parms.stepmaxtime = lmc->stepmaxtime;
    parms.idxcntl = lmc->idxcntl;
    parms.nochunk = lmc->nochunk;
    parms.dfe = lmc->dfe;
    parms.vdfe = lmc->vdfe;
    parms.var = lmc->var;
    parms.w = lmc->w;
    parms.qeval = lmc->qeval;
    parms.p = lmc->p;
    parms.csize = lmc->csize;
    parms.seed = lmc->seed;
    parms.acc = lmc->acc;
    parms.eps = lmc->eps;
    parms.nsamp = lmc->nsamp;
    parms.rep = lmc->rep;
    parms.cva = lmc->cva;
    parms.ciexact = lmc->ciexact;
    parms.tinc = lmc->tinc;
    parms.mean = lmc->mean;
    parms.nonest = lmc->nonest;
    parms.rmse = lmc->rmse;
    parms.cke = lmc->cke;
    parms.pd = lmc->pd;
    parms.numThreads = 0;
    parms.userPtr = lmc;
    parms.logicalNoted = &lmc->logicalNoted;

    // The random-number method: the macro variable _testthreadlsmsim set to
    // a number other than 0 selects the threaded one.
    if (CheckMacroVariable("_testthreadlsmsim"))
        lmc->RNGMethod = 1;
    parms.RNGMethod = lmc->RNGMethod;
    if (parms.RNGMethod == 1 && h && h->poolCreate) {
        QXPoolh pool = h->poolCreate(h, "GRIDINFO", 1, 0, -1);
        auto* info =
            pool ? static_cast<_qxGridInfo*>(pool->alloc(pool, sizeof(_qxGridInfo), 0)) : nullptr;
        if (info) {
            zgridinf(nullptr, pool, info);
            const long a = info->numProcesses ? info->numProcesses : 1;
            const long b = info->maxProcessesPerHost ? info->maxProcessesPerHost : 1;
            const long c = info->maxThreadsPerProcess ? info->maxThreadsPerProcess : 1;
            parms.nThread = static_cast<int>(a * b * c);
            parms.nCompute = korv_missing();
            parms.GridInfoPool = pool;
            parms.GridInfo = info;
        } else if (pool) {
            pool->hdr.destroy(pool);
        }
    }

    QXMCLSM_INSTANCE* inst = ext->CreateInstance(ext, &parms, 0);
    if (inst && lmc->method == QXMCLSM_SIM && inst->ExternalPtr) {
        if (lmc->steprep)
            inst->ExternalPtr->SimStepReport =
                lmc->beforeReports ? DeferSubsetReport : SubsetReport;
        inst->ExternalPtr->TimeReport = TimingFunction;
    }
    if (inst && lmc->method == QXMCLSM_EXACT && inst->ExternalPtr)
        inst->ExternalPtr->CostReport = CostFunction;
    if (!inst && parms.GridInfoPool)
        parms.GridInfoPool->hdr.destroy(parms.GridInfoPool);
    return inst;
}

void zmclsm(ZMCLSMI* lmc)
{
    QXHandle* h = Exported_QXHandle;
    if (!h || !h->loadExtension)
        return;
    auto* ext = static_cast<QXMCLSM_EXTENSION*>(h->loadExtension(h, kName, 7, 0));
    if (!ext)
        return;
    QXMCLSM_INSTANCE* inst = SetupInstance(lmc, ext);
    if (!inst) {
        ext->hdr.destroy(ext);
        return;
    }
    QXMCLSM_FACTORY* f = inst->FactoryPtr;
    auto journal = [&] {
        if (inst->jnlh)
            jnltolog(nullptr, inst->jnlh, JNL_RAW);
    };
    auto get = [&](int item, void* dest) { return f->ValueGet(inst, item, dest, 0); };

    const QXStatus status = f->Assess ? f->Assess(inst) : 1;
    journal();
    // The parameter record is read at once: every path below may use it.
    QXMCLSM_PARMS* parms = nullptr;
    if (get(QXMCLSM_PARMS_ADDR, &parms) != 0)
        parms = nullptr;

    QXStatus aborted = 0;
    // With a caller that prints its results first, the reports wait.
    const bool defer = lmc->beforeReports != nullptr;
    bool stepReport = false, simDetails = false;
    lmc->subsetPending = 0;
    if (status == QXMCLSM_ABORTED || status == QXMCLSM_ABORTED_EXIT) {
        aborted = status;
    } else if (status == 0 || status == QXMCLSM_NO_SIMULATION) {
        if (parms && parms->steprep) {
            if (defer)
                stepReport = true;
            else
                DoStepRep(inst, lmc->vdq);
        }
        get(QXMCLSM_STRUCTURE, &lmc->structure);
        const bool skip =
            lmc->structure < 0 || (lmc->method == QXMCLSM_SIM && status == QXMCLSM_NO_SIMULATION);
        if (!skip) {
            QXStatus s2;
            if (lmc->method == QXMCLSM_SIM)
                s2 = f->Simulate ? f->Simulate(inst) : 1;
            else
                s2 = f->Deterministic ? f->Deterministic(inst) : 1;
            journal();
            if (s2 == QXMCLSM_ABORTED || s2 == QXMCLSM_ABORTED_EXIT)
                aborted = s2;
            else if (s2 == 0 && lmc->method == QXMCLSM_SIM && parms && parms->rep) {
                if (defer)
                    simDetails = true;
                else
                    DoSimDetails(inst, lmc->vdq);
            }
        }
    }

    if (!aborted) {
        // Severity.
        int severity = 0, empty = 0;
        get(QXMCLSM_SEVERITY, &severity);
        get(QXMCLSM_EMPTY, &empty);
        lmc->rc = severity < 3 ? 0 : severity == 3 ? 4 : 1012;
        if (severity < 4 && empty)
            xpmlog(172, msg172::NO_STATISTIC);
        // Results.
        get(QXMCLSM_STRUCTURE, &lmc->structure);
        get(QXMCLSM_NCMP, &lmc->ncmp);
        get(QXMCLSM_TYPE, &lmc->type);
        get(QXMCLSM_NROW, &lmc->nRow);
        get(QXMCLSM_SIDE, &lmc->side);
        get(QXMCLSM_ISEXACT, &lmc->exact);
        if (lmc->structure < 0)
            lmc->ncmp = 0;
        get(QXMCLSM_SEED, &lmc->seed);
        get(QXMCLSM_EPS, &lmc->eps);
        get(QXMCLSM_ACC, &lmc->acc);
        get(QXMCLSM_NSAMP, &lmc->nsamp);
        get(QXMCLSM_CSIZE, &lmc->csize);
        get(QXMCLSM_CVA, &lmc->cva);
        // Arrays, in the caller's pool.
        if (!lmc->pool)
            lmc->pool = xtaskpool();
        if (parms) {
            if (!parms->vdfe) {
                get(QXMCLSM_QUANTILE, &lmc->q);
            } else {
                double* vq = nullptr;
                if (get(QXMCLSM_QUANTILE_ADDR, &vq) == 0 && vq)
                    lmc->vq = copyInto(lmc->pool, vq, lmc->ncmp);
            }
        }
        double* adjp = nullptr;
        if (get(QXMCLSM_ADJP_ADDR, &adjp) == 0 && adjp)
            lmc->adjp = copyInto(lmc->pool, adjp, lmc->ncmp);
        journal();
        if (defer) {
            lmc->beforeReports(lmc, lmc->reportsContext);
            if (stepReport)
                DoStepRep(inst, lmc->vdq);
            if (lmc->subsetPending)
                SubsetReport(inst);
            if (simDetails)
                DoSimDetails(inst, lmc->vdq);
        }
    }

    // Clean-up.
    if (lmc->RNGMethod == 1) {
        QXMCLSM_PARMS* p = nullptr;
        if (get(QXMCLSM_PARMS_ADDR, &p) == 0 && p && p->GridInfoPool) {
            p->GridInfoPool->hdr.destroy(p->GridInfoPool);
            p->GridInfoPool = nullptr;
            p->GridInfo = nullptr;
        }
    }
    if (inst->ExternalPtr) {
        inst->ExternalPtr->SimStepReport = nullptr;
        inst->ExternalPtr->TimeReport = nullptr;
        inst->ExternalPtr->CostReport = nullptr;
    }
    f->DestroyInstance(&inst);
    ext->hdr.destroy(ext);
    if (aborted == QXMCLSM_ABORTED_EXIT) {
        xpmlog(326, msg326::MC_STOPPED);
        xexit(1012, 0);
    }
}
