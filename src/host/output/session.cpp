// The output layer's place in a run: at the end of every step the step's
// document is rendered to the listing, and the HTML and JSON files named on
// the command line are rewritten with every step so far (each written to a
// temporary name and renamed, so a reader never sees half a file).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/output/layer.h"
#include "vyr_host.h"
#include "vyr_data.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace vdq
{

std::vector<StepDoc>& finishedSteps()
{
    static std::vector<StepDoc> steps;
    return steps;
}

namespace
{

bool writeAtomically(const std::string& path, const std::string& text)
{
    // A device, a pipe or a symbolic link (/dev/stdout, /dev/null) is
    // written directly: renaming a finished file over it would replace the
    // device or the link itself.
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::symlink_status(path, ec);
    if (!ec && std::filesystem::exists(st) && !std::filesystem::is_regular_file(st)) {
        std::ofstream f(path, std::ios::binary);
        if (!f)
            return false;
        f << text;
        f.flush();
        return static_cast<bool>(f);
    }
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f)
            return false;
        f << text;
        f.flush();
        if (!f)
            return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

// The layer's hooks belong to one run: at the end of the run they retire
// (a later run registers fresh ones, whether or not the session kept the
// old); the steps gathered stay readable until the next run's first step.
bool attached = false;
int generation = 0;
bool staleSteps = false;

// Renders the step and writes the files; returns false when a file could not
// be written (the log says which).
bool renderStep(const std::string& proc, int rc)
{
    if (staleSteps) {
        finishedSteps().clear();
        staleSteps = false;
    }
    StepDoc doc = takeCurrentStep();
    doc.proc = proc.empty() ? std::string("KORVANTE") : proc;
    doc.rc = rc;
    doc.headed = true;
    doc.titles = vyr_titles();
    doc.footnotes = vyr_footnotes();
    int centreLen = 0;
    const char* centreOpt = xoptcgt("CENTER", &centreLen);
    setListingCentred(centreOpt == nullptr || centreLen == 0 || centreOpt[0] != '0');
    std::vector<std::vector<std::string>> headers;
    std::vector<int> repeat;
    std::vector<std::string> lines = renderListing(doc, xplinesize(), {}, headers, repeat);
    // A table that runs onto a new page shows its column headers again
    // there, unless the page would hold nothing else.
    const int room = xppagesize() - 8;
    for (size_t i = 0; i < lines.size(); ++i) {
        // A line-printer plot begins a page (a line "\f" alone).
        if (lines[i] == "\f") {
            xppage();
            continue;
        }
        int h = i < repeat.size() ? repeat[i] : -1;
        if (h >= 0 && vyr_print_page_full() &&
            static_cast<int>(headers[static_cast<size_t>(h)].size()) < room) {
            vyr_print_line("");
            for (const std::string& l : headers[static_cast<size_t>(h)])
                vyr_print_line(l);
        }
        vyr_print_line(lines[i]);
    }
    finishedSteps().push_back(std::move(doc));
    bool ok = true;
    if (attached) {
        const VyrSettings& s = vyr_settings();
        if (!s.html.empty() &&
            !writeAtomically(s.html, renderHtml(finishedSteps(), vyr_titles()))) {
            vyr_log_line("ERROR: The HTML output file " + s.html + " could not be written.");
            ok = false;
        }
        if (!s.json.empty() && !writeAtomically(s.json, renderJson(finishedSteps()))) {
            vyr_log_line("ERROR: The JSON output file " + s.json + " could not be written.");
            ok = false;
        }
    }
    releaseTextKeys();
    return ok;
}

} // namespace

void attachSession()
{
    if (attached)
        return;
    attached = true;
    int mine = generation;
    vyr_on_step_end([mine](const VyrStep& step, int& rc) {
        if (mine != generation)
            return;
        if (!renderStep(step.proc, rc) && rc < 8)
            rc = 8;
    });
    vyr_on_session_end([mine]() {
        if (mine != generation)
            return;
        ++generation;
        attached = false;
        staleSteps = true;
    });
    // Each new BY group read from the input opens a BY group in the document.
    vyr_data_on_bygroup(&vyr_output_bygroup);
}

} // namespace vdq

void vyr_output_render_step(const char* proc, int rc)
{
    vdq::renderStep(proc ? proc : "", rc);
}

std::string vyr_output_json()
{
    return vdq::renderJson(vdq::finishedSteps());
}

std::string vyr_output_html()
{
    return vdq::renderHtml(vdq::finishedSteps(), vyr_titles());
}

void vyr_output_reset()
{
    vdq::takeCurrentStep();
    vdq::finishedSteps().clear();
    vdq::releaseTextKeys();
}

void vyr_output_bygroup(const char* byline)
{
    vdq::openByGroup(byline ? byline : "");
}
