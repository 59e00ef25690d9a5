// The printed results of one restricted-mean analysis: the factoid with the
// restriction time, the table of estimates per stratum or GROUP= level, the
// "NAME = value" labels of the levels used by the plots, and the hidden
// plot-data tables.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/statement.h"
#include "rmst/rmst.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"

namespace
{

bool printable(rmsUserPtr us)
{
    const ZRMSMANAGER* q = us->q;
    return q && q->zog && q->zog->vdq && q->zog->templ;
}

// The text of level l of classification variable v, without trailing blanks.
std::string levelText(const ZLEVVAR& v, int l)
{
    if (l < 0 || l >= v.nlev || !v.val.l)
        return std::string();
    const char* p = v.val.l[l];
    int n = v.vlen;
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0'))
        --n;
    int a = 0;
    while (a < n && p[a] == ' ')
        ++a;
    return std::string(p + a, static_cast<size_t>(n - a));
}

// "NAME = value NAME = value" of the levels of classification variables
// first .. first + n - 1 in the key; a label that would pass column 253 ends
// in "...".
std::string levelName(const ZRMSMANAGER* q, double key, int first, int n)
{
    std::vector<int> lev(static_cast<size_t>(std::max(n, 1)));
    rmsSplitKey(q, key, first, n, lev.data());
    std::string out;
    for (int i = 0; i < n; ++i) {
        const ZLEVVAR& v = q->mod.clas.v[first + i];
        std::string piece(v.n->name_p, static_cast<size_t>(v.n->namelen));
        piece += " = " + levelText(v, lev[static_cast<size_t>(i)]) + " ";
        if (out.size() + piece.size() > 253) {
            out += "...";
            return out;
        }
        out += piece;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

char* poolText(rmsUserPtr us, const std::string& s)
{
    char* p = static_cast<char*>(rmsAlloc(us, static_cast<int64_t>(s.size()) + 1));
    if (p)
        std::memcpy(p, s.data(), s.size());
    return p;
}

} // namespace

rmsRetCodes PrintHead(rmsUserPtr us, short Srmtl)
{
    if (us->Snoprint || !printable(us))
        return ZRMS_NOPROBLEM;
    ZRMSVDQ* zog = us->q->zog;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);
    const char* name = Srmtl ? "RMTLInfo" : "RMSTInfo";
    WOB_PARM_BLK_STR pb[] = {
        wob_string(WOB_TAG_PACKAGE, "vdq", 3),
        wob_string(WOB_TAG_CLASS, "factoid", 7),
        wob_object(WOB_TAG_OUT, nullptr),
        wob_key(WOB_TAG_TEMPLATE,
                vdqtxt(Srmtl ? "Stat.Korvante.RMTLInfo" : "Stat.Korvante.RMSTInfo", 22)),
        wob_int(WOB_TAG_148, -1),
        wob_key(WOB_TAG_NAME, vdqtxt(name, -1)),
        wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::RMS_INFO))};
    wobcall(zog->vdq, WOB_SEL_CREATE, pb);
    xobop factoid = pb[2].value.o;
    WOB_PARM_BLK_STR e[] = {wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::RMS_TAU)),
                            wob_double(WOB_TAG_DYNVALUE, opt->tau), wob_int(WOB_TAG_WIDTH, 12),
                            wob_int(WOB_TAG_DECIMALS, 99)};
    wobcall(factoid, WOB_SEL_ADD_ENTRY, e);
    WOB_PARM_BLK_STR end[] = {wob_int(WOB_TAG_ENDDATA, 1)};
    wobcall(factoid, WOB_SEL_END_DATA, end);
    return ZRMS_NOPROBLEM;
}

