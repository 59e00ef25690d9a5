// The closing stage of the tests across strata: details, saved scores,
// chi-square rows, the likelihood-ratio row and the trend branch.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/options.h"
#include "common/stages.h"
#include "common/statement.h"
#include "common/varname.h"
#include "homogeneity/present.h"
#include "lpplot/lpplot.h"
#include "mcomp/survdiff.h"
#include "numeric/gamma.h"
#include "results/slots.h"
#include "runtime/korv_assert.h"
#include "runtime/missing.h"
#include "runtime/wobmth.h"
#include "runtime/wzstr.h"
#include "runtime/xccheck.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace korv_hom
{
namespace
{

struct TestText {
    int bit;
    int label;       // row label (group 326)
    const char* cov; // covariance table name
    int covLabel;    // its label (group 0)
    int covHeader;   // its column header (group 0)
};
constexpr TestText kText[kTests] = {
    {test_bit::LOGRANK, msg326::LOGRANK_LABEL, "LogrankHomCov", msg0::LOGRANK_COVARIANCE,
     msg0::LOGRANK_HEADER},
    {test_bit::WILCOXON, msg326::WILCOXON_LABEL, "WilcoxonHomCov", msg0::WILCOXON_COVARIANCE,
     msg0::WILCOXON_HEADER},
    {test_bit::TARONE, msg326::TARONE_LABEL, "TaroneHomCov", msg0::TARONE_COVARIANCE,
     msg0::TARONE_HEADER},
    {test_bit::PETO, msg326::PETO_LABEL, "PetoHomCov", msg0::PETO_COVARIANCE, msg0::PETO_HEADER},
    {test_bit::MODPETO, msg326::MODPETO_LABEL, "ModPetoHomCov", msg0::MODPETO_COVARIANCE,
     msg0::MODPETO_HEADER},
    {test_bit::FLEMING, 0, "FlemingHomCov", msg0::FLEMING_COVARIANCE, msg0::FLEMING_HEADER},
};

double* ogstat_slot(OGSTAT* og, int i)
{
    switch (i) {
    case 0:
        return &og->logrank;
    case 1:
        return &og->wilcoxon;
    case 2:
        return &og->tarone;
    case 3:
        return &og->peto;
    case 4:
        return &og->modpeto;
    case 5:
        return &og->fleming;
    default:
        return &og->lr;
    }
}

bool requested(const Levels& L, int i)
{
    return (L.ktype & kText[i].bit) && L.blocks[i];
}

// The test's label into varname; returns its length (at most 31, so that a
// marker can follow it inside the 32-byte field).
int test_label(KorvPtr q, int i)
{
    int len;
    if (i == 5) {
        const double rho = q->fleming ? q->fleming[0] : 0.0;
        const double gamma = q->fleming ? q->fleming[1] : -1.0;
        len = gamma < 0 ? xpmstr(q->varname, 32, 326, msg326::FLEMING_RHO, rho)
                        : xpmstr(q->varname, 32, 326, msg326::FLEMING_RHO_GAMMA, rho, gamma);
    } else {
        len = xpmstr(q->varname, 32, 326, kText[i].label);
    }
    if (len < 0)
        len = 0;
    if (len > 31)
        len = 31;
    return len;
}

void blank(KorvPtr q, int len)
{
    std::memset(q->varname, ' ', static_cast<size_t>(len < 32 ? len + 1 : 32));
}

xobop make_group(KorvPtr q, const char* name, int label)
{
    WOB_PARM_BLK_STR g[] = {wob_key(WOB_TAG_NAME, vdqtxt(name, -1)),
                            wob_key(WOB_TAG_LABEL, vdqmsg(0, label)), wob_flag(WOB_TAG_FLAG435, 1),
                            wob_object(WOB_TAG_OUT, nullptr)};
    wobcall(q->vdq, WOB_SEL_MAKE_GROUP, 4, g);
    return g[3].value.o;
}

void open_table(KorvPtr q, xobop data, const char* templ, int ndyn = 0,
                const WOB_PARM_BLK_STR* dyn = nullptr, xobop title = nullptr,
                bool withTitle = false)
{
    WOB_PARM_BLK_STR pb[8];
    int n = 0;
    pb[n++] = wob_object(WOB_TAG_OBJECT, nullptr);
    pb[n++] = wob_object(WOB_TAG_OBJECT, data);
    pb[n++] = wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1));
    for (int i = 0; i < ndyn; ++i)
        pb[n++] = dyn[i];
    if (withTitle)
        pb[n++] = wob_object(WOB_TAG_NOTE_OBJ, title);
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, n, pb);
    q->output = pb[0].value.o;
}

