// The hidden plot-data table: one row per plotted point, written by the
// estimators; the graph templates draw from it. Defined once, in the first BY
// group.
#include <algorithm>
#include <cmath>
#include <vector>

#include "frame/frame.h"
#include "frame/parse.h"
#include "results/slots.h"
#include "runtime/wobmth.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

namespace
{

struct Columns {
    KORVCOM* q;
    // A double column bound to `address`.
    void number(const char* name, const void* address, xobskey label = nullptr,
                const char* templ = nullptr, int width = -1, int decimals = -1)
    {
        std::vector<WOB_PARM_BLK_STR> pb;
        pb.push_back(wob_int(WOB_TAG_COLTYPE, WOB_COL_DOUBLE));
        pb.push_back(wob_key(WOB_TAG_NAME, vdqtxt(name, -1)));
        pb.push_back(wob_address(WOB_TAG_ADDRESS, address));
        if (label)
            pb.push_back(wob_key(WOB_TAG_LABEL, label));
        if (templ)
            pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt(templ, -1)));
        if (width >= 0)
            pb.push_back(wob_int(WOB_TAG_WIDTH, width));
        if (decimals >= 0)
            pb.push_back(wob_int(WOB_TAG_DECIMALS, decimals));
        add(pb);
    }
    void add(std::vector<WOB_PARM_BLK_STR>& pb) { wobcall(q->Phantom, WOB_SEL_ADD_COLUMN, pb); }
};

} // namespace

void korv_count_display(double m, bool fractional, int* width, int* decimals)
{
    // Width from the largest stratum total; fractional totals (WEIGHT, or
    // frequencies kept with NOTRUNCATE) get decimals, and the width never
    // drops below 1. Totals past the largest double (weights near it) have
    // no digits to count: the counts show missing, in the general width.
    if (!std::isfinite(m)) {
        *width = 8;
        *decimals = 0;
        return;
    }
    int w = m > 0 ? static_cast<int>(std::trunc(std::log10(m))) + 1 : 1;
    int d = 0;
    if (fractional && m > 0 && m < 100) {
        if (m >= 10) {
            w += 2;
            d = 1;
        } else if (m >= 1) {
            w += 3;
            d = 2;
        } else {
            w = std::min(5 - w, 8);
            d = w - 1;
        }
    }
    *width = std::max(w, 1);
    *decimals = std::max(d, 0);
}

