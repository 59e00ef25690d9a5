// The statistical graphs of the output layer: a registry maps each graph
// template ("Stat.Korvante.Graphics.*") to a family of drawings, and the
// family turns the graph's plot data and dynamic values into a figure.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/graphics/plot.h"
#include "host/output/document.h"

namespace vdq
{

enum class GraphFamily {
    Survival,      // step survival or failure curves with limits, bands, marks, at-risk table
    NegLog,        // -log S against time
    LogNegLog,     // log(-log S) against log time
    Rate,          // life-table density and hazard, the smoothed hazard
    BandwidthGrid, // the smoothing criterion against the bandwidth
    Incidence,     // cumulative incidence with limits
    Restricted,    // restricted mean (or time lost) against the restriction time
};

// Variants of a family; the panel and outside-at-risk forms wrap every family
// alike.
enum GraphFlag : unsigned {
    FailureCurve = 0x1,  // 1 - S in place of S
    AtRiskOutside = 0x2, // the at-risk table below the plot
    Panels = 0x4,        // one cell per stratum (or per plot-data table), pages of cells
    Groups = 0x8,        // one curve per GROUP= level
    LifeTable = 0x10,    // life-table estimates (joined points, no censoring marks)
    Density = 0x20,      // rate family: the density
    Smoothed = 0x40,     // rate family: the kernel-smoothed hazard
    TimeLost = 0x80,     // restricted family: time lost
};

struct GraphTemplate {
    const char* name; // the full template name
    GraphFamily family;
    unsigned flags;
};

// Case-insensitive lookup; null when the template is not known.
const GraphTemplate* findGraphTemplate(std::string_view name);
// Every template name the registry knows.
std::vector<std::string> graphTemplateNames();

// The rows of its plot data a graph draws from, [first, second): a page of
// the cumulative incidence panels, whose one table holds the strata of
// every page, reads its own strata's rows (found through the table's index
// of its strata, made once for all its pages); other graphs read every row.
std::pair<size_t, size_t> graphDataRows(const Node& graph);

// The figure of a graph node (its sources resolved); false with the reason
// when it cannot be drawn.
bool graphFigure(const Node& graph, vgr::Figure& figure, std::string& why);
// The SVG text of a graph node, with ids prefixed by `idPrefix`; empty with
// the reason when it cannot be drawn.
// `byLine` (may be empty) is added to the titles. `leftOut` (may be null)
// receives the at-risk times whose counts the graph leaves out, and those
// whose counts show without their tick label.
struct AtRiskLeftOut {
    std::vector<double> counts, labels;
};
std::string graphSvg(const Node& graph, const std::string& idPrefix, std::string& why,
                     const std::string& byLine = std::string(), AtRiskLeftOut* leftOut = nullptr);

} // namespace vdq