void close_table(KorvPtr q, xobop data)
{
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(data, WOB_SEL_END_DATA, 1, &end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, 1, &close);
}

// The identification of stratum i (0-based) in the bound fields.
void identify(KorvPtr q, STRATA* s, int i)
{
    if (q->nsvar > 1)
        q->stratumno = i + 1;
    else if (q->value && q->slenf > 0)
        std::memcpy(q->value, strata_key(s), static_cast<size_t>(q->slenf));
}

// A numeric GROUP= variable without a format: its values are the trend
// scores, and its formatted values are shown left-justified.
bool plainNumeric(const NAMESTR* nm)
{
    if (!nm || nm->ntype != 1)
        return false;
    return !((nm->nformlongl > 0 && !vzabl(' ', nm->nformlong, nm->nformlongl)) ||
             (nm->nfl > 0 && !vzabl(' ', nm->nform, nm->nfl)));
}

// The identification of a GROUP= level in the bound fields: its key, the
// formatted part left-justified for a plain numeric variable.
void identifyGroup(KorvPtr q, GRPTREE* t)
{
    GRPVAR* g = q->grpvar;
    std::memcpy(g->value, grptree_key(t), static_cast<size_t>(g->lenf + g->lenu));
    if (plainNumeric(g->nm))
        wzstjus(g->value, g->lenf, 'l');
}

// The level labels of the covariance tables and their header: the GROUP=
// levels' formatted values, the strata values of one STRATA variable, or
// the stratum numbers (whose values the legend tells).
xobskey levelLabels(KorvPtr q, const Levels& L, std::vector<varstring>& vs,
                    std::vector<char>& numbers)
{
    const int k = L.k;
    if (L.groups) {
        GRPVAR* g = q->grpvar;
        GRPTREE* t = g->ghead;
        for (int i = 0; i < k && t; ++i, t = t->left) {
            int len = 0, start = 0;
            wzstjls(grptree_key(t), g->lenf, 'n', &len, &start);
            vs[i].k = 0;
            vs[i].l = len;
            vs[i].s = grptree_key(t) + start;
        }
        return vdqtxt(g->nm->name_p, g->nm->namelen);
    }
    if (q->nsvar == 1) {
        STRATA* s = q->strata;
        for (int i = 0; i < k && s; ++i, s = s->left) {
            int len = 0, start = 0;
            wzstjls(strata_key(s), q->slenf, 'n', &len, &start);
            vs[i].k = 0;
            vs[i].l = len;
            vs[i].s = strata_key(s) + start;
        }
        return vdqtxt(q->sname[0].name->s, static_cast<int>(q->sname[0].name->l));
    }
    numbers.assign(static_cast<size_t>(4 * k) + 16, ' ');
    for (int i = 0; i < k; ++i) {
        char tmp[16];
        int n = xpsstr(tmp, sizeof tmp, "%i", i + 1);
        std::memcpy(numbers.data() + 4 * i, tmp, static_cast<size_t>(n < 4 ? n : 4));
        vs[i].k = 0;
        vs[i].l = 4;
        vs[i].s = numbers.data() + 4 * i;
    }
    return vdqmsg(0, msg0::LEVEL_STRATUM);
}

