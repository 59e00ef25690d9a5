// Compiles a procedure's grammar (readable productions with semantic actions)
// into the parser's working form: terminals with their spellings and repair
// costs, productions as symbol codes, FIRST and FOLLOW sets, the LL(1)
// prediction table, and the least insertion costs the error repair uses.
#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <sstream>

#include "host/parse/parse_internal.h"

namespace vyr::parse
{

namespace
{

// Nonterminals are numbered after the terminals, which are only all known at
// the end; symbols are first stored with nonterminals as NT_TAG - k and
// renumbered once the terminal count is fixed.
constexpr int NT_TAG = -1000000;
constexpr int NO_SYMBOL = -2000000000;

struct ClassInfo {
    const char* name;
    TokClass cls;
    int del;
    int ins;
};

// Deletion and insertion costs of the token classes: a name is the cheapest
// thing to invent, a date literal or missing value the dearest; the end of a
// statement can be neither deleted nor invented.
const ClassInfo kClasses[] = {
    {"ENDJB", TC_ENDJB, 127, 127},
    {"NAMEX", TC_NAMEX, 50, 1},
    {"QS", TC_QS, 50, 2},
    {"INT", TC_INT, 50, 2},
    {"NBR", TC_NBR, 50, 4},
    {"COMPOUND", TC_COMPOUND, 50, 5},
    {"FMT", TC_FMT, 50, 3},
    {"DATE", TC_DATE, 50, 50},
    {"TIME", TC_TIME, 50, 50},
    {"DATETIME", TC_DATETIME, 50, 50},
    {"MISSING", TC_MISSING, 50, 50},
    {"$$$", TC_EOI, 127, 127},
    {"BAD", TC_BAD, 10, COST_INF},
};

struct Builder {
    Grammar& g;
    std::map<std::string, int> nt_index;
    std::map<std::string, int> kw_index;

    explicit Builder(Grammar& gr) : g(gr) {}

    int nonterm(const std::string& name)
    {
        auto it = nt_index.find(name);
        if (it != nt_index.end())
            return it->second;
        int k = static_cast<int>(g.nonterms.size());
        g.nonterms.push_back(name);
        nt_index[name] = k;
        return k;
    }

    int keyword(const std::string& alternatives)
    {
        auto it = kw_index.find(alternatives);
        if (it != kw_index.end())
            return it->second;
        Terminal t;
        t.kind = TK_KEYWORD;
        std::stringstream ss(alternatives);
        std::string sp;
        while (std::getline(ss, sp, '|')) {
            bool hidden = !sp.empty() && sp.back() == '$';
            if (hidden)
                sp.pop_back();
            if (sp.empty()) {
                g.problems.push_back("empty keyword spelling in " + alternatives);
                continue;
            }
            t.spellings.push_back(sp);
            t.hidden.push_back(hidden);
            if (!hidden && t.display.empty())
                t.display = sp;
        }
        t.delcost = 10;
        // A keyword known only by hidden aliases is never invented by a
        // repair (it would have to be shown).
        t.inscost = t.display.empty() ? 127 : 10;
        int k = static_cast<int>(g.terms.size());
        g.terms.push_back(t);
        kw_index[alternatives] = k;
        for (const auto& s : g.terms[k].spellings)
            g.term_by_spelling.emplace(s, k);
        return k;
    }

    int punct(char c)
    {
        auto it = g.term_punct.find(c);
        if (it != g.term_punct.end())
            return it->second;
        Terminal t;
        t.kind = TK_PUNCT;
        t.punct = c;
        t.display = std::string(1, c);
        t.delcost = 10;
        t.inscost = 10;
        int k = static_cast<int>(g.terms.size());
        g.terms.push_back(t);
        g.term_punct[c] = k;
        return k;
    }

