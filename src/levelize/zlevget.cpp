// The reader's default observation callbacks: start and advance the reading
// (within the BY group or across BY groups), copy the positioned
// observation's values by role letters through a retrieval vector built
// once per reader, and the four gates through which the levelizer reads.
#include <algorithm>
#include <cstring>

#include "levelize/zlevint.h"
#include "runtime/missing.h"
#include "runtime/procstr.h"
#include "vyr_data.h"

namespace
{

bool numeric_var(const ZLEVVAR& v)
{
    return v.n == nullptr || v.n->ntype == 1;
}

int raw_length(const ZLEVVAR& v)
{
    return v.n ? vyr_namestr_length(*v.n) : 8;
}

void normalise_nwgt(ZLEVREGI* r)
{
    if (r->w == nullptr)
        r->nwgt = 0;
    else if (r->nwgt < 1)
        r->nwgt = 1;
}

bool bound(const ZLEVVAR* v)
{
    return v && v->n && v->n->nvar0 >= 1;
}

// Builds the formatted or the unformatted retrieval vector and its buffer.
void SetupXV(ZLEVREGI* r, bool formatted)
{
    ZLEVDAT* d = r->d;
    ZLEVMOD* m = r->m;
    if (formatted ? d->xvd != nullptr : d->xvdnof != nullptr)
        return;
    normalise_nwgt(r);
    long len = 8L * m->cont.n + (r->o ? 8 : 0) + 8L * r->y.n + (r->t ? 8 : 0) + (r->cs ? 8 : 0) +
               8L * std::max(r->nwgt, 1) + 8;
    for (int j = 0; j < m->clas.n; ++j) {
        const ZLEVVAR& v = m->clas.v[j];
        len += numeric_var(v) ? 8 : raw_length(v);
        if (formatted && v.n)
            len += v.vlen;
    }
    char*& buf = formatted ? d->buf : d->bufnof;
    if (buf)
        vmfree_handler(d->pool, buf, -1, 4);
    buf = len > 0 ? static_cast<char*>(zlevAlloc(d->pool, len)) : nullptr;
    (formatted ? d->buflen : d->bufnoflen) = len;
    const int count = m->cont.n + r->y.n + r->nwgt + 2 + (r->o ? 1 : 0) + (r->t ? 1 : 0) +
                      (formatted ? 2 : 1) * m->clas.n;
    XVHANDLE* vec = nullptr;
    xvgeti(d->fid, count, &vec);
    (formatted ? d->xvd : d->xvdnof) = vec;
    long off = 0;
    auto number = [&](const ZLEVVAR* v) {
        if (vec && bound(v) && v->n->ntype == 1)
            xvgetd(vec, v->n->nvar0, off, nullptr, 8, 8);
        off += 8;
    };
    for (int k = 0; k < m->cont.n; ++k)
        number(&m->cont.v[k]);
    if (r->o)
        number(r->o);
    for (int k = 0; k < r->y.n; ++k)
        number(&r->y.v[k]);
    if (r->t)
        number(r->t);
    if (r->cs)
        number(r->cs);
    for (int j = 0; j < m->clas.n; ++j) {
        ZLEVVAR& v = m->clas.v[j];
        if (formatted || numeric_var(v))
            zlevTruncNote(&v);
        if (!formatted || v.n == nullptr)
            continue;
        if (v.n->nvar0 >= 1) {
            xffile(d->fid, 70, &v.n->nvar0, 1);
            if (vec)
                xvgetd(vec, v.n->nvar0, off, nullptr, v.vlen, 4);
        }
        off += v.vlen;
    }
    if (r->nwgt == 0)
        off += 8;
    for (int k = 0; k < r->nwgt; ++k)
        number(&r->w[k]);
    number(r->f);
    for (int j = 0; j < m->clas.n; ++j) {
        const ZLEVVAR& v = m->clas.v[j];
        const int n = numeric_var(v) ? 8 : raw_length(v);
        if (vec && bound(&v))
            xvgetd(vec, v.n->nvar0, off, nullptr, n, 8);
        off += n;
    }
    if (vec)
        xvgete(vec);
}

} // namespace

int GetInit(ZLEVREGI* r)
{
    return xbyrwnd(r->d->fid, 66) != 0 ? 1 : 0;
}

int GetNext(ZLEVREGI* r)
{
    if (r->d == nullptr || r->d->fid == nullptr)
        return 0;
    XO_PARMS parms;
    parms.ds = r->d->fid;
    parms.opcode = 11;
    parms.flags = 0x40;
    const int rc = xybyget(&parms);
    if (rc == 0)
        return 1;
    xofprc(&parms, rc, 1);
    return 0;
}

int GetInitAcrossBy(ZLEVREGI* r)
{
    XO_PARMS parms;
    parms.ds = r->d->fid;
    parms.opcode = 1;
    xopnt(&parms);
    return 0;
}