// One row per level (stratum or GROUP= level) of the scores or trend-scores
// table; `fill` stages the level's values.
template <class Fill> void levelRows(KorvPtr q, const Levels& L, Fill fill)
{
    if (L.groups) {
        GRPTREE* t = q->grpvar->ghead;
        for (int i = 0; i < L.k && t; ++i, t = t->left) {
            identifyGroup(q, t);
            fill(i);
            wobcall(q->HomStat, WOB_SEL_PUT_ROW, 0, nullptr);
        }
        return;
    }
    STRATA* s = q->strata;
    for (int i = 0; i < L.k && s; ++i, s = s->left) {
        identify(q, s, i);
        fill(i);
        wobcall(q->HomStat, WOB_SEL_PUT_ROW, 0, nullptr);
    }
}

// A value of a test's block in the weights' own units: v x 2^e. Missing
// where no double holds it (past the largest, or not zero and below the
// smallest normal, where it would print as 0 or lose its digits); `lost`
// says so.
double own_units(double v, int e, bool* lost)
{
    if (e == 0 || v == 0 || wzmis(v))
        return v;
    const double x = std::ldexp(v, e);
    if (std::isfinite(x) && std::fabs(x) >= DBL_MIN)
        return x;
    *lost = true;
    return korv_missing();
}

// Says once which tests had values shown in the weights' own units missing
// because no double holds them (message: the details' or the trend's).
void warn_lost(KorvPtr q, const bool lost[kTests], int message)
{
    static const char* const words[3] = {"log-rank", "Wilcoxon", "Tarone"};
    std::vector<const char*> named;
    for (int t = 0; t < 3; ++t)
        if (lost[t])
            named.push_back(words[t]);
    if (named.empty())
        return;
    std::string tests;
    for (size_t i = 0; i < named.size(); ++i) {
        if (i > 0)
            tests += i + 1 == named.size() ? " and " : ", ";
        tests += named[i];
    }
    const std::string name = korv_variable_name(q, proc_field::WEIGHT);
    xpmlog(326, message, static_cast<int>(name.size()), name.c_str(), tests.c_str());
    q->rc = std::max(q->rc, 4);
}

// The note of the details: the test over strata, over the GROUP= levels
// alone, or over the GROUP= levels within strata.
int detailsNote(KorvPtr q, const Levels& L)
{
    if (!L.groups)
        return msg326::HOMOGENEITY_NOTE;
    return q->nsvar > 0 ? msg326::HOMOGENEITY_GROUPS_STRATIFIED_NOTE
                        : msg326::HOMOGENEITY_GROUPS_NOTE;
}

} // namespace

void reset_ogstat(OGSTAT* og)
{
    if (!og)
        return;
    for (int i = 0; i <= kTests; ++i)
        *ogstat_slot(og, i) = korv_missing();
}

STRATA* stratum_at(KorvPtr q, int i)
{
    STRATA* s = q->strata;
    for (int j = 0; s && j < i; ++j)
        s = s->left;
    return s;
}

