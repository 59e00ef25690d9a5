// The stand-in kernel: option values, extensions by name, pools, typed AVL
// trees, hash tables, transcoding, journals, and threads with events under
// a hand-off stress test.
#include "vyr_kernel.h"

#include "support/kernel_scope.h"
#include "support/step_probe.h"
#include "vyr_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csetjmp>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

QXStatus get_int(const std::string& name, int64_t* v)
{
    QXHandle* h = vyr_kernel_handle();
    auto n = wide(name);
    QXMemSize size = sizeof *v;
    return h->nameGet(h, n.data(), static_cast<QXStrSize>(n.size()), 3, v, &size);
}

QXStatus get_text(const std::string& name, std::vector<QXChar>& out)
{
    QXHandle* h = vyr_kernel_handle();
    auto n = wide(name);
    out.assign(64, 0);
    QXMemSize size = out.size() * 4;
    QXStatus st = h->nameGet(h, n.data(), static_cast<QXStrSize>(n.size()), 4, out.data(), &size);
    out.resize(st == QX_OK ? size / 4 : 0);
    return st;
}

void* load(const std::string& name)
{
    QXHandle* h = vyr_kernel_handle();
    auto n = wide(name);
    return h->loadExtension(h, n.data(), static_cast<QXStrSize>(n.size()), 0);
}

TEST(KernelOptions, ValuesByWideName)
{
    int64_t v = -1;
    ASSERT_EQ(get_int("host.cpucount", &v), QX_OK);
    // The cores this process may run on (a cpuset or taskset may give fewer
    // than the machine has); how they are counted is tested with the pool.
    EXPECT_EQ(v, vyr::machine_cores());
    ASSERT_EQ(get_int("QXNLS.NQV_SESSION_CEI", &v), QX_OK);
    EXPECT_EQ(v, QX_CEI_UTF8);
    EXPECT_EQ(get_int("OSENV.GRIDHOST", &v), QX_E_NOTFOUND);

    vyr_kernel_option_set("osenv.gridport", "0x1F");
    std::vector<QXChar> t;
    ASSERT_EQ(get_text("OSENV.GRIDPORT", t), QX_OK);
    EXPECT_EQ(t, wide("0x1F"));
    EXPECT_EQ(get_int("OSENV.GRIDPORT", &v), QX_E_TYPE);
    vyr_kernel_option_set("OSENV.GRIDPORT", nullptr);
    EXPECT_EQ(get_text("OSENV.GRIDPORT", t), QX_E_NOTFOUND);

    // A buffer too small stores nothing and tells the size needed.
    QXHandle* h = vyr_kernel_handle();
    vyr_kernel_option_set("X.LONG", "abcdef");
    auto n = wide("X.LONG");
    QXChar small[2] = {7, 7};
    QXMemSize size = sizeof small;
    EXPECT_EQ(h->nameGet(h, n.data(), 6, 4, small, &size), QX_E_BUFSMALL);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(small[0], 7u);
    vyr_kernel_option_set("X.LONG", nullptr);
    QXChar bad[] = {'h', 0xE9};
    EXPECT_EQ(h->nameGet(h, bad, 2, 3, &v, &size), QX_E_INVALID);
}

TEST(KernelOptions, RunOptionsReachTheKernel)
{
    std::vector<QXChar> host;
    int64_t threads = 0;
    QXStatus stHost = QX_E_FAILED, stThreads = QX_E_FAILED;
    step_probe::run(
        [&] {
            stHost = get_text("OSENV.GRIDHOST", host);
            stThreads = get_int("OSENV.GRIDTHREADS", &threads);
        },
        {{"OSENV.GRIDHOST", "n\xC3\xB8"
                            "de"},
         {"OSENV.GRIDTHREADS", " 12 "}});
    EXPECT_EQ(stHost, QX_OK);
    EXPECT_EQ(host, (std::vector<QXChar>{'n', 0xF8, 'd', 'e'}));
    EXPECT_EQ(stThreads, QX_OK);
    EXPECT_EQ(threads, 12);
}

