// Internals of the statement parser: tokens and the compiled grammar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vyr_parse.h"

namespace vyr::parse
{

// ---------------------------------------------------------------------------
// Tokens.

enum TokClass : int {
    TC_ENDJB = 0,
    TC_NAMEX,
    TC_QS,
    TC_INT,
    TC_NBR,
    TC_COMPOUND,
    TC_FMT,
    TC_DATE,
    TC_TIME,
    TC_DATETIME,
    TC_MISSING,
    TC_EOI,   // end marker "$$$" after the statement's end
    TC_PUNCT, // one of ( ) * , - / : = . +
    TC_BAD,   // a character or literal the reader cannot use
    TC_COUNT
};

struct Token {
    TokClass cls = TC_BAD;
    char punct = 0;         // TC_PUNCT
    std::string text;       // as written (names), the content (quoted strings), lib.member
    std::string upper;      // upper-cased text (names)
    double value = 0;       // numbers and date/time literals
    std::size_t offset = 0; // place in the statement text
    std::size_t length = 0;
    std::string problem; // TC_BAD: why; literals: a value the reader could not read
};

// Reads a statement's text into tokens, always ending with TC_ENDJB and TC_EOI.
std::vector<Token> tokenize(const std::string& text);

// The date (days since 1960-01-01) of "ddMONyy[yy]"; false when invalid.
bool read_date(const std::string& s, double* days);
// Seconds of "hh:mm[:ss[.fff]]"; false when invalid.
bool read_time(const std::string& s, double* seconds);
// Seconds since 1960-01-01 of "ddMONyyyy:hh:mm[:ss]"; false when invalid.
bool read_datetime(const std::string& s, double* seconds);

// ---------------------------------------------------------------------------
// Compiled grammar.

enum TermKind { TK_CLASS, TK_PUNCT, TK_KEYWORD };

struct Terminal {
    TermKind kind = TK_KEYWORD;
    TokClass cls = TC_BAD;
    char punct = 0;
    std::vector<std::string> spellings; // upper case, without "$"
    std::vector<bool> hidden;           // per spelling
    std::string display;                // first visible spelling ("" when all hidden)
    int delcost = 10;
    int inscost = 10;
};

// Semantic action kinds (the numbers are those of the grammar tables' kinds).
enum ActionKind {
    AK_BEGIN = 1,    // begin the procedure statement
    AK_CONT = 2,     // continue the procedure statement's record
    AK_NEW = 3,      // {new n [name]}: open a new record with n fields
    AK_END = 4,      // end of statement
    AK_BIT = 5,      // {bit k}
    AK_STORE = 6,    // {num k} number, {text k [cap]} name or quoted text
    AK_QLIST = 7,    // {qlist k}: append the quoted string to text list k
    AK_OPEN = 8,     // {open k m}: open field k: 1 single, 3 variables, 4 numbers
    AK_VAR = 10,     // {var n}: variable-list element of form n
    AK_DSOPEN = 17,  // {dsin k} {dsout k} {dsanno k}: data set into field k
    AK_DEFAULT = 18, // {default}: default input into field 1 when absent
    AK_NL = 19,      // {nl n}: number-list element: 1 value, 2 TO, 3 BY, 4 end
    AK_RANGE = 20,   // {range lo [hi]}: check the current number
    AK_CODE = 22,    // {code k c}: store keyword choice -c in field k
    AK_BY = 29,      // {by n}: 0 end, 1 element, 2 DESCENDING, 3 NOTSORTED
    AK_CUT = 31,     // {cut k v}: cut-point list marks in field k (1 start, 2 end)
    AK_CONST = 33,   // {const k v}: store the number v in field k
    AK_TWO = 35,     // {two k l}: two-level name: library into k, member into l
    AK_NEG = 100,    // {neg}: negate the current number
    AK_ONCE = 101,   // {once k}: the option just read may be given once per statement
};

struct Action {
    ActionKind kind;
    std::vector<int> args;
    std::string text; // as written, for messages
};

// Symbol coding in productions: 0..nterm-1 terminals, nterm + k nonterminal
// k, -(a + 1) action a.
struct Production {
    int lhs = 0; // nonterminal number
    std::vector<int> rhs;
};

struct Grammar {
    std::string name;
    std::vector<Terminal> terms;
    std::vector<std::string> nonterms;
    std::vector<Production> prods;
    std::vector<Action> actions;
    int goal = 0;     // nonterminal
    int term_eoi = 0; // "$$$"
    int term_endjb = 0;
    int term_class[TC_COUNT]; // terminal of each token class (-1 none)
    std::map<char, int> term_punct;
    std::multimap<std::string, int> term_by_spelling; // keywords
    std::vector<std::string> problems;

    // Analysis.
    std::vector<bool> nullable;           // per nonterminal
    std::vector<std::vector<bool>> first; // per nonterminal: terminals
    std::vector<std::vector<bool>> follow;
    std::vector<std::vector<int>> table; // [nonterminal][terminal] -> production or -1
    std::vector<int> scost;              // cheapest insertion of a whole nonterminal
    std::vector<int> sprod;              // production giving it
    std::vector<std::vector<int>> ecost; // cheapest insertion before terminal t
    std::vector<std::vector<int>> eprod;
    int maxcost = 127;
    int valcost = 63;

    int nterm() const { return static_cast<int>(terms.size()); }
    int nnonterm() const { return static_cast<int>(nonterms.size()); }
    bool is_term(int sym) const { return sym >= 0 && sym < nterm(); }
    bool is_nonterm(int sym) const { return sym >= nterm(); }
    std::string symbol_name(int sym) const;
};

inline constexpr int COST_INF = 1 << 20;

// Compiles (once per definition) and returns the grammar.
const Grammar& compile(const GRAMMARDEF* def);

} // namespace vyr::parse
