// A parse environment for tests: data sets are named lists of variables,
// memory is kept until the environment goes, reports are collected.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vyr_parse.h"

struct FakeReport {
    int severity;
    std::string text;
    int index;
    std::size_t offset;
    int line, column;
};

class FakeEnv : public ParseEnv
{
  public:
    // Data sets by upper-case name; each variable "name" numeric or "$name"
    // character.
    std::map<std::string, std::vector<PARSEVAR>> datasets;
    std::vector<std::string> opened; // "IN:NAME" / "OUT:NAME"
    std::vector<FakeReport> reports;
    std::string default_name;

    FakeEnv()
    {
        add("LUNG", {"time", "status", "sex", "age", "$grp", "x1", "x2", "x3", "x10", "$c1", "wt",
                     "f", "t", "s"});
    }
    ~FakeEnv() override
    {
        for (void* p : blocks_)
            std::free(p);
    }

    void add(const std::string& name, const std::vector<std::string>& vars)
    {
        std::vector<PARSEVAR> v;
        for (const auto& s : vars)
            v.push_back(s[0] == '$' ? PARSEVAR{s.substr(1), 2} : PARSEVAR{s, 1});
        datasets[name] = v;
    }

    void* allocate(std::size_t n) override
    {
        void* p = std::calloc(1, n);
        blocks_.push_back(p);
        return p;
    }
    DSHANDLE* open_dataset(const std::string& name, bool quoted, const int mode[9]) override
    {
        std::string u;
        for (char c : name)
            u += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        opened.push_back((mode[0] == 2 ? "OUT:" : "IN:") + u);
        if (mode[0] == 2 || mode[6] == 4)
            return handle_for(u);
        if (!datasets.count(u)) {
            reports.push_back({1, "data set " + u + " not found", -1, 0, 0, 0});
            return nullptr;
        }
        return handle_for(u);
    }
    DSHANDLE* default_input() override
    {
        return default_name.empty() ? nullptr : handle_for(default_name);
    }
    std::vector<PARSEVAR> variables(DSHANDLE* ds) override
    {
        for (auto& [name, h] : handles_)
            if (h == ds && datasets.count(name))
                return datasets[name];
        return {};
    }
    void report(int severity, const std::string& text, int index, std::size_t offset, int line,
                int column) override
    {
        reports.push_back({severity, text, index, offset, line, column});
    }
    std::string name_of(DSHANDLE* ds) const
    {
        for (auto& [name, h] : handles_)
            if (h == ds)
                return name;
        return "";
    }
    std::string all_reports() const
    {
        std::string s;
        for (const auto& r : reports)
            s += r.text + "\n";
        return s;
    }

  private:
    std::vector<void*> blocks_;
    std::map<std::string, DSHANDLE*> handles_;
    DSHANDLE* handle_for(const std::string& u)
    {
        auto it = handles_.find(u);
        if (it != handles_.end())
            return it->second;
        DSHANDLE* h = static_cast<DSHANDLE*>(allocate(8));
        handles_[u] = h;
        return h;
    }
};