TEST(KernelExtensions, LoadByNameAndUnknownNames)
{
    EXPECT_NE(load("qxeavl"), nullptr);
    EXPECT_NE(load("QXEAA"), nullptr);
    EXPECT_NE(load("qxefmt"), nullptr);
    EXPECT_NE(load("qxnlsudb"), nullptr);
    EXPECT_EQ(load("qxmclsmx"), nullptr);
    EXPECT_EQ(load(""), nullptr);
    QXHandle* h = vyr_kernel_handle();
    QXChar odd[] = {'q', 0x263A};
    EXPECT_EQ(h->loadExtension(h, odd, 2, 0), nullptr);
    EXPECT_EQ(h->loadExtension(h, nullptr, 3, 0), nullptr);

    static int marker;
    vyr_kernel_register_extension("qxtest", [](QXHandle*) -> void* { return &marker; });
    long before = vyr_kernel_load_count("qxtest");
    EXPECT_EQ(load("qxtest"), &marker);
    EXPECT_EQ(vyr_kernel_load_count("qxtest"), before + 1);
}

TEST(KernelPools, ZeroedMemoryReleasedWithThePool)
{
    QXHandle* h = vyr_kernel_handle();
    QXPoolh p = h->poolCreate(h, "Levelize pool", 0x10000001, 0, 0);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) {
        auto* m = static_cast<unsigned char*>(p->alloc(p, 64 + i, i % 2 ? 0x80000000u : 0));
        ASSERT_NE(m, nullptr);
        for (int k = 0; k < 64 + i; ++k)
            ASSERT_EQ(m[k], 0);
        std::memset(m, 0xAB, 64);
        if (i % 3 == 0)
            p->free(p, m);
    }
    p->free(p, nullptr);
    p->hdr.destroy(p); // the sanitizer build checks that nothing leaks
}

// ---------------------------------------------------------------------------
// Typed AVL trees.
struct TNode {
    QXEAVLNODE link;
    double key[2];
    int ikey[2];
    char ckey[5];
    int id;
};

QXEAVLNODE* left_of(QXEAVLNODE* n)
{
    return reinterpret_cast<QXEAVLNODE*>(reinterpret_cast<uintptr_t>(n->l) & ~uintptr_t(3));
}
int bal_of(QXEAVLNODE* n)
{
    return static_cast<int>(reinterpret_cast<uintptr_t>(n->l) & 3) - 1;
}

int height(QXEAVLNODE* n, size_t* count)
{
    if (!n)
        return 0;
    ++*count;
    int hl = height(left_of(n), count), hr = height(n->r, count);
    EXPECT_EQ(bal_of(n), hr - hl);
    EXPECT_LE(std::abs(hr - hl), 1);
    return 1 + std::max(hl, hr);
}

