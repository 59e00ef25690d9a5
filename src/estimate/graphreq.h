// A graph request in the making: the parameter blocks of one
// WOB_SEL_GRAPH_OUTPUT call, in the order they are added, with the dynamic
// lists they point to kept alive until the call.
#pragma once

#include <deque>
#include <vector>

#include "common/korvcom.h"
#include "runtime/wobmth.h"
#include "vyr_message_names.h"
#include "vyr_output.h"

namespace korv_est
{

// The second title of a survival graph by the limits and bands it draws,
// indexed by 4 CL + 2 HW + EP (0: none drawn).
inline constexpr int kSecondTitle[8] = {0,
                                        msg326::SECOND_EP,
                                        msg326::SECOND_HW,
                                        msg326::SECOND_HW_EP,
                                        msg326::SECOND_CL,
                                        msg326::SECOND_CL_EP,
                                        msg326::SECOND_CL_HW,
                                        msg326::SECOND_CL_HW_EP};

// A list of dynamic variables (name block, value block).
class DynList
{
  public:
    DynList& add(const char* name, int v)
    {
        head(name);
        b.push_back(wob_int(WOB_TAG_DYNVALUE, v));
        return *this;
    }
    DynList& add(const char* name, double v)
    {
        head(name);
        b.push_back(wob_double(WOB_TAG_DYNVALUE, v));
        return *this;
    }
    DynList& add(const char* name, xobskey v)
    {
        head(name);
        b.push_back(wob_key(WOB_TAG_DYNVALUE, v));
        return *this;
    }
    // A name made with a number ("NObs%i").
    DynList& addNumbered(const char* format, int i, double v)
    {
        b.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxts(format, -1, i)));
        b.push_back(wob_double(WOB_TAG_DYNVALUE, v));
        return *this;
    }
    DynList& addNumbered(const char* format, int i, xobskey v)
    {
        b.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxts(format, -1, i)));
        b.push_back(wob_key(WOB_TAG_DYNVALUE, v));
        return *this;
    }
    // The counts of curve i (a stratum or a GROUP= level) and, with
    // `medians` (the product-limit family), its median with limits.
    template <class Curve> DynList& addCurveCounts(int i, const Curve& c, bool medians)
    {
        addNumbered("NObs%i", i, c.cum);
        addNumbered("NEvent%i", i, c.cum - c.cen);
        if (medians) {
            addNumbered("Median%i", i, c.quant[1]);
            addNumbered("LowerMedian%i", i, c.qtlower[1]);
            addNumbered("UpperMedian%i", i, c.qtupper[1]);
        }
        return *this;
    }
    std::vector<WOB_PARM_BLK_STR> b;

  private:
    void head(const char* name) { b.push_back(wob_key(WOB_TAG_DYNNAME, vdqtxt(name, -1))); }
};

class GraphRequest
{
  public:
    GraphRequest& block(const WOB_PARM_BLK_STR& x)
    {
        blocks_.push_back(x);
        return *this;
    }
    GraphRequest& key(uint16_t tag, xobskey k) { return block(wob_key(tag, k)); }
    GraphRequest& text(uint16_t tag, const char* s) { return key(tag, vdqtxt(s, -1)); }
    GraphRequest& paths(uint16_t tag, xobskey* keys, int n)
    {
        return block(wob_keyarray(tag, keys, n));
    }
    GraphRequest& pathOut(xobskey* where) { return block(wob_keyaddr(WOB_TAG_PATH_OUT, where)); }
    GraphRequest& dyn(const char* name, int v)
    {
        DynList d;
        d.add(name, v);
        return blocks(d);
    }
    GraphRequest& dyn(const char* name, double v)
    {
        DynList d;
        d.add(name, v);
        return blocks(d);
    }
    GraphRequest& dyn(const char* name, xobskey v)
    {
        DynList d;
        d.add(name, v);
        return blocks(d);
    }
    // A dynamic list (tag 174): the list is copied and kept until the call.
    GraphRequest& list(const DynList& d)
    {
        lists_.push_back(d.b);
        std::vector<WOB_PARM_BLK_STR>& l = lists_.back();
        return block(wob_list(WOB_TAG_DYNLIST, l.data(), static_cast<int64_t>(l.size())));
    }
    int send(KorvPtr q) { return wobcall(q->vdq, WOB_SEL_GRAPH_OUTPUT, blocks_); }
    const std::vector<WOB_PARM_BLK_STR>& blocks() const { return blocks_; }

  private:
    GraphRequest& blocks(const DynList& d)
    {
        blocks_.insert(blocks_.end(), d.b.begin(), d.b.end());
        return *this;
    }
    std::vector<WOB_PARM_BLK_STR> blocks_;
    std::deque<std::vector<WOB_PARM_BLK_STR>> lists_;
};

// The stratum text of the current stratum's label: what follows its first
// ':' and the blank after it; a null key when there is none.
xobskey stratumText(KorvPtr q, int* length);

} // namespace korv_est

// The statistical graphs of one stratum of the product-limit family (the
// weighted estimator's copy passes `weighted`); also raises the quartile
// scale of the graphs across strata.
void vdqplots(KorvPtr q, STRATA* node, bool weighted);
// The tick-value text of one stratum's survival graph (ATRISKTICK).
void korvick(KorvPtr q, STRATA* node);
// The largest time of one stratum, reread from its records.
double NodeMaxTime(KorvPtr q, STRATA* node);
// The tick-value text of the at-risk times alone up to x, or merged with
// nice ticks; each replaces q->art->ticklabel.
int tickValOnly(KorvPtr q, double x);
int tickValAll(KorvPtr q, double x);
// Releases the tick-value text once a graph has taken it.
void korv_release_ticklabel(KorvPtr q);
