// Comparisons of the restricted means of pairs of active levels, or of each
// level against a control (DIFF=, ADJUST=, RATIO on the STRATA statement):
// the difference (with RATIO the ratio) of the two estimates, its standard
// error, a one-degree-of-freedom chi-square, and raw and adjusted p-values
// from the comparison engine. The estimates and variances are those the
// global test of the same analysis left (one per active level, independent
// of each other).
//
// A ratio is compared on the log scale: log(e_i) - log(e_j), with the
// delta-method variance v_i / e_i^2 + v_j / e_j^2; the engine gets the logs
// of the estimates and their variances, so that its p-values belong to the
// same statistics.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/options.h"
#include "mcomp/zmclsm.h"
#include "rmst/rmst.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

long packed(int i, int j)
{
    const int r = std::max(i, j), c = std::min(i, j);
    return static_cast<long>(r) * (r + 1) / 2 + c;
}

std::string trimmed(const char* p, int n)
{
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0'))
        --n;
    int a = 0;
    while (a < n && p[a] == ' ')
        ++a;
    return std::string(p + a, static_cast<size_t>(n - a));
}

// The adjustment's label (group 0), by method, type and step-down.
int adjustmentLabel(const SURVDIFF* sd)
{
    const bool step = sd->step != 0;
    switch (sd->method) {
    case QXMCLSM_BON:
        return step ? msg0::STEPDOWN_BONFERRONI : msg0::BONFERRONI;
    case QXMCLSM_SIDAK:
        return step ? msg0::STEPDOWN_SIDAK : msg0::SIDAK;
    case QXMCLSM_GT2:
        return step ? msg0::STEPDOWN_SMM : msg0::SMM;
    case QXMCLSM_F:
        return step ? msg0::STEPDOWN_SCHEFFE : msg0::SCHEFFE;
    case QXMCLSM_SIM:
        return step ? msg0::STEPDOWN_SIMULATED : msg0::SIMULATED;
    default:
        if (sd->type == QXMCLSM_CONTROL)
            return step ? msg0::STEPDOWN_DUNNETT : msg0::DUNNETT;
        return step ? msg0::STEPDOWN_TUKEY : msg0::TUKEY;
    }
}

// The label of the approximation that stands for Tukey's (all pairs) or
// Dunnett's (against a control) method beyond the levels integrated exactly.
int approximationLabel(const SURVDIFF* sd)
{
    const bool step = sd->step != 0;
    if (sd->type == QXMCLSM_CONTROL)
        return step ? msg0::STEPDOWN_HSU : msg0::HSU;
    return step ? msg0::STEPDOWN_TUKEY_KRAMER : msg0::TUKEY_KRAMER;
}

// The p-values of one engine run, or null when the engine gave none or not
// one per comparison.
double* engineRun(ZMCLSMI* lmc, int rows)
{
    const int type = lmc->type;
    lmc->adjp = nullptr;
    lmc->ncmp = 0;
    lmc->rc = 0;
    zmclsm(lmc);
    lmc->type = type;
    double* p = lmc->adjp;
    lmc->adjp = nullptr;
    if (p && lmc->ncmp != rows) {
        if (lmc->pool)
            lmc->pool->free(lmc->pool, p, -1, 4);
        p = nullptr;
    }
    return p;
}

// The control: a level named by values, the last or the first level.
int controlIndex(rmsUserPtr us, int k)
{
    const SURVDIFF* sd = us->survdiff;
    switch (sd->refcntl) {
    case -3:
        return findIndex(us);
    case -2:
        return k - 1;
    default:
        return 0;
    }
}