rmsRetCodes PrintRMS(rmsUserPtr us, short Srmtl)
{
    if (us->Snoprint || !printable(us))
        return ZRMS_NOPROBLEM;
    ZRMSMANAGER* q = us->q;
    ZRMSVDQ* zog = q->zog;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);
    const xobskey stat = vdqmsg(0, Srmtl ? msg0::RMS_RMTL_TITLE : msg0::RMS_RMST_TITLE);
    const char* tname = Srmtl ? "RMTL" : "RMST";
    zrmstblSetUpTable(zog, stat, tname, 0);
    zrmstblSetContentsLabel(zog,
                            vdqmsg(0, Srmtl ? msg0::RMS_RMTL_CONTENTS : msg0::RMS_RMST_CONTENTS));

    // The row's values, bound to the columns.
    const int k = q->mod.clas.n;
    std::vector<int> width(static_cast<size_t>(k), 0), offset(static_cast<size_t>(k), 0);
    int total = 0;
    for (int i = 0; i < k; ++i) {
        const ZLEVVAR& v = q->mod.clas.v[i];
        if (v.n->ntype != 1) {
            width[static_cast<size_t>(i)] = std::max(vyr_namestr_length(*v.n), v.vlen);
            offset[static_cast<size_t>(i)] = total;
            total += width[static_cast<size_t>(i)];
        }
    }
    char* text = nullptr;
    double* nums = nullptr;
    if (k > 0) {
        text = static_cast<char*>(rmsAlloc(us, std::max(total, 1)));
        nums = static_cast<double*>(rmsAlloc(us, static_cast<int64_t>(k) * 8));
        if (!text || !nums)
            return ZRMS_NOMEMORY;
    }
    int stratum = 0;
    double tau = opt->tau, est = 0, se = 0, upper = 0, lower = 0;
    if (us->ns > 0)
        zrmstblAddColumnI(zog, &stratum, msg326::RMS_STRATUM, "Stratum", 4);
    for (int i = 0; i < k; ++i) {
        const ZLEVVAR& v = q->mod.clas.v[i];
        if (v.n->ntype == 1)
            zrmstblAddColumnV(zog, &nums[i], v.n, 0, "GenericNumVar", 0);
        else
            zrmstblAddColumnV(zog, text + offset[static_cast<size_t>(i)], v.n,
                              width[static_cast<size_t>(i)], "GenericCharVar", 0);
    }
    zrmstblAddColumnD(zog, &tau, msg326::RMS_TAU_LABEL, "Tau");
    zrmstblAddColumnD(zog, &est, Srmtl ? msg326::RMS_RMTL : msg326::RMS_RMST, "Estimate");
    zrmstblAddColumnD(zog, &se, msg326::RMS_STDERR, "StdErr");
    if (opt->Scl) {
        zrmstblAddColumnD(zog, &upper, msg326::RMS_UPPER_LABEL, "UpperLimit");
        zrmstblAddColumnD(zog, &lower, msg326::RMS_LOWER_LABEL, "LowerLimit");
        zrmstblAddDynamicSkey(zog, "Confidence", vdqtxts("%g", -1, (1 - us->alpha) * 100));
    }
    zrmstblAddDynamicSkey(zog, "Statistic", stat);
    zrmstblInit(zog);
    zrmstblOut(zog, zrmstblTemplate(zog, tname));

    std::vector<int> lev(static_cast<size_t>(std::max(k, 1)));
    for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
        auto* u = reinterpret_cast<ZRMSUNODE*>(a);
        for (QXEAVLNODE* b = u->stree->first(u->stree); b; b = u->stree->next(u->stree, b)) {
            auto* s = reinterpret_cast<ZRMSSNODE*>(b);
            if (q->n2df[s->slot] <= 0)
                continue;
            stratum = us->ng ? u->id + 1 : q->n2id[s->slot] + 1;
            // A cell whose records all have frequency 0 has no estimate.
            if (s->atrisk > 0) {
                est = Srmtl ? s->rmtl : s->rmst;
                se = std::sqrt(s->var) * rmsUnit(q);
                // A value beyond the largest double is missing, and so are
                // the limits of a missing standard error.
                if (std::isfinite(se)) {
                    upper = est + us->zval * se;
                    if (!std::isfinite(upper))
                        upper = korv_missing();
                    lower = std::max(est - us->zval * se, 0.0);
                } else {
                    se = upper = lower = korv_missing();
                }
            } else {
                est = se = upper = lower = korv_missing();
            }
            if (k > 0) {
                std::memset(text, ' ', static_cast<size_t>(std::max(total, 1)));
                rmsSplitKey(q, u->key, 0, q->b1, lev.data());
                rmsSplitKey(q, s->key, q->b1, k - q->b1, lev.data() + q->b1);
                for (int i = 0; i < k; ++i) {
                    const ZLEVVAR& v = q->mod.clas.v[i];
                    const int l = lev[static_cast<size_t>(i)];
                    if (v.n->ntype == 1) {
                        nums[i] = v.true_ ? v.true_[l].z : korv_missing();
                    } else {
                        const std::string t = levelText(v, l);
                        std::memcpy(text + offset[static_cast<size_t>(i)], t.data(),
                                    std::min<size_t>(t.size(), static_cast<size_t>(
                                                                   width[static_cast<size_t>(i)])));
                    }
                }
            }
            zrmstblPut(zog);
        }
    }
    zrmstblClose(zog);
    return ZRMS_NOPROBLEM;
}

