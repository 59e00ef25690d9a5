// A small reader of the JSON output, enough to walk the documents of the
// runs under test (no \u escapes beyond ASCII are looked at).
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace jtest
{

struct Value {
    enum Kind { Null, Other, Number, String, Array, Object } kind = Null;
    double num = 0;
    std::string str;
    std::vector<Value> items;
    std::map<std::string, Value> fields;
    bool has(const std::string& k) const { return fields.count(k) > 0; }
    const Value& operator[](const std::string& k) const
    {
        static const Value none;
        auto it = fields.find(k);
        return it == fields.end() ? none : it->second;
    }
};

inline Value parse(const char*& p)
{
    auto ws = [&] {
        while (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')
            ++p;
    };
    auto str = [&] {
        std::string s;
        for (++p; *p && *p != '"'; ++p) {
            if (*p != '\\') {
                s += *p;
            } else if (*++p == 'u') {
                s += static_cast<char>(std::strtol(std::string(p + 1, 4).c_str(), nullptr, 16));
                p += 4;
            } else {
                s += *p == 'n' ? '\n' : *p == 't' ? '\t' : *p;
            }
        }
        ++p;
        return s;
    };
    ws();
    Value v;
    if (*p == '{' || *p == '[') {
        const bool object = *p++ == '{';
        v.kind = object ? Value::Object : Value::Array;
        for (ws(); *p && *p != '}' && *p != ']'; ws()) {
            if (object) {
                std::string k = str();
                ws();
                ++p; // ':'
                v.fields[k] = parse(p);
            } else {
                v.items.push_back(parse(p));
            }
            ws();
            if (*p == ',')
                ++p;
        }
        ++p;
    } else if (*p == '"') {
        v.kind = Value::String;
        v.str = str();
    } else if (*p == 'n' || *p == 't' || *p == 'f') {
        v.kind = *p == 'n' ? Value::Null : Value::Other;
        p += *p == 'f' ? 5 : 4;
    } else {
        char* end;
        v.kind = Value::Number;
        v.num = std::strtod(p, &end);
        p = end;
    }
    return v;
}

// Every item of the document (depth first) of the given kind and name.
inline void collect(const Value& items, const std::string& kind, const std::string& name,
                    std::vector<const Value*>& out)
{
    for (const Value& it : items.items) {
        if (it["kind"].str == kind && (name.empty() || it["name"].str == name))
            out.push_back(&it);
        collect(it["items"], kind, name, out);
    }
}

} // namespace jtest