// What the engine compares: the estimates of the k active levels, or their
// logs (with the delta-method variances) for ratios. False when a ratio is
// asked for and an estimate is not positive.
bool engineInput(const ZRMSMANAGER* q, bool ratio, std::vector<double>& mean,
                 std::vector<double>& var)
{
    const int k = q->n2a;
    mean.assign(static_cast<size_t>(k), 0.0);
    var.assign(static_cast<size_t>(k) * (k + 1) / 2, 0.0);
    bool positive = true;
    // The variances are in units of rmsUnit(q), the estimates are not.
    const double unit = rmsUnit(q);
    for (int i = 0; i < k; ++i) {
        const double e = q->x1[i], v = q->x2[packed(i, i)], eu = e / unit;
        if (ratio) {
            positive = positive && e > 0;
            mean[static_cast<size_t>(i)] = e > 0 ? std::log(e) : 0.0;
            var[static_cast<size_t>(packed(i, i))] = e > 0 ? v / (eu * eu) : 0.0;
        } else {
            mean[static_cast<size_t>(i)] = eu;
            var[static_cast<size_t>(packed(i, i))] = v;
        }
    }
    return positive;
}

// The engine's settings for these comparisons, before its first run.
void engineSettings(rmsUserPtr us, ZMCLSMI& lmc, bool control, std::vector<double>& mean,
                    std::vector<double>& var)
{
    ZRMSMANAGER* q = us->q;
    const SURVDIFF* sd = us->survdiff;
    const int k = q->n2a;
    std::memset(static_cast<void*>(&lmc), 0, sizeof lmc);
    lmc.type = sd->type;
    lmc.idxcntl = control ? controlIndex(us, k) : 0;
    lmc.pool = q->pool;
    korv_mc_simulation_settings(&lmc, sd);
    lmc.vdq = q->zog->vdq;
    lmc.dfe = korv_missing();
    lmc.rmse = 1.0;
    lmc.nl = k;
    lmc.var = var.data();
    lmc.mean = mean.data();
}

// The raw p-values (no adjustment), then, with ADJUST=, the adjusted ones.
// False when the engine gave either of them none.
bool enginePValues(rmsUserPtr us, ZMCLSMI& lmc, int rows, bool adjust, double*& raw, double*& adj)
{
    const SURVDIFF* sd = us->survdiff;
    lmc.method = QXMCLSM_T;
    raw = engineRun(&lmc, rows);
    bool complete = raw != nullptr;
    rmsRaise(us, lmc.rc);
    // Without ADJUST= no adjusted p-value is shown, so none is computed.
    if (adjust && sd->method != QXMCLSM_T) {
        lmc.method = sd->method;
        lmc.step = sd->step;
        lmc.steprep = sd->steprep;
        lmc.stepcsize = sd->stepcsize;
        lmc.stepliberal = 0;
        lmc.steporder = sd->steporder;
        lmc.stepmaxtime = sd->stepmaxtime;
        adj = engineRun(&lmc, rows);
        complete = complete && adj;
        rmsRaise(us, lmc.rc);
    }
    return complete;
}

// The cells a row of the comparisons table is put from, bound to its columns.
struct DiffCells {
    const ZLEVVAR* lv = nullptr; // the one inner classification variable (null: strata)
    int len = 0;                 // width of its text values (0: numeric values)
    char* text = nullptr;        // the two levels' texts, len characters each
    NAMESTR copy1{}, copy2{};    // its descriptor, as Group1 and Group2
    double level1 = 0, level2 = 0;
    double est = 0, se = 0, chisq = 0, p0 = 0, p1 = 0;
};