void details(KorvPtr q, const Levels& L, xobop* group)
{
    const int k = L.k;
    // The scores and covariances are shown in the weights' own units.
    bool lost[kTests] = {};
    auto score = [&](int t, int i, bool* flag) {
        return own_units(L.blocks[t][korv_score_offset(k) + i], L.scoreExp[t], flag);
    };
    // The decimals of the log-rank and Wilcoxon scores as shown.
    double maxlr = 0, maxwr = 0;
    bool unused = false;
    for (int i = 0; i < k; ++i)
        for (auto [t, most] : {std::pair{0, &maxlr}, std::pair{1, &maxwr}})
            if (L.blocks[t]) {
                const double u = score(t, i, &unused);
                if (!wzmis(u))
                    *most = std::fmax(*most, std::fabs(u));
            }
    const int dlr = zpfmt(maxlr, 7), dwr = zpfmt(maxwr, 7);

    *group = make_group(q, "StrataHomogeneity", msg0::STRATUM_HOMOGENEITY);
    WOB_PARM_BLK_STR note[] = {
        wob_int(WOB_TAG_371, 2), wob_char(WOB_TAG_JUST, 'c'),
        wob_key(WOB_TAG_NAME, vdqtxt("HomogeneityNote", -1)),
        wob_key(WOB_TAG_TEXT,
                vdqmsgs(326, detailsNote(q, L), static_cast<int>(q->timename.l), q->timename.s))};
    wobcall(q->vdq, WOB_SEL_NOTE, 4, note);

    if (q->HomStat) {
        WOB_PARM_BLK_STR dyn[] = {
            wob_key(WOB_TAG_DYNNAME, vdqtxt("dlr", 3)), wob_int(WOB_TAG_DYNVALUE, dlr),
            wob_key(WOB_TAG_DYNNAME, vdqtxt("dwr", 3)), wob_int(WOB_TAG_DYNVALUE, dwr)};
        open_table(q, q->HomStat, "Stat.Korvante.HomStats", 4, dyn);
        levelRows(q, L, [&](int i) {
            for (int t = 0; t < kTests; ++t)
                if (requested(L, t)) {
                    KORV_ASSERT(homstat_slot::BY_TEST[t] < homstat_slot::COUNT,
                                "a test's slot is one of the rank statistics table's");
                    q->iovar[homstat_slot::BY_TEST[t]] = score(t, i, &lost[t]);
                }
        });
        close_table(q, q->HomStat);
    }

    // Level labels of the covariance tables.
    std::vector<varstring> vs(static_cast<size_t>(k));
    std::vector<char> numbers;
    const xobskey header = levelLabels(q, L, vs, numbers);
    // Under NOTABLE the covariance matrices of many strata are left out, with
    // a note; the scores above and the tests below are printed.
    const bool matrices = !(q->znotable && k >= KORV_HOM_MANY_STRATA);
    if (!matrices)
        xpmlog(326, L.groups ? msg326::GROUP_MATRICES_LEFT_OUT : msg326::MATRICES_LEFT_OUT, k,
               KORV_HOM_MANY_STRATA);
    std::vector<double> own;
    for (int t = 0; t < kTests && matrices; ++t) {
        if (!requested(L, t))
            continue;
        const double* cov = L.blocks[t];
        if (L.scoreExp[t] != 0) {
            own.assign(cov, cov + korv_score_offset(k));
            for (double& v : own)
                v = own_units(v, 2 * L.scoreExp[t], &lost[t]);
            cov = own.data();
        }
        WOB_PARM_BLK_STR m[18];
        m[0] = wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.HomCov", -1));
        m[1] = wob_key(WOB_TAG_NAME, vdqtxt(kText[t].cov, -1));
        m[2] = wob_key(WOB_TAG_LABEL, vdqmsg(0, kText[t].covLabel));
        m[3] = WOB_PARM_BLK_STR{};
        m[3].tag = WOB_TAG_MATRIX;
        m[3].type = WOB_T_PMATRIX;
        m[3].value.p = const_cast<double*>(cov);
        m[4] = wob_int(278, 8);
        m[5] = wob_key(WOB_TAG_COLHEAD, header);
        m[6] = wob_int(WOB_TAG_NROWS, k);
        m[7] = wob_int(WOB_TAG_NCOLS, k);
        m[8] = wob_string(WOB_TAG_LAYOUT, "sf", 2);
        m[9] = WOB_PARM_BLK_STR{};
        m[9].tag = WOB_TAG_ROWLABELS;
        m[9].type = WOB_T_NAMESTR;
        m[9].value.p = vs.data();
        m[10] = m[9];
        m[10].tag = WOB_TAG_COLLABELS;
        m[11] = wob_int(WOB_TAG_371, 2);
        m[12] = wob_key(WOB_TAG_HEADER_KEY, vdqmsg(0, kText[t].covHeader));
        m[13] = wob_int(280, 1);
        m[14] = wob_int(366, 1);
        m[15] = wob_char(397, 0);
        m[16] = wob_key(WOB_TAG_DYNNAME, vdqtxt("Stratum", 7));
        m[17] = wob_key(WOB_TAG_DYNVALUE, header);
        wobcall(q->vdq, WOB_SEL_MATRIX_OUTPUT, 18, m);
    }
    // Stratum numbers need the legend that tells their values.
    if (!L.groups && q->nsvar > 1)
        korv_lp_tests_legend(q);
    warn_lost(q, lost, msg326::WEIGHTED_SCORES_LOST);
}