    int action(const std::string& body)
    {
        std::stringstream ss(body);
        std::string name;
        ss >> name;
        std::vector<int> args;
        std::string a;
        while (ss >> a) {
            try {
                args.push_back(std::stoi(a));
            } catch (...) {
                g.problems.push_back("bad action argument in {" + body + "}");
            }
        }
        static const std::map<std::string, ActionKind> kinds = {
            {"begin", AK_BEGIN},   {"cont", AK_CONT},       {"new", AK_NEW},
            {"end", AK_END},       {"bit", AK_BIT},         {"num", AK_STORE},
            {"text", AK_STORE},    {"qlist", AK_QLIST},     {"open", AK_OPEN},
            {"var", AK_VAR},       {"dsin", AK_DSOPEN},     {"dsout", AK_DSOPEN},
            {"dsanno", AK_DSOPEN}, {"default", AK_DEFAULT}, {"nl", AK_NL},
            {"range", AK_RANGE},   {"code", AK_CODE},       {"by", AK_BY},
            {"cut", AK_CUT},       {"const", AK_CONST},     {"two", AK_TWO},
            {"neg", AK_NEG},       {"once", AK_ONCE},
        };
        auto it = kinds.find(name);
        if (it == kinds.end()) {
            g.problems.push_back("unknown action {" + body + "}");
            return NO_SYMBOL;
        }
        Action act;
        act.kind = it->second;
        act.text = name;
        // Store actions carry the value kind of the grammar tables: 1 a
        // number, 5 a name or text (with an optional length cap).
        if (name == "num")
            args.insert(args.begin() + std::min<std::size_t>(1, args.size()), 1);
        else if (name == "text")
            args.insert(args.begin() + std::min<std::size_t>(1, args.size()), 5);
        else if (name == "dsin" || name == "dsout" || name == "dsanno") {
            static const int in[9] = {1, 1, 2, 2, 3, 0, 0, 0, 1};
            static const int outm[9] = {2, 0, 2, 2, 4, 0, 0, 0, 1};
            static const int anno[9] = {1, 0, 2, 2, 2, 0, 4, 0, 1};
            const int* m = name == "dsin" ? in : name == "dsout" ? outm : anno;
            args.insert(args.end(), m, m + 9);
        }
        act.args = args;
        g.actions.push_back(act);
        return -static_cast<int>(g.actions.size());
    }

    // Splits a right side into symbol texts ({...} and '.' kept whole).
    std::vector<std::string> split(const std::string& rhs, const std::string& where)
    {
        std::vector<std::string> out;
        std::size_t i = 0, n = rhs.size();
        while (i < n) {
            if (std::isspace(static_cast<unsigned char>(rhs[i]))) {
                ++i;
                continue;
            }
            std::size_t j = i;
            if (rhs[i] == '{') {
                j = rhs.find('}', i);
                if (j == std::string::npos) {
                    g.problems.push_back("unclosed action in " + where);
                    return out;
                }
                ++j;
            } else if (rhs[i] == '\'') {
                j = i + 3;
                if (j > n || rhs[j - 1] != '\'') {
                    g.problems.push_back("bad punctuation in " + where);
                    return out;
                }
            } else {
                while (j < n && !std::isspace(static_cast<unsigned char>(rhs[j])))
                    ++j;
            }
            out.push_back(rhs.substr(i, j - i));
            i = j;
        }
        return out;
    }

