// The table-driven LL(1) parser: reads each statement of a step with the
// procedure's grammar, runs the grammar's semantic actions into statement
// records, and repairs syntax errors by the least-cost deletion of input
// tokens and insertion of grammar symbols, within the grammar's cost bounds.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "host/parse/parse_internal.h"
#include "vyr_missing.h"
#include "vyr_text.h"

namespace vyr::parse
{

namespace
{

// The most values one number list may expand to (TO/BY ranges included).
constexpr std::size_t kMaxListValues = 100000;
// The most statement errors reported for one statement.
constexpr int kMaxErrorsPerStatement = 5;
// The most repairs made in one statement before the rest of it is dropped.
constexpr int kMaxRepairsPerStatement = 40;

struct Pending {
    std::vector<int> ivals;
    std::vector<double> dvals;
    std::vector<std::string> texts;
    std::vector<unsigned char> desc;
    int notsorted = 0;
    char type = STL_NONE;
};

class Parser
{
  public:
    Parser(const Grammar& g, PARSECONTROL* pc, ParseEnv& env) : g_(g), pc_(pc), env_(env) {}

    void run(const std::vector<PARSESTMT>& stmts)
    {
        for (std::size_t i = 0; i < stmts.size(); ++i)
            statement(stmts[i], static_cast<int>(i));
        repeated_statements(stmts);
    }

  private:
    const Grammar& g_;
    PARSECONTROL* pc_;
    ParseEnv& env_;

    // Current statement.
    const PARSESTMT* st_ = nullptr;
    int st_index_ = 0;
    std::vector<Token> toks_;
    std::vector<int> forced_; // per token: terminal fixed by a repair, or -1
    std::size_t pos_ = 0;
    std::vector<int> stack_;
    int errors_ = 0;
    int syntax_errors_ = 0; // in the current statement
    long last_repair_ = -1; // token where the last repair resumed reading
    int reported_ = 0;      // syntax errors reported for the current statement
    bool repairing_ = false;
    bool abandoned_ = false;

    // Records.
    STMT* cur_ = nullptr;
    std::map<std::pair<STMT*, int>, Pending> pending_;
    // Data set fields given in the current statement.
    std::set<std::pair<STMT*, int>> datasets_given_;
    // Options marked {once k} given in the current statement.
    std::set<std::pair<STMT*, int>> once_given_;
    // The terminal each token of the statement was read as (-1: none yet),
    // and the parentheses read and not yet closed.
    std::vector<int> matched_;
    std::vector<std::size_t> open_groups_;
    // Each field the current statement has set: the token of the option
    // that set it last, and the options already said to be repeated.
    std::map<std::pair<STMT*, int>, std::size_t> set_by_;
    // Each option the current statement gave, by record, keyword and place:
    // the token where it was given last and the fields it set there.
    struct OptionGiven {
        std::size_t at = std::string::npos;
        std::vector<int> fields;
    };
    std::map<std::tuple<STMT*, int, std::vector<int>>, OptionGiven> options_given_;
    std::set<int> said_repeated_;
    int errors_before_ = 0; // statement errors of the step before this statement
    // The statements that write into the procedure's record (BY, FREQ,
    // WEIGHT, ID, TEST): whether the current one does, each variable list
    // such a statement gives (by field) with the statement that gave it
    // last and whether an earlier one gave it too, and the statements that
    // set each option bit of that record.
    bool continued_ = false;
    struct ListGiven {
        int index = -1;
        std::string statement;
        bool repeated = false;
    };
    std::map<int, ListGiven> lists_given_;
    std::map<int, std::set<int>> bit_setters_;
    // Where each data set field of the step was given: the option and the
    // statement, as the user wrote them ("OUTSURV", "PROC KORVANTE").
    struct Given {
        std::string option, statement;
    };
    std::map<std::pair<STMT*, int>, Given> dataset_origin_;
    int open_vars_ = -1, open_nums_ = -1;

    // Semantic registers.
    double num_ = 0;
    bool have_num_ = false;
    std::string text_;
    bool quoted_ = false;
    bool compound_ = false;
    std::size_t value_offset_ = 0;
    std::vector<std::string> names_;
    double nl_from_ = 0, nl_to_ = 0, nl_by_ = 1;
    bool nl_has_to_ = false, nl_has_by_ = false;
    bool by_desc_ = false;

    // Input variables for variable lists.
    DSHANDLE* vars_ds_ = nullptr;
    bool vars_loaded_ = false;
    std::vector<PARSEVAR> vars_;
    std::vector<std::string> vars_upper_;
    std::map<std::string, int> var_index_;

    // ---------------------------------------------------------------------
    // Places and reports.

    void where(std::size_t offset, int* line, int* col) const
    {
        const PARSESTMT& s = *st_;
        if (s.lines && s.columns && !s.lines->empty() && s.lines->size() == s.columns->size() &&
            s.lines->size() == s.text.size()) {
            if (offset < s.lines->size()) {
                *line = (*s.lines)[offset];
                *col = (*s.columns)[offset];
            } else {
                *line = s.lines->back();
                *col = s.columns->back() + 1;
            }
            return;
        }
        int l = s.line, c = s.column;
        for (std::size_t i = 0; i < offset && i < s.text.size(); ++i) {
            if (s.text[i] == '\n') {
                ++l;
                c = 1;
            } else {
                ++c;
            }
        }
        *line = l;
        *col = c;
    }

    void report(int severity, const std::string& text, std::size_t offset)
    {
        int line = 0, col = 0;
        where(offset, &line, &col);
        env_.report(severity, text, st_index_, offset, line, col);
    }

    void fail(int code) { pc_->error = static_cast<short>(std::max<int>(pc_->error, code)); }

    // A statement error that does not involve the syntax (a value out of
    // range, an unknown variable): reported at the value, the step fails.
    void value_error(const std::string& text)
    {
        // After a syntax error in the statement a value may be a misread
        // one: only the syntax error is reported.
        if (repairing_ || syntax_errors_ > 0)
            return;
        ++pc_->nerrors;
        fail(3000);
        report(1, text, value_offset_);
    }

    // ---------------------------------------------------------------------
    // Records.

    void* alloc(std::size_t n) { return env_.allocate(n == 0 ? 1 : n); }

    char* copy_text(const std::string& s)
    {
        char* p = static_cast<char*>(alloc(s.size() + 1));
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = 0;
        return p;
    }

    STMT* new_record(int nfields, const std::string& name)
    {
        STMT* r = static_cast<STMT*>(alloc(sizeof(STMT)));
        r->nfld = nfields;
        r->fld = static_cast<STLIST*>(alloc(sizeof(STLIST) * static_cast<std::size_t>(nfields)));
        std::string nm = name.substr(0, 31);
        std::memcpy(r->name, nm.data(), nm.size());
        int line = 0, col = 0;
        where(0, &line, &col);
        r->line = line;
        r->column = col;
        if (!pc_->head)
            pc_->head = r;
        else
            pc_->last->next = r;
        pc_->last = r;
        pc_->current = r;
        return r;
    }

    STLIST* field(int k)
    {
        if (!cur_ || k < 0 || k >= cur_->nfld)
            return nullptr;
        return &cur_->fld[k];
    }

    void clear_field(STLIST* f) { std::memset(f, 0, sizeof *f); }