void save_scores(KorvPtr q, const Levels& L)
{
    SURVDIFF* sd = q->survdiff;
    if (!sd || !sd->utid)
        return;
    check_file(xcpoint(sd->utid, -2));
    const long bytes = static_cast<long>(korv_block_size(L.k) * 8);
    for (int t = 0; t < kTests; ++t)
        if (requested(L, t))
            check_file(xcwrite(sd->utid, L.blocks[t], bytes));
    sd->var = L.blocks[0];
    sd->mean = L.blocks[0] ? L.blocks[0] + korv_score_offset(L.k) : nullptr;
}

void test_rows(KorvPtr q, const Levels& L, const HomLR* lr)
{
    const bool print = q->zprint && q->HomTest;
    const bool wantLR = lr && (L.ktype & test_bit::LR);
    if (print) {
        if (L.groups) {
            // The GROUP= levels alone, or within strata.
            open_table(q, q->HomTest,
                       q->nsvar == 0 ? "Stat.Korvante.HomTests2" : "Stat.Korvante.StratifiedTests");
        } else {
            xobop title = nullptr;
            if (wantLR && lr->zempty == '*')
                title = wobtitle(q->vdq, vdqmsg(0, msg0::NO_EVENTS_FOOTNOTE), 'l');
            open_table(q, q->HomTest, "Stat.Korvante.HomTests", 0, nullptr, title, lr != nullptr);
        }
    }
    q->sbol = ' ';
    for (int t = 0; t < kTests; ++t) {
        if (!requested(L, t))
            continue;
        KorvChiSq c =
            korv_chisq(L.blocks[t], L.k, q->singular > 0 ? q->singular : 1e-12, L.dfs, L.work);
        const int len = test_label(q, t);
        q->iovar[chisq_slot::CHISQ] = c.chisq;
        q->iovar[chisq_slot::DF] = c.df;
        q->iovar[chisq_slot::PROB] = c.p;
        if (print)
            wobcall(q->HomTest, WOB_SEL_PUT_ROW, 0, nullptr);
        blank(q, len);
        if (q->ogstat)
            *ogstat_slot(q->ogstat, t) = c.p;
    }
    if (wantLR) {
        const double miss = korv_missing();
        double stat = lr->likeratio, df = L.k - 1, p;
        if (lr->nempty == -1) {
            stat = df = p = miss;
        } else if (!std::isfinite(stat)) {
            // A statistic that could not be formed has no p-value either.
            stat = p = miss;
        } else {
            // No p-value without degrees of freedom; a statistic of 0 (equal
            // rates) has p = 1.
            p = df > 0 ? (stat > 0 ? zpgx2(stat, static_cast<long>(df)) : 1.0) : miss;
            if (q->ogstat)
                q->ogstat->lr = p;
        }
        int len = xpmstr(q->varname, 32, 326, msg326::LR_TEST);
        if (len < 0)
            len = 0;
        if (len > 31)
            len = 31;
        q->varname[len] = lr->zempty;
        q->iovar[chisq_slot::CHISQ] = stat;
        q->iovar[chisq_slot::DF] = df;
        q->iovar[chisq_slot::PROB] = p;
        if (print)
            wobcall(q->HomTest, WOB_SEL_PUT_ROW, 0, nullptr);
        blank(q, len);
        if (lr->zempty == '*')
            xpmlog(326, L.groups ? msg326::LR_GROUP_NO_EVENTS : msg326::LR_STRATUM_NO_EVENTS);
        if (lr->nempty == -1)
            xpmlog(326, L.groups ? msg326::LR_GROUP_NO_TIME : msg326::LR_STRATUM_NO_TIME);
    }
    if (print)
        close_table(q, q->HomTest);
}