// The two columns of the levels compared: the inner variable's values
// headed by its label (else its name), or the stratum numbers. False when
// the texts' buffer cannot be had.
bool levelColumns(rmsUserPtr us, DiffCells& c)
{
    ZRMSMANAGER* q = us->q;
    ZRMSVDQ* zog = q->zog;
    const int inner = q->mod.clas.n - q->b1;
    c.lv = inner == 1 ? &q->mod.clas.v[q->b1] : nullptr;
    const ZLEVVAR* lv = c.lv;
    c.len = lv && lv->n->ntype != 1 ? std::max(vyr_namestr_length(*lv->n), lv->vlen) : 0;
    if (!lv) {
        zrmstblAddColumnDK(zog, &c.level1, vdqmsg(326, msg326::RMS_STRATUM), "StratumNumber1");
        zrmstblAddColumnDK(zog, &c.level2, vdqmsg(326, msg326::RMS_STRATUM), "StratumNumber2");
        zrmstblAddDynamicSkey(zog, "Start1", vdqtxt("StratumNumber1", -1));
        zrmstblAddDynamicSkey(zog, "Start2", vdqtxt("StratumNumber2", -1));
        return true;
    }
    const int len = c.len;
    if (len > 0) {
        c.text = static_cast<char*>(rmsAlloc(us, 2L * len));
        if (!c.text)
            return false;
    }
    c.copy1 = *lv->n;
    c.copy2 = *lv->n;
    c.copy1.name_p = "Group1";
    c.copy2.name_p = "Group2";
    c.copy1.namelen = c.copy2.namelen = 6;
    // Both columns are headed by the variable's label, else its name.
    if (lv->n->nlablen <= 0) {
        c.copy1.label_p = c.copy2.label_p = lv->n->name_p;
        c.copy1.nlablen = c.copy2.nlablen = lv->n->namelen;
    }
    const char* col = len > 0 ? "GenericCharVar" : "GenericNumVar";
    if (len > 0) {
        zrmstblAddColumnV(zog, c.text, &c.copy1, len, col, 0);
        zrmstblAddColumnV(zog, c.text + len, &c.copy2, len, col, 0);
    } else {
        zrmstblAddColumnV(zog, &c.level1, &c.copy1, 0, col, 0);
        zrmstblAddColumnV(zog, &c.level2, &c.copy2, 0, col, 0);
    }
    zrmstblAddDynamicSkey(zog, "Start1", vdqtxt(col, -1));
    zrmstblAddDynamicSkey(zog, "Start2", vdqtxt(col, -1));
    return true;
}

// The statistics' columns, the p-values' (with ADJUST= the adjusted one
// too, headed by its method) and the title; then the table is opened.
void statisticColumns(rmsUserPtr us, DiffCells& c, bool approx, short Srmtl, const char* name)
{
    ZRMSVDQ* zog = us->q->zog;
    const SURVDIFF* sd = us->survdiff;
    zrmstblAddScalarInt(zog, "PrtGroup", us->ng ? 1 : 0);
    zrmstblAddScalarInt(zog, "PrtStrat", us->ng ? 0 : 1);
    if (us->Sratio != 0) {
        zrmstblAddColumnD(zog, &c.est, Srmtl ? msg326::RMS_RMTL_RATIO : msg326::RMS_RMST_RATIO,
                          "Ratio");
        zrmstblAddColumnD(zog, &c.se, msg326::RMS_LOG_RATIO_STDERR, "StdErrLogRatio");
    } else {
        zrmstblAddColumnD(zog, &c.est, Srmtl ? msg326::RMS_RMTL : msg326::RMS_RMST, "Estimate");
        zrmstblAddColumnD(zog, &c.se, msg326::RMS_STDERR, "StdErr");
    }
    zrmstblAddColumnD(zog, &c.chisq, msg326::RMS_CHISQ, "ChiSq");
    const xobskey adjLabel = vdqmsg(0, approx ? approximationLabel(sd) : adjustmentLabel(sd));
    if (us->Sadj == 0) {
        const xobskey pv = vdqmsg(326, msg326::RMS_PCHISQ);
        zrmstblAddColumnDK(zog, &c.p0, pv, "ProbChiSq");
        zrmstblAddScalarInt(zog, "PrtPval", 0);
        zrmstblAddDynamicSkey(zog, "TitleText",
                              vdqmsg(326, Srmtl ? msg326::RMS_DIFF_RMTL : msg326::RMS_DIFF_RMST));
        zrmstblAddDynamicSkey(zog, "PVText", pv);
    } else {
        const xobskey pv = vdqmsg(326, msg326::RMS_UNADJUSTED);
        zrmstblAddColumnDK(zog, &c.p0, pv, "ProbChiSq");
        zrmstblAddColumnDK(zog, &c.p1, adjLabel, "AdjProbChiSq");
        zrmstblAddScalarInt(zog, "PrtPval", 1);
        zrmstblAddDynamicSkey(
            zog, "TitleText",
            vdqmsgs(326, Srmtl ? msg326::RMS_DIFF_ADJ_RMTL : msg326::RMS_DIFF_ADJ_RMST, adjLabel));
        zrmstblAddDynamicSkey(zog, "PVText", pv);
    }
    zrmstblInit(zog);
    zrmstblOutG(zog, zrmstblTemplate(zog, name), 0);
}

