// Points the module's kernel handle at the stand-in kernel, with or without
// its national-language object, for the life of a test.
#pragma once

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

inline std::vector<UnicodeRow> unicode_sample()
{
    const char* root = std::getenv("KORV_SOURCE_DIR");
    std::string dir = root ? root : KORV_SOURCE_DIR;
    std::ifstream in(dir + "/tests/reference/unicode/sample.tsv");
    std::vector<UnicodeRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream ss(line);
        UnicodeRow r;
        std::string f[9];
        for (auto& x : f)
            std::getline(ss, x, '\t');
        auto hex = [](const std::string& s) {
            return static_cast<uint32_t>(std::stoul(s, nullptr, 16));
        };
        r.cp = hex(f[0]);
        r.cat = f[1];
        r.bits = hex(f[2]);
        r.upper = hex(f[3]);
        r.lower = hex(f[4]);
        r.tupper = hex(f[5]);
        r.tlower = hex(f[6]);
        r.cmin = hex(f[7]);
        r.cmax = hex(f[8]);
        rows.push_back(r);
    }
    return rows;
}
