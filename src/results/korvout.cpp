// Output data sets OUTSURV= and OUTTEST=: every variable announced to the
// host once at start-up, bound to a field of the common block (or, for
// CONFTYPE, to the start of the row record the writer hands over).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/conflevel.h"
#include "common/options.h"
#include "common/statement.h"
#include "common/strata.h"
#include "results/outdata.h"
#include "results/results.h"
#include "results/slots.h"
#include "runtime/zsort.h"
#include "vyr_data.h"
#include "vyr_format.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_parse.h"
#include "vyr_text.h"

namespace korv_results
{

void setLabel(NAMESTR& d, const char* text, int length)
{
    d.label_p = text;
    d.nlablen = static_cast<short>(text ? length : 0);
}

void setName(NAMESTR& d, const char* text, int length)
{
    d.name_p = text;
    d.namelen = static_cast<short>(length);
}

void labelFromCatalogue(NAMESTR& d, int number)
{
    const char* text = nullptr;
    int len = 0;
    if (wkread(326, number, &text, &len) < 0 || !text)
        len = 0;
    setLabel(d, text, len);
}

void setDataSetLabel(void* ds, const char* text, int length)
{
    char record[2 + 256];
    int16_t n = static_cast<int16_t>(std::clamp(length, 0, 256));
    std::memcpy(record, &n, sizeof n);
    std::memcpy(record + 2, text, static_cast<size_t>(n));
    int rc = xoinfo(static_cast<DSHANDLE*>(ds), 22, record);
    if (rc != 0)
        xpslog("ERROR: xoinfo(set data set label) with rc = %i", rc);
}

void defineByVariables(KorvPtr q, void* handle)
{
    if (q->nby <= 0)
        return;
    const STLIST* by = stmt_field(q->stmt, 0);
    if (!by || !by->ivals)
        return;
    zvputcv(static_cast<XVHANDLE*>(handle), static_cast<DSHANDLE*>(q->filein), by->ivals, q->nby,
            nullptr);
}

void defineStrataCopies(KorvPtr q, void* handle)
{
    int uoff = 0;
    for (int k = 0; k < q->nsvar; ++k) {
        NAMESTR copy = *q->sname[k].nm;
        xvputd(static_cast<XVHANDLE*>(handle), &copy, 0, q->buff + uoff, q->sname[k].lngu, 0, 0);
        uoff += q->sname[k].lngu;
    }
}

void defineGroupCopy(KorvPtr q, void* handle)
{
    if (!q->grpvar)
        return;
    NAMESTR copy = *q->grpvar->nm;
    xvputd(static_cast<XVHANDLE*>(handle), &copy, 0, q->grpvar->value + q->grpvar->lenf, copy.nlng,
           0, 0);
}

using vyr::upper;

std::vector<std::string> sidNames(const std::vector<std::string>& strataNames,
                                  const std::vector<std::string>& taken)
{
    std::vector<std::string> used;
    for (const std::string& t : taken)
        used.push_back(upper(t));
    std::vector<std::string> out;
    for (const std::string& name : strataNames) {
        std::string base = ("_" + name).substr(0, 32);
        std::string cand = base;
        for (int k = 2; std::find(used.begin(), used.end(), upper(cand)) != used.end(); ++k) {
            std::string suffix = std::to_string(k);
            cand = base.substr(0, 32 - suffix.size()) + suffix;
        }
        used.push_back(upper(cand));
        out.push_back(cand);
    }
    return out;
}

} // namespace korv_results

using namespace korv_results;

namespace
{

std::string nameOf(const NAMESTR* nm)
{
    return nm && nm->name_p ? std::string(nm->name_p, static_cast<size_t>(nm->namelen))
                            : std::string();
}

} // namespace

