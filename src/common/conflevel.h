// The confidence level that goes with a significance level (ALPHA=,
// ALPHAQT=), as every table, graph and output data set says it.
#pragma once

#include <cstdio>
#include <string>

// (1 - alpha) x 100.
inline double korv_confidence_percent(double alpha)
{
    return 100 * (1 - alpha);
}

// The level as text: the shortest form that %g gives (six significant
// digits, no trailing zeros) and "%": "95%", "66.7%", "99.985%". The tables'
// and graphs' labels substitute the same number into "%g%%" in their
// catalogue lines, so a level reads alike wherever it is said.
inline std::string korv_confidence_text(double alpha)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g%%", korv_confidence_percent(alpha));
    return text;
}
