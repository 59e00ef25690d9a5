// The output layer's place in a run. At the end of every step the step's
// document is rendered to the listing, line by line, and its part of the
// HTML and JSON files is written to their temporary files; the document is
// then released. The step's messages and final return code follow when the
// step is over (at the next step, or the end of the run), and the files are
// committed when the run ends: each is written once, in time that grows with
// what the run produced, and a reader never sees half a file. The files are
// written on every run, even one whose steps all failed.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/graphics/gkernel.h"
#include "host/messages/catalogue.h"
#include "host/output/layer.h"
#include "host/output/render.h"
#include "vyr_atomic_file.h"
#include "vyr_data.h"
#include "vyr_gkernel.h"
#include "vyr_host.h"
#include "vyr_output.h"
#include "vyr_session.h"

namespace vdq
{
namespace
{

// Message numbers of the host's group for the files of the output layer.
constexpr int kHostGroup = 1;
constexpr int kMsgHtmlFailed = 300;
constexpr int kMsgJsonFailed = 301;
// Host notes about a step that the session logs once the step is over.
constexpr int kMsgStepWarnings = 33;
constexpr int kMsgStepStopped = 34;
constexpr int kMsgStepTime = 38; // its timing differs from run to run: not kept
// A step keeps at most this many messages for the files (the log has all).
constexpr size_t kMaxMessages = 10000;

// One of the run's documents (HTML or JSON), written as the steps end and
// committed when the run ends. A write that fails is remembered with its
// reason; the file is then abandoned (its temporary file removed).
class RunFile : public TextSink
{
  public:
    RunFile(int failMessage) : failMessage_(failMessage) {}

    // Opens the temporary file for `path`; false (with the reason kept) when
    // it cannot be made.
    bool open(const std::string& path)
    {
        path_ = path;
        failed_ = false;
        why_.clear();
        if (!file_.open(path, why_))
            failed_ = true;
        else
            file_.as_document();
        return !failed_;
    }

    bool active() const { return !path_.empty(); }
    bool failed() const { return failed_; }

    void write(std::string_view text) override
    {
        if (failed_ || text.empty() || !file_.is_open())
            return;
        if (std::fwrite(text.data(), 1, text.size(), file_.stream()) != text.size()) {
            why_ = std::strerror(errno != 0 ? errno : EIO);
            fail();
        }
    }

    // Renames the file into place. False when it, or an earlier write, failed;
    // the log then says which file and why.
    bool commit()
    {
        if (!failed_ && !file_.commit(why_))
            fail();
        bool ok = !failed_;
        if (!ok)
            xpmlog(kHostGroup, failMessage_, path_.c_str(),
                   why_.empty() ? "unknown error" : why_.c_str());
        path_.clear();
        return ok;
    }

    // Gives the file up for `why` (said in the log when the run ends).
    void failWith(const std::string& why)
    {
        if (!active() || failed_)
            return;
        why_ = why;
        fail();
    }

  private:
    void fail()
    {
        failed_ = true;
        file_.abandon();
    }

    int failMessage_;
    std::string path_;
    std::string why_;
    bool failed_ = false;
    vyr::AtomicFile file_;
};

// The listing's paged print lines: a table's rows repeat their column
// headers at the top of a new page (unless the page would hold nothing
// else), and a block that belongs together starts a new page rather than be
// split.
class PrintSink : public LineSink
{
  public:
    void line(std::string_view text) override
    {
        if (header_ && vyr_print_page_full() && static_cast<int>(header_->size()) < room_) {
            vyr_print_line("");
            for (const std::string& l : *header_)
                vyr_print_line(l);
        }
        vyr_print_line(text);
    }
    void keep(int n) override
    {
        const int left = vyr_print_lines_left();
        if (left > 0 && left < n && n <= vyr_print_page_lines())
            xppage();
    }
    bool fits(int n) const override { return n <= vyr_print_page_lines(); }
    void rowsUnder(const std::vector<std::string>* header) override { header_ = header; }
    // Rows go out as many at a time as the page has room for; the line that
    // starts a new page goes alone, so that the headers can be repeated.
    void lines(std::string_view block) override
    {
        while (!block.empty()) {
            const int left = vyr_print_lines_left();
            size_t end = 0;
            int count = 0;
            while (count < std::max(left, 1) && end < block.size()) {
                size_t nl = block.find('\n', end);
                end = nl == std::string_view::npos ? block.size() : nl + 1;
                ++count;
            }
            std::string_view part = block.substr(0, end);
            if (left <= 0 || part.back() != '\n' || !vyr_print_block(part, count))
                LineSink::lines(part);
            block.remove_prefix(end);
        }
    }

