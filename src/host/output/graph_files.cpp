// The graphs of a step, drawn when the step ends (the plot data are complete
// then): each graph's SVG text goes into the page, and with an output
// folder (--out) into <out>/graphs/<name>.svg, with PNG and PDF files beside
// it when the command line asks for them. Graphs are drawn in parallel on the
// host's pool (side by side, or one large graph alone with its curves drawn
// in parallel); their files are written in document order, under temporary
// names, and put in place with the step's other files when the step ends.
// No graph file lands outside <out>/graphs, nor on another output's file.
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "host/graphics/export.h"
#include "host/output/graphs.h"
#include "host/output/layer.h"
#include "vyr_atomic_file.h"
#include "vyr_host.h"
#include "vyr_pool.h"
#include "vyr_session.h"

namespace vdq
{
namespace
{

constexpr int kHostGroup = 1;
constexpr int kMsgNotDrawn = 310;
constexpr int kMsgFileFailed = 311;
constexpr int kMsgImageFailed = 312;
constexpr int kMsgFolderFailed = 313;
constexpr int kMsgFolderOutside = 5301;
constexpr int kMsgCountsLeftOut = 314;
constexpr int kMsgLabelsLeftOut = 315;

namespace fs = std::filesystem;

// File names given so far in the run (graphs of every step share a folder).
std::set<std::string>& usedNames()
{
    static std::set<std::string> names;
    return names;
}

// The graphs of a document, each with the BY line of its BY group.
void collect(const std::vector<NodePtr>& items, std::vector<Node*>& out,
             std::vector<std::string>& byLines, const std::string& byLine)
{
    for (const NodePtr& p : items) {
        // Device graphs come drawn, their files already in their catalogue.
        if (p->kind == Node::Graph && !p->device) {
            out.push_back(p.get());
            byLines.push_back(byLine);
        }
        collect(p->items, out, byLines, p->kind == Node::ByGroup ? p->label : byLine);
    }
}

// A file name from the graph's path: letters, digits, '.', '-' and '_',
// unique in the run.
std::string fileName(const Node& g)
{
    std::string base;
    for (char c : g.path.empty() ? g.name : g.path)
        base.push_back((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                               c == '.' || c == '-' || c == '_'
                           ? c
                           : '_');
    if (base.empty())
        base = "Graph";
    std::string name = base;
    for (int k = 2; !usedNames().insert(name).second; ++k)
        name = base + "_" + std::to_string(k);
    return name;
}

// The rows and the tables of a graph's plot data (a joined table counts
// its parts).
void plotSize(const Node& n, size_t& rows, size_t& tables)
{
    if (n.parts.empty()) {
        rows += n.rows.size();
        ++tables;
    }
    for (const NodePtr& p : n.parts)
        if (p)
            plotSize(*p, rows, tables);
}

// Whether a graph is drawn alone, its curves in parallel on the pool: the
// only graph of its step, or one across many strata with many rows. Other
// graphs are drawn side by side, one a thread.
bool drawnAlone(const Node& g, size_t graphs)
{
    if (graphs == 1)
        return true;
    size_t rows = 0, tables = 0;
    for (const NodePtr& s : g.sources)
        if (s)
            plotSize(*s, rows, tables);
    return rows >= 20000 && tables >= 64;
}

} // namespace

void resetGraphFiles()
{
    usedNames().clear();
}

int drawStepGraphs(StepDoc& doc, size_t stepIndex)
{
    std::vector<Node*> graphs;
    std::vector<std::string> byLines;
    collect(doc.items, graphs, byLines, std::string());
    if (graphs.empty())
        return 0;
    int failures = 0;
    // Ids are kept apart across the graphs of the page by a prefix naming
    // the step and the graph.
    std::vector<std::string> why(graphs.size());
    std::vector<AtRiskLeftOut> leftOut(graphs.size());
    auto draw = [&](size_t i) {
        const std::string prefix =
            "s" + std::to_string(stepIndex + 1) + "g" + std::to_string(i + 1) + "-";
        graphs[i]->svg = graphSvg(*graphs[i], prefix, why[i], byLines[i], &leftOut[i]);
    };
    std::vector<size_t> small;
    for (size_t i = 0; i < graphs.size(); ++i) {
        if (drawnAlone(*graphs[i], graphs.size()))
            draw(i);
        else
            small.push_back(i);
    }
    vyr::parallel_for(small.size(), [&](size_t k) { draw(small[k]); });
    const VyrSettings& settings = vyr_settings();
    const bool files = !settings.outDir.empty();
    std::string folder;
    if (files) {
        folder = (fs::path(settings.outDir) / "graphs").string();
        // Where the graphs are left when their files cannot be written.
        const char* kept = settings.html.empty()
                               ? "no file keeps the graphs (no HTML page was asked for)"
                               : "the graphs are only in the HTML page";
        std::string where;
        switch (vyr::prepare_folder(folder, settings.outDir, where)) {
        case vyr::FolderState::Ready:
            break;
        case vyr::FolderState::Outside:
            xpmlog(kHostGroup, kMsgFolderOutside, folder.c_str(), where.c_str(),
                   settings.outDir.c_str(), kept);
            folder.clear();
            ++failures;
            break;
        case vyr::FolderState::NotAFolder:
            xpmlog(kHostGroup, kMsgFolderFailed, folder.c_str(), where.c_str(), kept);
            folder.clear();
            ++failures;
            break;
        }
    }
    for (size_t i = 0; i < graphs.size(); ++i) {
        Node& g = *graphs[i];
        // At-risk counts the graph has no room for are named, not dropped
        // without a word; so are counts whose tick label is left out.
        auto named = [&](const std::vector<double>& times, int msg) {
            if (times.empty())
                return;
            std::string list;
            char buf[40];
            for (double t : times) {
                std::snprintf(buf, sizeof buf, "%s%.15g", list.empty() ? "" : ", ", t);
                list += buf;
            }
            xpmlog(kHostGroup, msg, g.name.c_str(), (g.label.empty() ? g.templ : g.label).c_str(),
                   list.c_str());
        };
        named(leftOut[i].counts, kMsgCountsLeftOut);
        named(leftOut[i].labels, kMsgLabelsLeftOut);
        if (g.svg.empty()) {
            g.drawNote = why[i];
            xpmlog(kHostGroup, kMsgNotDrawn, g.name.c_str(),
                   (g.label.empty() ? g.templ : g.label).c_str(), why[i].c_str());
            continue;
        }
        if (folder.empty())
            continue;
        const std::string name = fileName(g);
        const std::string svgFile = folder + "/" + name + ".svg";
        std::string reason;
        // Each file is staged, to be put in place when the step ends.
        if (vyr::write_staged_file(
                folder, name + ".svg", "the graph file " + svgFile,
                [&](std::FILE* f) {
                    return std::fwrite(g.svg.data(), 1, g.svg.size(), f) == g.svg.size();
                },
                reason)) {
            g.file = "graphs/" + name + ".svg";
        } else {
            xpmlog(kHostGroup, kMsgFileFailed, svgFile.c_str(), reason.c_str());
            ++failures;
        }
        const std::pair<bool, const char*> kinds[] = {{settings.graphPng, "png"},
                                                      {settings.graphPdf, "pdf"}};
        for (const auto& [want, ext] : kinds) {
            if (!want)
                continue;
            const std::string target = folder + "/" + name + "." + ext;
            const auto format = ext[1] == 'n' ? vgr::ImageFormat::Png : vgr::ImageFormat::Pdf;
            if (vyr::write_staged_file(
                    folder, name + "." + ext, "the image file " + target,
                    [&](std::FILE* f) { return vgr::writeImage(g.svg, f, format, reason); },
                    reason))
                g.images.push_back("graphs/" + name + "." + ext);
            else {
                xpmlog(kHostGroup, kMsgImageFailed, target.c_str(), reason.c_str());
                ++failures;
            }
        }
    }
    return failures;
}

} // namespace vdq