// The label of active level i in column which (0 or 1): its level's value
// or text, or its number among the active levels (as the table of
// estimates numbers it).
void setLevel(const ZRMSMANAGER* q, DiffCells& c, int which, int i)
{
    const ZLEVVAR* lv = c.lv;
    if (!lv) {
        (which ? c.level2 : c.level1) = i + 1;
        return;
    }
    int l = 0;
    rmsSplitKey(q, q->x0[i], q->b1, 1, &l);
    if (c.len > 0) {
        char* at = c.text + (which ? c.len : 0);
        std::memset(at, ' ', static_cast<size_t>(c.len));
        const std::string t = trimmed(lv->val.l[l], lv->vlen);
        std::memcpy(at, t.data(), std::min<size_t>(t.size(), static_cast<size_t>(c.len)));
    } else {
        (which ? c.level2 : c.level1) = lv->true_ ? lv->true_[l].z : korv_missing();
    }
}

// The row of level i against level j, the row-th comparison of the engine.
void putComparison(ZRMSMANAGER* q, DiffCells& c, bool ratio, int i, int j, const double* raw,
                   const double* adj, int row)
{
    // The variances are in units of rmsUnit(q), the estimates are not: a
    // difference is divided by the unit before it meets a variance, and its
    // standard error multiplied back.
    const double unit = rmsUnit(q);
    const double ei = q->x1[i], ej = q->x1[j];
    const double vi = q->x2[packed(i, i)], vj = q->x2[packed(j, j)];
    double d, v;
    if (ratio) {
        const bool ok = ei > 0 && ej > 0;
        const double eiu = ei / unit, eju = ej / unit;
        c.est = ok ? ei / ej : korv_missing();
        d = ok ? std::log(ei) - std::log(ej) : 0;
        v = ok ? vi / (eiu * eiu) + vj / (eju * eju) : 0;
        c.se = ok ? std::sqrt(v) : korv_missing();
    } else {
        c.est = ei - ej;
        d = c.est / unit;
        v = vi + vj;
        c.se = std::sqrt(v) * unit;
        if (!std::isfinite(c.se))
            c.se = korv_missing();
    }
    // A comparison without variance has no statistic and no p-value.
    const bool stat = v > DBL_MIN && !(ratio && wzmis(c.se));
    c.chisq = stat ? d * d / v : korv_missing();
    c.p0 = stat && raw ? raw[row] : korv_missing();
    c.p1 = stat && adj ? adj[row] : korv_missing();
    setLevel(q, c, 0, i);
    setLevel(q, c, 1, j);
    zrmstblPut(q->zog);
}

} // namespace

int findIndex(rmsUserPtr us)
{
    ZRMSMANAGER* q = us->q;
    SURVDIFF* sd = us->survdiff;
    const int nc = q->mod.clas.n;
    auto fail = [&]() {
        std::string text;
        for (int v = 0; v < sd->nref && text.size() < 400; ++v)
            text += (v ? " '" : "'") +
                    std::string(sd->ref[v].s,
                                static_cast<size_t>(std::min<int64_t>(sd->ref[v].l, 100))) +
                    "'";
        xpmlog(326, msg326::RMS_CONTROL_NOT_FOUND, text.c_str());
        rmsRaise(us, 4);
        sd->idxcntl = 0;
        return 0;
    };
    if (q->b1 >= nc || !sd->ref)
        return fail();
    // The inner key of the values: the mixed-radix number of their levels,
    // the first variable most significant.
    double key = 0;
    for (int v = q->b1, r = 0; v < nc; ++v, ++r) {
        const ZLEVVAR& var = q->mod.clas.v[v];
        if (r >= sd->nref || var.nlev < 1)
            return fail();
        const std::string want(sd->ref[r].s, static_cast<size_t>(sd->ref[r].l));
        int found = -1;
        for (int l = 0; l < var.nlev && found < 0; ++l)
            if (trimmed(var.val.l[l], var.vlen) == want)
                found = l;
        if (found < 0)
            return fail();
        key = key * var.nlev + found;
    }
    const int slot = rmsSlotOf(q, key);
    if (slot < 0 || q->n2df[slot] <= 0)
        return fail();
    sd->idxcntl = q->n2id[slot];
    return sd->idxcntl;
}