double missing(unsigned char byte5)
{
    uint64_t bits = 0xFFFF000000000000ull | (static_cast<uint64_t>(byte5) << 40);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

TEST(KernelAvl, RandomInsertsKeepInvariantsForEachKeyType)
{
    auto* ext = static_cast<QXEAVL_EXTENSION*>(load("qxeavl"));
    std::mt19937 rng(17);
    struct Kind {
        int type;
        QXMemSize length, offset;
    } kinds[] = {{QXEAVL_KEY_CHAR, 5, offsetof(TNode, ckey)},
                 {QXEAVL_KEY_DOUBLE, 1, offsetof(TNode, key)},
                 {QXEAVL_KEY_DOUBLE_MISS, 2, offsetof(TNode, key)},
                 {QXEAVL_KEY_INT, 2, offsetof(TNode, ikey)}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.type);
        QXEAVLPARMS parms{kind.length, kind.offset, kind.type, 1};
        QXEAVLh tree = ext->create(ext, &parms, nullptr, nullptr);
        ASSERT_NE(tree, nullptr);
        std::vector<TNode> nodes(700);
        std::map<std::string, QXEAVLNODE*> linked; // by a text form of the key
        for (auto& n : nodes) {
            std::memset(&n, 0, sizeof n);
            int a = static_cast<int>(rng() % 30) - 15, b = static_cast<int>(rng() % 20);
            n.ikey[0] = a;
            n.ikey[1] = b;
            std::snprintf(n.ckey, sizeof n.ckey, "%c%03d", 'a' + (a + 15) % 26, b);
            n.key[0] = a == -15 ? missing(static_cast<unsigned char>(0xFB + b % 4)) : a * 0.5;
            n.key[1] = b % 7 == 0 ? missing(0xFE) : b;
            std::string id;
            if (kind.type == QXEAVL_KEY_CHAR)
                id = std::string(n.ckey, 5);
            else if (kind.type == QXEAVL_KEY_INT)
                id = std::to_string(a) + "," + std::to_string(b);
            else if (kind.type == QXEAVL_KEY_DOUBLE)
                id = a == -15 ? "m" + std::to_string(b % 4) : std::to_string(a);
            else
                id = (a == -15 ? "m" + std::to_string(b % 4) : std::to_string(a)) + "," +
                     (b % 7 == 0 ? std::string("m") : std::to_string(b));
            QXEAVLNODE* got = tree->adder(tree, &n.link);
            auto it = linked.find(id);
            if (it == linked.end()) {
                EXPECT_EQ(got, &n.link);
                linked[id] = got;
            } else {
                EXPECT_EQ(got, it->second);
            }
            EXPECT_EQ(tree->finder(tree, reinterpret_cast<char*>(&n) + kind.offset), got);
        }
        size_t count = 0;
        int h = height(tree->head, &count);
        EXPECT_EQ(count, linked.size());
        EXPECT_LE(h, 1.45 * std::log2(count + 2.0) + 1);
        // Walks in both directions visit every node in strictly increasing
        // key order; missing values come first.
        std::vector<QXEAVLNODE*> fwd, bwd;
        for (QXEAVLNODE* p = tree->first(tree); p; p = tree->next(tree, p))
            fwd.push_back(p);
        for (QXEAVLNODE* p = tree->last(tree); p; p = tree->prev(tree, p))
            bwd.insert(bwd.begin(), p);
        EXPECT_EQ(fwd.size(), count);
        EXPECT_EQ(fwd, bwd);
        for (size_t i = 1; i < fwd.size(); ++i) {
            auto* x = reinterpret_cast<TNode*>(fwd[i - 1]);
            auto* y = reinterpret_cast<TNode*>(fwd[i]);
            if (kind.type == QXEAVL_KEY_CHAR) {
                EXPECT_LT(std::memcmp(x->ckey, y->ckey, 5), 0);
            } else if (kind.type == QXEAVL_KEY_INT) {
                EXPECT_TRUE(x->ikey[0] < y->ikey[0] ||
                            (x->ikey[0] == y->ikey[0] && x->ikey[1] < y->ikey[1]));
            }
        }
        if (kind.type != QXEAVL_KEY_CHAR && kind.type != QXEAVL_KEY_INT) {
            auto* first = reinterpret_cast<TNode*>(fwd.front());
            auto* last = reinterpret_cast<TNode*>(fwd.back());
            uint64_t bits;
            std::memcpy(&bits, &first->key[0], 8);
            EXPECT_EQ(bits >> 48, 0xFFFFu); // a missing value sorts lowest
            EXPECT_EQ(last->key[0], 7.0);
        }
        TNode absent{};
        absent.key[0] = 99;
        absent.ikey[0] = 99;
        std::memcpy(absent.ckey, "zzzz", 5);
        EXPECT_EQ(tree->finder(tree, reinterpret_cast<char*>(&absent) + kind.offset), nullptr);
        // Emptied by clearing the head under the root lock.
        tree->lockGet(tree);
        tree->head = nullptr;
        tree->lockRelease(tree);
        EXPECT_EQ(tree->first(tree), nullptr);
        tree->hdr.destroy(tree);
    }
    QXEAVLPARMS bad{1, 16, 42, 1};
    EXPECT_EQ(ext->create(ext, &bad, nullptr, nullptr), nullptr);
    QXEAVLPARMS ok{1, 16, QXEAVL_KEY_DOUBLE, 1};
    QXEAVLh t = ext->create(ext, &ok, nullptr, nullptr);
    alignas(8) char raw[64] = {};
    EXPECT_EQ(t->adder(t, reinterpret_cast<QXEAVLNODE*>(raw + 4)), nullptr); // misaligned
    t->hdr.destroy(t);
}

TEST(KernelHash, AddAndFind)
{
    auto* ext = static_cast<QXEAA_EXTENSION*>(load("qxeaa"));
    QXEAAh t = ext->create(ext, 4, 8, 12, 2, 5, 1 << 20);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 500; ++i) {
        std::string k = "lv" + std::to_string(i);
        EXPECT_EQ(t->add(t, k.data(), k.size(), &i), 0);
    }
    int other = -1;
    EXPECT_EQ(t->add(t, "lv7", 3, &other), 1); // existing key keeps its value
    int v = 0;
    EXPECT_EQ(t->find(t, "lv7", 3, &v), QX_OK);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(t->find(t, "lv500", 5, &v), QX_E_NOTFOUND);
    EXPECT_EQ(t->add(t, "toolongkey", 10, &v), QX_E_INVALID);
    EXPECT_EQ(t->count(t), 500u);
    t->hdr.destroy(t);
    EXPECT_EQ(ext->create(ext, 0, 8, 0, 0, 0, 0), nullptr);
}

