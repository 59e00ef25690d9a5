// The host side of the statement parser: the environment that opens data
// sets through the data layer, lists an input's variables, keeps statement
// records in the task pool and reports statement errors at their place in
// the program; and the parser service xsproc that runs a step's statements.
#include <string>
#include <vector>

#include "host/messages/catalogue.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_parse.h"
#include "vyr_session.h"

namespace
{

// Host messages (group 1) of a statement's error, warning or note; their
// catalogue text is the finding itself.
constexpr int kHostGroup = 1;
constexpr int kStatementError = 4002;
constexpr int kStatementWarning = 4003;
constexpr int kStatementNote = 4004;

// While an input of a step is opened, the words of the step's statements
// tell the data layer which columns the step can name: their values come
// from the one pass over the file that finds the types.
class ExpectStepWords
{
  public:
    explicit ExpectStepWords(const VyrStep* step)
    {
        if (step == nullptr)
            return;
        std::vector<std::string_view> texts;
        for (const auto& s : step->statements)
            texts.push_back(s.text);
        words_ = vyr_statement_words(texts);
        vyr_data_expect_words(&words_);
    }
    ~ExpectStepWords() { vyr_data_expect_words(nullptr); }
    ExpectStepWords(const ExpectStepWords&) = delete;
    ExpectStepWords& operator=(const ExpectStepWords&) = delete;

  private:
    std::vector<std::string> words_;
};

class HostParseEnv final : public ParseEnv
{
  public:
    const VyrStep* step = nullptr;

    void* allocate(std::size_t length) override
    {
        return xmalloc_or_exit(xtaskpool(), static_cast<int64_t>(length), 0x3006);
    }

    DSHANDLE* open_dataset(const std::string& name, bool quoted, const int mode[9]) override
    {
        DSHANDLE* h = nullptr;
        int io = mode[0] == 2 ? VYR_DS_OUTPUT : VYR_DS_INPUT;
        ExpectStepWords expect(step);
        if (vyr_dsopen(name, io, quoted, &h) < 0)
            return nullptr;
        return h;
    }

    void forget_dataset(DSHANDLE* ds) override { vyr_dsforget(ds); }
    std::string dataset_name(const DSHANDLE* ds) override { return vyr_dsname(ds); }

    // Without DATA=, the input is the data set this run created last.
    DSHANDLE* default_input() override
    {
        std::string last = vyr_data_last_created();
        if (last.empty())
            return nullptr;
        DSHANDLE* h = nullptr;
        ExpectStepWords expect(step);
        if (vyr_dsopen(last, VYR_DS_INPUT, false, &h) < 0)
            return nullptr;
        return h;
    }

    std::vector<PARSEVAR> variables(DSHANDLE* ds) override
    {
        std::vector<PARSEVAR> out;
        for (const auto& c : vyr::data::columns(ds))
            out.push_back({c.name, c.numeric ? 1 : 2});
        return out;
    }

    void report(int severity, const std::string& text, int index, std::size_t offset, int line,
                int column) override
    {
        // The statement reader's findings are host messages of their own
        // numbers (one for errors, one for warnings), so that the HTML and
        // JSON files give every message of a step with a number.
        vyr::set_next_message_number(kHostGroup, severity == 1   ? kStatementError
                                                 : severity == 3 ? kStatementNote
                                                                 : kStatementWarning);
        if (step && index >= 0 && static_cast<std::size_t>(index) < step->statements.size()) {
            const VyrStatement& s = step->statements[static_cast<std::size_t>(index)];
            if (severity == 1)
                vyr_statement_error(s, offset, text);
            else if (severity == 3)
                vyr_statement_note(s, offset, text);
            else
                vyr_statement_warning(s, offset, text);
            return;
        }
        xpslog("%s%s (line %d, column %d).",
               severity == 1   ? "%1z"
               : severity == 3 ? "%3z"
                               : "%2z",
               text.c_str(), line, column);
    }
};

} // namespace

ParseEnv& vyr_host_parse_env(const VyrStep* step)
{
    thread_local HostParseEnv env;
    env.step = step;
    return env;
}

int xsproc(PARSECONTROL* pc, const VyrStep* step, int mode, USERINTERACT* uic, void* tokhook,
           void* semhook)
{
    (void)uic;
    (void)tokhook;
    (void)semhook;
    if (!pc)
        return 3000;
    pc->xsyndebug = (mode & 2) ? 1 : 0;
    pc->xsemdebug = (mode & 1) ? 1 : 0;
    if (!step) {
        pc->error = 3000;
        return pc->error;
    }
    std::vector<PARSESTMT> stmts;
    stmts.reserve(step->statements.size());
    for (const auto& s : step->statements) {
        PARSESTMT p;
        p.text = s.text;
        p.line = s.line;
        p.column = s.column;
        p.lines = &s.lines;
        p.columns = &s.columns;
        stmts.push_back(std::move(p));
    }
    vyr::set_step_by_groups(false);
    int rc = vyr_parse_statements(pc, stmts, vyr_host_parse_env(step));
    // Hand the BY statement to the input data set's BY-group service.
    const STLIST* by = stmt_field(pc->head, 0);
    const STLIST* in = stmt_field(pc->head, 1);
    vyr::set_step_by_groups(by && by->type == STL_VARS && by->n > 0);
    if (rc == 0 && by && by->type == STL_VARS && by->n > 0 && in && in->handle) {
        if (xbyset(in->handle, by->ivals, by->descending, by->n, by->notsorted != 0) < 0) {
            pc->error = 1008;
            rc = 1008;
        }
    }
    return rc;
}