void strata_trend_scores(KorvPtr q, double* x, int k)
{
    if (q->nsvar != 1) {
        for (int i = 0; i < k; ++i)
            x[i] = i;
        return;
    }
    const SNAMESTR& sn = q->sname[0];
    // A numeric variable without a format: the scores are its values (an
    // interval stratum gives its representative value).
    const NAMESTR* nm = sn.nm;
    const bool formatted =
        nm && ((nm->nformlongl > 0 && !vzabl(' ', nm->nformlong, nm->nformlongl)) ||
               (nm->nfl > 0 && !vzabl(' ', nm->nform, nm->nfl)));
    if (sn.type == 1 && !formatted) {
        STRATA* s = q->strata;
        bool missing = false;
        for (int i = 0; i < k; ++i, s = s ? s->left : nullptr) {
            double v = korv_missing();
            if (s)
                std::memcpy(&v, strata_key(s) + sn.posu, sizeof v);
            x[i] = v;
            if (wzmis(v) || !std::isfinite(v))
                missing = true;
        }
        if (!missing)
            return;
        xpmlog(326, msg326::STRATA_TREND_SCORES_MISSING);
    }
    for (int i = 0; i < k; ++i)
        x[i] = i + 1;
}

void group_trend_scores(KorvPtr q, double* x, int k)
{
    GRPVAR* g = q->grpvar;
    if (plainNumeric(g->nm)) {
        GRPTREE* t = g->ghead;
        bool missing = false;
        for (int i = 0; i < k; ++i, t = t ? t->left : nullptr) {
            double v = korv_missing();
            if (t)
                std::memcpy(&v, grptree_key(t) + g->lenf, sizeof v);
            x[i] = v;
            if (wzmis(v) || !std::isfinite(v))
                missing = true;
        }
        if (!missing)
            return;
        xpmlog(326, msg326::GROUP_TREND_SCORES_MISSING);
    }
    for (int i = 0; i < k; ++i)
        x[i] = i + 1;
}

int group_levels(KorvPtr q)
{
    int k = 0;
    if (q->grpvar)
        for (GRPTREE* t = q->grpvar->ghead; t; t = t->left)
            ++k;
    return k;
}

void trend_branch(KorvPtr q, const Levels& L, xobop* group)
{
    const int k = L.k;
    const bool zdetails = q->zprint && !(L.ktype & test_bit::NODETAIL);
    if (zdetails) {
        *group = make_group(q, "TrendTests", msg0::TREND_TESTS);
        if (q->HomStat) {
            open_table(q, q->HomStat, "Stat.Korvante.TrendScores");
            levelRows(q, L, [&](int i) { q->iovar[trendscore_slot::SCORE] = L.x[i]; });
            close_table(q, q->HomStat);
            // Stratum numbers need the legend that tells their values.
            if (!L.groups && q->nsvar > 1)
                korv_lp_tests_legend(q);
        }
    }
    // Without printing the trend tests are still computed for the graph
    // insets, but no table is shown.
    const bool print = q->zprint && q->HomTest;
    if (print)
        open_table(q, q->HomTest, "Stat.Korvante.TrendTests");
    bool lost[kTests] = {};
    for (int t = 0; t < kTests; ++t) {
        if (!requested(L, t))
            continue;
        const int len = test_label(q, t);
        // Formed in the blocks' unit (z and its p-values do not depend on
        // it); the statistic and its standard error are shown in the
        // weights' own units.
        Trend(k, L.blocks[t], L.blocks[t] + korv_score_offset(k), L.x, L.work, q->iovar);
        for (int slot : {trend_slot::STATISTIC, trend_slot::STDERR})
            q->iovar[slot] = own_units(q->iovar[slot], L.scoreExp[t], &lost[t]);
        if (print)
            wobcall(q->HomTest, WOB_SEL_PUT_ROW, 0, nullptr);
        if (q->ogstat)
            *ogstat_slot(q->ogstat, t) = q->iovar[trend_slot::PROB_Z];
        blank(q, len);
    }
    if (print) {
        close_table(q, q->HomTest);
        warn_lost(q, lost, msg326::WEIGHTED_TREND_LOST);
    }
}

void release_group(xobop group)
{
    if (!group)
        return;
    int r = wobzoom(group, 3, 4, 0, nullptr);
    if (r < 0)
        zvdqexit(r);
}