// ---------------------------------------------------------------------------
// Transcoding.
TEST(KernelNls, PipelinesReportEveryLossAndRoundTripAllPlanes)
{
    QXNLSh nls = vyr_kernel_handle()->qxnls;
    ASSERT_NE(nls, nullptr);
    QXNLSPipelineh toU = nls->pipelineCreate(nls, QX_CEI_QXCHAR, QX_CEI_UTF8);
    QXNLSPipelineh fromU = nls->pipelineCreate(nls, QX_CEI_UTF8, QX_CEI_QXCHAR);
    QXNLSPipelineh toL = nls->pipelineCreate(nls, QX_CEI_QXCHAR, QX_CEI_LATIN1);
    ASSERT_TRUE(toU && fromU && toL);
    EXPECT_EQ(nls->pipelineCreate(nls, QX_CEI_QXCHAR, 12345), nullptr);

    std::vector<QXChar> s;
    for (QXChar c = 1; c < 0x110000; c += 97)
        if (c < 0xD800 || c >= 0xE000)
            s.push_back(c);
    std::vector<char> bytes(s.size() * 4);
    QXMemSize n = 0;
    ASSERT_EQ(toU->Transcode(toU, s.data(), s.size() * 4, bytes.data(), bytes.size(), &n), QX_OK);
    std::vector<QXChar> back(s.size());
    QXMemSize m = 0;
    ASSERT_EQ(fromU->Transcode(fromU, bytes.data(), n, back.data(), back.size() * 4, &m), QX_OK);
    EXPECT_EQ(m, s.size() * 4);
    EXPECT_EQ(back, s);

    // Too small: what fits is written and reported.
    QXChar euro[] = {0x20AC, 0x20AC};
    char out[8];
    EXPECT_EQ(toU->Transcode(toU, euro, 8, out, 5, &n), QX_E_BUFSMALL);
    EXPECT_EQ(n, 3u);
    // Latin-1 cannot show the euro sign: a visible '?' and a status.
    QXChar mixed[] = {'a', 0xE9, 0x20AC};
    EXPECT_EQ(toL->Transcode(toL, mixed, 12, out, 8, &n), QX_E_NOTREPR);
    EXPECT_EQ(std::string(out, n), "a\xE9?");
    // Malformed UTF-8 becomes U+FFFD and is reported.
    QXChar dec[4];
    EXPECT_EQ(fromU->Transcode(fromU, "a\xC3(b", 4, dec, sizeof dec, &n), QX_E_BADINPUT);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(dec[1], 0xFFFDu);
    EXPECT_EQ(dec[2], static_cast<QXChar>('('));
    for (auto p : {toU, fromU, toL})
        p->hdr.destroy(p);
    EXPECT_EQ(nls->sessionCei(nls), QX_CEI_UTF8);
}

// ---------------------------------------------------------------------------
// Journals.
struct Collect {
    QX_IO_S dev;
    std::vector<std::pair<std::vector<QXChar>, int>> lines;
};

TEST(KernelJournal, FlushHandsLinesToTheAttachedDevice)
{
    QXHandle* h = vyr_kernel_handle();
    QXJnlh j = h->journalCreate(h);
    EXPECT_EQ(j->hasData(j), 0);
    auto a = wide("first"), b = wide("second");
    j->addLine(j, a.data(), 5, 2);
    j->addLine(j, b.data(), 6, 4);
    EXPECT_EQ(j->hasData(j), 1);
    EXPECT_EQ(j->flush(j), QX_OK); // no device: lines stay
    EXPECT_EQ(j->hasData(j), 1);
    Collect c{};
    c.dev.hdr = {0x1234, nullptr};
    EXPECT_EQ(j->config(j, 0x20000, 0, &c.dev, 0, 0, 0, 0, 0), QX_E_INVALID); // not a device
    c.dev.hdr = {QX_IO_TAG, nullptr};
    c.dev.writeLine = [](QX_IO_S* d, const QXChar* l, QXStrSize n, int sev) {
        reinterpret_cast<Collect*>(d)->lines.emplace_back(std::vector<QXChar>(l, l + n), sev);
        return QX_OK;
    };
    ASSERT_EQ(j->config(j, 0x20000, 0, &c.dev, 0, 0, 0, 0, 0), QX_OK);
    EXPECT_EQ(j->flush(j), QX_OK);
    ASSERT_EQ(c.lines.size(), 2u);
    EXPECT_EQ(c.lines[0].first, a);
    EXPECT_EQ(c.lines[1].second, 4);
    EXPECT_EQ(j->hasData(j), 0);
    j->config(j, 0x20000, 0, nullptr, 0, 0, 0, 0, 0);
    j->hdr.destroy(j);
}