  private:
    const std::vector<std::string>* header_ = nullptr;
    const int room_ = xppagesize() - 8;
};

// The run's output state. The layer's hooks belong to one run: at its end
// they retire (a later run registers fresh ones, whether or not the session
// kept the old).
struct RunOutput {
    bool attached = false;
    int generation = 0;
    RunFile html{kMsgHtmlFailed};
    RunFile json{kMsgJsonFailed};
    bool opened = false; // the files were opened (at the first step's end)
    size_t steps = 0;    // steps whose part is written
    // The step whose part is written and whose messages and return code are
    // not yet: its place among the run's return codes.
    bool stepPending = false;
    size_t stepIndex = 0;
    std::mutex lock; // messages may come from any thread
    std::vector<Message> stepMessages, runMessages;
    size_t dropped = 0; // messages of the step beyond kMaxMessages
};

RunOutput& run()
{
    static RunOutput r;
    return r;
}

void onMessage(vyr::Severity severity, int group, int number, const std::string& text)
{
    RunOutput& r = run();
    if (!r.attached)
        return;
    if (group == kHostGroup && number == kMsgStepTime)
        return;
    Message m{static_cast<int>(severity), group, number, text};
    std::lock_guard<std::mutex> g(r.lock);
    // The session's notes on how a step ended come once the step is over:
    // they belong to it.
    const bool aboutStep =
        group == kHostGroup && (number == kMsgStepWarnings || number == kMsgStepStopped);
    if (xcurrentstep() == nullptr && !(aboutStep && r.stepPending)) {
        r.runMessages.push_back(std::move(m));
        return;
    }
    if (r.stepMessages.size() < kMaxMessages)
        r.stepMessages.push_back(std::move(m));
    else
        ++r.dropped;
}

std::vector<Message> takeStepMessages()
{
    RunOutput& r = run();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<Message> out = std::move(r.stepMessages);
    r.stepMessages.clear();
    if (r.dropped > 0) {
        out.push_back(
            {3, 0, 0,
             std::to_string(r.dropped) + " further messages of this step are in the log only."});
        r.dropped = 0;
    }
    return out;
}

// Opens the files named on the command line, once per run. A file that
// cannot be opened is given up; the log says so when the run ends, and the
// run fails.
void openFiles()
{
    RunOutput& r = run();
    if (r.opened)
        return;
    r.opened = true;
    const VyrSettings& s = vyr_settings();
    if (!s.html.empty())
        r.html.open(s.html);
    if (!s.json.empty())
        r.json.open(s.json);
}

// Writes the pending step's messages and return code, which are known once
// the step is over.
void finishPendingStep()
{
    RunOutput& r = run();
    if (!r.stepPending)
        return;
    r.stepPending = false;
    const std::vector<int>& rcs = vyr_step_rcs();
    const int rc = r.stepIndex < rcs.size() ? rcs[r.stepIndex] : vyr_step_rc();
    const std::vector<Message> messages = takeStepMessages();
    if (r.html.active())
        htmlStepEnd(r.html, messages);
    if (r.json.active())
        jsonStepEnd(r.json, messages, rc);
}

// Renders the step that just ended: its listing now, and its part of the
// HTML and JSON files; the document is released when this returns.
void renderStep(const std::string& proc, int& rc)
{
    RunOutput& r = run();
    StepDoc doc = takeCurrentStep();
    // A graph file that cannot be written fails the step, as an output data
    // set does.
    if (drawStepGraphs(doc, r.steps) > 0 && rc < 1008)
        rc = 1008;
    doc.proc = proc.empty() ? std::string("KORVANTE") : proc;
    doc.rc = rc;
    doc.headed = true;
    doc.titles = vyr_titles();
    doc.footnotes = vyr_footnotes();
    int centreLen = 0;
    const char* centreOpt = xoptcgt("CENTER", &centreLen);
    setListingCentred(centreOpt == nullptr || centreLen == 0 || centreOpt[0] != '0');
    {
        PrintSink listing;
        renderListingTo(doc, xplinesize(), {}, listing);
    }
    if (r.attached) {
        finishPendingStep();
        openFiles();
        try {
            if (r.steps == 0 && r.html.active())
                htmlHead(r.html, htmlPageTitle(&doc, {}), {});
            if (r.steps == 0 && r.json.active())
                jsonHead(r.json);
            if (r.html.active())
                htmlStep(r.html, doc, r.steps);
            if (r.json.active())
                jsonStep(r.json, doc, r.steps == 0);
        } catch (const std::exception& e) {
            // A part half written cannot be taken back: the files are given up.
            const std::string why =
                std::string("the step's output could not be rendered (") + e.what() + ")";
            r.html.failWith(why);
            r.json.failWith(why);
            throw;
        }
        ++r.steps;
        r.stepPending = true;
        r.stepIndex = vyr_step_rcs().size();
    }
    releaseTextKeys();
}

// The end of the run: the last step's messages, the run's own, and the
// files committed. A file that could not be written fails the run.
void finishRun()
{
    RunOutput& r = run();
    finishPendingStep();
    openFiles();
    std::vector<Message> runMessages;
    {
        std::lock_guard<std::mutex> g(r.lock);
        runMessages = std::move(r.runMessages);
        r.runMessages.clear();
    }
    if (r.steps == 0 && r.html.active())
        htmlHead(r.html, htmlPageTitle(nullptr, vyr_titles()), vyr_titles());
    if (r.steps == 0 && r.json.active())
        jsonHead(r.json);
    if (r.html.active())
        htmlTail(r.html, runMessages);
    if (r.json.active())
        jsonTail(r.json, runMessages);
    bool ok = true;
    if (r.html.active())
        ok = r.html.commit() && ok;
    if (r.json.active())
        ok = r.json.commit() && ok;
    r.opened = false;
    r.steps = 0;
    r.stepPending = false;
    if (!ok)
        xexit(8, 0); // the session counts it against the run
}

} // namespace

void attachSession()
{
    RunOutput& r = run();
    if (r.attached)
        return;
    r.attached = true;
    r.opened = false;
    r.steps = 0;
    resetGraphFiles();
    vyr_gk_reset();
    r.stepPending = false;
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.stepMessages.clear();
        r.runMessages.clear();
        r.dropped = 0;
    }
    const int mine = r.generation;
    vyr::set_message_observer(&onMessage);
    vyr_on_step_begin([mine](const VyrStep&, int&) {
        RunOutput& rr = run();
        if (mine != rr.generation)
            return;
        finishPendingStep();
    });
    vyr_on_step_end([mine](const VyrStep& step, int& rc) {
        if (mine != run().generation)
            return;
        // The graphics kernel's task state ends with the step.
        vgr::gk::stepEnd();
        renderStep(step.proc, rc);
    });
    vyr_on_session_end([mine]() {
        RunOutput& rr = run();
        if (mine != rr.generation)
            return;
        ++rr.generation;
        rr.attached = false;
        finishRun();
    });
    // Each new BY group read from the input opens a BY group in the document.
    vyr_data_on_bygroup(&vyr_output_bygroup_values);
}

} // namespace vdq

void vyr_output_install()
{
    vdq::attachSession();
}

void vyr_output_reset()
{
    vdq::takeCurrentStep();
    vdq::releaseTextKeys();
}

void vyr_output_bygroup(const char* byline)
{
    vdq::openByGroup(byline ? byline : "");
}

void vyr_output_bygroup_values(const char* byline, const VyrByValue* values, int count)
{
    std::vector<vdq::Dynamic> by;
    for (int i = 0; values && i < count; ++i) {
        vdq::Dynamic d;
        d.name = values[i].name ? values[i].name : "";
        d.numeric = values[i].numeric;
        d.d = values[i].number;
        d.text = values[i].text ? values[i].text : "";
        by.push_back(std::move(d));
    }
    vdq::openByGroup(byline ? byline : "", std::move(by));
}
