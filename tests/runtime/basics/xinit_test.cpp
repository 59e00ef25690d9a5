// Task initialisation: the procedure block and the DEBUG switches.
#include <gtest/gtest.h>

#include <string>

#include "runtime/procstr.h"
#include "support/step_probe.h"

namespace
{

struct DebugFlags {
    int syn = -1;
    int sem = -1;
    bool anchored = false;
    bool lines = false;
};

DebugFlags flags_for(const std::map<std::string, std::string>& options)
{
    DebugFlags f;
    step_probe::run(
        [&] {
            xinit();
            PROCSTR* p = korv_procstr();
            f.anchored = p != nullptr;
            if (!p)
                return;
            f.syn = p->proc_syndebug;
            f.sem = p->proc_semdebug;
            f.lines = p->proc_logl && p->proc_prnl && p->proc_outl && p->proc_msgl;
        },
        options);
    return f;
}

TEST(TaskInitialisation, DebugSwitches)
{
    DebugFlags f = flags_for({{"DEBUG", "syn,sem"}});
    EXPECT_TRUE(f.anchored);
    EXPECT_TRUE(f.lines);
    EXPECT_EQ(f.syn, 1);
    EXPECT_EQ(f.sem, 1);

    f = flags_for({{"DEBUG", "Sem"}});
    EXPECT_EQ(f.syn, 0);
    EXPECT_EQ(f.sem, 1);

    f = flags_for({{"DEBUG", "   "}});
    EXPECT_EQ(f.syn, 0);
    EXPECT_EQ(f.sem, 0);

    f = flags_for({});
    EXPECT_TRUE(f.anchored);
    EXPECT_EQ(f.syn, 0);
    EXPECT_EQ(f.sem, 0);
}

TEST(TaskInitialisation, LongDebugValueGoesThroughAPoolBlock)
{
    // Past the 200-byte local buffer, with the word at the very end.
    DebugFlags f = flags_for({{"DEBUG", std::string(230, 'x') + "syn"}});
    EXPECT_EQ(f.syn, 1);
    EXPECT_EQ(f.sem, 0);
    f = flags_for({{"DEBUG", std::string(197, 'x') + "sem"}}); // exactly 200 bytes
    EXPECT_EQ(f.syn, 0);
    EXPECT_EQ(f.sem, 1);
}

} // namespace