rmsRetCodes AssembleLevelNames(rmsUserPtr us)
{
    ZRMSMANAGER* q = us->q;
    const int k = q->mod.clas.n;
    if (us->ng) {
        for (QXEAVLNODE* a = q->utree->first(q->utree); a; a = q->utree->next(q->utree, a)) {
            auto* u = reinterpret_cast<ZRMSUNODE*>(a);
            const std::string name = levelName(q, u->key, 0, q->b1);
            u->name = poolText(us, name);
            if (!u->name)
                return ZRMS_NOMEMORY;
            u->namelen = static_cast<int>(name.size());
            q->ln1len = std::max(q->ln1len, u->namelen);
        }
    }
    if (k > 0 && q->n2 > 0) {
        q->ln2 = static_cast<char**>(rmsAlloc(us, q->n2 * static_cast<int64_t>(sizeof(char*))));
        q->ln2l = static_cast<int*>(rmsAlloc(us, q->n2 * static_cast<int64_t>(sizeof(int))));
        if (!q->ln2 || !q->ln2l)
            return ZRMS_NOMEMORY;
        for (int i = 0; i < q->n2; ++i) {
            const std::string name = levelName(q, q->ikeys[i], q->b1, k - q->b1);
            q->ln2[i] = poolText(us, name);
            if (!q->ln2[i])
                return ZRMS_NOMEMORY;
            q->ln2l[i] = static_cast<int>(name.size());
            q->ln2len = std::max(q->ln2len, q->ln2l[i]);
        }
    }
    return ZRMS_NOPROBLEM;
}