// ---------------------------------------------------------------------------
// Threads and events.
constexpr int BUFFER_CAP = 64;

struct Buffer {
    int nRec = 0;
    uint64_t rec[BUFFER_CAP];
};

struct Worker {
    QXEventh full, done, exit;
    QXThreadh thread;
    Buffer buffer;
    uint64_t sum = 0;
    uint64_t count = 0;
    QXThreadh self = nullptr; // what the worker saw as its own handle
};

// The worker owns its buffer while `full` is posted. It finishes every write
// to the buffer before clearing the event, which hands it back.
int worker_main(void* param)
{
    auto* wk = static_cast<Worker*>(param);
    QXHandle* h = vyr_kernel_handle();
    QXThreadh self = h->threadGetHandle(h);
    wk->self = self;
    QXEventh evs[2] = {wk->full, wk->done};
    for (;;) {
        size_t which = 2;
        if (self->wait(self, 2, evs, &which, 0, 0) != QX_OK || which == 2)
            return 2;
        QXBoolean posted = 0;
        wk->done->test(wk->done, &posted, nullptr);
        if (posted)
            return 0;
        for (int i = 0; i < wk->buffer.nRec; ++i) {
            wk->sum += wk->buffer.rec[i];
            ++wk->count;
        }
        wk->buffer.nRec = 0;
        wk->full->clear(wk->full);
    }
}

TEST(KernelThreads, HandOffManyBuffersThroughEventsLosesNothing)
{
    QXHandle* h = vyr_kernel_handle();
    const int nWorkers = 4;
    const uint64_t total = 200000;
    std::vector<Worker> workers(nWorkers);
    for (auto& wk : workers) {
        wk.full = h->eventCreate(h, 0, nullptr);
        wk.done = h->eventCreate(h, 0, nullptr);
        wk.exit = h->eventCreate(h, 0, nullptr);
    }
    for (auto& wk : workers) {
        wk.thread = h->threadCreate(h, worker_main, nullptr, &wk, nullptr, wk.exit, 0x80000000u, 0);
        ASSERT_NE(wk.thread, nullptr);
    }
    // The task thread fills whichever buffer is free, polling without locks.
    uint64_t next = 1, expectSum = 0;
    size_t k = 0;
    while (next <= total) {
        Worker& wk = workers[k++ % nWorkers];
        QXBoolean busy = 1;
        wk.full->test(wk.full, &busy, nullptr);
        if (busy)
            continue;
        int n = static_cast<int>(1 + next % BUFFER_CAP);
        for (int i = 0; i < n && next <= total; ++i) {
            wk.buffer.rec[wk.buffer.nRec++] = next;
            expectSum += next++;
        }
        wk.full->post(wk.full, 0);
    }
    uint64_t sum = 0, count = 0;
    for (auto& wk : workers) {
        // Let the last buffer drain, then stop the worker.
        for (QXBoolean busy = 1; busy;)
            wk.full->test(wk.full, &busy, nullptr);
        wk.thread->done(wk.thread);
        wk.done->post(wk.done, 0);
        size_t which = 9;
        QXThreadh boot = h->defaultThread;
        ASSERT_EQ(boot->wait(boot, 1, &wk.exit, &which, 0, 0), QX_OK);
        EXPECT_EQ(which, 0u);
        uint32_t code = 99;
        QXBoolean posted = 0;
        wk.exit->test(wk.exit, &posted, &code);
        EXPECT_EQ(posted, 1);
        EXPECT_EQ(code, 0u); // the entry's result
        EXPECT_EQ(wk.self, wk.thread);
        sum += wk.sum;
        count += wk.count;
        wk.thread->hdr.destroy(wk.thread);
        for (QXEventh e : {wk.full, wk.done, wk.exit})
            e->hdr.destroy(e);
    }
    EXPECT_EQ(count, total);
    EXPECT_EQ(sum, expectSum);
    EXPECT_EQ(h->threadGetHandle(h), nullptr); // the test's own thread is not a kernel thread
}

