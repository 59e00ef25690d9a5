// The host's graphs as the command and the procedure's libraries see them:
// the nice-axis routine the graphs' axes use, and whether PNG and PDF files
// can be made. Implemented in src/host/graphics.
#pragma once

// A nice-axis routine: for [low, high] on a horizontal ('h') or vertical
// ('v') axis, the first tick, the increment and the number of ticks, never
// more than `max_ticks` says fit (given the labels' width and decimals),
// with the decimals and width of the labels. The character plots' `znaxis`
// has this form; the command registers it, so that the graphs' axes and the
// procedure's at-risk ticks come from the same routine.
using VyrAxisFit = int (*)(void* arg, short fmt_w, long fmt_d, const double* values, int n);
using VyrNiceAxis = int (*)(double low, double high, int vh, int zeroflag, VyrAxisFit max_ticks,
                            void* arg, double min_cover, double target_cover, double* tickstart,
                            double* tickinc, int* tickn, long* fmt_d, short* fmt_w);
void vyr_graphics_set_axis(VyrNiceAxis axis);
VyrNiceAxis vyr_graphics_axis();

// The most curves a graph's legend names (and rows its median table
// shows): past them no one could read the legend, which would be taller
// than the plot, so the graph leaves the names out and says how many
// curves it draws; the procedure says in the log how to see them apart.
inline constexpr int VYR_LEGEND_MOST = 40;

// Whether this build writes graphs as PNG and PDF too (librsvg was found
// when it was built).
bool vyr_graphics_can_export();
