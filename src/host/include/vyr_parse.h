// The statement parser shared by the host and the procedure: the records a
// parse produces (STMT with its numbered fields STLIST), the parse-control
// block (PARSECONTROL) through which a procedure hands its grammar to the
// host, the grammar description itself, and the host's parser service
// xsproc. Implemented in src/host/parse.
//
// A procedure owns its grammar: readable productions with semantic actions
// (GRAMMARDEF). The host builds the LL(1) prediction table from them, reads
// the step's statements, and turns each one into statement records whose
// option bits and fields the procedure then reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct VyrStep;
struct DSHANDLE;

// ---------------------------------------------------------------------------
// Statement records.

// A counted text, laid out like the procedure's VARSTRING {k, l, s}: `l`
// bytes at `s` (also NUL terminated by the parser), `k` unused (0).
struct STTEXT {
    int64_t k;
    int64_t l;
    char* s;
};

// What a field holds (STLIST.type; 0 means the field was not given).
enum : char {
    STL_NONE = 0,
    STL_NUMBER = 1,   // a single number in `num` (also constants stored by an action)
    STL_TEXT = 2,     // a single name or quoted text in `text`/`tlen` (mode != 0)
    STL_VARS = 3,     // variable list: `n` variable numbers (1-based) in `ivals`
    STL_NUMBERS = 4,  // number list: `n` doubles in `dvals` (TO/BY already expanded)
    STL_CODES = 5,    // keyword choices: `n` codes (-k for the k-th keyword) in `ivals`
    STL_TEXTS = 6,    // list of quoted texts: `n` counted texts in `texts`
    STL_DATASET = 7,  // an open data set in `handle`, its name in `text`
    STL_POSITIONS = 8 // integer positions: `n` ints in `ivals`. The STRATA record's
                      // cut-point marks are pairs {1-based number of the variable in
                      // the variable list, count of cut-point values up to the end of
                      // its list}, one pair per parenthesised list.
};

// One numbered field of a statement record. Lists keep their count in `n`;
// a single value has n = 1. Everything a field points to lives until the
// step ends.
struct STLIST {
    char type;          // STL_*; non-zero when the field was given
    unsigned char mode; // non-zero when a name or text value was stored
    int n;              // number of values of a list (1 for a single value)
    double num;         // STL_NUMBER
    char* text;         // STL_TEXT, STL_DATASET (name): NUL terminated
    int tlen;           // its length
    int* ivals;         // STL_VARS, STL_CODES, STL_POSITIONS
    double* dvals;      // STL_NUMBERS
    STTEXT* texts;      // STL_TEXTS
    DSHANDLE* handle;   // STL_DATASET
    // BY lists (STL_VARS of a BY statement): one flag per variable, 1 for
    // DESCENDING; `notsorted` is 1 with NOTSORTED.
    unsigned char* descending;
    int notsorted;
};

// One statement record: 256 option bits numbered most-significant first
// (bit k is set when opt[k/8] & (0x80 >> (k % 8))) and `nfld` numbered
// fields. Records are chained by `next` in the order they were opened.
struct STMT {
    STMT* next;
    char name[32];         // statement keyword that opened the record (NUL terminated)
    unsigned char opt[32]; // option bits
    int32_t nfld;          // number of fields
    STLIST* fld;           // the fields, 0 .. nfld-1
    int line, column;      // where the statement that opened the record starts
};

// Readers for statement records; all accept out-of-range numbers and a null
// record (they then report "not given").
inline bool stmt_bit(const STMT* s, int k)
{
    return s && k >= 0 && k < 256 && (s->opt[k / 8] & (0x80 >> (k % 8))) != 0;
}
inline const STLIST* stmt_field(const STMT* s, int k)
{
    return (s && k >= 0 && k < s->nfld && s->fld[k].type != STL_NONE) ? &s->fld[k] : nullptr;
}
inline bool stmt_given(const STMT* s, int k)
{
    return stmt_field(s, k) != nullptr;
}
// Count of a list field (1 for a single value, 0 when not given).
inline int stmt_count(const STMT* s, int k)
{
    const STLIST* f = stmt_field(s, k);
    return f ? f->n : 0;
}
// The field's numeric value: a number, the first value of a number list,
// the first code of a code list, or the first variable number; `def` when
// not given or empty.
inline double stmt_number(const STMT* s, int k, double def)
{
    const STLIST* f = stmt_field(s, k);
    if (!f)
        return def;
    switch (f->type) {
    case STL_NUMBER:
        return f->num;
    case STL_NUMBERS:
        return (f->n > 0 && f->dvals) ? f->dvals[0] : def;
    case STL_VARS:
    case STL_CODES:
    case STL_POSITIONS:
        return (f->n > 0 && f->ivals) ? static_cast<double>(f->ivals[0]) : def;
    default:
        return def;
    }
}
inline int stmt_int(const STMT* s, int k, int def)
{
    double v = stmt_number(s, k, static_cast<double>(def));
    if (!(v == v) || v > 2147483647.0 || v < -2147483648.0) // missing or out of range
        return def;
    return static_cast<int>(v);
}
// The field's text (name, quoted text or data set name) or null.
inline const char* stmt_text(const STMT* s, int k, int* len)
{
    const STLIST* f = stmt_field(s, k);
    if (!f || !f->text) {
        if (len)
            *len = 0;
        return nullptr;
    }
    if (len)
        *len = f->tlen;
    return f->text;
}