void PhantomData(KORVCOM* q)
{
    if (!q->vdq || q->Phantom)
        return;
    // The data object.
    {
        WOB_PARM_BLK_STR pb[] = {
            wob_string(WOB_TAG_PACKAGE, "vdq", 3),
            wob_string(WOB_TAG_CLASS, "data", 4),
            wob_object(WOB_TAG_OUT, nullptr),
            wob_int(WOB_TAG_148, -1),
            wob_key(WOB_TAG_NAME, vdqtxt("Phantom", 7)),
            wob_key(WOB_TAG_LABEL, vdqmsg(0, msg0::PLOT_DATA)),
            wob_int(WOB_TAG_336, 1),
        };
        wobcall(q->vdq, WOB_SEL_CREATE, pb);
        q->Phantom = pb[2].value.o;
        if (!q->Phantom)
            return;
    }

    // The stratum text buffer.
    if (!q->ogstrlab && q->nsvar > 0) {
        int64_t len = q->slenf + (q->art ? 4 : 0);
        if (q->nsvar > 1)
            for (int i = 0; i < q->nsvar; ++i)
                len += 2 + std::max<int>(q->sname[i].nm->namelen, q->sname[i].nm->nlablen);
        q->ogstrlab =
            static_cast<varstring*>(xmalloc_or_exit(xtaskpool(), sizeof(varstring), 0x3006));
        q->ogstrlab->l = len;
        q->ogstrlab->s = static_cast<char*>(xmalloc_or_exit(xtaskpool(), len, 0x3006));
    }

    const int v = q->vdqgraph;
    const bool lt = q->method == 1;
    const bool F =
        (v & plot_bit::FAILURE) && !(v & plot_bit::OVERLAY) && !(v & plot_bit::INDIVIDUAL);
    Columns c{q};
    xobskey timelabel = q->timelabel.l > 0
                            ? vdqtxt(q->timelabel.s, static_cast<int>(q->timelabel.l))
                            : vdqtxt(q->timename.s, static_cast<int>(q->timename.l));

    c.number("StratumNum", &q->stratumno);
    if (q->nsvar > 0 && q->ogstrlab) {
        std::vector<WOB_PARM_BLK_STR> pb;
        pb.push_back(wob_int(WOB_TAG_COLTYPE, WOB_COL_CHAR));
        pb.push_back(wob_key(WOB_TAG_NAME, vdqtxt("Stratum", 7)));
        pb.push_back(wob_address(WOB_TAG_ADDRESS, q->ogstrlab->s));
        pb.push_back(wob_int(WOB_TAG_LENGTH, static_cast<int>(q->ogstrlab->l)));
        if (q->nsvar == 1)
            pb.push_back(wob_key(
                WOB_TAG_LABEL, vdqtxt(q->sname[0].name->s, static_cast<int>(q->sname[0].name->l))));
        c.add(pb);
    }
    if (q->art) {
        c.number("tAtRisk", &q->art->time2);
        if (v & plot_bit::PANEL) {
            q->art->y2 = q->nsvar > 0 ? -0.05 : -0.5;
            c.number("y2", &q->art->y2);
        }
    }
    if (q->grpvar) {
        GRPVAR* g = q->grpvar;
        c.number("GroupNum", &g->groupno);
        if (g->nm) {
            std::vector<WOB_PARM_BLK_STR> pb;
            bool num = g->nm->ntype == 1;
            pb.push_back(wob_int(WOB_TAG_COLTYPE, num ? WOB_COL_DOUBLE : WOB_COL_CHAR));
            pb.push_back(wob_namestr(g->nm));
            pb.push_back(wob_address(WOB_TAG_ADDRESS, g->value + g->lenf));
            if (num) {
                pb.push_back(wob_int(WOB_TAG_DECIMALS, g->nm->nfd == 0 ? 99 : g->nm->nfd));
                pb.push_back(wob_int(WOB_TAG_WIDTH, korv_format_width(g->nm)));
            } else {
                pb.push_back(wob_int(WOB_TAG_LENGTH, g->lenu));
            }
            pb.push_back(wob_key(WOB_TAG_TEMPLATE, vdqtxt(num ? "GrpNumVar" : "GrpChrVar", 9)));
            pb.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt("GrpVarLab", 9)));
            pb.push_back(wob_key(WOB_TAG_DYNVALUE, vdqtxt(g->nm->name_p, g->nm->namelen)));
            c.add(pb);
        }
    }
    // The life table keeps its interval's start, survival and limits where
    // a product-limit row keeps its time, survival and limits.
    c.number("Time", &q->iovar[pl_slot::TIME], timelabel, "GenericTime");
    c.number("Survival", &q->iovar[pl_slot::SURV], vdqmsg(0, msg0::SURVIVAL_PROBABILITY));
    if (F)
        c.number("Failure", &q->iovar[pl_slot::FAIL]);
    if (v & plot_bit::CL) {
        if (F) {
            c.number("CDF_LCL", &q->iovar[pl_slot::CDF_LCL]);
            c.number("CDF_UCL", &q->iovar[pl_slot::CDF_UCL]);
        } else {
            c.number("SDF_LCL", &q->iovar[pl_slot::LCL]);
            c.number("SDF_UCL", &q->iovar[pl_slot::UCL]);
        }
    }
    if (lt) {
        if (v & (plot_bit::HAZARD | plot_bit::DENSITY)) {
            c.number("Midpoint", &q->iovar[lt_slot::MIDPOINT], timelabel);
            if (v & plot_bit::HAZARD) {
                c.number("Hazard", &q->iovar[lt_slot::HAZARD], vdqmsg(0, msg0::HAZARD_RATE));
                c.number("Haz_LCL", &q->iovar[lt_slot::HAZARD_LCL]);
                c.number("Haz_UCL", &q->iovar[lt_slot::HAZARD_UCL]);
            }
            if (v & plot_bit::DENSITY) {
                c.number("PDF", &q->iovar[lt_slot::PDF], vdqmsg(0, msg0::DENSITY));
                c.number("PDF_LCL", &q->iovar[lt_slot::PDF_LCL]);
                c.number("PDF_UCL", &q->iovar[lt_slot::PDF_UCL]);
            }
        }
    } else {
        int w = 1, d = 0;
        korv_count_display(q->maxscum, q->zwt || q->znotrunc, &w, &d);
        c.number("Event", &q->iovar[pl_slot::EVENTS], nullptr, nullptr, w, d);
        c.number("AtRisk", &q->iovar[pl_slot::AT_RISK], vdqmsg(0, msg0::NUMBER_AT_RISK), nullptr, w,
                 d);
        if (v & plot_bit::HW_BAND) {
            if (F) {
                c.number("F_HW_LCL", &q->iovar[pl_slot::F_HW_LCL]);
                c.number("F_HW_UCL", &q->iovar[pl_slot::F_HW_UCL]);
            } else {
                c.number("HW_LCL", &q->iovar[pl_slot::HW_LCL]);
                c.number("HW_UCL", &q->iovar[pl_slot::HW_UCL]);
            }
        }
        if (v & plot_bit::EP_BAND) {
            if (F) {
                c.number("F_EP_LCL", &q->iovar[pl_slot::F_EP_LCL]);
                c.number("F_EP_UCL", &q->iovar[pl_slot::F_EP_UCL]);
            } else {
                c.number("EP_LCL", &q->iovar[pl_slot::EP_LCL]);
                c.number("EP_UCL", &q->iovar[pl_slot::EP_UCL]);
            }
        }
        if (F)
            c.number("F_Censored", &q->iovar[pl_slot::F_CENSORED]);
        else
            c.number("Censored", &q->iovar[pl_slot::CENSORED]);
    }
    wobcall(q->Phantom, WOB_SEL_END_COLUMNS);
}
