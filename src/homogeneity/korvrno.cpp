// The rank tests of association of one score (Wilcoxon or log-rank): the
// univariate chi-squares, the covariance table, the forward stepwise
// sequence and the OUTTEST= rows.
//
// Whether a covariate carries information is judged against its own scale
// (the sum of a x^2 over its valid records), and the stepwise sweep runs on
// the covariance scaled to a unit diagonal: the tests then come out the same
// whatever units the covariates are recorded in, and a covariate in small
// units is neither dropped nor kept out of the sequence by another one in
// large units.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "common/options.h"
#include "homogeneity/assoc.h"
#include "homogeneity/homogeneity.h"
#include "numeric/gamma.h"
#include "results/slots.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

inline int64_t diag(int i)
{
    return static_cast<int64_t>(i) * (i + 3) / 2;
}

// Blank-pads field (length n) with the first n bytes of text.
void put_text(char* field, int n, const varstring& text)
{
    if (n <= 0)
        return;
    std::memset(field, ' ', static_cast<size_t>(n));
    const int64_t len = std::min<int64_t>(text.l, n);
    if (len > 0 && text.s)
        std::memcpy(field, text.s, static_cast<size_t>(len));
}

void open_table(KorvPtr q, xobop data, const char* templ)
{
    WOB_PARM_BLK_STR pb[] = {wob_object(WOB_TAG_OBJECT, nullptr), wob_object(WOB_TAG_OBJECT, data),
                             wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1))};
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    q->output = pb[0].value.o;
}

void close_table(KorvPtr q, xobop data)
{
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(data, WOB_SEL_END_DATA, end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
}

void write_row(KorvPtr q)
{
    auto* ds = static_cast<DSHANDLE*>(q->fileoutt);
    int st = xyvput(static_cast<XVHANDLE*>(q->cvput), nullptr);
    if (st == 0)
        st = xoadd(ds);
    if (st != 0)
        xofprc(ds, st, 4);
}

// The score row, then one covariance row per covariate.
void outtest_rows(KorvPtr q, const double* var, double chisq, const char* type)
{
    const int p = q->ncvar;
    const double* u = var + korv_assoc_q2(p);
    const int width = std::clamp(q->maxname, 0, 32);
    std::memcpy(q->typetype, type, 8);
    put_text(q->varname, width, q->timename);
    q->iovar[unichi_slot::STATISTIC] = chisq;
    std::copy(u, u + p, q->buffy);
    write_row(q);
    for (int i = 0; i < p; ++i) {
        put_text(q->varname, width, q->c[i].name);
        q->iovar[unichi_slot::STATISTIC] = u[i];
        korv_packed_row(var, p, i, q->buffy);
        write_row(q);
    }
    std::memset(q->varname, ' ', sizeof q->varname);
}

void covariate_row(KorvPtr q, int i)
{
    put_text(q->varname, std::min(q->cnamlen, 32), q->c[i].name);
    if (q->clablen > 0)
        put_text(q->label, std::min(q->clablen, 256), q->c[i].label);
}

void univariate_table(KorvPtr q, const std::vector<AssocUni>& uni, bool wil)
{
    xobop t = wil ? q->UniChiW : q->UniChiL;
    if (!t)
        return;
    open_table(q, t, wil ? "Stat.Korvante.WilUniChiSq" : "Stat.Korvante.LogUniChiSq");
    for (int i = 0; i < q->ncvar; ++i) {
        const AssocUni& r = uni[static_cast<size_t>(i)];
        covariate_row(q, i);
        q->iovar[unichi_slot::STATISTIC] = r.stat;
        q->iovar[unichi_slot::STDERR] = r.se;
        q->iovar[unichi_slot::CHISQ] = r.chisq;
        q->iovar[unichi_slot::PROB] = r.p;
        wobcall(t, WOB_SEL_PUT_ROW);
    }
    close_table(q, t);
}

void covariance_table(KorvPtr q, double* var, bool wil)
{
    const int p = q->ncvar;
    std::vector<varstring> names(static_cast<size_t>(p));
    for (int i = 0; i < p; ++i)
        names[i] = q->c[i].name;
    WOB_PARM_BLK_STR m[15];
    m[0] = wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.TestCov", -1));
    m[1] = wob_key(WOB_TAG_NAME, vdqtxt(wil ? "WilTestCov" : "LogTestCov", -1));
    m[2] = wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::RANK_COVARIANCE));
    m[3] = WOB_PARM_BLK_STR{};
    m[3].tag = WOB_TAG_MATRIX;
    m[3].type = WOB_T_PMATRIX;
    m[3].value.p = var;
    m[4] = wob_int(278, 8);
    m[5] = wob_key(WOB_TAG_COLHEAD, vdqmsg(0, msg0::VARIABLE));
    m[6] = wob_int(WOB_TAG_NROWS, p);
    m[7] = wob_int(WOB_TAG_NCOLS, p);
    m[8] = wob_string(WOB_TAG_LAYOUT, "sf", 2);
    m[9] = WOB_PARM_BLK_STR{};
    m[9].tag = WOB_TAG_ROWLABELS;
    m[9].type = WOB_T_NAMESTR;
    m[9].value.p = names.data();
    m[10] = m[9];
    m[10].tag = WOB_TAG_COLLABELS;
    m[11] = wob_int(WOB_TAG_371, 2);
    m[12] =
        wob_key(WOB_TAG_HEADER_KEY, vdqmsg(0, wil ? msg0::WILCOXON_SCORES : msg0::LOGRANK_SCORES));
    m[13] = wob_int(280, 1);
    m[14] = wob_int(366, 1);
    wobcall(q->vdq, WOB_SEL_MATRIX_OUTPUT, m);
}

