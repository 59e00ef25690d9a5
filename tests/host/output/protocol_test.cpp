// The object protocol: method lookup through class chains and super classes,
// the fast-path slots, the failure exit, and text keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/wobmth.h"
#include "vyr_host.h"
#include "vyr_output.h"

namespace
{

int lastId = 0;
void* lastMcoh = nullptr;
int lastNp = -1;

int methodA(xobop, void* mcoh, int id, int np, WOB_PARM_BLK_STR*, WOB_ENT_STR*)
{
    lastId = id;
    lastMcoh = mcoh;
    lastNp = np;
    return 100 + id;
}

// A class with chains of `mask` + 1 heads and one method per selector.
struct TestClass {
    WOB_MA_TBL_STR tbl{};
    WOB_EXPRESS_STR* heads[4] = {};
    WOB_EXPRESS_STR el[4]{};
    WOB_ENT_STR ent[4]{};
    int n = 0;
    TestClass(const char* name, WOB_MA_TBL_STR* super)
    {
        tbl.cls = name;
        tbl.super = super;
        tbl.mth_mask = 3;
        tbl.mth_tbl = heads;
    }
    void add(int sel, int entryId, void* mcoh)
    {
        ent[n].func = methodA;
        ent[n].id = entryId;
        el[n].id = sel;
        el[n].ent = &ent[n];
        el[n].mcoh = mcoh;
        el[n].next = heads[sel & 3];
        heads[sel & 3] = &el[n];
        ++n;
    }
};

TEST(Wobmth, FindsMethodsThroughSuperClassesAndTellsChainMembersApartById)
{
    int cohA = 0, cohB = 0, cohC = 0;
    TestClass base("base", nullptr);
    base.add(9, 90, &cohA); // only in the super class
    TestClass derived("derived", &base.tbl);
    derived.add(5, 50, &cohB); // 5 and 13 share chain 1 (mask 3)
    derived.add(13, 130, &cohC);
    WOB_OBJ_STR obj{};
    obj.clsh = &derived.tbl;

    EXPECT_EQ(wobmth(&obj, nullptr, 9, 2, nullptr), 190);
    EXPECT_EQ(lastMcoh, &cohA);
    EXPECT_EQ(lastNp, 2);
    EXPECT_EQ(wobmth(&obj, nullptr, 5, 0, nullptr), 150);
    EXPECT_EQ(lastMcoh, &cohB);
    EXPECT_EQ(wobmth(&obj, nullptr, 13, 0, nullptr), 230);
    EXPECT_EQ(lastMcoh, &cohC);
    // 1 shares chain 1 too but no element answers it anywhere.
    EXPECT_EQ(wobmth(&obj, nullptr, 1, 0, nullptr), static_cast<int>(0x80008001u));
    EXPECT_LT(wobmth(&obj, nullptr, 1, 0, nullptr), 0);
    // An explicit class starts the search there: the base does not know 5.
    EXPECT_EQ(wobmth(&obj, &base.tbl, 5, 0, nullptr), static_cast<int>(0x80008001u));
    EXPECT_EQ(wobmth(&obj, &base.tbl, 9, 0, nullptr), 190);
}

TEST(Wobmth, FastPathSlotCallsItsEntryWithTheMethodNumber)
{
    int coh = 0;
    TestClass c("c", nullptr);
    WOB_ENT_STR e{};
    e.func = methodA;
    c.tbl.zoom[3].ent = &e;
    c.tbl.zoom[3].mcoh = &coh;
    WOB_OBJ_STR obj{};
    obj.clsh = &c.tbl;
    EXPECT_EQ(wobzoom(&obj, 3, 4, 0, nullptr), 104);
    EXPECT_EQ(lastMcoh, &coh);
    EXPECT_EQ(wobzoom(&obj, 2, 4, 0, nullptr), static_cast<int>(0x80008001u));
}

TEST(Zvdqexit, ToleratesOnlyFacility63Number53)
{
    // Returns for the tolerated code, facility 63 number 53.
    zvdqexit(vyr_code(63, 53));
    // Anything else ends the step: xexit does not return.
    EXPECT_ANY_THROW(zvdqexit(vyr_code(63, 54)));
    EXPECT_ANY_THROW(zvdqexit(static_cast<int>(0x80008001u)));
}

TEST(TextKeys, CopyTheirTextAndFormatWithTheHostConventions)
{
    char buf[16];
    std::strcpy(buf, "Stratum");
    xobskey k = vdqtxt(buf, 7);
    std::strcpy(buf, "XXXXXXX");
    EXPECT_EQ(vdqkeystring(k), "Stratum");
    EXPECT_EQ(vdqkeystring(vdqtxt("abcdef", 3)), "abc");

    // "%*s" is a counted text that need not be terminated.
    const char name[4] = {'S', 'e', 'x', '!'};
    EXPECT_EQ(vdqkeystring(vdqtxts("F_%*s", 5, 3, name)), "F_Sex");
    EXPECT_EQ(vdqkeystring(vdqtxts("Stratum%i", -1, 12)), "Stratum12");
    // "%k" joins keys.
    xobskey a = vdqtxt("STAT", -1), b = vdqtxt("KORVANTE", -1);
    EXPECT_EQ(vdqkeystring(vdqtxts("%k.%k", 5, a, b)), "STAT.KORVANTE");
    EXPECT_EQ(vdqkeystring(vdqtxts("%5.1f%%", -1, 95.0)), " 95.0%");
    EXPECT_EQ(vdqkeystring(nullptr), "");
}

} // namespace
