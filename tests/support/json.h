// The tests' one reader of the JSON document a run writes, and the lookups
// they make in it: items by kind and name (tables, groups, graphs), items by
// template, the rows of a table and a row's cells by column name. The parser
// is strict: a document it cannot read whole is reported, so that a broken
// document never reads as an empty one. Header-only.
#pragma once

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace korvjson
{

// A JSON value: null, a boolean, a number, a string, an array or an object
// (its members in document order). A number keeps the text it was written
// as in `str`, so that a test can compare the text byte for byte.
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
    bool has(const std::string& k) const { return get(k) != nullptr; }
    // The member `k`, or a null value when there is none.
    const Value& operator[](const std::string& k) const
    {
        static const Value none;
        const Value* v = get(k);
        return v ? *v : none;
    }
    // The member's number: NaN when it is missing or not a number (a missing
    // value is written as null).
    double number(const std::string& k) const
    {
        const Value* v = get(k);
        return v && v->kind == Number ? v->num : std::nan("");
    }
    // The member's text; a number is given in decimal, anything else as "".
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
        space();
        if (i_ != s_.size())
            ok = false;
        return v;
    }
    bool ok = true;

  private:
    void space()
    {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])))
            ++i_;
    }
    bool eat(char c)
    {
        space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void utf8(std::string& out, unsigned cp)
    {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    std::string string()
    {
        std::string out;
        if (!eat('"')) {
            ok = false;
            return out;
        }
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\' || i_ >= s_.size()) {
                out.push_back(c);
                continue;
            }
            char e = s_[i_++];
            switch (e) {
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'u':
                if (i_ + 4 > s_.size()) {
                    ok = false;
                    return out;
                }
                utf8(out,
                     static_cast<unsigned>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16)));
                i_ += 4;
                break;
            default:
                out.push_back(e);
            }
        }
        if (i_ >= s_.size())
            ok = false;
        ++i_;
        return out;
    }
    Value value()
    {
        Value v;
        space();
        if (i_ >= s_.size()) {
            ok = false;
            return v;
        }
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Value::Object;
            if (eat('}'))
                return v;
            do {
                std::string k = string();
                if (!eat(':'))
                    ok = false;
                v.members.emplace_back(std::move(k), value());
            } while (ok && eat(','));
            if (!eat('}'))
                ok = false;
        } else if (c == '[') {
            ++i_;
            v.kind = Value::Array;
            if (eat(']'))
                return v;
            do
                v.items.push_back(value());
            while (ok && eat(','));
            if (!eat(']'))
                ok = false;
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
            char* end = nullptr;
            v.kind = Value::Number;
            v.num = std::strtod(s_.c_str() + i_, &end);
            if (end == s_.c_str() + i_) {
                ok = false;
                return v;
            }
            const size_t from = i_;
            i_ = static_cast<size_t>(end - s_.c_str());
            v.str = s_.substr(from, i_ - from);
        }
        return v;
    }
    const std::string& s_;
    size_t i_ = 0;
};

// The document of `text`; *ok (when given) says whether it was read whole.
inline Value parse(const std::string& text, bool* ok = nullptr)
{
    Parser p(text);
    Value v = p.parse();
    if (ok)
        *ok = p.ok;
    return v;
}

// Every object of the tree (depth first, in document order) whose member
// `key` has the text `value`.
inline void collect_by(const Value& v, const std::string& key, const std::string& value,
                       std::vector<const Value*>& out)
{
    if (v.kind == Value::Object) {
        const Value* m = v.get(key);
        if (m && m->kind == Value::String && m->str == value)
            out.push_back(&v);
        for (const auto& [k, x] : v.members)
            collect_by(x, key, value, out);
    } else if (v.kind == Value::Array) {
        for (const Value& x : v.items)
            collect_by(x, key, value, out);
    }
}

// Every object of the tree whose `kind` is `kind` (and whose name is `name`,
// when given), in document order.
inline void collect(const Value& v, const std::string& kind, const std::string& name,
                    std::vector<const Value*>& out)
{
    std::vector<const Value*> all;
    collect_by(v, "kind", kind, all);
    for (const Value* x : all)
        if (name.empty() || x->text("name") == name)
            out.push_back(x);
}

inline std::vector<const Value*> find(const Value& root, const std::string& kind,
                                      const std::string& name = {})
{
    std::vector<const Value*> out;
    collect(root, kind, name, out);
    return out;
}

// The tables of the document named `name` ("CifEstimates"), in order.
inline std::vector<const Value*> tables(const Value& root, const std::string& name)
{
    return find(root, "table", name);
}

// The items made from template `templ`; "Stat.Korvante." is put before a
// name without a dot.
inline std::vector<const Value*> by_template(const Value& root, const std::string& templ)
{
    std::vector<const Value*> out;
    collect_by(root, "template",
               templ.find('.') == std::string::npos ? "Stat.Korvante." + templ : templ, out);
    return out;
}

// The rows of a table (none for a null table).
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

// The first row of `table` whose column `col` has the text (or, for a
// number, the value) `key`; null when there is none.
inline const Value* row_where(const Value* table, const std::string& col, const std::string& key)
{
    for (const Value* r : rows(table)) {
        const Value* c = r->get(col);
        if (!c)
            continue;
        if ((c->kind == Value::String && c->str == key) ||
            (c->kind == Value::Number && !key.empty() &&
             c->num == std::strtod(key.c_str(), nullptr)))
            return r;
    }
    return nullptr;
}

} // namespace korvjson