namespace
{

// The number of OUTSURV= variables the options ask for.
int outsurv_count(KorvPtr q)
{
    bool lt = q->method == 1;
    int count = q->nby + q->nsvar + 6;
    if (q->zSurvStmt)
        count += 1;
    if (lt) {
        count += q->zseout ? 14 : 11;
    } else {
        if (q->zseout)
            count += 1;
        if (q->zreduce && q->ztimelst)
            count += 1;
        if (q->confband == 1 || q->confband == 2)
            count += 2;
        else if (q->confband == 3)
            count += 4;
    }
    if (q->zstrataid)
        count += q->nsvar;
    if (q->grpvar)
        count += 1;
    return count;
}

// SID=ON: each STRATA variable's formatted value under "_" and its name, cut
// to 32 characters and made unique among the names of the data set.
void define_strata_ids(KorvPtr q, XVHANDLE* h)
{
    std::vector<std::string> strata, taken;
    for (int k = 0; k < q->nsvar; ++k) {
        strata.push_back(nameOf(q->sname[k].nm));
        taken.push_back(strata.back());
    }
    if (q->nby > 0 && q->stmt && q->filein) {
        const STLIST* by = stmt_field(q->stmt, proc_field::BY);
        for (int i = 0; by && by->ivals && i < q->nby; ++i)
            taken.push_back(
                nameOf(xvname(static_cast<DSHANDLE*>(q->filein), std::abs(by->ivals[i]))));
    }
    if (q->grpvar)
        taken.push_back(nameOf(q->grpvar->nm));
    taken.push_back(
        std::string(q->timename.s ? q->timename.s : "", static_cast<size_t>(q->timename.l)));
    for (const char* g : {"TIMELIST", "_TIME_",  "_CENSOR_",   "SURVIVAL", "SDF_STDERR", "CONFTYPE",
                          "SDF_LCL",  "SDF_UCL", "MIDPOINT",   "PDF",      "PDF_STDERR", "PDF_LCL",
                          "PDF_UCL",  "HAZARD",  "HAZ_STDERR", "HAZ_LCL",  "HAZ_UCL",    "HW_LCL",
                          "HW_UCL",   "EP_LCL",  "EP_UCL",     "STRATUM",  "_STRTUM_"})
        taken.push_back(g);
    std::vector<std::string> names = sidNames(strata, taken);
    int foff = 0;
    for (int k = 0; k < q->nsvar; ++k) {
        NAMESTR d;
        xvnamei(&d);
        char namebuf[32];
        std::memset(namebuf, ' ', sizeof namebuf);
        std::memcpy(namebuf, names[static_cast<size_t>(k)].data(),
                    names[static_cast<size_t>(k)].size());
        setName(d, namebuf, static_cast<int>(names[static_cast<size_t>(k)].size()));
        d.ntype = 2;
        d.nlng = q->sname[k].lngf;
        const NAMESTR* nm = q->sname[k].nm;
        int ll = xpmstr(q->label, 256, 326, msg326::FORMATTED_VALUE, static_cast<int>(nm->namelen),
                        nm->name_p);
        setLabel(d, q->label, ll);
        xvputd(h, &d, 0, q->value + foff, 0, 0, 0);
        foff += q->sname[k].lngf;
    }
}

// The estimate columns: time (or TIMELIST=), censoring, survival with its
// standard error and limits, the life table's density and hazard, the bands,
// and the stratum number.
void define_estimate_columns(KorvPtr q, XVHANDLE* h)
{
    const bool lt = q->method == 1;
    NAMESTR d;
    xvnamei(&d);
    d.ntype = 1;
    d.nlng = 8;
    const std::string levelText = korv_confidence_text(q->alpha);
    auto lvlLabel = [&](int number) {
        int ll = xpmstr(q->label, 256, 326, number, static_cast<int>(levelText.size()),
                        levelText.c_str());
        setLabel(d, q->label, ll);
    };
    auto msgLabel = [&](int number) {
        int ll = xpmstr(q->label, 256, 326, number);
        setLabel(d, q->label, ll);
    };
    auto define = [&](const char* name, const void* address, int length = 0) {
        setName(d, name, static_cast<int>(std::strlen(name)));
        xvputd(h, &d, 0, address, length, 0, 0);
    };

    if (q->zreduce && q->ztimelst && !lt) {
        labelFromCatalogue(d, msg326::TIMELIST_LABEL);
        define(q->v6names ? "_TIME_" : "TIMELIST", &q->iovar[pl_slot::TIMELIST]);
    }
    if (lt)
        labelFromCatalogue(d, msg326::INTERVAL_START);
    else
        setLabel(d, q->timelabel.s, static_cast<int>(q->timelabel.l));
    setName(d, q->timename.s, static_cast<int>(q->timename.l));
    // The interval's start of a life table sits where a product-limit row
    // keeps its time (and so do the survival and its limits below).
    xvputd(h, &d, 0, &q->iovar[pl_slot::TIME], 0, 0, 0);
    if (!lt) {
        labelFromCatalogue(d, msg326::CENSORING_INDICATOR);
        define("_CENSOR_", &q->cenval);
    }
    labelFromCatalogue(d, msg326::SDF_ESTIMATE);
    define("SURVIVAL", &q->iovar[pl_slot::SURV]);
    if (q->zseout) {
        msgLabel(msg326::SDF_STDERR);
        define("SDF_STDERR", &q->iovar[pl_slot::STDERR]);
    }
    if (q->zSurvStmt) {
        msgLabel(msg326::TRANSFORM_LABEL);
        d.ntype = 2;
        d.nlng = 0;
        d.user_lng = 8;
        define("CONFTYPE", nullptr);
        d.ntype = 1;
        d.nlng = 8;
        d.user_lng = 0;
    }
    lvlLabel(msg326::SDF_LCL);
    define("SDF_LCL", &q->iovar[pl_slot::LCL]);
    lvlLabel(msg326::SDF_UCL);
    define("SDF_UCL", &q->iovar[pl_slot::UCL]);
    if (lt) {
        labelFromCatalogue(d, msg326::INTERVAL_MIDPOINT);
        define("MIDPOINT", &q->iovar[lt_slot::MIDPOINT]);
        labelFromCatalogue(d, msg326::PDF_ESTIMATE);
        define("PDF", &q->iovar[lt_slot::PDF]);
        if (q->zseout) {
            labelFromCatalogue(d, msg326::PDF_STDERR_LABEL);
            define("PDF_STDERR", &q->iovar[lt_slot::PDF_STDERR]);
        }
        lvlLabel(msg326::PDF_LCL);
        define("PDF_LCL", &q->iovar[lt_slot::PDF_LCL]);
        lvlLabel(msg326::PDF_UCL);
        define("PDF_UCL", &q->iovar[lt_slot::PDF_UCL], 8);
        labelFromCatalogue(d, msg326::HAZARD_ESTIMATE);
        define("HAZARD", &q->iovar[lt_slot::HAZARD]);
        if (q->zseout) {
            labelFromCatalogue(d, msg326::HAZARD_STDERR_LABEL);
            define("HAZ_STDERR", &q->iovar[lt_slot::HAZARD_STDERR]);
        }
        lvlLabel(msg326::HAZARD_LCL);
        define("HAZ_LCL", &q->iovar[lt_slot::HAZARD_LCL]);
        lvlLabel(msg326::HAZARD_UCL);
        define("HAZ_UCL", &q->iovar[lt_slot::HAZARD_UCL]);
    } else {
        if (q->confband == 1 || q->confband == 3) {
            lvlLabel(msg326::HW_LOWER);
            define("HW_LCL", &q->iovar[pl_slot::HW_LCL]);
            lvlLabel(msg326::HW_UPPER);
            define("HW_UCL", &q->iovar[pl_slot::HW_UCL], 8);
        }
        if (q->confband == 2 || q->confband == 3) {
            lvlLabel(msg326::EP_LOWER);
            define("EP_LCL", &q->iovar[pl_slot::EP_LCL]);
            lvlLabel(msg326::EP_UPPER);
            define("EP_UCL", &q->iovar[pl_slot::EP_UCL], 8);
        }
    }
    if (q->nsvar > 0) {
        labelFromCatalogue(d, msg326::STRATUM_NUMBER);
        define(q->v6names ? "_STRTUM_" : "STRATUM", &q->stratumno);
    }
}

} // namespace

