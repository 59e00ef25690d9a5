// Thread counts and grid settings, with and without the options and macro
// variables that set them.
#include "runtime/zthreads.h"
#include "vyr_parse.h"

#include "support/kernel_scope.h"
#include "support/step_probe.h"
#include "vyr_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

uint32_t num(const char* text)
{
    std::vector<QXChar> w = wide(text);
    return str2Uint(w.data(), static_cast<QXStrSize>(w.size()));
}

TEST(Zthreads, SettingTextsAsNumbers)
{
    KernelScope k(true);
    EXPECT_EQ(num("12"), 12u);
    EXPECT_EQ(num("0X1F"), 31u);
    EXPECT_EQ(num("0x1f"), 31u);
    EXPECT_EQ(num("8080/tcp"), 8080u); // the number ends at the first other character
    EXPECT_EQ(num("1A"), 0u);          // a letter in a decimal number is not read as 20
    EXPECT_EQ(num("12G"), 0u);
    EXPECT_EQ(num("1X5"), 0u);
    EXPECT_EQ(num("0XG"), 0u);
    EXPECT_EQ(num("-5"), 0u);
    EXPECT_EQ(num(""), 0u);
    EXPECT_EQ(num("4294967295"), 4294967295u);
    EXPECT_EQ(num("4294967296"), 0u); // overflow is rejected, not wrapped
    EXPECT_EQ(num("0XFFFFFFFFF"), 0u);
}

int testthread(const std::string& lets, const char* proc)
{
    int r = -99;
    auto run = step_probe::run(
        [&] {
            KernelScope k(true);
            r = ztestthread(proc, static_cast<int>(std::strlen(proc)));
        },
        {}, lets);
    EXPECT_EQ(run.status, 0) << run.log;
    return r;
}

TEST(Zthreads, TestSwitchFromMacroVariables)
{
    EXPECT_EQ(testthread("", "zlev"), -1);
    EXPECT_EQ(testthread("%let _testthreadzlev=1;\n", "zlev"), 1);
    EXPECT_EQ(testthread("%let _testthread=0;\n", "zlev"), 0);
    EXPECT_EQ(testthread("%let _testthread=1;\n%let _testthreadzlev=0;\n", "zlev"), 1);
    EXPECT_EQ(testthread("%let _testthread=0;\n%let _testthreadzlev=.;\n", "zlev"), 0);
    EXPECT_EQ(testthread("%let _testthread=2;\n", ""), 1);
    // A long procedure name fits its buffer (checked under the address sanitizer).
    std::string longName(21, 'p'); // the longest name a macro variable can have
    EXPECT_EQ(testthread("%let _testthread" + longName + "=1;\n", longName.c_str()), 1);
}

struct Grid {
    _qxGridInfo info{};
    std::string host;
    std::string log;
};

Grid grid(const std::map<std::string, std::string>& options)
{
    Grid g;
    auto run = step_probe::run(
        [&] {
            KernelScope k(true);
            QXHandle* h = k.handle();
            QXPoolh pool = h->poolCreate(h, "grid", 0, 0, 0);
            zgridinf(nullptr, pool, &g.info);
            for (QXStrSize i = 0; i < g.info.srvHostLen; ++i)
                g.host.push_back(static_cast<char>(g.info.srvHost[i]));
            if (g.info.srvHost) {
                EXPECT_EQ(g.info.srvHost[g.info.srvHostLen], 0u);
            }
            pool->hdr.destroy(pool);
        },
        options);
    g.log = run.log;
    return g;
}