rmsRetCodes MultipleComparison(rmsUserPtr us, short Srmtl)
{
    if (us->Snoprint)
        return ZRMS_NOPROBLEM;
    ZRMSMANAGER* q = us->q;
    if (!q || !q->zog || !q->zog->vdq || !q->zog->templ)
        return ZRMS_TASKFAILED;
    SURVDIFF* sd = us->survdiff;
    ZRMSVDQ* zog = q->zog;
    const int k = q->n2a;
    const bool control = sd->type == QXMCLSM_CONTROL;
    const int rows = control ? k - 1 : k * (k - 1) / 2;
    const bool ratio = us->Sratio != 0;
    const bool adjust = us->Sadj != 0;

    std::vector<double> mean, var;
    const bool positive = engineInput(q, ratio, mean, var);
    if (ratio && !positive)
        xpmlog(326, msg326::RMS_RATIO_NOT_POSITIVE, Srmtl ? "RMTL" : "RMST");

    ZMCLSMI lmc;
    engineSettings(us, lmc, control, mean, var);
    lmc.subject = Srmtl ? "the comparisons of RMTL" : "the comparisons of RMST";
    double* raw = nullptr;
    double* adj = nullptr;
    if (positive && !enginePValues(us, lmc, rows, adjust, raw, adj)) {
        xpmlog(326, msg326::RMS_NO_PVALUES, Srmtl ? "RMTL" : "RMST");
        rmsRaise(us, 1012);
    }

    // Tukey's or Dunnett's p-values beyond the levels the engine integrates
    // exactly are the Tukey-Kramer or Hsu approximations: the column and the
    // title name the method used, and a note under the table says why.
    const bool approx = adj && sd->method == QXMCLSM_EXACT && lmc.exact == 0;

    // The table.
    const char* name = Srmtl ? "RMTLDiff" : "RMSTDiff";
    zrmstblSetUpTable(zog, vdqmsg(0, Srmtl ? msg0::RMS_RMTL_DIFF_TITLE : msg0::RMS_RMST_DIFF_TITLE),
                      name, 0);
    zrmstblSetContentsLabel(zog, vdqmsg(0, Srmtl ? msg0::RMS_RMTL_DIFF : msg0::RMS_RMST_DIFF));
    DiffCells cells;
    if (!levelColumns(us, cells))
        return ZRMS_NOMEMORY;
    statisticColumns(us, cells, approx, Srmtl, name);
    int row = 0;
    if (control) {
        const int r = lmc.idxcntl;
        for (int i = 0; i < k; ++i)
            if (i != r)
                putComparison(q, cells, ratio, i, r, raw, adj, row++);
    } else {
        for (int i = 0; i + 1 < k; ++i)
            for (int j = i + 1; j < k; ++j)
                putComparison(q, cells, ratio, i, j, raw, adj, row++);
    }
    if (approx)
        zog->AfterNote =
            vdqmsgs(326, control ? msg326::MC_NOTE_HSU : msg326::MC_NOTE_TUKEY_KRAMER, k);
    zrmstblClose(zog);
    zog->AfterNote = nullptr;
    if (raw)
        q->pool->free(q->pool, raw, -1, 4);
    if (adj)
        q->pool->free(q->pool, adj, -1, 4);
    return ZRMS_NOPROBLEM;
}
