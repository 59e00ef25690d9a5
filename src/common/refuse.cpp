// Refusal of the features this build lacks: one message per feature and step,
// naming the feature, and the step's return code raised to say so.
#include <algorithm>
#include <iterator>

#include "common/korvcom.h"
#include "common/stages.h"
#include "vyr_host.h"
#include "vyr_message_names.h"

namespace
{

struct Refusal {
    int number; // message of group 326
    int rc;     // the step's return code becomes at least this
    bool ends;  // an error: the step cannot run without the feature
};

// Indexed by KorvFeature.
constexpr Refusal kRefusals[] = {
    {msg326::NO_LIFETABLE, 2000, true},     // LifeTable
    {msg326::NO_GROUP_ROAD, 2000, true},    // GroupAnalysis
    {msg326::NO_CMPRISK, 2000, true},       // CompetingRisks
    {msg326::NO_ASSOCIATION, 4, false},     // Association
    {msg326::NO_BANDS, 4, false},           // ConfidenceBands
    {msg326::NO_PLOT_BANDS, 4, false},      // PlotBands
    {msg326::NO_DIFF, 4, false},            // MultipleComparisons
    {msg326::NO_GRAPHS, 0, false},          // Graphs
    {msg326::NO_SMOOTHED_HAZARD, 4, false}, // SmoothedHazard
    {msg326::NO_RMST, 4, false},            // RestrictedMeans
    {msg326::NO_DEVICE_GRAPHICS, 4, false}, // DeviceGraphics
    {msg326::NO_GROUP_ESTIMATES, 4, false}, // GroupEstimates
    {msg326::NO_LINEPRINTER, 4, false},     // LinePrinterPlots
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