TEST(Zthreads, GridSettingsWithAndWithoutOptions)
{
    Grid none = grid({{"CPUCOUNT", "6"}});
    EXPECT_EQ(none.info.structSize, 192u);
    EXPECT_EQ(none.info.srvHost, nullptr);
    EXPECT_EQ(none.info.numProcesses, 0u);
    EXPECT_EQ(none.info.maxThreadsPerProcess, 6u); // threads on: the CPU count
    Grid off = grid({{"THREADS", "0"}});
    EXPECT_EQ(off.info.maxThreadsPerProcess, 0u);

    Grid full = grid({{"OSENV.GRIDHOST", "node7"},
                      {"OSENV.GRIDPORT", "0x1F"},
                      {"OSENV.GRIDRSHCOMMAND", "ssh -x"},
                      {"OSENV.GRIDPROCESSES", "4"},
                      {"OSENV.GRIDTHREADS", "2"}});
    EXPECT_EQ(full.host, "node7");
    EXPECT_EQ(full.info.srvPortNum, 31u);
    EXPECT_EQ(full.info.connectCmdLen, 6);
    EXPECT_EQ(full.info.installPath, nullptr);
    EXPECT_EQ(full.info.numProcesses, 4u);
    EXPECT_EQ(full.info.maxThreadsPerProcess, 2u);

    // GRIDMASTER wins over GRIDHOST; a bad port reads as 0.
    Grid master = grid({{"OSENV.GRIDMASTER", "head"},
                        {"OSENV.GRIDHOST", "other"},
                        {"OSENV.GRIDMASTERPORT", "1A"},
                        {"OSENV.GRIDPORT", "99"}});
    EXPECT_EQ(master.host, "head");
    EXPECT_EQ(master.info.srvPortNum, 0u);

    // Without a host the other grid settings are not read.
    Grid nohost = grid({{"OSENV.GRIDPROCESSES", "4"}, {"CPUCOUNT", "3"}});
    EXPECT_EQ(nohost.info.numProcesses, 0u);
    EXPECT_EQ(nohost.info.maxThreadsPerProcess, 3u);
}

STMT make_stmt(const char* name, std::initializer_list<int> bits, STLIST* fields, int nfld)
{
    STMT s{};
    std::snprintf(s.name, sizeof s.name, "%s", name);
    for (int b : bits)
        s.opt[b / 8] |= static_cast<unsigned char>(0x80 >> (b % 8));
    s.fld = fields;
    s.nfld = nfld;
    return s;
}

TEST(Zthreads, PerformanceStatementAndCpuCounts)
{
    STDPERFORM plain{}, bits3{}, bits5{}, field{}, cleared{};
    char threadsFlag = -1;
    int cpuCount = -1;
    auto run = step_probe::run(
        [&] {
            KernelScope k(true);
            zquerythreads(&threadsFlag, &cpuCount);
            zperform(nullptr, &plain);
            STMT proc = make_stmt("PROC", {}, nullptr, 0);
            STMT p3 = make_stmt("PERFORMANCE", {3, 6}, nullptr, 0);
            proc.next = &p3;
            zperform(&proc, &bits3);
            STMT p5 = make_stmt("PERFORMANCE", {5, 8, 10}, nullptr, 0);
            zperform(&p5, &bits5);
            STLIST f[2]{};
            f[1].type = STL_NUMBER;
            f[1].n = 1;
            f[1].num = 6.9;
            STMT pf = make_stmt("PERFORMANCE", {1, 6, 7}, f, 2);
            zperform(&pf, &field);
            // Two PERFORMANCE statements: the last one counts, with a note.
            STMT first = make_stmt("PERFORMANCE", {1}, nullptr, 0);
            STMT second = make_stmt("PERFORMANCE", {2, 9}, nullptr, 0);
            first.next = &second;
            zperform(&first, &cleared);
            EXPECT_EQ(cleared.stmt, &second);
        },
        {{"CPUCOUNT", "5"}, {"host.cpucount", "3"}});
    EXPECT_EQ(threadsFlag, 1);
    EXPECT_EQ(cpuCount, 5);
    EXPECT_EQ(plain.stmt, nullptr);
    EXPECT_EQ(plain.cpuCount, 5);
    EXPECT_EQ(plain.cpuCountActual, 3);
    EXPECT_EQ(bits3.cpuCount, 1);
    EXPECT_EQ(bits3.detailsFlag, 1);
    EXPECT_EQ(bits3.timingFlag, 1);
    EXPECT_EQ(bits5.cpuCount, 3);
    EXPECT_EQ(bits5.statusFlag, 1);
    EXPECT_EQ(bits5.forceFlag, 1);
    EXPECT_EQ(field.cpuCount, 6);
    EXPECT_EQ(field.threadsFlag, 1);
    EXPECT_EQ(field.timingFlag, 0);
    EXPECT_EQ(cleared.threadsFlag, 0);
    EXPECT_EQ(cleared.allDetailsFlag, 1);
    EXPECT_EQ(step_probe::count(run.log, "PERFORMANCE"), 1) << run.log;

    // Without the option the actual count is the machine's.
    STDPERFORM machine{};
    step_probe::run([&] {
        KernelScope k(true);
        zperform(nullptr, &machine);
    });
    EXPECT_EQ(machine.cpuCountActual, static_cast<int>(vyr::machine_cores()));
}

} // namespace