    int symbol(const std::string& s, const std::string& where)
    {
        if (s[0] == '{')
            return action(s.substr(1, s.size() - 2));
        if (s[0] == '\'')
            return punct(s[1]);
        if (s[0] == '<') {
            std::string c = s.substr(1, s.size() - 2);
            for (const auto& ci : kClasses)
                if (c == ci.name && g.term_class[ci.cls] >= 0)
                    return g.term_class[ci.cls];
            g.problems.push_back("unknown token class " + s + " in " + where);
            return g.term_class[TC_NAMEX];
        }
        if (std::islower(static_cast<unsigned char>(s[0])))
            return NT_TAG - nonterm(s);
        return keyword(s);
    }
};

} // namespace

std::string Grammar::symbol_name(int sym) const
{
    if (sym < 0)
        return "{" + actions[-sym - 1].text + "}";
    if (is_term(sym)) {
        const Terminal& t = terms[sym];
        if (t.kind == TK_CLASS) {
            for (const auto& ci : kClasses)
                if (ci.cls == t.cls)
                    return ci.name;
        }
        return t.display.empty() ? (t.spellings.empty() ? "?" : t.spellings[0]) : t.display;
    }
    return nonterms[sym - nterm()];
}

namespace
{

void analyse(Grammar& g);

void build(Grammar& g, const GRAMMARDEF* def)
{
    g.name = def->name ? def->name : "";
    g.maxcost = def->maxcost > 0 ? def->maxcost : 127;
    g.valcost = def->valcost > 0 ? def->valcost : 63;
    for (int& t : g.term_class)
        t = -1;
    for (const auto& ci : kClasses) {
        Terminal t;
        t.kind = TK_CLASS;
        t.cls = ci.cls;
        t.display = ci.name;
        t.delcost = ci.del;
        t.inscost = ci.ins;
        g.term_class[ci.cls] = static_cast<int>(g.terms.size());
        g.terms.push_back(t);
    }
    g.term_eoi = g.term_class[TC_EOI];
    g.term_endjb = g.term_class[TC_ENDJB];
    Builder b(g);
    // Augmented goal: $start -> goal $$$.
    int start = b.nonterm("$start");
    std::vector<Production> raw;
    for (int i = 0; i < def->nprods; ++i) {
        const PRODUCTION& p = def->prods[i];
        std::string where = std::string(p.lhs) + " -> " + p.rhs;
        Production pr;
        pr.lhs = b.nonterm(p.lhs);
        for (const auto& s : b.split(p.rhs, where)) {
            int sym = b.symbol(s, where);
            if (sym != NO_SYMBOL)
                pr.rhs.push_back(sym);
        }
        raw.push_back(pr);
    }
    Production aug;
    aug.lhs = start;
    if (def->nprods > 0)
        aug.rhs = {NT_TAG - raw[0].lhs, g.term_eoi};
    g.prods.push_back(aug);
    for (auto& p : raw)
        g.prods.push_back(p);
    g.goal = start;
    // Renumber nonterminal references.
    const int nt = g.nterm();
    for (auto& p : g.prods) {
        for (int& s : p.rhs)
            if (s <= NT_TAG)
                s = nt + (NT_TAG - s);
    }
    analyse(g);
}

// Which nonterminals can derive nothing, and the terminals each can begin
// with.
void first_sets(Grammar& g)
{
    const int nt = g.nterm();
    bool changed = true;
    while (changed) {
        changed = false;
        for (const auto& p : g.prods) {
            bool all_null = true;
            for (int s : p.rhs) {
                if (s < 0)
                    continue;
                if (g.is_term(s)) {
                    if (!g.first[p.lhs][s]) {
                        g.first[p.lhs][s] = true;
                        changed = true;
                    }
                    all_null = false;
                    break;
                }
                int y = s - nt;
                for (int t = 0; t < nt; ++t)
                    if (g.first[y][t] && !g.first[p.lhs][t]) {
                        g.first[p.lhs][t] = true;
                        changed = true;
                    }
                if (!g.nullable[y]) {
                    all_null = false;
                    break;
                }
            }
            if (all_null && !g.nullable[p.lhs]) {
                g.nullable[p.lhs] = true;
                changed = true;
            }
        }
    }
}

// The terminals that may follow each nonterminal.
void follow_sets(Grammar& g)
{
    const int nt = g.nterm();
    bool changed = true;
    while (changed) {
        changed = false;
        for (const auto& p : g.prods) {
            for (std::size_t i = 0; i < p.rhs.size(); ++i) {
                int s = p.rhs[i];
                if (s < 0 || g.is_term(s))
                    continue;
                int y = s - nt;
                bool rest_null = true;
                for (std::size_t j = i + 1; j < p.rhs.size() && rest_null; ++j) {
                    int z = p.rhs[j];
                    if (z < 0)
                        continue;
                    if (g.is_term(z)) {
                        if (!g.follow[y][z]) {
                            g.follow[y][z] = true;
                            changed = true;
                        }
                        rest_null = false;
                    } else {
                        int w = z - nt;
                        for (int t = 0; t < nt; ++t)
                            if (g.first[w][t] && !g.follow[y][t]) {
                                g.follow[y][t] = true;
                                changed = true;
                            }
                        rest_null = g.nullable[w];
                    }
                }
                if (rest_null)
                    for (int t = 0; t < nt; ++t)
                        if (g.follow[p.lhs][t] && !g.follow[y][t]) {
                            g.follow[y][t] = true;
                            changed = true;
                        }
            }
        }
    }
}

// The prediction table. An entry from a production that can begin with the
// lookahead wins over one that only reaches it by deriving nothing: a list
// that may continue with the lookahead takes it (the "consume when
// possible" rule, which settles optional commas and optional trailing
// parts). Conflicts are noted as problems.
void prediction_table(Grammar& g)
{
    const int nt = g.nterm(), nn = g.nnonterm();
    g.table.assign(nn, std::vector<int>(nt, -1));
    std::vector<std::vector<char>> by_first(nn, std::vector<char>(nt, 0));
    auto first_of = [&](const std::vector<int>& rhs, std::vector<bool>& out) {
        out.assign(nt, false);
        for (int s : rhs) {
            if (s < 0)
                continue;
            if (g.is_term(s)) {
                out[s] = true;
                return false;
            }
            int y = s - nt;
            for (int t = 0; t < nt; ++t)
                if (g.first[y][t])
                    out[t] = true;
            if (!g.nullable[y])
                return false;
        }
        return true;
    };
    std::vector<bool> f;
    for (int pi = 0; pi < static_cast<int>(g.prods.size()); ++pi) {
        const auto& p = g.prods[pi];
        first_of(p.rhs, f);
        for (int t = 0; t < nt; ++t) {
            if (!f[t])
                continue;
            int& e = g.table[p.lhs][t];
            if (e >= 0 && e != pi) {
                g.problems.push_back("LL(1) conflict in " + g.nonterms[p.lhs] + " on " +
                                     g.symbol_name(t));
                continue;
            }
            e = pi;
            by_first[p.lhs][t] = 1;
        }
    }
    for (int pi = 0; pi < static_cast<int>(g.prods.size()); ++pi) {
        const auto& p = g.prods[pi];
        if (!first_of(p.rhs, f))
            continue;
        for (int t = 0; t < nt; ++t) {
            if (!g.follow[p.lhs][t])
                continue;
            int& e = g.table[p.lhs][t];
            if (e < 0)
                e = pi;
            else if (!by_first[p.lhs][t] && e != pi)
                g.problems.push_back("LL(1) conflict between empty productions of " +
                                     g.nonterms[p.lhs] + " on " + g.symbol_name(t));
        }
    }
}

// Two keywords of one row must not share a spelling, and every nonterminal
// must be reachable from the goal.
void check_spellings_and_reach(Grammar& g)
{
    const int nt = g.nterm(), nn = g.nnonterm();
    for (int k = 0; k < nn; ++k) {
        std::map<std::string, int> seen;
        for (int t = 0; t < nt; ++t) {
            if (g.table[k][t] < 0 || g.terms[t].kind != TK_KEYWORD)
                continue;
            for (const auto& sp : g.terms[t].spellings) {
                auto it = seen.find(sp);
                // Harmless when both lead to the same production (an empty
                // one reached through what may follow).
                if (it != seen.end() && it->second != t && g.table[k][it->second] != g.table[k][t])
                    g.problems.push_back("spelling " + sp + " is ambiguous in " + g.nonterms[k]);
                seen[sp] = t;
            }
        }
    }
    std::vector<bool> reach(nn, false);
    std::vector<int> todo{g.goal};
    reach[g.goal] = true;
    while (!todo.empty()) {
        int x = todo.back();
        todo.pop_back();
        for (const auto& p : g.prods)
            if (p.lhs == x)
                for (int s : p.rhs)
                    if (s >= nt && !reach[s - nt]) {
                        reach[s - nt] = true;
                        todo.push_back(s - nt);
                    }
    }
    for (int k = 0; k < nn; ++k)
        if (!reach[k])
            g.problems.push_back("nonterminal " + g.nonterms[k] + " is unreachable");
}

// Least insertion cost of a grammar symbol as a whole (S).
int whole_cost(const Grammar& g, int s)
{
    if (s < 0)
        return 0;
    if (g.is_term(s))
        return g.terms[s].inscost;
    return g.scost[s - g.nterm()];
}

// Least insertion costs for error repair: S(X) for a whole X, and E(X, a)
// for what must be inserted before terminal a can be read from X.
void insertion_costs(Grammar& g, const std::vector<bool>& has_prod)
{
    const int nt = g.nterm(), nn = g.nnonterm();
    g.scost.assign(nn, COST_INF);
    g.sprod.assign(nn, -1);
    bool changed = true;
    while (changed) {
        changed = false;
        for (int pi = 0; pi < static_cast<int>(g.prods.size()); ++pi) {
            const auto& p = g.prods[pi];
            long c = 0;
            for (int s : p.rhs)
                c = std::min<long>(c + whole_cost(g, s), COST_INF);
            if (c < g.scost[p.lhs]) {
                g.scost[p.lhs] = static_cast<int>(c);
                g.sprod[p.lhs] = pi;
                changed = true;
            }
        }
    }
    for (int k = 0; k < nn; ++k)
        if (g.scost[k] >= COST_INF && has_prod[k])
            g.problems.push_back("nonterminal " + g.nonterms[k] + " derives no sentence");
    g.ecost.assign(nn, std::vector<int>(nt, COST_INF));
    g.eprod.assign(nn, std::vector<int>(nt, -1));
    changed = true;
    while (changed) {
        changed = false;
        for (int pi = 0; pi < static_cast<int>(g.prods.size()); ++pi) {
            const auto& p = g.prods[pi];
            auto& row = g.ecost[p.lhs];
            long prefix = 0;
            for (int s : p.rhs) {
                if (s < 0)
                    continue;
                if (prefix >= COST_INF)
                    break;
                if (g.is_term(s)) {
                    if (prefix < row[s]) {
                        row[s] = static_cast<int>(prefix);
                        g.eprod[p.lhs][s] = pi;
                        changed = true;
                    }
                } else {
                    const auto& sub = g.ecost[s - nt];
                    for (int t = 0; t < nt; ++t) {
                        long c = prefix + sub[t];
                        if (c < row[t]) {
                            row[t] = static_cast<int>(c);
                            g.eprod[p.lhs][t] = pi;
                            changed = true;
                        }
                    }
                }
                prefix = std::min<long>(prefix + whole_cost(g, s), COST_INF);
            }
        }
    }
}

// Everything the parser needs from the productions: FIRST and FOLLOW sets,
// the prediction table, the repair costs, and the grammar's problems.
void analyse(Grammar& g)
{
    const int nt = g.nterm(), nn = g.nnonterm();
    g.nullable.assign(nn, false);
    g.first.assign(nn, std::vector<bool>(nt, false));
    g.follow.assign(nn, std::vector<bool>(nt, false));
    std::vector<bool> has_prod(nn, false);
    for (const auto& p : g.prods)
        has_prod[p.lhs] = true;
    for (int k = 0; k < nn; ++k)
        if (!has_prod[k])
            g.problems.push_back("nonterminal " + g.nonterms[k] + " has no production");
    first_sets(g);
    follow_sets(g);
    prediction_table(g);
    check_spellings_and_reach(g);
    insertion_costs(g, has_prod);
}

} // namespace

const Grammar& compile(const GRAMMARDEF* def)
{
    static std::mutex mu;
    static std::map<const GRAMMARDEF*, std::unique_ptr<Grammar>> cache;
    std::lock_guard<std::mutex> lock(mu);
    auto it = cache.find(def);
    if (it != cache.end())
        return *it->second;
    auto g = std::make_unique<Grammar>();
    build(*g, def);
    const Grammar& ref = *g;
    cache[def] = std::move(g);
    return ref;
}

} // namespace vyr::parse

std::vector<std::string> vyr_grammar_check(const GRAMMARDEF* g)
{
    return vyr::parse::compile(g).problems;
}

std::vector<std::string> vyr_grammar_keywords(const GRAMMARDEF* def)
{
    const auto& g = vyr::parse::compile(def);
    std::set<std::string> out;
    for (const auto& t : g.terms)
        if (t.kind == vyr::parse::TK_KEYWORD)
            for (std::size_t i = 0; i < t.spellings.size(); ++i)
                if (!t.hidden[i])
                    out.insert(t.spellings[i]);
    return {out.begin(), out.end()};
}
