// The strata legend: one row per stratum with its number, its plot symbol
// and its strata values, so that the letters of the line-printer plots and
// the stratum numbers of the tests can be matched to strata.
#include <cstring>

#include "common/stages.h"
#include "common/strata.h"
#include "lpplot/lpplot.h"
#include "runtime/wobmth.h"
#include "vyr_output.h"

const bool korv_built_lineprinter = true;

void korvleg(KorvPtr q, int PrintSymbolColumn)
{
    if (q->nsvar == 0 || q->nstrata == 0 || !q->Legend || !q->vdq)
        return;
    // The template shows the symbol column unless SymbolOff is set: it is
    // set exactly when the caller does not ask for the symbols.
    WOB_PARM_BLK_STR pb[] = {
        wob_object(WOB_TAG_OBJECT, nullptr),
        wob_object(WOB_TAG_OBJECT, q->Legend),
        wob_key(WOB_TAG_TEMPLATE, vdqtxt("Stat.Korvante.Legend", 20)),
        wob_key(WOB_TAG_DYNNAME, vdqtxt("SymbolOff", 9)),
        wob_flag(WOB_TAG_DYNVALUE, PrintSymbolColumn ? 0 : 1),
    };
    wobcall(q->vdq, WOB_SEL_TEMPLATE_OUTPUT, pb);
    q->output = pb[0].value.o;
    const size_t keylen = static_cast<size_t>(q->slenf + q->slenu);
    int i = 1;
    for (STRATA* s = q->strata; s; s = s->left, ++i) {
        q->stratumno = i;
        q->sbol = q->symbols[(i - 1) % 26];
        if (q->value && keylen > 0)
            std::memcpy(q->value, strata_key(s), keylen);
        wobcall(q->Legend, WOB_SEL_PUT_ROW);
    }
    WOB_PARM_BLK_STR end = wob_int(WOB_TAG_ENDDATA, 1);
    wobcall(q->Legend, WOB_SEL_END_DATA, end);
    WOB_PARM_BLK_STR close = wob_object(WOB_TAG_OBJECT, q->output);
    wobcall(q->vdq, WOB_SEL_CLOSE_OUTPUT, close);
}

void korv_lp_tests_legend(KorvPtr q)
{
    korvleg(q, 0);
}
