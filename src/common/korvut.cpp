// Stratum labels: the heading of a stratum's output ("Stratum 2: sex = 1"),
// the shorter label its graphs and plot data carry, and the text key the
// graphs across strata use; and the emptied strata values of Total rows.
// The estimators, the competing risks and the frame all label strata so.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/options.h"
#include "common/stages.h"
#include "common/strata.h"
#include "vyr_data.h"
#include "vyr_host.h"
#include "vyr_message_names.h"
#include "vyr_output.h"
#include "vyr_text.h"

namespace
{

// Appends text into buf[pos..cap), cut at the end; returns the new position.
int append(char* buf, int cap, int pos, const std::string& text)
{
    if (pos >= cap)
        return pos;
    int n = std::min<int>(cap - pos, static_cast<int>(text.size()));
    std::memcpy(buf + pos, text.data(), static_cast<size_t>(n));
    return pos + n;
}

std::string ltrim(const std::string& s)
{
    size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a);
}

} // namespace

int korvut(KorvPtr q, STRATA* node)
{
    STRATUMID* sid = q->stratumid;
    varstring* g = q->ogstrlab;
    const char* key = strata_key(node);
    const int index = static_cast<int>(q->stratumno);

    // Graph label, with the stratum number in front when an overlaid plot's
    // at-risk table cannot hold the stratum values.
    int gpos = 0, gstart = 0;
    int gcap = g ? static_cast<int>(g->l) : 0;
    if (g && g->s) {
        std::memset(g->s, ' ', static_cast<size_t>(gcap));
        ATRISKTIME* art = q->art;
        if (art && (q->vdqgraph & plot_bit::OVERLAY) &&
            (art->maxL < 0 || art->smaxlen < art->maxL)) {
            gpos = append(g->s, gcap, 0, std::to_string(node->Stratum + 1) + ": ");
            gstart = gpos;
        }
    }

    // Stratum label: the heading message, then name = value per variable.
    int cap = q->hdrlen;
    int pos = 0;
    if (sid && sid->label && cap > 0) {
        std::memset(sid->label, ' ', static_cast<size_t>(cap));
        char head[64];
        int n = xpmstr(head, static_cast<int>(sizeof head), 326, msg326::STRATUM_HEADING,
                       node->Stratum + 1);
        pos = append(sid->label, cap, 0, std::string(head, static_cast<size_t>(std::max(n, 0))));
    }
    for (int i = 0; i < q->nsvar; ++i) {
        const SNAMESTR& sv = q->sname[i];
        if (i > 0) {
            pos = std::min(pos + 1, std::max(cap, 0));
            gpos = std::min(gpos + 1, gcap);
        }
        std::string name;
        if (!q->znolabel && sv.nm && sv.nm->nlablen > 0)
            name.assign(sv.nm->label_p, static_cast<size_t>(sv.nm->nlablen));
        else if (sv.name && sv.name->s)
            name.assign(sv.name->s, static_cast<size_t>(sv.name->l));
        else if (sv.nm)
            name.assign(sv.nm->name_p, static_cast<size_t>(sv.nm->namelen));
        const char* field = key + sv.posf;
        std::string value =
            vyr::trim_blanks(std::string_view(field, static_cast<size_t>(std::max(sv.lngf, 0))));
        std::string piece, gpiece;
        if (sv.cutnum > 0 && sv.lngf > 1 && field[1] == '<') {
            std::string v = ltrim(value.substr(std::min<size_t>(1, value.size())));
            piece = name + " < " + v + " ";
            gpiece = name + "<" + v;
        } else if (sv.cutnum > 0 && sv.lngf > 1 && field[1] == '=') {
            std::string v = ltrim(value.substr(std::min<size_t>(2, value.size())));
            piece = name + " >= " + v + " ";
            gpiece = name + ">=" + v;
        } else {
            piece = name + " = " + value + " ";
            gpiece = name + "=" + value;
        }
        if (sid && sid->label)
            pos = append(sid->label, cap, pos, piece);
        if (g && g->s)
            gpos = append(g->s, gcap, gpos, q->nsvar == 1 ? value : gpiece);
    }
    if (pos > 0 && sid && sid->label && sid->label[pos - 1] == ' ')
        --pos;

    // The stratum's text key for the graphs across strata (without the
    // number prefix); written only where the array has an entry for it.
    if (g && g->s && q->ogstat && q->ogstat->strval && index >= 0 && index < q->nstrata) {
        int end = gcap;
        while (end > gstart && g->s[end - 1] == ' ')
            --end;
        q->ogstat->strval[index] = vdqtxt(g->s + gstart, end - gstart);
    }
    return pos;
}

void korvbsv(KorvPtr q)
{
    if (q->nsvar < 1 || !q->value)
        return;
    int foff = 0, uoff = q->slenf;
    const double empty = xgcbconst(95);
    for (int i = 0; i < q->nsvar; ++i) {
        const SNAMESTR& sv = q->sname[i];
        if (sv.cutnum > 0)
            std::memset(q->value + foff, ' ', static_cast<size_t>(sv.lngf));
        else if (sv.nm && sv.nm->ntype == 1)
            std::memcpy(q->value + uoff, &empty, sizeof empty);
        else
            std::memset(q->value + uoff, ' ', static_cast<size_t>(sv.lngu));
        foff += sv.lngf;
        uoff += sv.lngu;
    }
}