void stepwise_table(KorvPtr q, bool wil)
{
    xobop t = wil ? q->StepW : q->StepL;
    if (!t)
        return;
    open_table(q, t, wil ? "Stat.Korvante.WilForwStepSeq" : "Stat.Korvante.LogForwStepSeq");
    double oldchi = 0;
    for (int j = 0; j <= q->stchi->num; ++j) {
        const STSEQ& s = q->stchi->q[j];
        covariate_row(q, s.ivar);
        const double inc = s.chi - oldchi;
        q->iovar[step_slot::DF] = s.df;
        q->iovar[step_slot::CHISQ] = s.chi;
        q->iovar[step_slot::PROB] = zpgx2(s.chi, s.df);
        q->iovar[step_slot::INCREMENT] = inc;
        q->iovar[step_slot::PROB_INCREMENT] = zpgx2(inc, 1);
        wobcall(t, WOB_SEL_PUT_ROW);
        oldchi = s.chi;
    }
    close_table(q, t);
}

} // namespace

void korv_packed_row(const double* packed, int p, int i, double* row)
{
    for (int j = 0; j < p; ++j)
        row[j] = packed[i >= j ? static_cast<int64_t>(i) * (i + 1) / 2 + j
                               : static_cast<int64_t>(j) * (j + 1) / 2 + i];
}

bool korv_assoc_usable(const double* var, int i, const double* scale, double singular)
{
    const double v = var[diag(i)];
    return v > 0 && std::isfinite(v) && v > singular * scale[i];
}

AssocUni korv_assoc_univariate(const double* var, int p, int i, const double* scale,
                               double singular, const double* unit)
{
    const double u = var[korv_assoc_q2(p) + i];
    const double c = unit && unit[i] > 0 ? unit[i] : 1.0;
    AssocUni r{u * c, 0.0, korv_missing(), korv_missing()};
    if (korv_assoc_usable(var, i, scale, singular)) {
        const double v = var[diag(i)];
        r.se = std::sqrt(v) * c;
        r.chisq = u * u / v;
        r.p = zpgx2(r.chisq, 1);
    }
    for (double* x : {&r.stat, &r.se})
        if (!std::isfinite(*x))
            *x = korv_missing();
    return r;
}

void korv_assoc_unscale(double* var, int p, const double* unit, bool* lost)
{
    auto c = [unit](int i) { return unit && unit[i] > 0 ? unit[i] : 1.0; };
    std::fill(lost, lost + p, false);
    auto put = [&](double& x, double f, int i, int j) {
        x = x * f;
        if (!std::isfinite(x) && !wzmis(x)) {
            x = korv_missing();
            lost[i] = true;
            lost[j] = true;
        }
    };
    for (int i = 0; i < p; ++i) {
        double* row = var + static_cast<int64_t>(i) * (i + 1) / 2;
        for (int j = 0; j <= i; ++j)
            put(row[j], c(i) * c(j), i, j);
        put(var[korv_assoc_q2(p) + i], c(i), i, i);
    }
}

