// One width rule for formatted values: a worker's formatter text, fitted to
// a width, is byte for byte the host's formatted read of that width, for
// every kind of format and value. And the formatted-value service: its
// records, widths and buffers, and the formats it loads released whether it
// succeeds or fails.
#include "support/levelize_harness.h"
#include "support/step_probe.h"

#include <map>
#include <string>
#include <vector>

namespace
{

const char* kData = "n0,n1,n2,n3,n4,n5,c0,c1,c2\n"
                    "1,1.5,1.5,0,1.5,0.255,abc,abcdef,\"  lead\"\n"
                    "123456789,-2.345,123456789,21915,-0.000012,-1.5,x,x,x\n"
                    ".,.A,.,.,.,.,,,\n"
                    "0.3333333333333,100000,0.001,-3653,1e200,12,a longer text,ab,abcdefgh\n"
                    "-7,0,-7,1,0,0,Z,Zed,Zed\n";
const char* kAttr = "variable n1 format=8.2\n"
                    "variable n2 format=BEST5.\n"
                    "variable n3 format=DATE9.\n"
                    "variable n4 format=E10.\n"
                    "variable n5 format=PERCENT8.1\n"
                    "variable c1 format=$3.\n"
                    "variable c2 format=$CHAR5.\n";

TEST(Formatting, AWorkersTextIsTheFormattedReadOfTheSameWidth)
{
    lev::Folder dir;
    dir.write("f.attr", kAttr);
    const std::string path = dir.write("f.csv", kData);
    int compared = 0;
    step_probe::run([&] {
        Exported_QXHandle = vyr_kernel_handle();
        DSHANDLE* ds = lev::open(path);
        ASSERT_EQ(xbynext(ds), 1);
        std::vector<int> list;
        for (int v = 1; v <= 9; ++v)
            list.push_back(v);
        int rc = -1;
        ZNQVFMTGLOBAL* g = znqvfmt(ds, list.data(), 9, 1, &rc, -1);
        ASSERT_NE(g, nullptr);
        ASSERT_EQ(rc, 0);
        ZNQVFMT* f = &g->fmt[0];
        while (xybyget(ds) == 0)
            for (int i = 0; i < 9; ++i) {
                NAMESTR* nm = xvname(ds, list[i]);
                const bool num = nm->ntype == 1;
                if (num) {
                    xvget1f(ds, list[i], &f->numvalin);
                } else {
                    const int len = vyr_namestr_length(*nm);
                    xvget1c(ds, list[i], len, f->stringin);
                    f->stringinl = len;
                }
                ASSERT_EQ(QXFormatToNQV(f, i), ZNQV_OK) << i;
                for (int vlen : {1, 3, 5, 8, 12, 16, 30}) {
                    std::string read(static_cast<size_t>(vlen), '#');
                    std::string worker(static_cast<size_t>(vlen), '#');
                    ASSERT_EQ(xvget1v(ds, list[i], vlen, read.data()), 0);
                    zlevCutFormatted(f->c, static_cast<long>(f->toprintl), num, worker.data(),
                                     vlen);
                    EXPECT_EQ(worker, read) << "variable " << i << ", width " << vlen;
                    ++compared;
                }
            }
        znqvftrm(&g);
        EXPECT_EQ(g, nullptr);
    });
    EXPECT_EQ(compared, 5 * 9 * 7);
}

// Counts the kernel formats made and released through "qxefmt".
struct Counting {
    static inline QXEFMT_S* base = nullptr;
    static inline QXEFMT_S wrapper{};
    static inline long made = 0, released = 0;
    static inline std::map<QXFmtStrp, void (*)(QXFmtStrp)> originals;

    static void release(QXFmtStrp f)
    {
        ++released;
        auto orig = originals[f];
        originals.erase(f);
        orig(f);
    }
    static QXFmtStrp create(QXEFMT_S*, const char* name, int w, int d, int isChar, int in, int out)
    {
        QXFmtStrp f = base->formatCreate(base, name, w, d, isChar, in, out);
        if (f) {
            ++made;
            originals[f] = f->release;
            f->release = release;
        }
        return f;
    }
    static void* load(QXHandle*) { return &wrapper; }
    static void* load_base(QXHandle*) { return base; }

    Counting()
    {
        QXHandle* h = vyr_kernel_handle();
        static const QXChar name[] = {'q', 'x', 'e', 'f', 'm', 't'};
        base = static_cast<QXEFMT_S*>(h->loadExtension(h, name, 6, 0));
        wrapper = *base;
        wrapper.formatCreate = create;
        made = released = 0;
        vyr_kernel_register_extension("qxefmt", load);
    }
    ~Counting() { vyr_kernel_register_extension("qxefmt", load_base); }
};

TEST(Formatting, TheServiceSizesItsRecordsAndReleasesWhatItLoaded)
{
    lev::Folder dir;
    dir.write("f.attr", kAttr);
    const std::string path = dir.write("f.csv", kData);
    Counting counting;
    step_probe::run([&] {
        Exported_QXHandle = vyr_kernel_handle();
        DSHANDLE* ds = lev::open(path);
        int rc = -1;
        const int nums[] = {1, 2, 4}, mixed[] = {1, 8};
        EXPECT_EQ(znqvfmt(ds, nums, 3, 0, &rc, -1), nullptr);
        EXPECT_EQ(rc, 2);
        EXPECT_EQ(znqvfmt(ds, nums, 0, 2, &rc, -1), nullptr);
        EXPECT_EQ(rc, 2);
        EXPECT_EQ(Counting::made, 0);

        // Three records: each loads every format for itself.
        ZNQVFMTGLOBAL* g = znqvfmt(ds, nums, 3, 3, &rc, -1);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(Counting::made, 9);
        EXPECT_EQ(g->varlen[0], 12); // a number without a format
        EXPECT_EQ(g->varlen[1], 8);  // 8.2
        EXPECT_EQ(g->varlen[2], 9);  // DATE9.
        EXPECT_EQ(g->fmt[0].QXin, nullptr);
        EXPECT_NE(g->fmt[0].genfh[0], g->fmt[1].genfh[0]);
        znqvftrm(&g);
        EXPECT_EQ(Counting::released, 9);
        for (int v : nums)
            EXPECT_EQ(xvname(ds, v)->nqxfmthandl, nullptr);

        g = znqvfmt(ds, mixed, 2, 1, &rc, 0);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->varlen[0], 16);
        EXPECT_EQ(g->varlen[1], 16);
        EXPECT_NE(g->fmt[0].QXin, nullptr);
        znqvftrm(&g);

        // A variable that is not there, after a format was loaded: the
        // service fails and releases that format.
        Counting::made = Counting::released = 0;
        const int bad[] = {2, 99};
        EXPECT_EQ(znqvfmt(ds, bad, 2, 2, &rc, -1), nullptr);
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(Counting::made, 1);
        EXPECT_EQ(Counting::released, 1);
        EXPECT_EQ(xvname(ds, 2)->nqxfmthandl, nullptr);
        EXPECT_NE(xvname(ds, 2)->nfcode, 0); // the format is prepared again
    });
}

} // namespace