    void flush()
    {
        for (auto& [key, p] : pending_) {
            STMT* r = key.first;
            int k = key.second;
            if (!r || k < 0 || k >= r->nfld)
                continue;
            // A list that received no value leaves its field not given (an
            // opened but empty variable list, a STRATA statement without cut
            // points).
            if (p.ivals.empty() && p.dvals.empty() && p.texts.empty())
                continue;
            STLIST* f = &r->fld[k];
            clear_field(f);
            f->type = p.type;
            switch (p.type) {
            case STL_VARS:
            case STL_POSITIONS:
                f->n = static_cast<int>(p.ivals.size());
                f->ivals = static_cast<int*>(alloc(sizeof(int) * p.ivals.size()));
                std::copy(p.ivals.begin(), p.ivals.end(), f->ivals);
                if (p.type == STL_VARS) {
                    f->descending = static_cast<unsigned char*>(alloc(p.ivals.size()));
                    for (std::size_t i = 0; i < p.desc.size() && i < p.ivals.size(); ++i)
                        f->descending[i] = p.desc[i];
                    f->notsorted = p.notsorted;
                }
                break;
            case STL_NUMBERS:
                f->n = static_cast<int>(p.dvals.size());
                f->dvals = static_cast<double*>(alloc(sizeof(double) * p.dvals.size()));
                std::copy(p.dvals.begin(), p.dvals.end(), f->dvals);
                break;
            case STL_TEXTS:
                f->n = static_cast<int>(p.texts.size());
                f->mode = 1;
                f->texts = static_cast<STTEXT*>(alloc(sizeof(STTEXT) * p.texts.size()));
                for (std::size_t i = 0; i < p.texts.size(); ++i) {
                    f->texts[i].l = static_cast<int64_t>(p.texts[i].size());
                    f->texts[i].s = copy_text(p.texts[i]);
                }
                break;
            default:
                f->type = STL_NONE;
                break;
            }
        }
        pending_.clear();
    }

    Pending& pend(int k, char type)
    {
        Pending& p = pending_[{cur_, k}];
        p.type = type;
        return p;
    }

    // ---------------------------------------------------------------------
    // Variables of the input data set.

    const std::vector<PARSEVAR>* input_vars()
    {
        const STMT* proc = pc_->head;
        const STLIST* f = stmt_field(proc, 1);
        DSHANDLE* ds = (f && f->type == STL_DATASET) ? f->handle : nullptr;
        if (!ds)
            return nullptr;
        if (!vars_loaded_ || ds != vars_ds_) {
            vars_ = env_.variables(ds);
            vars_ds_ = ds;
            vars_loaded_ = true;
            var_index_.clear();
            vars_upper_.clear();
            for (std::size_t i = 0; i < vars_.size(); ++i) {
                vars_upper_.push_back(upper(vars_[i].name));
                var_index_.emplace(vars_upper_.back(), static_cast<int>(i)); // first one wins
            }
        }
        return &vars_;
    }

    int find_var(const std::vector<PARSEVAR>&, const std::string& name)
    {
        auto it = var_index_.find(upper(name));
        return it == var_index_.end() ? -1 : it->second;
    }