void korv_assoc_guard(double* var, int p)
{
    for (int i = 0; i < p; ++i) {
        if (!(var[diag(i)] < 2.225073858507202e-305))
            continue;
        for (int j = 0; j < p; ++j)
            var[i >= j ? static_cast<int64_t>(i) * (i + 1) / 2 + j
                       : static_cast<int64_t>(j) * (j + 1) / 2 + i] = 0.0;
    }
}

AssocResult korv_assoc_steps(const double* var, int p, const double* scale, double singular,
                             double* copy, char* dfs, double* work, STSEQ* steps)
{
    const int64_t q3 = korv_assoc_q3(p);
    std::copy(var, var + q3, copy);
    copy[q3 - 1] = 0.0;
    // The covariates with information take part, each scaled to unit
    // variance; the scores scale with them and the statistic does not
    // change.
    int m = 0;
    for (int i = 0; i < p; ++i) {
        const bool active = korv_assoc_usable(var, i, scale, singular);
        dfs[i] = active ? '0' : '*';
        work[i] = active ? 1.0 / std::sqrt(var[diag(i)]) : 0.0;
        m += active ? 1 : 0;
    }
    dfs[p] = '0';
    work[p] = 1.0;
    for (int i = 0; i <= p; ++i) {
        double* r = copy + static_cast<int64_t>(i) * (i + 1) / 2;
        for (int j = 0; j <= i; ++j)
            r[j] *= work[i] * work[j];
    }
    const double tol = singular * m;
    AssocResult res;
    for (int s = 0; s < p; ++s) {
        const int k = korvcs(nullptr, copy, p, dfs, work, tol);
        if (k < 0)
            break;
        steps[s] = STSEQ{k, s + 1, -copy[q3 - 1]};
        res.nsteps = s + 1;
    }
    res.chisq = -copy[q3 - 1] + 0.0;
    return res;
}

void korvrno(KorvPtr q, double* var, char* dfs, char* /*rowname*/, const char* type)
{
    const int p = q->ncvar;
    if (p <= 0)
        return;
    const AssocArea a = korv_assoc_area(q->wil, p);
    const bool wil = std::memcmp(type, "WILCOXON", 8) == 0;
    // The Wilcoxon call comes first in a BY group and makes the record of
    // the sequence, in the group's pool; the log-rank call reuses it.
    if (wil || !q->stchi) {
        q->stchi = static_cast<STEPCHI*>(xmalloc_or_exit(q->polnode, sizeof(STEPCHI), 0x2000));
        q->stchi->q = static_cast<STSEQ*>(
            xmalloc_or_exit(q->polnode, static_cast<int64_t>(p) * sizeof(STSEQ), 0x2000));
    } else {
        std::fill(q->stchi->q, q->stchi->q + p, STSEQ{0, 0, 0.0});
    }
    // The tests are formed in the covariates' units of the area, where
    // nothing overflows; the chi-squares do not depend on the units. The
    // scores and covariances printed and written are then turned back into
    // the covariates' own units.
    korv_assoc_guard(var, p);
    const double singular = q->singular > 0 ? q->singular : 1e-12;
    const AssocResult r =
        korv_assoc_steps(var, p, a.scale, singular, a.copy, dfs, a.sweep, q->stchi->q);
    q->stchi->num = r.nsteps - 1;
    std::vector<AssocUni> uni(static_cast<size_t>(p));
    for (int i = 0; i < p; ++i)
        uni[static_cast<size_t>(i)] = korv_assoc_univariate(var, p, i, a.scale, singular, a.unit);
    const std::unique_ptr<bool[]> lost(new bool[static_cast<size_t>(p)]);
    korv_assoc_unscale(var, p, a.unit, lost.get());
    for (int i = 0; i < p; ++i)
        if (lost[static_cast<size_t>(i)]) {
            const varstring& n = q->c[i].name;
            int len = static_cast<int>(n.l);
            while (len > 0 && n.s[len - 1] == ' ')
                --len;
            xpmlog(326, msg326::ASSOCIATION_COVARIANCE_LOST, wil ? "Wilcoxon" : "log-rank", len,
                   n.s);
            q->rc = std::max(q->rc, 4);
        }
    if (q->fileoutt && q->cvput)
        outtest_rows(q, var, r.chisq, type);
    if (q->zprint) {
        univariate_table(q, uni, wil);
        covariance_table(q, var, wil);
        stepwise_table(q, wil);
        std::memset(q->varname, ' ', sizeof q->varname);
        if (q->clablen > 0)
            std::memset(q->label, ' ', static_cast<size_t>(std::min(q->clablen, 256)));
    }
}