int GetNextAcrossBy(ZLEVREGI* r)
{
    XO_PARMS parms;
    parms.ds = r->d->fid;
    parms.opcode = 11;
    return xoget(&parms) == 0 ? 1 : 0;
}

int GetVals(ZLEVREGI* r, const char* role, ...)
{
    ZLEVMOD* m = r->m;
    ZLEVDAT* d = r->d;
    double* z = nullptr;
    char** c = nullptr;
    double* y = nullptr;
    double* w = nullptr;
    double* f = nullptr;
    double* u = nullptr;
    ZLEVSTR* b = nullptr;
    bool cAsked = false;
    va_list ap;
    va_start(ap, role);
    for (const char* p = role; p && *p; ++p) {
        switch (*p) {
        case 'z':
            z = va_arg(ap, double*);
            break;
        case 'c':
            c = va_arg(ap, char**);
            cAsked = true;
            break;
        case 'y':
            y = va_arg(ap, double*);
            break;
        case 'w':
            w = va_arg(ap, double*);
            break;
        case 'f':
            f = va_arg(ap, double*);
            break;
        case 'u':
            u = va_arg(ap, double*);
            break;
        case 'b':
            b = va_arg(ap, ZLEVSTR*);
            break;
        default:
            break;
        }
    }
    va_end(ap);
    const bool formatted = r->readfmt || cAsked;
    normalise_nwgt(r);
    if (formatted ? d->xvd == nullptr : d->xvdnof == nullptr)
        SetupXV(r, formatted);
    XVHANDLE* vec = formatted ? d->xvd : d->xvdnof;
    const char* buf = formatted ? d->buf : d->bufnof;
    if (vec && buf)
        xyvget(vec, const_cast<char*>(buf));
    long off = 0;
    auto next = [&]() {
        double v = 0;
        if (buf)
            std::memcpy(&v, buf + off, sizeof v);
        off += 8;
        return v;
    };
    for (int k = 0; k < m->cont.n; ++k) {
        const double v = next();
        if (z)
            z[k] = v;
    }
    if (r->o)
        r->o->val.x = next();
    for (int k = 0; k < r->y.n; ++k) {
        const double v = next();
        if (y)
            y[k] = v;
    }
    if (r->t)
        r->t->val.x = next();
    if (r->cs)
        r->cs->val.x = next();
    if (formatted)
        for (int j = 0; j < m->clas.n; ++j) {
            const ZLEVVAR& v = m->clas.v[j];
            if (v.n == nullptr)
                continue;
            if (c && buf)
                std::memcpy(c[j], buf + off, static_cast<size_t>(v.vlen));
            off += v.vlen;
        }
    if (r->nwgt == 0) {
        off += 8;
    } else {
        double sum = 0;
        bool miss = false;
        for (int k = 0; k < r->nwgt; ++k) {
            const double v = next();
            miss = miss || wzmis(v);
            sum += miss ? 0 : v;
        }
        if (w)
            *w = miss ? korv_missing() : sum / r->nwgt;
    }
    {
        const double v = next();
        if (f && r->f)
            *f = v;
    }
    int ku = 0, kb = 0;
    for (int j = 0; j < m->clas.n; ++j) {
        const ZLEVVAR& v = m->clas.v[j];
        if (numeric_var(v)) {
            const double x = next();
            if (u)
                u[ku++] = x;
        } else {
            const int n = raw_length(v);
            if (b && buf) {
                std::memcpy(b[kb].s, buf + off, static_cast<size_t>(std::min(n, b[kb].l)));
                ++kb;
            }
            off += n;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The levelizer's gates back to the reader.

int LevGetInit(ZLEV* l, ZLEVMOD* /*m*/)
{
    auto* r = static_cast<ZLEVREGI*>(l->p);
    r->readfmt = l->readfmt;
    return r->GetInit(r);
}

int LevGetNext(ZLEV* l, ZLEVMOD* /*m*/)
{
    auto* r = static_cast<ZLEVREGI*>(l->p);
    return r->GetNext(r);
}

int LevGetVals(ZLEV* l, ZLEVMOD* m)
{
    auto* r = static_cast<ZLEVREGI*>(l->p);
    int rc = r->readfmt ? r->GetVals(r, "zcub", l->x, l->c, l->xc, l->cc)
                        : r->GetVals(r, "zub", l->x, l->xc, l->cc);
    if (m->fvar && rc)
        return r->GetVals(r, "f", &m->fval) != 0;
    return rc;
}

int LevGetLevIndex(ZLEV* l, ZLEVMOD* m)
{
    auto* r = static_cast<ZLEVREGI*>(l->p);
    return r->GetLevIndex(l->levelize, m->userptr);
}
