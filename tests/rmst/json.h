// A small reader of the JSON output of a run, enough for the restricted-mean
// tests to find tables, graphs, rows and values by name. Header-only.
#pragma once

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rmsjson
{

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    double num = 0;
    bool b = false;
    std::string str;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    const Value* get(const std::string& k) const
    {
        for (const auto& [name, v] : members)
            if (name == k)
                return &v;
        return nullptr;
    }
    // The member's number (NaN when it is missing or not a number: a
    // missing value is written as null).
    double number(const std::string& k) const
    {
        const Value* v = get(k);
        return v && v->kind == Number ? v->num : std::nan("");
    }
    std::string text(const std::string& k) const
    {
        const Value* v = get(k);
        if (!v)
            return std::string();
        return v->kind == String ? v->str : v->kind == Number ? std::to_string(v->num) : "";
    }
};

class Parser
{
  public:
    explicit Parser(const std::string& s) : s_(s) {}
    Value parse()
    {
        Value v = value();
        return v;
    }

  private:
    const std::string& s_;
    size_t i_ = 0;

    void ws()
    {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }
    std::string string()
    {
        std::string out;
        ++i_; // opening quote
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c == '\\' && i_ < s_.size()) {
                char e = s_[i_++];
                switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u':
                    out += '?';
                    i_ += 4;
                    break;
                default:
                    out += e;
                }
            } else {
                out += c;
            }
        }
        ++i_;
        return out;
    }
    Value value()
    {
        ws();
        Value v;
        if (i_ >= s_.size())
            return v;
        const char c = s_[i_];
        if (c == '{') {
            v.kind = Value::Object;
            ++i_;
            ws();
            while (i_ < s_.size() && s_[i_] != '}') {
                ws();
                std::string k = string();
                ws();
                ++i_; // ':'
                v.members.emplace_back(k, value());
                ws();
                if (s_[i_] == ',')
                    ++i_;
                ws();
            }
            ++i_;
        } else if (c == '[') {
            v.kind = Value::Array;
            ++i_;
            ws();
            while (i_ < s_.size() && s_[i_] != ']') {
                v.items.push_back(value());
                ws();
                if (s_[i_] == ',')
                    ++i_;
                ws();
            }
            ++i_;
        } else if (c == '"') {
            v.kind = Value::String;
            v.str = string();
        } else if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
        } else if (s_.compare(i_, 4, "true") == 0) {
            v.kind = Value::Bool;
            v.b = true;
            i_ += 4;
        } else if (s_.compare(i_, 5, "false") == 0) {
            v.kind = Value::Bool;
            i_ += 5;
        } else {
            v.kind = Value::Number;
            char* end = nullptr;
            v.num = std::strtod(s_.c_str() + i_, &end);
            i_ = static_cast<size_t>(end - s_.c_str());
        }
        return v;
    }
};

inline Value parse(const std::string& s)
{
    return Parser(s).parse();
}

// Every object of the tree whose member `kind` is `kind` (and whose name is
// `name`, when given), in document order.
inline void collect(const Value& v, const std::string& kind, const std::string& name,
                    std::vector<const Value*>& out)
{
    if (v.kind == Value::Object) {
        if (v.text("kind") == kind && (name.empty() || v.text("name") == name))
            out.push_back(&v);
        for (const auto& [k, m] : v.members)
            collect(m, kind, name, out);
    } else if (v.kind == Value::Array) {
        for (const Value& m : v.items)
            collect(m, kind, name, out);
    }
}

inline std::vector<const Value*> find(const Value& root, const std::string& kind,
                                      const std::string& name = {})
{
    std::vector<const Value*> out;
    collect(root, kind, name, out);
    return out;
}

// The rows of a table.
inline std::vector<const Value*> rows(const Value* table)
{
    std::vector<const Value*> out;
    if (!table)
        return out;
    if (const Value* r = table->get("rows"))
        for (const Value& row : r->items)
            out.push_back(&row);
    return out;
}

} // namespace rmsjson
