#include "../harness.h"

TEST(Smoke, Lung)
{
    lev::Setup s;
    s.vars = {{"sex"}, {"ph_ecog"}, {"inst"}};
    auto one = lev::levelize(lev::source_dir() + "/examples/lung.csv", s);
    ASSERT_EQ(one.groups.size(), 1u);
    for (auto& v : one.groups[0].vars) {
        for (size_t k = 0; k < v.text.size(); ++k)
            printf("[%s] %lld\n", v.text[k].c_str(), (long long)0);
        for (auto& n : v.nodes)
            printf("  node [%s] f=%lld o=%lld\n", n.idx.c_str(), n.freq, n.order);
    }
    s.threads = 3;
    s.nRecMax = 7;
    auto th = lev::levelize(lev::source_dir() + "/examples/lung.csv", s);
    printf("workers %d rc %d\n", th.workers, th.rc);
    EXPECT_EQ(one.groups, th.groups);
}