    static void split_number(const std::string& s, std::string* prefix, std::string* digits)
    {
        std::size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1])))
            --i;
        *prefix = s.substr(0, i);
        *digits = s.substr(i);
    }

    void var_element(int form)
    {
        if (repairing_ || open_vars_ < 0)
            return;
        const std::vector<PARSEVAR>* vars = input_vars();
        if (!vars)
            return; // no input data set: reported elsewhere
        Pending& p = pend(open_vars_, STL_VARS);
        auto add = [&](int i) {
            p.ivals.push_back(i + 1);
            p.desc.push_back(0);
        };
        std::string a = names_.size() >= 2 ? names_[names_.size() - 2] : "";
        std::string b = names_.empty() ? "" : names_.back();
        auto need = [&](const std::string& n) -> int {
            int i = find_var(*vars, n);
            if (i < 0)
                value_error("Variable " + n + " not found.");
            return i;
        };
        switch (form) {
        case 1: {
            int i = need(b);
            if (i >= 0)
                add(i);
            break;
        }
        case 2: { // a1-a5: numbered names
            std::string pa, da, pb, db;
            split_number(a, &pa, &da);
            split_number(b, &pb, &db);
            if (da.empty() || db.empty() || upper(pa) != upper(pb)) {
                value_error("Variable list " + a + "-" + b +
                            " must name two variables with the same prefix and a number.");
                break;
            }
            if (da.size() > 9 || db.size() > 9) {
                value_error("The numbers of the variable list " + a + "-" + b + " are too large.");
                break;
            }
            long from = std::stol(da), to = std::stol(db);
            if (from > to) {
                value_error("The variable list " + a + "-" + b + " runs backwards.");
                break;
            }
            if (to - from >= static_cast<long>(kMaxListValues)) {
                value_error("The variable list " + a + "-" + b + " is too long.");
                break;
            }
            bool padded = da.size() > 1 && da[0] == '0';
            for (long v = from; v <= to; ++v) {
                std::string num = std::to_string(v);
                if (padded && num.size() < da.size())
                    num = std::string(da.size() - num.size(), '0') + num;
                int i = need(pa + num);
                if (i < 0)
                    break;
                add(i);
            }
            break;
        }
        case 3:
        case 4:
        case 5: { // a--b, a-NUMERIC-b, a-CHARACTER-b: by position
            int i = need(a);
            int j = i >= 0 ? need(b) : -1;
            if (i < 0 || j < 0)
                break;
            if (i > j) {
                value_error("Variable " + b + " comes before " + a + " in the data set.");
                break;
            }
            for (int k = i; k <= j; ++k)
                if (form == 3 || (*vars)[k].type == (form == 4 ? 1 : 2))
                    add(k);
            break;
        }
        case 6: { // prefix:
            std::string u = upper(b);
            std::size_t before = p.ivals.size();
            for (std::size_t k = 0; k < vars->size(); ++k)
                if (vars_upper_[k].compare(0, u.size(), u) == 0)
                    add(static_cast<int>(k));
            if (p.ivals.size() == before)
                value_error("No variable begins with " + b + ".");
            break;
        }
        case 7:
        case 8:
        case 9:
            for (std::size_t k = 0; k < vars->size(); ++k)
                if (form == 9 || (*vars)[k].type == (form == 7 ? 1 : 2))
                    add(static_cast<int>(k));
            break;
        default:
            break;
        }
    }

    // ---------------------------------------------------------------------
    // Semantic actions.

    void store_number(int k, double v)
    {
        STLIST* f = field(k);
        if (!f)
            return;
        pending_.erase({cur_, k});
        clear_field(f);
        f->type = STL_NUMBER;
        f->n = 1;
        f->num = v;
    }

    void store_code(int k, int code)
    {
        STLIST* f = field(k);
        if (!f)
            return;
        pending_.erase({cur_, k});
        clear_field(f);
        f->type = STL_CODES;
        f->n = 1;
        f->ivals = static_cast<int*>(alloc(sizeof(int)));
        f->ivals[0] = code;
    }

    void store_text(int k, const std::string& s)
    {
        STLIST* f = field(k);
        if (!f)
            return;
        pending_.erase({cur_, k});
        clear_field(f);
        f->type = STL_TEXT;
        f->mode = 1;
        f->n = 1;
        f->text = copy_text(s);
        f->tlen = static_cast<int>(s.size());
    }

    static std::string fmt_num(double v)
    {
        char b[64];
        std::snprintf(b, sizeof b, "%.12g", v);
        return b;
    }

    void number_list_end()
    {
        if (repairing_ || open_nums_ < 0)
            return;
        Pending& p = pend(open_nums_, STL_NUMBERS);
        if (!nl_has_to_) {
            if (p.dvals.size() >= kMaxListValues) {
                value_error("The list has too many values.");
                return;
            }
            p.dvals.push_back(nl_from_);
            return;
        }
        if (wzmis(nl_from_) || wzmis(nl_to_) || (nl_has_by_ && wzmis(nl_by_))) {
            value_error("A missing value cannot start, end or step a TO range.");
            return;
        }
        double by = nl_has_by_ ? nl_by_ : 1.0;
        if (by == 0) {
            value_error("The BY step of a TO range must not be 0.");
            return;
        }
        if ((nl_to_ - nl_from_) * by < 0) {
            value_error("The range " + fmt_num(nl_from_) + " TO " + fmt_num(nl_to_) + " BY " +
                        fmt_num(by) + " never reaches its end.");
            return;
        }
        double steps = std::floor((nl_to_ - nl_from_) / by + 1e-9);
        if (!(steps >= 0) || steps + static_cast<double>(p.dvals.size()) >= kMaxListValues) {
            value_error("The range " + fmt_num(nl_from_) + " TO " + fmt_num(nl_to_) +
                        " has too many values.");
            return;
        }
        long n = static_cast<long>(steps);
        for (long i = 0; i <= n; ++i)
            p.dvals.push_back(nl_from_ + static_cast<double>(i) * by);
    }

    // The statement's keyword as the user wrote it, in upper case: its
    // first word, and the procedure's name after PROC.
    std::string statement_words() const
    {
        std::string w;
        for (std::size_t i = 0; i < toks_.size() && i < 2; ++i) {
            if (toks_[i].upper.empty())
                break;
            if (i == 1 && w != "PROC")
                break;
            w += (i ? " " : "") + toks_[i].upper;
        }
        return w;
    }

    // The option keyword of the value just read: the name before the last
    // "=" (as the user spelled it, in upper case).
    std::string option_before_value() const
    {
        for (std::size_t i = std::min(pos_, toks_.size()); i >= 2; --i) {
            const Token& t = toks_[i - 1];
            if (t.cls == TC_PUNCT && t.punct == '=')
                return toks_[i - 2].upper.empty() ? toks_[i - 2].text : toks_[i - 2].upper;
        }
        return "?";
    }

    void open_dataset(int k, const std::vector<int>& args)
    {
        if (repairing_ || pc_->error || pc_->nerrors)
            return; // no data sets are opened once the step has failed
        int mode[9] = {0};
        for (int i = 0; i < 9 && i + 1 < static_cast<int>(args.size()); ++i)
            mode[i] = args[i + 1];
        // A data set option given twice in one statement (OUTSURV=a
        // OUTSURV=b) would silently keep only the last: refused, naming it.
        if (!datasets_given_.insert({cur_, k}).second) {
            value_error("The option " + option_before_value() +
                        "= is repeated in this statement; give it once.");
            return;
        }
        // The same field given by an earlier statement (OUTSURV= on the
        // procedure statement and OUT= on a statement that stores into the
        // same record): the last one given is used, and the earlier data set
        // is let go before the new one is opened, unwritten and said.
        const Given here{option_before_value(), statement_words()};
        std::string replaced, replacedText;
        Given was;
        if (STLIST* old = field(k); old && old->type == STL_DATASET && old->handle) {
            was = dataset_origin_[{cur_, k}];
            replaced = env_.dataset_name(old->handle);
            replacedText = old->text ? old->text : "";
            env_.forget_dataset(old->handle);
            old->handle = nullptr;
        }
        DSHANDLE* h = env_.open_dataset(text_, quoted_, mode);
        if (!h) {
            fail(1008);
            return;
        }
        if (!replacedText.empty()) {
            const std::string used = env_.dataset_name(h);
            if (used.empty() || used != replaced)
                report(2,
                       here.option + "=" + text_ + " on the " + here.statement + " statement and " +
                           was.option + "=" + replacedText +
                           (was.statement == here.statement ? " on an earlier " : " on the ") +
                           was.statement +
                           " statement name the same output; the last one given is used: the "
                           "data set is written as " +
                           (used.empty() ? text_ : used) + ", and " +
                           (replaced.empty() ? replacedText : replaced) + " is not written.",
                       value_offset_);
        }
        STLIST* f = field(k);
        if (!f)
            return;
        dataset_origin_[{cur_, k}] = here;
        clear_field(f);
        f->type = STL_DATASET;
        f->mode = 1;
        f->n = 1;
        f->handle = h;
        f->text = copy_text(text_);
        f->tlen = static_cast<int>(text_.size());
        if (k == 1 && cur_ == pc_->head)
            vars_loaded_ = false;
    }

    // Semantic actions. `v` holds the action's arguments; arg(v, i, def) is
    // argument i, or `def` when it is absent.
    static int arg(const std::vector<int>& v, std::size_t i, int def)
    {
        return i < v.size() ? v[i] : def;
    }

    // A new statement record named by the statement's first name (not PROC).
    void act_new(const std::vector<int>& v)
    {
        std::string nm = "";
        for (const auto& t : toks_)
            if (t.cls == TC_NAMEX && t.upper != "PROC") {
                nm = t.upper;
                break;
            }
        cur_ = new_record(std::max(arg(v, 0, 0), 0) + 1, nm);
    }

    // Stores the number or text just read into a field; text longer than
    // the field's cap is an error and is cut.
    void act_store(const std::vector<int>& v)
    {
        if (repairing_)
            return;
        int k = arg(v, 0, -1), m = arg(v, 1, 1), cap = arg(v, 2, 0);
        if (m == 1) {
            if (have_num_)
                store_number(k, num_);
            return;
        }
        std::string s = text_;
        if (cap > 0 && static_cast<int>(s.size()) > cap) {
            value_error("The text \"" + s.substr(0, 40) + (s.size() > 40 ? "..." : "") +
                        "\" is longer than " + std::to_string(cap) + " characters.");
            s.resize(static_cast<std::size_t>(cap));
        }
        store_text(k, s);
    }

    // Opens a variable list (mode 3) or a number list (mode 4) in a field.
    void act_open(const std::vector<int>& v)
    {
        int k = arg(v, 0, -1), m = arg(v, 1, 1);
        // Emptied, then marked again with its type (which the reset cleared).
        if (m == 3) {
            open_vars_ = k;
            pend(k, STL_VARS) = Pending{};
            pend(k, STL_VARS);
        } else if (m == 4) {
            open_nums_ = k;
            pend(k, STL_NUMBERS) = Pending{};
            pend(k, STL_NUMBERS);
        }
    }

    // The procedure's input data set when DATA= was not given.
    void act_default()
    {
        if (repairing_ || pc_->error || pc_->nerrors || !cur_ || stmt_given(cur_, 1))
            return;
        DSHANDLE* h = env_.default_input();
        STLIST* f = field(1);
        if (h && f) {
            clear_field(f);
            f->type = STL_DATASET;
            f->n = 1;
            f->handle = h;
        }
    }

    // The parts of a number list "a TO b BY c": its start, end, step, and
    // its end, where the values are expanded.
    void act_number_list(int part)
    {
        if (repairing_)
            return;
        switch (part) {
        case 1:
            nl_from_ = num_;
            nl_has_to_ = nl_has_by_ = false;
            break;
        case 2:
            nl_to_ = num_;
            nl_has_to_ = true;
            break;
        case 3:
            nl_by_ = num_;
            nl_has_by_ = true;
            break;
        case 4:
            number_list_end();
            break;
        default:
            break;
        }
    }

    // A number read must lie in [v[0], v[1]] (or be at least v[0]).
    void act_range(const std::vector<int>& v)
    {
        if (repairing_ || !have_num_ || wzmis(num_))
            return;
        int lo = arg(v, 0, 0);
        if (num_ < lo || (v.size() > 1 && num_ > v[1]))
            value_error("The value " + fmt_num(num_) + " must be " +
                        (v.size() > 1
                             ? "between " + std::to_string(lo) + " and " + std::to_string(v[1])
                             : "at least " + std::to_string(lo)) +
                        ".");
    }

    // BY lists: a plain variable, one after DESCENDING, and NOTSORTED.
    void act_by(int part)
    {
        switch (part) {
        case 0:
            by_desc_ = false;
            break;
        case 1:
            if (!repairing_) {
                bool d = by_desc_;
                var_element(1);
                if (open_vars_ >= 0) {
                    Pending& p = pend(open_vars_, STL_VARS);
                    if (!p.desc.empty() && d)
                        p.desc.back() = 1;
                }
            }
            by_desc_ = false;
            break;
        case 2:
            by_desc_ = true;
            break;
        case 3:
            if (open_vars_ >= 0)
                pend(open_vars_, STL_VARS).notsorted = 1;
            break;
        default:
            break;
        }
    }

    // Notes where a cut-point list starts: how many variables and values the
    // open lists hold so far.
    void act_cut(const std::vector<int>& v)
    {
        if (repairing_ || arg(v, 1, 1) != 2)
            return;
        int nvars = open_vars_ >= 0 ? static_cast<int>(pend(open_vars_, STL_VARS).ivals.size()) : 0;
        int nvals =
            open_nums_ >= 0 ? static_cast<int>(pend(open_nums_, STL_NUMBERS).dvals.size()) : 0;
        Pending& p = pend(arg(v, 0, -1), STL_POSITIONS);
        p.ivals.push_back(nvars);
        p.ivals.push_back(nvals);
    }

    // A two-level name into two fields (libref, member); a one-level name
    // into the second.
    void act_two(const std::vector<int>& v)
    {
        if (repairing_)
            return;
        std::size_t dot = text_.find('.');
        if (compound_ && dot != std::string::npos) {
            store_text(arg(v, 0, -1), text_.substr(0, dot));
            store_text(arg(v, 1, -1), text_.substr(dot + 1));
        } else {
            store_text(arg(v, 1, -1), text_);
        }
    }

    bool is_punct(std::size_t i, char c) const
    {
        return i < toks_.size() && toks_[i].cls == TC_PUNCT && toks_[i].punct == c;
    }

    bool is_keyword(std::size_t i) const
    {
        return i < matched_.size() && matched_[i] >= 0 &&
               g_.terms[static_cast<std::size_t>(matched_[i])].kind == TK_KEYWORD;
    }

    // The token past the parenthesised group that starts at i (i itself when
    // none starts there).
    std::size_t past_group(std::size_t i) const
    {
        if (!is_punct(i, '('))
            return i;
        for (int depth = 0; i < toks_.size(); ++i) {
            depth += is_punct(i, '(') ? 1 : is_punct(i, ')') ? -1 : 0;
            if (depth == 0)
                return i + 1;
        }
        return i;
    }

    // The keyword before the "=" at eq, also across a parenthesised group
    // between them (PLOTS(ONLY)=, FORMCHAR(1 2)=); npos when there is none.
    std::size_t keyword_before_eq(std::size_t eq) const
    {
        std::size_t i = eq;
        if (i >= 1 && is_punct(i - 1, ')'))
            for (int depth = 0; i-- > 0;) {
                depth += is_punct(i, ')') ? 1 : is_punct(i, '(') ? -1 : 0;
                if (depth == 0)
                    break;
            }
        return i >= 1 && i <= eq && is_keyword(i - 1) ? i - 1 : std::string::npos;
    }

    // The token of the option the value just read belongs to: the keyword
    // before its "=", a keyword given alone (CONFBAND) or with a group of its
    // own (OUTSIDE(0.2)), or for a value inside parentheses the option the
    // group belongs to (DIFF=CONTROL('a' 'b')); npos when the value follows
    // no option (the variables of a TIME statement).
    std::size_t option_token() const
    {
        const std::size_t p = std::min(pos_, toks_.size());
        if (p >= 1 && is_punct(p - 1, '='))
            return keyword_before_eq(p - 1);
        if (p >= 2 && is_punct(p - 2, '='))
            return keyword_before_eq(p - 2);
        if (p >= 3 && is_punct(p - 3, '=') && (is_punct(p - 2, '-') || is_punct(p - 2, '+')))
            return keyword_before_eq(p - 3);
        if (p >= 1 && is_keyword(p - 1) &&
            !(p >= 2 && (is_punct(p - 2, '(') || is_punct(p - 2, ','))))
            return p - 1;
        if (open_groups_.empty())
            return std::string::npos;
        const std::size_t i = open_groups_.back();
        if (i >= 1 && is_punct(i - 1, '='))
            return keyword_before_eq(i - 1);
        if (i >= 1 && is_keyword(i - 1))
            return i >= 2 && is_punct(i - 2, '=') ? keyword_before_eq(i - 2) : i - 1;
        return std::string::npos;
    }

    // The keywords whose parenthesised groups hold token o, innermost first
    // (SURVIVAL for STRATA= in PLOTS=SURVIVAL(STRATA=PANEL)): where an
    // option stands, so that HAZARD(STRATA=) is not taken for the same one.
    std::vector<int> option_place(std::size_t o) const
    {
        std::vector<int> owners;
        for (auto it = open_groups_.rbegin(); it != open_groups_.rend(); ++it)
            if (*it < o && *it >= 1 && is_keyword(*it - 1))
                owners.push_back(matched_[*it - 1]);
        return owners;
    }

    // What the option given at `given.at` set in the current statement is let
    // go: the option is given again, and the last one given is used.
    void let_go(OptionGiven& given)
    {
        for (int f : given.fields)
            if (auto it = set_by_.find({cur_, f}); it != set_by_.end() && it->second == given.at) {
                if (STLIST* old = field(f))
                    clear_field(old);
                pending_.erase({cur_, f});
                set_by_.erase(it);
            }
        given.fields.clear();
    }

    // The note on an option given more than once, at the last one given
    // (token o): once per option and statement, and not in a statement with
    // an error, which ends the step anyway.
    void say_repeated(int term, std::size_t o)
    {
        if (syntax_errors_ != 0 || pc_->nerrors != errors_before_ ||
            !said_repeated_.insert(term).second)
            return;
        const Token& t = toks_[o];
        const std::string name =
            (t.upper.empty() ? t.text : t.upper) + (is_punct(past_group(o + 1), '=') ? "=" : "");
        report(3,
               "The option " + name +
                   " is given more than once in this statement; the last one given is used.",
               t.offset);
    }

    // Field k of the current record is set by the value just read. An option
    // given again in the same statement (in the same place) replaces what it
    // set before: the last one given is used, also where its values go to
    // other fields (BW=3 then BW=RANGE(1, 2)), and a note says so. Requests
    // that add up (PLOTS=, TEST=) set bits and are not counted. Returns
    // whether another option set the field before.
    bool set_field(int k)
    {
        if (repairing_ || !cur_)
            return false;
        const std::size_t o = option_token();
        if (o == std::string::npos)
            return false;
        const int term = matched_[o];
        bool repeated = false;
        OptionGiven& given = options_given_[{cur_, term, option_place(o)}];
        if (given.at != o) {
            let_go(given);
            repeated = given.at != std::string::npos;
            given.at = o;
        }
        given.fields.push_back(k);
        // The same field set by the same option elsewhere in the statement
        // (MAXLEN= in SURVIVAL(...) and in its ATRISK(...)).
        auto [it, first] = set_by_.try_emplace({cur_, k}, o);
        const bool other = !first && it->second != o;
        repeated = repeated || (other && matched_[it->second] == term);
        it->second = o;
        if (repeated)
            say_repeated(term, o);
        return other;
    }

    // The option bit just set by a keyword given alone (DIFF), where the
    // same keyword also takes a value (DIFF=CONTROL('2')): the two are one
    // option, and the last one given is used. Given alone after its value
    // form, it lets go what that one set; given before it, set_field finds
    // it. A note says so where a value is involved; a keyword given alone
    // twice sets its bit twice and is not counted.
    void bare_option()
    {
        if (repairing_ || !cur_)
            return;
        const std::size_t p = std::min(pos_, toks_.size());
        if (p < 1 || !is_keyword(p - 1) || is_punct(p, '=') || is_punct(p, '('))
            return;
        const std::size_t o = p - 1;
        const int term = matched_[o];
        OptionGiven& given = options_given_[{cur_, term, option_place(o)}];
        if (given.at == o)
            return;
        const bool valued = !given.fields.empty();
        let_go(given);
        given.at = o;
        if (valued)
            say_repeated(term, o);
    }

    // A statement that writes into the procedure's record opens its variable
    // list in field k. The same statement given earlier in the step is
    // replaced whole, as its list is: the option bits only it set (FREQ's
    // NOTRUNCATE) are let go. A note names the statement at the end of the
    // step's statements (repeated_statements).
    void statement_list(int k)
    {
        if (repairing_ || !cur_)
            return;
        ListGiven& given = lists_given_[k];
        if (given.index >= 0 && given.index != st_index_) {
            for (auto& [b, setters] : bit_setters_)
                if (setters.erase(given.index) && setters.empty() && b >= 0 && b < 256)
                    cur_->opt[b / 8] &= static_cast<unsigned char>(~(0x80 >> (b % 8)));
            given.repeated = true;
        }
        given.index = st_index_;
        given.statement = statement_words();
    }

    // Each statement given more than once in the step (two WEIGHT
    // statements) is named in a note at the last one, the one used; not in
    // a step with an error, which ends anyway.
    void repeated_statements(const std::vector<PARSESTMT>& stmts)
    {
        if (pc_->nerrors != 0 || pc_->error != 0)
            return;
        std::map<int, std::string> last; // by statement, in the program's order
        for (const auto& [k, given] : lists_given_)
            if (given.repeated && given.index >= 0 &&
                static_cast<std::size_t>(given.index) < stmts.size())
                last.emplace(given.index, given.statement);
        for (const auto& [index, statement] : last) {
            st_ = &stmts[static_cast<std::size_t>(index)];
            st_index_ = index;
            report(3,
                   "The " + statement +
                       " statement is given more than once in this step; this one, the last "
                       "one given, is used.",
                   0);
        }
    }

    // An option whose values the record holds once (FLEMING's rho and gamma)
    // given a second time in one statement would silently replace the first:
    // refused at the second, naming the keyword as written.
    void act_once(int k)
    {
        if (repairing_ || !cur_ || pos_ == 0 || pos_ > toks_.size())
            return;
        if (once_given_.insert({cur_, k}).second)
            return;
        const Token& t = toks_[pos_ - 1];
        value_offset_ = t.offset;
        value_error("The option " + (t.upper.empty() ? t.text : t.upper) +
                    " is repeated in this statement; give it once.");
    }

    // Runs one semantic action of the grammar.
    void action(const Action& a)
    {
        const auto& v = a.args;
        switch (a.kind) {
        case AK_BEGIN:
            break;
        case AK_NEW:
            act_new(v);
            break;
        case AK_CONT:
            if (!pc_->head)
                new_record(64, "KORVANTE");
            cur_ = pc_->head;
            continued_ = true;
            break;
        case AK_END:
            flush();
            open_vars_ = open_nums_ = -1;
            break;
        case AK_BIT: {
            int k = arg(v, 0, -1);
            if (cur_ && k >= 0 && k < 256) {
                cur_->opt[k / 8] |= static_cast<unsigned char>(0x80 >> (k % 8));
                if (cur_ == pc_->head && !repairing_)
                    bit_setters_[k].insert(st_index_);
            }
            bare_option();
            break;
        }
        case AK_STORE:
            set_field(arg(v, 0, -1));
            act_store(v);
            break;
        case AK_QLIST:
            // A list given again by a second option starts afresh.
            if (!repairing_) {
                if (set_field(arg(v, 0, -1)))
                    pend(arg(v, 0, -1), STL_TEXTS) = Pending{};
                pend(arg(v, 0, -1), STL_TEXTS).texts.push_back(text_);
            }
            break;
        case AK_OPEN:
            set_field(arg(v, 0, -1));
            if (continued_ && arg(v, 1, 1) == 3 && pos_ == 1)
                statement_list(arg(v, 0, -1));
            act_open(v);
            break;
        case AK_VAR:
            var_element(arg(v, 0, 1));
            break;
        case AK_DSOPEN:
            open_dataset(arg(v, 0, -1), v);
            break;
        case AK_DEFAULT:
            act_default();
            break;
        case AK_NL:
            act_number_list(arg(v, 0, 0));
            break;
        case AK_RANGE:
            act_range(v);
            break;
        case AK_CODE:
            set_field(arg(v, 0, -1));
            store_code(arg(v, 0, -1), -arg(v, 1, 0));
            break;
        case AK_BY:
            act_by(arg(v, 0, 0));
            break;
        case AK_CUT:
            act_cut(v);
            break;
        case AK_CONST:
            set_field(arg(v, 0, -1));
            store_number(arg(v, 0, -1), arg(v, 1, 0));
            break;
        case AK_TWO:
            set_field(arg(v, 0, -1));
            set_field(arg(v, 1, -1));
            act_two(v);
            break;
        case AK_NEG:
            if (have_num_ && !wzmis(num_))
                num_ = -num_;
            break;
        case AK_ONCE:
            act_once(arg(v, 0, -1));
            break;
        default:
            break;
        }
    }

    // ---------------------------------------------------------------------
    // Matching.

    // The terminal a token stands for when `sym` is on top of the stack
    // (-1: none). Words are keywords where the grammar expects one of that
    // spelling, names otherwise.
    int interpret(int sym, std::size_t at)
    {
        const Token& t = toks_[at];
        if (forced_[at] >= 0) {
            int f = forced_[at];
            if (g_.is_term(sym))
                return f == sym ? f : -1;
            return g_.table[sym - g_.nterm()][f] >= 0 ? f : -1;
        }
        auto ok = [&](int term) {
            if (term < 0)
                return false;
            if (g_.is_term(sym))
                return term == sym;
            return g_.table[sym - g_.nterm()][term] >= 0;
        };
        switch (t.cls) {
        case TC_NAMEX: {
            auto range = g_.term_by_spelling.equal_range(t.upper);
            for (auto it = range.first; it != range.second; ++it)
                if (ok(it->second))
                    return it->second;
            int nm = g_.term_class[TC_NAMEX];
            return ok(nm) ? nm : -1;
        }
        case TC_PUNCT: {
            auto it = g_.term_punct.find(t.punct);
            return (it != g_.term_punct.end() && ok(it->second)) ? it->second : -1;
        }
        case TC_BAD:
            return -1;
        default: {
            int c = g_.term_class[t.cls];
            return ok(c) ? c : -1;
        }
        }
    }

    // Every terminal a token could stand for somewhere in the grammar.
    std::vector<int> candidates(std::size_t at)
    {
        const Token& t = toks_[at];
        std::vector<int> out;
        switch (t.cls) {
        case TC_NAMEX: {
            auto range = g_.term_by_spelling.equal_range(t.upper);
            for (auto it = range.first; it != range.second; ++it)
                out.push_back(it->second);
            out.push_back(g_.term_class[TC_NAMEX]);
            break;
        }
        case TC_PUNCT: {
            auto it = g_.term_punct.find(t.punct);
            if (it != g_.term_punct.end())
                out.push_back(it->second);
            break;
        }
        case TC_BAD:
            break;
        default:
            out.push_back(g_.term_class[t.cls]);
            break;
        }
        return out;
    }

    void consume(std::size_t at, int term)
    {
        const Token& t = toks_[at];
        matched_[at] = term;
        if (t.cls == TC_PUNCT && t.punct == '(')
            open_groups_.push_back(at);
        else if (t.cls == TC_PUNCT && t.punct == ')' && !open_groups_.empty())
            open_groups_.pop_back();
        // A word read as a keyword is no value.
        if (g_.terms[term].kind == TK_KEYWORD)
            return;
        value_offset_ = t.offset;
        switch (t.cls) {
        case TC_NAMEX:
            names_.push_back(t.text);
            if (names_.size() > 8)
                names_.erase(names_.begin());
            text_ = t.text;
            quoted_ = compound_ = false;
            break;
        case TC_COMPOUND:
            text_ = t.text;
            quoted_ = false;
            compound_ = true;
            break;
        case TC_QS:
            text_ = t.text;
            quoted_ = true;
            compound_ = false;
            break;
        case TC_INT:
        case TC_NBR:
        case TC_DATE:
        case TC_TIME:
        case TC_DATETIME:
        case TC_MISSING:
            num_ = t.value;
            have_num_ = true;
            break;
        default:
            break;
        }
    }

    // ---------------------------------------------------------------------
    // Error reports and repair.

    std::string describe_term(int t) const
    {
        const Terminal& term = g_.terms[t];
        if (term.kind == TK_CLASS) {
            switch (term.cls) {
            case TC_ENDJB:
                return "end of statement";
            case TC_NAMEX:
                return "a name";
            case TC_QS:
                return "a quoted string";
            case TC_INT:
                return "an integer";
            case TC_NBR:
                return "a number";
            case TC_COMPOUND:
                return "a two-level name";
            case TC_FMT:
                return "a format";
            case TC_DATE:
                return "a date literal";
            case TC_TIME:
                return "a time literal";
            case TC_DATETIME:
                return "a date-time literal";
            case TC_MISSING:
                return "a missing value";
            default:
                return "";
            }
        }
        if (term.kind == TK_PUNCT)
            return "\"" + term.display + "\"";
        return term.display; // hidden-only keywords have no display
    }

    // The terminals that can be read next: walking down the stack, each
    // symbol's first terminals, as far as the symbols above could be empty.
    // (A nonterminal's row of the table would also admit what may follow
    // it anywhere in the grammar, such as another statement's options.)
    std::vector<bool> readable_now() const
    {
        std::vector<bool> can(static_cast<std::size_t>(g_.nterm()), false);
        for (std::size_t i = stack_.size(); i-- > 0;) {
            const int y = stack_[i];
            if (y < 0)
                continue;
            if (g_.is_term(y)) {
                can[static_cast<std::size_t>(y)] = true;
                break;
            }
            const int x = y - g_.nterm();
            for (int t = 0; t < g_.nterm(); ++t)
                if (g_.first[x][t])
                    can[static_cast<std::size_t>(t)] = true;
            if (!g_.nullable[x])
                break;
        }
        return can;
    }

    std::string expected_list() const
    {
        std::vector<std::string> items;
        auto add = [&](int t) {
            std::string d = describe_term(t);
            if (!d.empty() && std::find(items.begin(), items.end(), d) == items.end())
                items.push_back(d);
        };
        const std::vector<bool> can = readable_now();
        // Keywords first, then punctuation and value classes.
        for (int pass = 0; pass < 2; ++pass)
            for (int t = 0; t < g_.nterm(); ++t)
                if (can[static_cast<std::size_t>(t)] &&
                    (g_.terms[t].kind == TK_KEYWORD) == (pass == 0) && t != g_.term_eoi)
                    add(t);
        std::string out;
        const std::size_t shown = 14;
        for (std::size_t i = 0; i < items.size() && i < shown; ++i)
            out += (i ? ", " : "") + items[i];
        if (items.size() > shown)
            out += ", ...";
        return out;
    }

    std::string token_text(std::size_t at) const
    {
        const Token& t = toks_[at];
        if (t.cls == TC_ENDJB || t.cls == TC_EOI)
            return "the end of the statement";
        std::string s = st_->text.substr(t.offset, t.length);
        if (s.size() > 40)
            s = s.substr(0, 40) + "...";
        return "\"" + s + "\"";
    }

    // The statements (as their keywords read, "PROC KORVANTE", "STRATA")
    // whose options include the word at `at`, when the statement being
    // read does not take it: empty otherwise.
    std::vector<std::string> statements_taking(std::size_t at) const
    {
        const Token& t = toks_[at];
        if (t.cls != TC_NAMEX || at == 0)
            return {};
        // A word that stands where a value goes (after "=", or inside
        // parentheses) is a value, not an option.
        int depth = 0;
        for (std::size_t i = 0; i < at; ++i)
            if (toks_[i].cls == TC_PUNCT)
                depth += toks_[i].punct == '(' ? 1 : toks_[i].punct == ')' ? -1 : 0;
        const Token& before = toks_[at - 1];
        if (depth > 0 || (before.cls == TC_PUNCT && before.punct == '='))
            return {};
        std::vector<int> words;
        auto range = g_.term_by_spelling.equal_range(t.upper);
        for (auto it = range.first; it != range.second; ++it)
            if (g_.terms[it->second].kind == TK_KEYWORD)
                words.push_back(it->second);
        if (words.empty())
            return {};
        // The nonterminal whose productions are the statements: down from
        // the goal through productions that begin with a nonterminal.
        int stmt_nt = g_.goal;
        for (bool down = true; down;) {
            down = false;
            for (const auto& p : g_.prods)
                if (p.lhs == stmt_nt && !p.rhs.empty() && g_.is_nonterm(p.rhs[0])) {
                    stmt_nt = p.rhs[0] - g_.nterm();
                    down = true;
                    break;
                }
        }
        std::vector<std::string> names;
        bool here = false;
        for (const auto& p : g_.prods) {
            if (p.lhs != stmt_nt || p.rhs.empty() || !g_.is_term(p.rhs[0]))
                continue;
            // The statement's name: its leading keywords.
            std::string name;
            std::size_t i = 0;
            for (;
                 i < p.rhs.size() && g_.is_term(p.rhs[i]) && g_.terms[p.rhs[i]].kind == TK_KEYWORD;
                 ++i)
                name += (name.empty() ? "" : " ") + g_.terms[p.rhs[i]].display;
            // The keywords its options can start with: what a production
            // reaches before an "=" or a "(" (after them come values and
            // sub-options).
            std::vector<bool> seen(static_cast<std::size_t>(g_.nnonterm()), false);
            std::vector<bool> takes(static_cast<std::size_t>(g_.nterm()), false);
            std::vector<int> todo;
            auto reach = [&](const std::vector<int>& rhs, std::size_t from) {
                for (std::size_t j = from; j < rhs.size(); ++j) {
                    const int y = rhs[j];
                    if (g_.is_term(y) && g_.terms[y].kind == TK_PUNCT &&
                        (g_.terms[y].punct == '=' || g_.terms[y].punct == '('))
                        break;
                    todo.push_back(y);
                }
            };
            reach(p.rhs, i);
            while (!todo.empty()) {
                const int y = todo.back();
                todo.pop_back();
                if (y < 0)
                    continue;
                if (g_.is_term(y)) {
                    takes[static_cast<std::size_t>(y)] = true;
                    continue;
                }
                const auto x = static_cast<std::size_t>(y - g_.nterm());
                if (seen[x])
                    continue;
                seen[x] = true;
                for (const auto& q : g_.prods)
                    if (q.lhs == static_cast<int>(x))
                        reach(q.rhs, 0);
            }
            bool taken = false;
            for (int w : words)
                taken = taken || takes[static_cast<std::size_t>(w)];
            if (!taken)
                continue;
            // The statement being read starts with the same keyword.
            bool current = false;
            const Token& first = toks_[0];
            for (const std::string& sp : g_.terms[p.rhs[0]].spellings)
                current = current || (first.cls == TC_NAMEX && first.upper == sp);
            if (current)
                here = true;
            else if (!name.empty())
                names.push_back(name);
        }
        return here ? std::vector<std::string>{} : names;
    }

    bool is_statement_keyword(std::size_t at) const
    {
        const Token& t = toks_[at];
        if (t.cls != TC_NAMEX)
            return false;
        // A keyword that can begin a statement.
        int stmt_nt = -1;
        for (const auto& p : g_.prods)
            if (p.lhs == g_.goal && !p.rhs.empty() && g_.is_nonterm(p.rhs[0]))
                stmt_nt = p.rhs[0] - g_.nterm();
        if (stmt_nt < 0)
            return false;
        auto range = g_.term_by_spelling.equal_range(t.upper);
        for (auto it = range.first; it != range.second; ++it)
            if (g_.first[stmt_nt][it->second])
                return true;
        return false;
    }

    // Least cost of inserting symbols so that terminal b can be read next.
    int insertion_cost(int b, int limit) const
    {
        long acc = 0;
        int best = COST_INF;
        for (std::size_t i = stack_.size(); i-- > 0;) {
            int y = stack_[i];
            if (y < 0)
                continue;
            long c;
            if (g_.is_term(y))
                c = acc + (y == b ? 0 : COST_INF);
            else
                c = acc + g_.ecost[y - g_.nterm()][b];
            if (c < best)
                best = static_cast<int>(c);
            acc += g_.is_term(y) ? g_.terms[y].inscost : g_.scost[y - g_.nterm()];
            if (acc >= best || acc > limit)
                break;
        }
        return best;
    }

    void push_rhs(int prod)
    {
        const auto& rhs = g_.prods[prod].rhs;
        for (std::size_t i = rhs.size(); i-- > 0;)
            stack_.push_back(rhs[i]);
    }

    // Performs the insertions that lead to terminal b at cost `cost`, running
    // structural actions on the way; returns the symbols inserted.
    std::vector<std::string> insert_to(int b, int cost)
    {
        std::vector<std::string> inserted;
        repairing_ = true;
        for (int guard = 0; guard < 100000 && !stack_.empty(); ++guard) {
            int y = stack_.back();
            if (y < 0) {
                stack_.pop_back();
                action(g_.actions[-y - 1]);
                continue;
            }
            if (g_.is_term(y)) {
                if (y == b)
                    break;
                stack_.pop_back();
                const Terminal& term = g_.terms[y];
                // Said as the user would write it: a statement end as ";"; a
                // class with no description (the end of the input) is left out.
                if (term.kind == TK_CLASS && term.cls == TC_ENDJB)
                    inserted.push_back(";");
                else if (term.kind == TK_CLASS && !describe_term(y).empty())
                    inserted.push_back("<" + describe_term(y) + ">");
                else if (term.kind != TK_CLASS)
                    inserted.push_back(term.display.empty() ? std::string("<an option>")
                                                            : term.display);
                cost -= g_.terms[y].inscost;
                continue;
            }
            int x = y - g_.nterm();
            stack_.pop_back();
            if (g_.ecost[x][b] == cost && g_.eprod[x][b] >= 0) {
                push_rhs(g_.eprod[x][b]);
            } else {
                cost -= g_.scost[x];
                if (g_.sprod[x] >= 0)
                    push_rhs(g_.sprod[x]);
            }
        }
        repairing_ = false;
        return inserted;
    }

    // Reports the error at the current token and repairs it. False when no
    // repair within the cost bounds exists (the statement is then dropped).
    bool repair()
    {
        ++pc_->nerrors;
        ++syntax_errors_;
        fail(3000);
        std::size_t at = pos_;
        std::string msg;
        const Token& bad = toks_[at];
        if (at == 0) {
            report(1,
                   "Statement " + token_text(0) + " is not valid in the " + g_.name + " procedure.",
                   bad.offset);
            return false;
        }
        const bool cascade = last_repair_ >= 0 && at < static_cast<std::size_t>(last_repair_) + 3;
        if (bad.cls == TC_BAD && !bad.problem.empty()) {
            std::string p = bad.problem;
            p[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
            msg = p + ": " + token_text(at) + ".";
        } else {
            const std::string expected = expected_list();
            msg = "Syntax error: found " + token_text(at) + " where " +
                  (expected.find(", ") == std::string::npos ? "" : "one of ") + expected +
                  " was expected.";
        }
        // An option of another statement (a word followed by "=" is an
        // option even where it could start a statement): say where it
        // belongs, and read past it and its value rather than make this
        // statement take it.
        const bool valued =
            at + 1 < toks_.size() && toks_[at + 1].cls == TC_PUNCT && toks_[at + 1].punct == '=';
        const bool keyword = is_statement_keyword(at);
        const std::vector<std::string> owners =
            keyword && !valued ? std::vector<std::string>{} : statements_taking(at);
        std::size_t first_k = 0;
        if (!owners.empty()) {
            std::string where;
            for (std::size_t i = 0; i < owners.size(); ++i)
                where += (i == 0 ? "" : i + 1 == owners.size() ? " and " : ", ") + owners[i];
            msg += " " + bad.upper + (valued ? "=" : "") + " is an option of the " + where +
                   (owners.size() == 1 ? " statement." : " statements.");
            first_k = 1;
            if (valued) {
                // The value: one item, or a list in parentheses.
                std::size_t k = 2;
                int depth = 0;
                while (at + k < toks_.size() && toks_[at + k].cls != TC_ENDJB &&
                       toks_[at + k].cls != TC_EOI) {
                    const Token& v = toks_[at + k];
                    if (v.cls == TC_PUNCT && v.punct == '(')
                        ++depth;
                    else if (v.cls == TC_PUNCT && v.punct == ')')
                        --depth;
                    ++k;
                    if (depth <= 0)
                        break;
                }
                first_k = k;
            }
        } else if (keyword) {
            // A statement keyword where an option was expected: a semicolon
            // is missing. The rest of the statement is dropped rather than
            // read as options.
            msg += " A semicolon may be missing before it.";
            std::size_t end = at;
            while (end < toks_.size() && toks_[end].cls != TC_ENDJB && toks_[end].cls != TC_EOI)
                ++end;
            first_k = end - at;
        }

        // Least-cost repair: delete k tokens, then insert what lets the next
        // one be read.
        int best = COST_INF, best_k = -1, best_b = -1, best_ins = 0;
        long del = 0;
        for (std::size_t k = first_k; at + k < toks_.size(); ++k) {
            for (int b : candidates(at + k)) {
                int ins = insertion_cost(b, g_.valcost);
                if (ins > g_.valcost)
                    continue;
                long total = del + ins;
                if (total <= g_.maxcost && total < best) {
                    best = static_cast<int>(total);
                    best_k = static_cast<int>(k);
                    best_b = b;
                    best_ins = ins;
                }
            }
            const Token& t = toks_[at + k];
            if (t.cls == TC_ENDJB || t.cls == TC_EOI)
                break;
            del += g_.terms[t.cls == TC_BAD ? g_.term_class[TC_BAD]
                            : t.cls == TC_PUNCT
                                ? (g_.term_punct.count(t.punct) ? g_.term_punct.at(t.punct)
                                                                : g_.term_class[TC_BAD])
                            : t.cls == TC_NAMEX ? g_.term_class[TC_NAMEX]
                                                : g_.term_class[t.cls]]
                       .delcost;
            if (del > g_.maxcost)
                break;
        }
        if (best_k < 0) {
            if (reported_ < kMaxErrorsPerStatement)
                report(1, msg + " The rest of the statement was not read.", bad.offset);
            return false;
        }
        std::string deleted;
        if (best_k > 0) {
            std::size_t from = toks_[at].offset;
            std::size_t to = toks_[at + best_k - 1].offset + toks_[at + best_k - 1].length;
            deleted = st_->text.substr(from, to - from);
            if (deleted.size() > 40)
                deleted = deleted.substr(0, 40) + "...";
        }
        pos_ = at + static_cast<std::size_t>(best_k);
        last_repair_ = static_cast<long>(pos_);
        std::vector<std::string> ins = insert_to(best_b, best_ins);
        forced_[pos_] = best_b;
        std::string how;
        if (!deleted.empty())
            how = " \"" + deleted + "\" was ignored" + (ins.empty() ? "." : ",");
        if (!ins.empty()) {
            std::string list;
            for (std::size_t i = 0; i < ins.size(); ++i)
                list += (i ? " " : "") + ins[i];
            how += std::string(deleted.empty() ? " Read" : " and read") + " as if " + list +
                   " had been written before " + token_text(pos_) + ".";
        }
        msg += how;
        // An error right after a repair is most often its consequence: it is
        // repaired without a report of its own.
        if (!cascade && reported_ < kMaxErrorsPerStatement) {
            ++reported_;
            report(1, msg, bad.offset);
        } else {
            --pc_->nerrors;
        }
        return true;
    }

    // ---------------------------------------------------------------------

    void statement(const PARSESTMT& s, int index)
    {
        st_ = &s;
        st_index_ = index;
        toks_ = tokenize(s.text);
        forced_.assign(toks_.size(), -1);
        pos_ = 0;
        errors_ = 0;
        syntax_errors_ = 0;
        last_repair_ = -1;
        reported_ = 0;
        abandoned_ = false;
        names_.clear();
        datasets_given_.clear();
        once_given_.clear();
        matched_.assign(toks_.size(), -1);
        open_groups_.clear();
        set_by_.clear();
        options_given_.clear();
        said_repeated_.clear();
        errors_before_ = pc_->nerrors;
        continued_ = false;
        have_num_ = false;
        by_desc_ = false;
        open_vars_ = open_nums_ = -1;
        stack_.clear();
        stack_.push_back(g_.nterm() + g_.goal);
        long steps = 0;
        const long max_steps = 200000 + 200L * static_cast<long>(toks_.size());
        while (!stack_.empty() && pos_ < toks_.size()) {
            if (++steps > max_steps) {
                report(1, "The statement is too complex to read.", 0);
                fail(3000);
                ++pc_->nerrors;
                break;
            }
            int y = stack_.back();
            if (y < 0) {
                stack_.pop_back();
                action(g_.actions[-y - 1]);
                continue;
            }
            int t = interpret(y, pos_);
            if (t >= 0) {
                if (g_.is_term(y)) {
                    stack_.pop_back();
                    consume(pos_, t);
                    ++pos_;
                } else {
                    stack_.pop_back();
                    push_rhs(g_.table[y - g_.nterm()][t]);
                }
                continue;
            }
            if (syntax_errors_ >= kMaxRepairsPerStatement || !repair()) {
                abandoned_ = true;
                break;
            }
        }
        // Whatever the statement stored so far is kept (the step has failed
        // anyway when the statement was abandoned).
        flush();
        (void)errors_;
    }
};

} // namespace

} // namespace vyr::parse

int vyr_parse_statements(PARSECONTROL* pc, const std::vector<PARSESTMT>& stmts, ParseEnv& env)
{
    if (!pc || !pc->grammar)
        return pc ? (pc->error = 3000) : 3000;
    const vyr::parse::Grammar& g = vyr::parse::compile(pc->grammar);
    if (!g.problems.empty()) {
        // A grammar the parser cannot use is the procedure's fault, not the
        // user's: say so once and fail the step.
        env.report(1, "The " + g.name + " grammar is unusable: " + g.problems.front(), 0, 0, 0, 0);
        pc->error = 3000;
        return pc->error;
    }
    // A block parsed again starts afresh.
    pc->head = pc->last = pc->current = nullptr;
    pc->error = 0;
    pc->nerrors = 0;
    vyr::parse::Parser p(g, pc, env);
    p.run(stmts);
    if (pc->nerrors && pc->error < 3000)
        pc->error = 3000;
    return pc->error;
}
