// Kernel value formatting and event wait.
#include "runtime/qxfmt.h"

#include <cstring>

namespace
{

bool make_pipe(ZNQVFMT* f, QXNLSPipelineh* pipe, int from, int to)
{
    if (*pipe)
        return true;
    QXNLSh nls = f->g->qxnls;
    if (!nls)
        return false;
    *pipe = nls->pipelineCreate(nls, from, to);
    return *pipe != nullptr;
}

} // namespace

int QXFormatToNQV(ZNQVFMT* fmt, int varno)
{
    ZNQVFMTGLOBAL* g = fmt->g;
    if (!g)
        return ZNQV_NOSETUP;
    if (varno < 0 || varno >= g->nvars)
        return ZNQV_BADVAR;
    fmt->toprintl = 0;
    QXFmtStrp f = fmt->genfh[varno];
    if (!f)
        return ZNQV_NOSETUP;
    const int cei = static_cast<int>(g->cei);
    const bool qxOut = f->out_which == 2;
    const bool qxIn = f->in_which == 2;
    if (qxOut && !make_pipe(fmt, &fmt->pipeFromQXChar, QX_CEI_QXCHAR, cei))
        return ZNQV_NOSETUP;
    if (qxIn && !make_pipe(fmt, &fmt->pipeToQXChar, cei, QX_CEI_QXCHAR))
        return ZNQV_NOSETUP;

    const bool numeric = g->vartype[varno] == 1;
    QXFmtPar& p = f->FmtPar;
    p.flags = 0;
    p.to = fmt->QXc;
    p.tow = static_cast<QXMemSize>(g->maxvarlen);
    p.retw = 0;
    if (numeric) {
        p.from = &fmt->numvalin;
        p.fromw = 8;
        p.w = qxOut ? g->nflen[varno] : g->varlen[varno];
        p.d = g->nfd[varno];
    } else if (!qxIn) {
        p.from = fmt->stringin;
        p.fromw = static_cast<QXMemSize>(fmt->stringinl > 0 ? fmt->stringinl : 0);
        p.w = g->varlen[varno];
        p.d = 0;
    } else {
        // The character value in kernel characters; QXin holds the larger of
        // maxvarlen and maxuserlen characters.
        int room = g->maxvarlen > g->maxuserlen ? g->maxvarlen : g->maxuserlen;
        QXMemSize inL = static_cast<QXMemSize>(fmt->stringinl > 0 ? fmt->stringinl : 0);
        QXMemSize got = 0;
        QXStatus st = fmt->pipeToQXChar->Transcode(fmt->pipeToQXChar, fmt->stringin, inL, fmt->QXin,
                                                   static_cast<QXMemSize>(room) * 4, &got);
        if (st != QX_OK)
            return ZNQV_NOVALUE;
        p.from = fmt->QXin;
        p.fromw = got / 4;
        p.w = g->varlen[varno];
        p.d = 0;
    }
    f->Func(f, 0);
    const QXMemSize retw = p.retw;
    if (retw == 0)
        return ZNQV_NOVALUE;

    const QXMemSize cap = static_cast<QXMemSize>(g->maxvarlen); // bytes of c
    if (!qxOut) {
        // The format wrote host bytes into the work buffer.
        QXMemSize n = retw < cap ? retw : cap;
        std::memcpy(fmt->c, fmt->QXc, static_cast<size_t>(n));
        fmt->toprintl = n;
        return n == retw ? ZNQV_OK : ZNQV_NOTRANSCODE;
    }
    // Kernel-character output: transcode into c; the whole value must fit.
    QXMemSize pad = 0;
    if (numeric && g->varlen[varno] > 0 && static_cast<QXMemSize>(g->varlen[varno]) > retw)
        pad = static_cast<QXMemSize>(g->varlen[varno]) - retw;
    if (pad > cap)
        pad = cap;
    std::memset(fmt->c, ' ', static_cast<size_t>(pad));
    QXMemSize got = 0;
    QXStatus st = fmt->pipeFromQXChar->Transcode(fmt->pipeFromQXChar, fmt->QXc, retw * 4,
                                                 fmt->c + pad, cap - pad, &got);
    if (st != QX_OK && st != QX_E_NOTREPR) {
        fmt->toprintl = 0;
        return ZNQV_NOTRANSCODE;
    }
    fmt->toprintl = pad + got;
    return ZNQV_OK;
}

int qxWait(QXThreadh thrd, size_t count, const QXEventh* events, size_t* pcnt, QXBoolean all,
           uint32_t time)
{
    QXHandle* h = Exported_QXHandle;
    if (!thrd || reinterpret_cast<void*>(thrd) == reinterpret_cast<void*>(h)) {
        thrd = h ? h->threadGetHandle(h) : nullptr;
        if (!thrd && h)
            thrd = h->defaultThread;
    }
    if (!thrd)
        return QX_E_NOTHREAD;
    return thrd->wait(thrd, count, events, pcnt, static_cast<uint8_t>(all ? 1 : 0), time);
}