POOLHANDLE* open_pool()
{
    POOLHANDLE* pool = xmpoolc(0, 1024, 6);
    if (!pool) {
        xmemmsg(xmemdef());
        xpmlog(326, msg326::NO_MEMORY_FOR_TESTS);
    }
    return pool;
}

void* PoolTake::operator()(int64_t bytes)
{
    if (failed)
        return nullptr;
    void* p = pool->allocate(pool, bytes > 0 ? bytes : 8, 0x2000);
    if (!p) {
        failed = true;
        xpmlog(326, msg326::NO_MEMORY_FOR_TESTS);
        xmemmsg(xmemdef());
    }
    return p;
}

HomWork take_hom_work(PoolTake& take, int k, int ktype, int64_t n)
{
    const int64_t P = static_cast<int64_t>(k) * (k + 1) / 2;
    HomWork w;
    w.first = static_cast<double*>(take((k + 1) * static_cast<int64_t>(k + 4) * 8));
    for (int t = 0; t < 4; ++t)
        if (ktype & (test_bit::TARONE << t))
            w.opt[t] = static_cast<double*>(take((P + k + 1) * 8));
    w.dfs = static_cast<char*>(take(k + 1));
    w.time = static_cast<double*>(take((n + k + 1) * 8));
    w.freq = static_cast<double*>(take(n * 8));
    w.jndx = static_cast<int64_t*>(take(n * 8));
    w.tag = static_cast<int32_t*>(take(n * 4));
    return w;
}

int64_t strata_obs(KorvPtr q, int k)
{
    int64_t n = 0;
    STRATA* s = q->strata;
    for (int i = 0; i < k && s; ++i, s = s->left)
        n += s->nobs;
    return n;
}

int64_t load_strata(KorvPtr q, int k, double* time, double* freq, double* wt, int32_t* sflag,
                    HomLR* lr)
{
    int64_t off = 0;
    STRATA* s = q->strata;
    for (int h = 0; h < k && s; ++h, s = s->left) {
        const int64_t start = off;
        int64_t done = 0;
        for (NOTESTR* e = s->note; e && done < s->nobs; e = e->next) {
            const int64_t c = std::min<int64_t>(q->blockno, s->nobs - done);
            const long bytes = static_cast<long>(8 * c);
            check_file(xcpntd(q->utid, e->notet));
            check_file(xcread(q->utid, time + off, bytes));
            check_file(xcpntd(q->utid, e->notef));
            check_file(xcread(q->utid, freq + off, bytes));
            if (wt) {
                check_file(xcpntd(q->utid, e->notew));
                check_file(xcread(q->utid, wt + off, bytes));
            }
            off += c;
            done += c;
        }
        for (int64_t j = start; j < off; ++j)
            sflag[j] = h;
        if (lr)
            korv_lr_add(lr, time + start, freq + start, off - start, s->cum - s->cen);
    }
    return off;
}

void finish_tests(KorvPtr q, const Levels& L, const HomLR* lr, POOLHANDLE* pool)
{
    const bool zdetails = q->zprint && !(L.ktype & test_bit::NODETAIL);
    xobop group = nullptr;
    if (zdetails && !(L.ktype & test_bit::TREND))
        details(q, L, &group);
    save_scores(q, L);
    std::memset(q->varname, ' ', sizeof q->varname);
    if (L.ktype & test_bit::TREND) {
        if (L.groups)
            group_trend_scores(q, L.x, L.k);
        else
            strata_trend_scores(q, L.x, L.k);
        trend_branch(q, L, &group);
    } else {
        test_rows(q, L, lr);
    }
    // The comparisons of DIFF= reread the saved scores; their arrays come
    // from the tests' pool, which goes right after.
    if (q->survdiff)
        MultipleComparisons(q, L.k, pool);
    xmpoold(pool);
    if (q->survdiff) {
        // The saved scores stay in the file; the arrays went with the pool.
        q->survdiff->var = nullptr;
        q->survdiff->mean = nullptr;
    }
    release_group(group);
}

} // namespace korv_hom
