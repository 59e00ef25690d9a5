// Kernel value formatting for worker threads and the event wait.
#include "runtime/qxfmt.h"

#include "support/kernel_scope.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

// A formatting context over `nvars` variables with buffers of maxvarlen.
struct Context {
    ZNQVFMTGLOBAL g{};
    ZNQVFMT f{};
    std::vector<int> varlen, vartype, nflen, nfd;
    std::vector<QXFmtStrp> formats;
    std::vector<char> in, out;
    std::vector<QXChar> qxc, qxin;
    QXEFMT_S* ext;

    Context(int maxvarlen, int maxuserlen)
    {
        QXHandle* h = vyr_kernel_handle();
        static const QXChar name[] = {'q', 'x', 'e', 'f', 'm', 't'};
        ext = static_cast<QXEFMT_S*>(h->loadExtension(h, name, 6, 0));
        g.maxvarlen = maxvarlen;
        g.maxuserlen = maxuserlen;
        g.cei = QX_CEI_UTF8;
        g.qxnls = h->qxnls;
        in.assign(static_cast<size_t>(maxuserlen) + 1, 0);
        out.assign(static_cast<size_t>(maxvarlen), '#');
        qxc.assign(static_cast<size_t>(maxvarlen), 0);
        qxin.assign(static_cast<size_t>(std::max(maxvarlen, maxuserlen)), 0);
        f.c = out.data();
        f.stringin = in.data();
        f.QXc = qxc.data();
        f.QXin = qxin.data();
        f.g = &g;
    }
    ~Context()
    {
        for (auto p : formats)
            p->release(p);
        if (f.pipeFromQXChar)
            f.pipeFromQXChar->hdr.destroy(f.pipeFromQXChar);
        if (f.pipeToQXChar)
            f.pipeToQXChar->hdr.destroy(f.pipeToQXChar);
    }
    void add(QXFmtStrp fmt, int type, int len, int width, int dec)
    {
        formats.push_back(fmt);
        vartype.push_back(type);
        varlen.push_back(len);
        nflen.push_back(width);
        nfd.push_back(dec);
        g.nvars = static_cast<int>(formats.size());
        g.varlen = varlen.data();
        g.vartype = vartype.data();
        g.nflen = nflen.data();
        g.nfd = nfd.data();
        f.genfh = formats.data();
    }
    void text(const std::string& s)
    {
        std::memcpy(in.data(), s.data(), s.size());
        f.stringinl = static_cast<int>(s.size());
    }
    std::string result() const { return std::string(f.c, f.toprintl); }
};

TEST(QXFormatToNQV, NumericKernelCharacterOutputIsRightJustified)
{
    Context k(16, 0);
    k.add(k.ext->formatCreate(k.ext, "", 5, 1, 0, 0, 2), 1, 8, 5, 1);
    k.f.numvalin = 123.44;
    EXPECT_EQ(QXFormatToNQV(&k.f, 0), ZNQV_OK);
    EXPECT_EQ(k.result(), "   123.4");
    EXPECT_EQ(k.f.toprintl, 8u);

    // The same value with host-byte output is copied as the format wrote it.
    k.add(k.ext->formatCreate(k.ext, "", 8, 2, 0, 0, 1), 1, 8, 8, 2);
    EXPECT_EQ(QXFormatToNQV(&k.f, 1), ZNQV_OK);
    EXPECT_EQ(k.result(), "  123.44");
}

TEST(QXFormatToNQV, RangeAndEmptyResults)
{
    Context k(8, 0);
    k.add(k.ext->formatCreate(k.ext, "", 5, 1, 0, 0, 2), 1, 8, 5, 1);
    k.f.toprintl = 77;
    EXPECT_EQ(QXFormatToNQV(&k.f, 1), ZNQV_BADVAR);
    EXPECT_EQ(k.f.toprintl, 77u); // the range test comes before the reset
    EXPECT_EQ(k.out[0], '#');
    EXPECT_EQ(QXFormatToNQV(&k.f, -1), ZNQV_BADVAR);

    // A format that produces nothing.
    QXFmtStrp empty = k.ext->formatCreate(k.ext, "", 5, 1, 0, 0, 2);
    empty->Func = [](QXFmtStrp f, int) {
        f->FmtPar.retw = 0;
        return QX_OK;
    };
    k.add(empty, 1, 8, 5, 1);
    EXPECT_EQ(QXFormatToNQV(&k.f, 1), ZNQV_NOVALUE);
    EXPECT_EQ(k.f.toprintl, 0u);

    ZNQVFMT bare{};
    EXPECT_EQ(QXFormatToNQV(&bare, 0), ZNQV_NOSETUP);
}