ZRMSVDQ* SetRMSTable(rmsUserPtr us, short Srmtl)
{
    if (!printable(us))
        return nullptr;
    ZRMSMANAGER* q = us->q;
    const ZRMSOPT* opt = rmsOpt(us, Srmtl);
    ZRMSOUTDEST& d = q->dest;
    auto* zog = static_cast<ZRMSVDQ*>(rmsAlloc(us, sizeof(ZRMSVDQ)));
    if (!zog)
        return nullptr;
    zog->vdq = q->zog->vdq;
    zog->templ = q->zog->templ;
    zog->pool = us->pool;
    zog->com = us;
    zrmstblSetUpTable(zog, vdqmsg(326, msg326::RMS_PLOT_DATA), "RMST", 0);
    zrmstblSetContentsLabel(zog,
                            vdqmsg(326, Srmtl ? msg326::RMS_TITLE_RMTLN : msg326::RMS_TITLE_RMSTN));
    zrmstblAddColumnD(zog, &d.ee, Srmtl ? msg326::RMS_RMTL : msg326::RMS_RMST, "Estimate");
    zrmstblAddColumnDG(zog, &d.tt, vdqtxt("Tau", 3), "Time", "GenericTime");
    if (opt->SplotCL) {
        zrmstblAddColumnD(zog, &d.se, msg326::RMS_STDERR_LABEL, "StdErr");
        zrmstblAddColumnD(zog, &d.ul, msg326::RMS_UPPER_LABEL, "Upper");
        zrmstblAddColumnD(zog, &d.ll, msg326::RMS_LOWER_LABEL, "Lower");
        zrmstblAddDynamicSkey(zog, "alpha", vdqtxts("%g", -1, (1 - us->alpha) * 100));
    }
    // The level column: the inner level's one variable, or a made-up
    // "Stratum" of the level names.
    d.v = nullptr;
    d.nm = nullptr;
    d.nm2 = nullptr;
    const int k = q->mod.clas.n;
    const int inner = k - q->b1;
    if (inner == 1) {
        ZLEVVAR* v = &q->mod.clas.v[q->b1];
        d.v = v;
        d.nm = v->n;
        if (v->n->ntype == 1) {
            zrmstblAddColumnV(zog, &d.level, v->n, 0, "GenericNumVar", 0);
        } else {
            d.lnlen = std::max(vyr_namestr_length(*v->n), v->vlen);
            d.ln = static_cast<char*>(rmsAlloc(us, d.lnlen));
            if (!d.ln)
                return nullptr;
            zrmstblAddColumnV(zog, d.ln, v->n, d.lnlen, "GenericCharVar", 0);
        }
        zog->vector = vdqtxt(v->n->name_p, v->n->namelen);
        zog->vectorName = v->n->nlablen > 0 ? vdqtxt(v->n->label_p, v->n->nlablen) : zog->vector;
    } else if (inner > 1 && !opt->Splotpanel) {
        d.madeNm = NAMESTR{};
        d.madeNm.ntype = 2;
        d.lnlen = std::max(q->ln2len, 1);
        d.madeNm.nlng = static_cast<short>(std::min(d.lnlen, 32767));
        d.madeNm.name_p = "Stratum";
        d.madeNm.namelen = 7;
        d.nm = &d.madeNm;
        d.ln = static_cast<char*>(rmsAlloc(us, d.lnlen));
        if (!d.ln)
            return nullptr;
        zrmstblAddColumnV(zog, d.ln, d.nm, d.lnlen, "GenericCharVar", 0);
        zog->vector = vdqtxt("Stratum", 7);
    }
    zrmstblAddColumnDG(zog, &d.id, vdqmsg(326, msg326::RMS_GROUP_ID), "GroupID", "GenericID");
    if (opt->Splotpanel) {
        d.madeNm2 = NAMESTR{};
        d.madeNm2.ntype = 2;
        d.ln2len = std::max(us->ng ? q->ln1len : q->ln2len, 1);
        d.madeNm2.nlng = static_cast<short>(std::min(d.ln2len, 32767));
        d.madeNm2.name_p = "Stratum";
        d.madeNm2.namelen = 7;
        d.nm2 = &d.madeNm2;
        d.ln2 = static_cast<char*>(rmsAlloc(us, d.ln2len));
        if (!d.ln2)
            return nullptr;
        zrmstblAddColumnV(zog, d.ln2, d.nm2, d.ln2len, "GenericCharVar", 0);
    }
    zrmstblInit(zog);
    // Plot data are kept out of the printed output unless PRINTPHANTOM asks
    // to see them.
    zrmstblOutG(zog, zrmstblTemplate(zog, "RMS"),
                stmt_bit(us->proc, proc_bit::PRINTPHANTOM) ? 0 : 1);
    return zog;
}