void Outsurv(KorvPtr q)
{
    XVHANDLE* h = nullptr;
    xvputi(static_cast<DSHANDLE*>(q->fileouts), outsurv_count(q), 32, &h);
    q->svput = h;

    int dsl = q->method == 1   ? msg326::LIFETABLE_DATASET
              : q->method == 2 ? msg326::BRESLOW_DATASET
              : q->method == 3 ? msg326::FH_DATASET
                               : msg326::PL_DATASET;
    int n = xpmstr(q->label, 40, 326, dsl);
    setDataSetLabel(q->fileouts, q->label, n);
    defineByVariables(q, h);
    defineStrataCopies(q, h);

    if (q->zstrataid && q->nsvar > 0)
        define_strata_ids(q, h);
    defineGroupCopy(q, h);
    define_estimate_columns(q, h);
    xvpute(h);
}

void korvout(KorvPtr q)
{
    if (q->fileouts) {
        if (!q->cmprisk)
            Outsurv(q);
        else
            Outcif(q);
    }
    if (!q->fileoutt)
        return;
    XVHANDLE* h = nullptr;
    xvputi(static_cast<DSHANDLE*>(q->fileoutt), q->nby + 3 + q->ncvar, 32, &h);
    q->cvput = h;
    int n = xpmstr(q->label, 40, 326, msg326::SCORES_DATASET);
    setDataSetLabel(q->fileoutt, q->label, n);
    defineByVariables(q, h);
    NAMESTR d;
    xvnamei(&d);
    d.ntype = 2;
    d.nlng = 8;
    labelFromCatalogue(d, msg326::STATISTIC_TYPE);
    setName(d, "_TYPE_", 6);
    xvputd(h, &d, 0, q->typetype, 0, 0, 0);
    d.nlng = static_cast<short>(std::clamp(q->maxname, 1, 32));
    labelFromCatalogue(d, msg326::ROW_NAME);
    setName(d, "_NAME_", 6);
    xvputd(h, &d, 0, q->varname, 0, 0, 0);
    d.ntype = 1;
    d.nlng = 8;
    setLabel(d, q->timelabel.s, static_cast<int>(q->timelabel.l));
    setName(d, q->timename.s, static_cast<int>(q->timename.l));
    xvputd(h, &d, 0, &q->iovar[unichi_slot::STATISTIC], 0, 0, 0);
    for (int i = 0; i < q->ncvar; ++i) {
        NAMESTR copy = *q->c[i].nm;
        xvputd(h, &copy, 0, &q->buffy[i], 0, 0, 0);
    }
    xvpute(h);
}
