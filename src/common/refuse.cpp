// Refusal of the features this build lacks: one message per feature and step,
// naming the feature, and the step's return code raised to say so.
#include <algorithm>
#include <iterator>

#include "common/stages.h"
#include "common/korvcom.h"
#include "vyr_host.h"

namespace
{

struct Refusal {
    int number; // message of group 326
    int rc;     // the step's return code becomes at least this
    bool ends;  // an error: the step cannot run without the feature
};

// Indexed by KorvFeature.
constexpr Refusal kRefusals[] = {
    {3309, 2000, true}, // LifeTable
    {3308, 2000, true}, // GroupAnalysis
    {3307, 2000, true}, // CompetingRisks
    {3310, 4, false},   // Association
    {3311, 4, false},   // ConfidenceBands
    {3500, 4, false},   // PlotBands
    {3312, 4, false},   // MultipleComparisons
    {3314, 0, false},   // Graphs
    {3501, 4, false},   // SmoothedHazard
    {3502, 4, false},   // RestrictedMeans
    {3503, 4, false},   // LinePrinterPlots
    {3504, 4, false},   // DeviceGraphics
    {3505, 0, false},   // StrataLegend
};
static_assert(std::size(kRefusals) == static_cast<std::size_t>(KorvFeature::Count),
              "one refusal per feature");

} // namespace

void korv_refuse(KorvPtr q, KorvFeature feature)
{
    if (!q)
        q = static_cast<KorvPtr>(*xcomanchor());
    const auto index = static_cast<unsigned>(feature);
    const Refusal& r = kRefusals[index];
    const unsigned bit = 1u << index;
    if (q && (q->refused & bit) && !r.ends)
        return;
    if (q)
        q->refused |= bit;
    xpmlog(326, r.number);
    if (q)
        q->rc = std::max(q->rc, r.rc);
    if (r.ends)
        xexit(q ? q->rc : r.rc, 0);
}