// ---------------------------------------------------------------------------
// Grammar descriptions.
//
// A grammar is a list of productions "lhs -> rhs". The right side is a
// blank-separated sequence of symbols:
//   name           a nonterminal (lower case letters, digits, '_')
//   KEY|SYN|ALT$   a keyword terminal with its synonyms; a spelling ending in
//                  "$" is a hidden alias, accepted without the "$" and never
//                  shown in help or messages. Spellings are upper case.
//   <NAMEX> <QS> <INT> <NBR> <COMPOUND> <FMT> <DATE> <TIME> <DATETIME>
//   <MISSING> <ENDJB>   token classes (ENDJB: end of statement)
//   '(' ')' '*' ',' '-' '/' ':' '=' '.'   punctuation
//   {action a b ...}  a semantic action with integer arguments (see ACTIONS
//                  in the parser; e.g. {bit 35}, {num 16}, {code 15 1})
// An empty right side is written as nothing after "->". The first
// production's left side is the goal symbol, which parses one statement.
struct PRODUCTION {
    const char* lhs;
    const char* rhs;
};

struct GRAMMARDEF {
    const char* name;        // procedure name, for messages
    const PRODUCTION* prods; // productions
    int nprods;
    short maxcost; // largest cost of one repair (insertions plus deletions)
    short valcost; // largest cost of the insertions of one repair
};

// ---------------------------------------------------------------------------
// Parse-control block: made by the procedure's grammar routine, completed and
// run by the parser glue (xsparse) and the host parser (xsproc).

struct USERINTERACT; // interactive parsing; not used by this host
struct USERCONTROL;

using PARSETOKFN = int (*)(struct PARSECONTROL*, void*);
using PARSESEMFN = int (*)(struct PARSECONTROL*, int kind, const int* args, int nargs);

struct PARSECONTROL {
    short revision;            // 1
    short goaltoken;           // code of the goal nonterminal
    short maxterminal;         // number of terminals
    short maxprslsz;           // entries of the prediction table
    const GRAMMARDEF* grammar; // the productions
    short maxcost;             // repair bounds (copied from the grammar)
    short valcost;
    short maxlexical;      // longest keyword spelling
    PARSETOKFN tokroutine; // token routine (the host's standard one when empty)
    PARSESEMFN semroutine; // semantic routine (the host's standard one when empty)
    void* track;           // tracking anchor
    USERCONTROL* user;
    char xsynerror, xsyndebug, xsemdebug;
    short flags;
    // Filled by the parse: the statement records and the status (0, or the
    // exit code the step should end with, 3000 for statement errors).
    STMT* head;
    STMT* last;
    STMT* current;
    short error;
    int nerrors; // statement errors reported
};

// ---------------------------------------------------------------------------
// What the parser needs from its surroundings. The host supplies one that
// opens data sets through the data layer and reports through the log; tests
// supply their own.

struct PARSEVAR {
    std::string name;
    int type; // 1 numeric, 2 character
};

class ParseEnv
{
  public:
    virtual ~ParseEnv() = default;
    // Zero-filled memory that lives until the step ends.
    virtual void* allocate(std::size_t length) = 0;
    // Opens data set `name` ("member", "lib.member", or a path when quoted)
    // with the open mode of the grammar (mode[0] 1 input, 2 output). Returns
    // null after reporting why.
    virtual DSHANDLE* open_dataset(const std::string& name, bool quoted, const int mode[9]) = 0;
    // The data set used when DATA= is absent (the last one created); null
    // when there is none.
    virtual DSHANDLE* default_input() = 0;
    // Lets go of a data set opened for the step and not used after all (its
    // option given again by a later statement): nothing is written for it.
    virtual void forget_dataset(DSHANDLE* ds) { (void)ds; }
    // The data set's name as the log gives it ("WORK.A"); empty when unknown.
    virtual std::string dataset_name(const DSHANDLE* ds)
    {
        (void)ds;
        return {};
    }
    // The variables of an input data set, in data set order.
    virtual std::vector<PARSEVAR> variables(DSHANDLE* ds) = 0;
    // Reports a statement error (severity 1), warning (2) or note (3):
    // statement `index` of the parsed list, character `offset` of its text,
    // which stands at `line`/`column` of the program.
    virtual void report(int severity, const std::string& text, int index, std::size_t offset,
                        int line, int column) = 0;
};

// One statement as the parser reads it: text without the ending ";", and
// where each character came from (both optional: without them positions are
// counted from `line`/`column`).
struct PARSESTMT {
    std::string text;
    int line = 1;
    int column = 1;
    const std::vector<int>* lines = nullptr;
    const std::vector<int>* columns = nullptr;
};

// Parses `stmts` with the grammar of `pc` into statement records (pc->head
// ...). Returns pc->error. Never throws on any input; the environment's
// allocate may end the step (out of memory).
int vyr_parse_statements(PARSECONTROL* pc, const std::vector<PARSESTMT>& stmts, ParseEnv& env);

// The host's parser service: parses the statements of `step` (the PROC
// statement's options and every later statement) with the host environment.
// `mode` carries the debug flags (2 syntax, 1 semantics); uic and the two
// hooks are accepted and unused.
int xsproc(PARSECONTROL* pc, const VyrStep* step, int mode, USERINTERACT* uic, void* tokhook,
           void* semhook);

// The host environment used by xsproc (data sets through the data layer,
// reports through the session's statement errors, memory from the task pool).
ParseEnv& vyr_host_parse_env(const VyrStep* step);

// Checks a grammar: builds its prediction table and returns the problems
// found (unknown symbols, unreachable or unproductive nonterminals, LL(1)
// conflicts that the "consume when possible" rule does not settle). Empty
// when the grammar is sound.
std::vector<std::string> vyr_grammar_check(const GRAMMARDEF* g);

// Every keyword spelling a grammar shows to users (hidden aliases left out),
// sorted; for help texts and tests.
std::vector<std::string> vyr_grammar_keywords(const GRAMMARDEF* g);
