// The censoring marks of the line-printer plot of censored observations.
#include "estimate/estimate.h"
#include "runtime/pgraf.h"

void cenplot(PGRAFSTR* grafc, double time, long stratumno, int symbol)
{
    if (!grafc || !grafc->zerozero || stratumno < 0 || stratumno >= grafc->pgrafd[0].plotpos)
        return;
    const PGRAF_VHSTR& h = grafc->pgrafd[1];
    // One row per stratum above the origin row; a cell already marked, by
    // this stratum or another, shows '*'.
    char* cell =
        grafc->zerozero + zpgrsub(time, &h) - stratumno * static_cast<std::ptrdiff_t>(h.totpos);
    *cell = *cell == ' ' ? static_cast<char>(symbol) : '*';
}
