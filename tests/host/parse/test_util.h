// Helpers of the parser tests: programs split into statements and parsed
// with the procedure's grammar in a fake environment.
#pragma once

#include <cctype>
#include <string>
#include <vector>

#include "frame/korvg.h"
#include "support/fake_env.h"

inline std::vector<PARSESTMT> split_program(const std::string& program)
{
    std::vector<PARSESTMT> out;
    std::string cur;
    int line = 1, col = 1, sl = 1, sc = 1;
    bool start = true;
    for (char c : program) {
        if (start && !std::isspace(static_cast<unsigned char>(c))) {
            sl = line;
            sc = col;
            start = false;
        }
        if (c == ';') {
            PARSESTMT p;
            p.text = cur;
            p.line = sl;
            p.column = sc;
            out.push_back(p);
            cur.clear();
            start = true;
        } else if (!start) {
            cur += c;
        }
        if (c == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return out;
}

struct Prog {
    FakeEnv env;
    PARSECONTROL pc{};
    int rc = 0;
    explicit Prog(const std::string& program)
    {
        pc.grammar = korvg_grammar();
        rc = vyr_parse_statements(&pc, split_program(program), env);
    }
    STMT* rec(int i) const
    {
        STMT* s = pc.head;
        while (s && i-- > 0)
            s = s->next;
        return s;
    }
    std::vector<double> nums(int k, int r = 0) const
    {
        const STLIST* f = stmt_field(rec(r), k);
        std::vector<double> v;
        if (f && f->type == STL_NUMBERS)
            v.assign(f->dvals, f->dvals + f->n);
        return v;
    }
    std::vector<int> ints(int k, int r = 0) const
    {
        const STLIST* f = stmt_field(rec(r), k);
        std::vector<int> v;
        if (f && f->ivals)
            v.assign(f->ivals, f->ivals + f->n);
        return v;
    }
    std::string text(int k, int r = 0) const
    {
        int n = 0;
        const char* t = stmt_text(rec(r), k, &n);
        return t ? std::string(t, n) : "<none>";
    }
};
