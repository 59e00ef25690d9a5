// Points the module's kernel handle at the stand-in kernel, with or without
// its national-language object, for the life of a test.
#pragma once

#include "support/reference.h"
#include "vyr_kernel.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class KernelScope
{
  public:
    explicit KernelScope(bool withNls)
    {
        saved_ = Exported_QXHandle;
        copy_ = *vyr_kernel_handle();
        if (!withNls)
            copy_.qxnls = nullptr;
        Exported_QXHandle = &copy_;
    }
    ~KernelScope() { Exported_QXHandle = saved_; }
    QXHandle* handle() { return &copy_; }

  private:
    QXHandle* saved_;
    QXHandle copy_;
};

// Kernel characters of a UTF-8 text.
inline std::vector<QXChar> wide(const std::string& utf8)
{
    std::vector<QXChar> out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char b = static_cast<unsigned char>(utf8[i]);
        int n = b < 0x80 ? 1 : (b < 0xE0 ? 2 : (b < 0xF0 ? 3 : 4));
        QXChar c = n == 1 ? b : (b & (0xFF >> (n + 1)));
        for (int k = 1; k < n; ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back(c);
        i += static_cast<size_t>(n);
    }
    return out;
}

// One row of the generated Unicode reference sample.
struct UnicodeRow {
    QXChar cp;
    std::string cat;
    uint32_t bits;
    QXChar upper, lower;   // simple mappings, all planes
    QXChar tupper, tlower; // the built-in tables (BMP, with their exceptions)
    QXChar cmin, cmax;     // case-class minimum and maximum (BMP)
};

// The sample rows, read through the tests' reference-table reader: a missing
// or empty sample fails the test that reads it.
inline std::vector<UnicodeRow> unicode_sample()
{
    const korvtest::Table t(
        "tests/reference/unicode/sample.tsv",
        {"cp", "cat", "bits", "upper", "lower", "tupper", "tlower", "cmin", "cmax"});
    auto hex = [&](size_t i, const char* col) {
        return static_cast<uint32_t>(std::stoul(t.text(i, col), nullptr, 16));
    };
    std::vector<UnicodeRow> rows;
    for (size_t i = 0; i < t.size(); ++i) {
        UnicodeRow r;
        r.cp = hex(i, "cp");
        r.cat = t.text(i, "cat");
        r.bits = hex(i, "bits");
        r.upper = hex(i, "upper");
        r.lower = hex(i, "lower");
        r.tupper = hex(i, "tupper");
        r.tlower = hex(i, "tlower");
        r.cmin = hex(i, "cmin");
        r.cmax = hex(i, "cmax");
        rows.push_back(r);
    }
    return rows;
}
