// The statistical graphs of one stratum of the product-limit family: the
// survival (or failure) curve with its limits, bands, censoring marks,
// median inset and at-risk table, the -log S curve and the log(-log S)
// curve. The graphs are drawn by the output layer from the stratum's plot
// data; this code names the template and passes the dynamic values.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/conflevel.h"
#include "common/options.h"
#include "common/strata.h"
#include "estimate/graphreq.h"
#include "runtime/missing.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace korv_est
{

xobskey stratumText(KorvPtr q, int* length)
{
    *length = 0;
    const STRATUMID* sid = q->stratumid;
    if (!sid || !sid->label || sid->len <= 0)
        return nullptr;
    const void* colon = std::memchr(sid->label, ':', static_cast<size_t>(sid->len));
    if (!colon)
        return nullptr;
    const int at = static_cast<int>(static_cast<const char*>(colon) - sid->label) + 2;
    if (at > sid->len)
        return nullptr;
    *length = sid->len - at;
    return vdqtxt(sid->label + at, *length);
}

} // namespace korv_est

using namespace korv_est;

namespace
{

// The first quartile value that is there and above -1, in the order upper
// limit, estimate, lower limit, from the 75th percentile down; -1 when none.
double quartileScale(const STRATA* node)
{
    for (int i = 0; i < 3; ++i)
        for (double v : {node->qtupper[i], node->quant[i], node->qtlower[i]})
            if (!wzmis(v) && v > -1)
                return v;
    return -1;
}

xobskey timeNameKey(KorvPtr q)
{
    return vdqtxt(q->timename.s, static_cast<int>(q->timename.l));
}

// "Log of <time>", with the time's label (else its name) or with its name.
xobskey logOf(KorvPtr q, bool label)
{
    if (label && q->timelabel.s && q->timelabel.l > 0)
        return vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timelabel.l), q->timelabel.s);
    return vdqmsgs(326, msg326::LOG_OF, static_cast<int>(q->timename.l), q->timename.s);
}

xobskey methodLabel(KorvPtr q, bool weighted)
{
    switch (q->method) {
    case 2:
        return vdqmsg(0, msg0::METHOD_BRESLOW);
    case 3:
        return vdqmsg(0, msg0::METHOD_FH);
    default:
        return vdqmsg(0, weighted ? msg0::METHOD_WEIGHTED_PL : msg0::METHOD_PL);
    }
}

} // namespace