TEST(KernelThreads, WaitForAllAndForAnyWithTimeOut)
{
    QXHandle* h = vyr_kernel_handle();
    QXThreadh boot = h->defaultThread;
    QXEventh e[3] = {h->eventCreate(h, 0, nullptr), h->eventCreate(h, 1, nullptr),
                     h->eventCreate(h, 0, nullptr)};
    size_t which = 0;
    EXPECT_EQ(boot->wait(boot, 3, e, &which, 0, 10), QX_OK);
    EXPECT_EQ(which, 1u);
    EXPECT_EQ(boot->wait(boot, 3, e, &which, 1, 10), QX_E_TIMEOUT);
    EXPECT_EQ(which, 3u);
    // A thread posts the rest later; wait for all of them.
    struct Args {
        QXEventh* e;
    } args{e};
    QXEventh entry = h->eventCreate(h, 0, nullptr);
    QXThreadh t = h->threadCreate(
        h,
        [](void* p) {
            auto* a = static_cast<Args*>(p);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            a->e[0]->post(a->e[0], 1);
            a->e[2]->post(a->e[2], 3);
            return 0;
        },
        nullptr, &args, entry, nullptr, 0, 0);
    EXPECT_EQ(boot->wait(boot, 3, e, &which, 1, 0), QX_OK);
    EXPECT_EQ(which, 0u);
    QXBoolean started = 0;
    entry->test(entry, &started, nullptr);
    EXPECT_EQ(started, 1);
    uint32_t code = 0;
    e[2]->test(e[2], nullptr, &code);
    EXPECT_EQ(code, 3u);
    e[1]->clear(e[1]);
    QXBoolean posted = 1;
    e[1]->test(e[1], &posted, nullptr);
    EXPECT_EQ(posted, 0);
    t->hdr.destroy(t);
    for (auto x : e)
        x->hdr.destroy(x);
    entry->hdr.destroy(entry);
    EXPECT_EQ(boot->wait(boot, 0, e, &which, 0, 0), QX_E_INVALID);
}

// A worker's trap returns to its saved context through the pushed handler.
struct Trap {
    sigjmp_buf jump;
    int code = 0;
    int result = -1;
};

int trap_handler(QXThreadh thread, void* appptr, int code)
{
    auto* t = static_cast<Trap*>(appptr);
    t->code = code + 1;
    thread->restoreCtxt(thread, &t->jump);
    return QXTH_ResetContext;
}

TEST(KernelThreads, ExceptionHandlerRestoresTheSavedContext)
{
    QXHandle* h = vyr_kernel_handle();
    Trap trap;
    QXEventh exit = h->eventCreate(h, 0, nullptr);
    QXThreadh t = h->threadCreate(
        h,
        [](void* p) {
            auto* tr = static_cast<Trap*>(p);
            QXHandle* k = vyr_kernel_handle();
            QXThreadh self = k->threadGetHandle(k);
            self->pushExcp(self, trap_handler, tr);
            if (sigsetjmp(tr->jump, 1) == 0) {
                self->raiseExcp(self, 2); // float divide by zero
                tr->result = 1;           // not reached
            } else {
                tr->result = 0;
            }
            self->popExcp(self);
            return self->raiseExcp(self, 2) == QX_E_UNSUPPORTED ? 7 : 8;
        },
        nullptr, &trap, nullptr, exit, 0, 0);
    size_t which;
    h->defaultThread->wait(h->defaultThread, 1, &exit, &which, 0, 0);
    uint32_t code = 0;
    exit->test(exit, nullptr, &code);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(trap.result, 0);
    EXPECT_EQ(trap.code, 3);
    t->hdr.destroy(t);

    // An exception escaping a thread's entry ends that thread with a failure
    // code on its exit event; the process goes on.
    exit->clear(exit);
    t = h->threadCreate(
        h, [](void*) -> int { throw 42; }, nullptr, nullptr, nullptr, exit, 0, 0);
    h->defaultThread->wait(h->defaultThread, 1, &exit, &which, 0, 0);
    exit->test(exit, nullptr, &code);
    EXPECT_EQ(code, static_cast<uint32_t>(QX_E_FAILED));
    t->hdr.destroy(t);
    exit->hdr.destroy(exit);
}

} // namespace