TEST(QXFormatToNQV, CharacterValuesThroughKernelCharacters)
{
    Context k(12, 10);
    // Reads and writes kernel characters.
    k.add(k.ext->formatCreate(k.ext, "$", 6, 0, 1, 2, 2), 2, 6, 0, 0);
    k.text("caf\xC3\xA9");
    EXPECT_EQ(QXFormatToNQV(&k.f, 0), ZNQV_OK);
    EXPECT_EQ(k.result(), "caf\xC3\xA9 "); // widths count bytes of the host text
    // Reads kernel characters, writes host bytes: the value is delivered,
    // not left behind in the work buffer.
    k.add(k.ext->formatCreate(k.ext, "$", 6, 0, 1, 2, 1), 2, 6, 0, 0);
    EXPECT_EQ(QXFormatToNQV(&k.f, 1), ZNQV_OK);
    EXPECT_EQ(k.result(), "caf\xC3\xA9 ");
    // Host bytes in and out.
    k.add(k.ext->formatCreate(k.ext, "$", 4, 0, 1, 1, 1), 2, 4, 0, 0);
    k.text("abcdef");
    EXPECT_EQ(QXFormatToNQV(&k.f, 2), ZNQV_OK);
    EXPECT_EQ(k.result(), "abcd");
}

TEST(QXFormatToNQV, ValueThatDoesNotFitIsAFailureNotACut)
{
    Context k(4, 8);
    // A kernel-character format that writes four characters of two UTF-8
    // bytes each: eight bytes do not fit the four of the output.
    QXFmtStrp wide = k.ext->formatCreate(k.ext, "$", 4, 0, 1, 1, 2);
    wide->Func = [](QXFmtStrp f, int) {
        auto* to = static_cast<QXChar*>(f->FmtPar.to);
        for (int i = 0; i < 4; ++i)
            to[i] = 0xE9;
        f->FmtPar.retw = 4;
        return QX_OK;
    };
    k.add(wide, 2, 4, 0, 0);
    k.text("x");
    EXPECT_EQ(QXFormatToNQV(&k.f, 0), ZNQV_NOTRANSCODE);
    EXPECT_EQ(k.f.toprintl, 0u);
    k.add(k.ext->formatCreate(k.ext, "$", 4, 0, 1, 1, 2), 2, 4, 0, 0);
    k.text("abcd");
    EXPECT_EQ(QXFormatToNQV(&k.f, 1), ZNQV_OK);
    EXPECT_EQ(k.result(), "abcd");
}

TEST(QxWait, FindsTheThreadOrReportsNone)
{
    QXHandle* h = vyr_kernel_handle();
    QXEventh ev[2] = {h->eventCreate(h, 0, nullptr), h->eventCreate(h, 0, nullptr)};
    ev[1]->post(ev[1], 9);
    {
        KernelScope k(true);
        size_t which = 99;
        EXPECT_EQ(qxWait(nullptr, 2, ev, &which, 0, 0), QX_OK);
        EXPECT_EQ(which, 1u);
        which = 99;
        EXPECT_EQ(qxWait(reinterpret_cast<QXThreadh>(k.handle()), 2, ev, &which, 0, 0), QX_OK);
        EXPECT_EQ(which, 1u);
        EXPECT_EQ(qxWait(nullptr, 2, ev, &which, 1, 20), QX_E_TIMEOUT);
        EXPECT_EQ(which, 2u);
        k.handle()->defaultThread = nullptr;
        EXPECT_EQ(qxWait(nullptr, 2, ev, &which, 0, 0), QX_E_NOTHREAD);
    }
    QXHandle* saved = Exported_QXHandle;
    Exported_QXHandle = nullptr;
    size_t which = 0;
    EXPECT_EQ(qxWait(nullptr, 2, ev, &which, 0, 0), QX_E_NOTHREAD);
    Exported_QXHandle = saved;
    for (auto e : ev)
        e->hdr.destroy(e);
}

} // namespace