void vdqplots(KorvPtr q, STRATA* node, bool weighted)
{
    // The quartile scale of the graphs across strata, on every call.
    const double scale = quartileScale(node);
    if (scale > q->ogmaxqt)
        q->ogmaxqt = scale;
    const int v = q->vdqgraph;
    if (!(q->nstrata == 1 || (v & plot_bit::INDIVIDUAL)) || !q->vdq)
        return;

    const double P = korv_confidence_percent(q->alpha);
    ATRISKTIME* art = q->art;
    DynList extras;
    if (q->zmaxtime)
        extras.add("maxTime", q->maxtime);
    if (art && art->zticklabel) {
        korvick(q, node);
        extras.add("xtickVals", vdqtxt(art->ticklabel ? art->ticklabel : "", art->ticklablen));
        extras.add("xtickValFitPol", vdqtxt("STAGGERROTATE", -1));
        korv_release_ticklabel(q);
    }
    xobskey path = q->ogpath ? q->ogpath[node->Stratum] : nullptr;
    xobskey* data = q->ogpath ? &q->ogpath[node->Stratum] : &path;

    if (v & plot_bit::SURVIVAL) {
        const bool failure = v & plot_bit::FAILURE;
        const bool outside = art && art->zoutside && !weighted;
        const int CL = (v & plot_bit::CL) ? 1 : 0, HW = (v & plot_bit::HW_BAND) ? 1 : 0,
                  EP = (v & plot_bit::EP_BAND) ? 1 : 0;
        int slen = 0;
        const xobskey stext = stratumText(q, &slen);
        const int n =
            441 + 4 * CL + 2 * HW + EP + (art ? 10 : 0) + (failure ? 20 : 0) + (stext ? 40 : 0);
        xobskey label;
        int keyLength = 0;
        const char* stxt = stext ? vdqkeytext(stext, &keyLength) : "";
        if (CL + HW + EP == 0)
            label = stext ? vdqmsgs(326, n, slen, stxt) : vdqmsg(0, n);
        else
            label = stext ? vdqmsgs(326, n, slen, stxt, P) : vdqmsgs(326, n, P);
        const char* templ = failure ? (outside ? "Stat.Korvante.Graphics.ProductLimitFailure2"
                                               : "Stat.Korvante.Graphics.ProductLimitFailure")
                                    : (outside ? "Stat.Korvante.Graphics.ProductLimitSurvival2"
                                               : "Stat.Korvante.Graphics.ProductLimitSurvival");
        DynList inset;
        inset.add("NObs", node->cum)
            .add("NEvent", node->cum - node->cen)
            .add("Median", node->quant[1])
            .add("LowerMedian", node->qtlower[1])
            .add("UpperMedian", node->qtupper[1])
            .add("PctMedianConfid", vdqtxts("%g%%", 4, korv_confidence_percent(q->qtalpha)));
        GraphRequest g;
        g.text(WOB_TAG_NAME, failure ? "FailurePlot" : "SurvivalPlot")
            .key(WOB_TAG_LABEL, label)
            .key(WOB_TAG_CONTENTS,
                 vdqmsg(0, failure ? msg0::STRATUM_FAILURE_PLOT : msg0::STRATUM_SURVIVAL_PLOT))
            .text(WOB_TAG_TEMPLATE, templ)
            .paths(WOB_TAG_PATHS, data, 1)
            .dyn("method", methodLabel(q, weighted))
            .dyn("NStrata", 1)
            .dyn("xName", timeNameKey(q))
            .dyn("StratumID", stext)
            .dyn("yMin", art ? -0.1 : 0.0)
            .dyn("plotAtRisk", art ? 1 : 0)
            .dyn("plotCensored", (v & plot_bit::NOCENSORED) ? 0
                                 : node->cen != 0           ? 1
                                                            : 0)
            .dyn("plotCL", CL)
            .dyn("plotHW", HW)
            .dyn("plotEP", EP)
            .dyn("labelCL", CL ? vdqmsgs(326, msg326::LABEL_CL, P) : nullptr)
            .dyn("labelHW", HW ? vdqmsgs(326, msg326::LABEL_HW, P) : nullptr)
            .dyn("labelEP", EP ? vdqmsgs(326, msg326::LABEL_EP, P) : nullptr)
            .list(inset)
            .list(extras);
        if (!weighted) {
            xobskey weights = nullptr;
            if (art && art->zoutside)
                weights = wzmis(art->awt) ? vdqtxt("PREFERRED", -1)
                                          : vdqtxts("%g %g", 5, 1 - art->awt, art->awt);
            g.dyn("rowWeights", weights);
        }
        g.send(q);
    }
    // The -log S and log(-log S) curves take their contents labels in the
    // numbering the graphs across strata use, so that the same graph has the
    // same label either way.
    if (v & plot_bit::LOGSURV) {
        GraphRequest g;
        g.text(WOB_TAG_NAME, "NegLogSurvivalPlot")
            .key(WOB_TAG_LABEL, vdqmsg(0, msg0::NEG_LOG_SURVIVAL_FUNCTION))
            .key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::NEG_LOG_SURVIVAL))
            .text(WOB_TAG_TEMPLATE, "Stat.Korvante.Graphics.NegLogSurvival")
            .paths(WOB_TAG_PATHS, data, 1)
            .dyn("NStrata", 1)
            .dyn("xName", timeNameKey(q))
            .list(extras)
            .send(q);
    }
    if (v & plot_bit::LOGLOGS) {
        DynList logList;
        if (q->zmaxtime)
            logList.add("logmaxTime", std::log(q->maxtime));
        GraphRequest g;
        g.text(WOB_TAG_NAME, "LogNegLogSurvivalPlot")
            .key(WOB_TAG_LABEL, vdqmsg(0, msg0::LOG_NEG_LOG_SURVIVAL_FUNCTION))
            .key(WOB_TAG_CONTENTS, vdqmsg(0, msg0::LOG_NEG_LOG_SURVIVAL_PLOT))
            .text(WOB_TAG_TEMPLATE, "Stat.Korvante.Graphics.LogNegLogSurvival")
            .paths(WOB_TAG_PATHS, data, 1)
            .dyn("NStrata", 1)
            .dyn("xLabel", logOf(q, true))
            .dyn("xName", logOf(q, false))
            .list(logList)
            .send(q);
    }
}
