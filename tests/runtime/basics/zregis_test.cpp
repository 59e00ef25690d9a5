// Registry readers, read through the stand-in host's registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/missing.h"
#include "runtime/zregis.h"
#include "support/step_probe.h"

namespace
{

const char kPath[] = "\\PRODUCTS\\STAT\\KORVANTE";
const int kPathLen = 23;

const char kRegistry[] = R"([\PRODUCTS\STAT\KORVANTE]
MINOPT = string:yes
YESPAD = string: yes 
Y1 = string:Y
F1 = string:f
ONE = string:1
TEN = string:10
BLANKS = string:   
EMPTY = string:
YESTERDAY = string:yesterday
NOPE = string:Nope
DBL1 = double:1.0
DBLHALF = double:0.5
DBLMISS = double:-nan(0x7fe0000000000)
DBL35 = double:3.5
DBL2P53 = double:9007199254740992
DBLNEG = double:-9007199254740992
DBLBIG = double:9007199254740994
ULBIG = ulong:9007199254740993
UL2P53 = ulong:9007199254740992
LONGNEG = long:-5
LONGONE = long:1
LONGTWO = long:2
BIN = binary:41 00 42
STR6 = string:ABCDEF
NORM = string:a-b c_1!Z
[\OTHER\KEY]
X = long:1
)";

int name_len(const char* s)
{
    return static_cast<int>(std::strlen(s));
}

int get_bool(const char* name, int defval, int* out, int msglevel = 0)
{
    return zregis_getbool(kPath, kPathLen, name, name_len(name), defval, msglevel, out);
}

TEST(RegistryReaders, NotFoundKeysAndNames)
{
    int rc_key = -1, rc_name0 = -1, rc_name2 = -1;
    int v_key = -1, v_name0 = -1, v_name2 = -1;
    const auto run = step_probe::run(
        [&] {
            rc_key = zregis_getbool("\\NO\\SUCH", 8, "MINOPT", 6, 7, 2, &v_key);
            rc_name0 = get_bool("ABSENT", 5, &v_name0, 0);
            rc_name2 = get_bool("ABSENT2", 6, &v_name2, 2);
        },
        {}, {}, kRegistry);
    EXPECT_EQ(rc_key, ZREGIS_KEY_NOT_FOUND);
    EXPECT_EQ(v_key, 7);
    EXPECT_EQ(rc_name0, ZREGIS_NAME_NOT_FOUND);
    EXPECT_EQ(v_name0, 5);
    EXPECT_EQ(rc_name2, ZREGIS_NAME_NOT_FOUND);
    EXPECT_EQ(v_name2, 6);
    EXPECT_EQ(step_probe::count(run.log, "\\NO\\SUCH"), 0) << run.log;
    EXPECT_EQ(step_probe::count(run.log, "\"ABSENT\""), 0) << run.log;
    EXPECT_EQ(step_probe::count(
                  run.log, "WARNING: The value name \"ABSENT2\" was not found in the VYR registry "
                           "key \"\\PRODUCTS\\STAT\\KORVANTE\"."),
              1)
        << run.log;
}

TEST(RegistryReaders, BooleanForms)
{
    struct Expect {
        const char* name;
        int rc;
        int value; // with default 9
    };
    const Expect cases[] = {
        {"MINOPT", 0, 1},
        {"YESPAD", 0, 1},
        {"Y1", 0, 1},
        {"F1", 0, 0},
        {"ONE", 0, 1},
        {"TEN", 13, 9},
        {"DBL1", 0, 1},
        {"DBLHALF", 13, 9},
        {"DBLMISS", 0, 9},
        {"EMPTY", 0, 9},
        {"NOPE", 0, 0},
        {"YESTERDAY", 0, 1},
        {"LONGONE", 0, 1},
        {"LONGTWO", 13, 9},
        {"BIN", 11, 9},
        // Blanks only say nothing: the default stays (not TRUE).
        {"BLANKS", 0, 9},
    };
    int rcs[std::size(cases)], values[std::size(cases)];
    const auto run = step_probe::run(
        [&] {
            for (size_t i = 0; i < std::size(cases); ++i)
                rcs[i] = get_bool(cases[i].name, 9, &values[i]);
        },
        {}, {}, kRegistry);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(rcs[i], cases[i].rc) << cases[i].name;
        EXPECT_EQ(values[i], cases[i].value) << cases[i].name;
    }
    EXPECT_EQ(step_probe::count(run.log,
                                "requires a value of \"YES\", \"NO\", \"TRUE\", \"FALSE\", 1, "
                                "or 0, but the value is \"10\"."),
              1)
        << run.log;
    EXPECT_EQ(step_probe::count(run.log, "requires a value of 0 or 1, but the value is 0.5."), 1);
    EXPECT_EQ(step_probe::count(run.log, "requires a value of 0 or 1, but the value is 2."), 1);
    EXPECT_EQ(step_probe::count(run.log,
                                "\"BIN\" in the VYR registry key \"\\PRODUCTS\\STAT\\KORVANTE\" "
                                "is an invalid type."),
              1);
}

TEST(RegistryReaders, LongsAndNumbers)
{
    struct Expect {
        const char* name;
        int rc;
        long value; // with default -77
    };
    const Expect longs[] = {
        {"DBL35", 12, -77},
        {"DBL2P53", 0, 9007199254740992L},
        {"DBLNEG", 0, -9007199254740992L},
        {"DBLBIG", 12, -77},
        {"ULBIG", 12, -77},
        {"UL2P53", 0, 9007199254740992L},
        {"LONGNEG", 0, -5},
        {"DBLMISS", 0, -77},
        {"STR6", 11, -77},
    };
    int rcs[std::size(longs)];
    long values[std::size(longs)];
    int num_rc[4];
    double num[4];
    W_STRING too_small{4, -1, nullptr, nullptr, 0, 0};
    tchar small_buf[4];
    too_small.data = small_buf;
    int char_rc = -1, empty_rc = -1, norm_rc = -1, type_rc = -1;
    tchar norm_buf[16], empty_buf[8], type_buf[8];
    W_STRING norm{16, -1, norm_buf, nullptr, 0, 0};
    W_STRING empty{8, -1, empty_buf, nullptr, 0, 0};
    W_STRING wrong{8, -1, type_buf, nullptr, 0, 0};
    const auto run = step_probe::run(
        [&] {
            for (size_t i = 0; i < std::size(longs); ++i)
                rcs[i] = zregis_getlong(kPath, kPathLen, longs[i].name, name_len(longs[i].name),
                                        -77, 0, &values[i]);
            const char* names[4] = {"DBLMISS", "LONGNEG", "ULBIG", "STR6"};
            for (int i = 0; i < 4; ++i)
                num_rc[i] =
                    zregis_getnum(kPath, kPathLen, names[i], name_len(names[i]), 0, &num[i]);
            char_rc = zregis_getchar(kPath, kPathLen, "STR6", 4, 0, &too_small);
            empty_rc = zregis_getchar(kPath, kPathLen, "EMPTY", 5, 0, &empty);
            norm_rc = zregis_getnorm(kPath, kPathLen, "NORM", 4, 0, &norm);
            type_rc = zregis_getchar(kPath, kPathLen, "DBL1", 4, 0, &wrong);
        },
        {}, {}, kRegistry);
    for (size_t i = 0; i < std::size(longs); ++i) {
        EXPECT_EQ(rcs[i], longs[i].rc) << longs[i].name;
        EXPECT_EQ(values[i], longs[i].value) << longs[i].name;
    }
    EXPECT_EQ(step_probe::count(run.log,
                                "requires an integer datum in the range -9007199254740992 to "
                                "9007199254740992, but the datum is 3.5"),
              1)
        << run.log;

    EXPECT_EQ(num_rc[0], 1); // a missing double is stored, with code 1
    EXPECT_EQ(wzmis(num[0]), 1);
    EXPECT_EQ(num_rc[1], 0);
    EXPECT_EQ(num[1], -5.0);
    EXPECT_EQ(num_rc[2], 0);
    EXPECT_EQ(num[2], 9007199254740992.0); // nearest double of 2^53 + 1
    EXPECT_EQ(num_rc[3], 11);
    EXPECT_EQ(wzmis(num[3]), 1);

    EXPECT_EQ(char_rc, 0);
    EXPECT_EQ(too_small.curlen, 4);
    EXPECT_EQ(std::string(small_buf, 4), "ABCD");
    EXPECT_EQ(step_probe::count(run.log,
                                "has a length of 6, which is longer than the maximum length "
                                "allowed of 4."),
              1)
        << run.log;
    EXPECT_EQ(empty_rc, 1);
    EXPECT_EQ(empty.curlen, 0);
    EXPECT_EQ(norm_rc, 0);
    // Letters and digits are kept, each as its image in the host character map.
    ASSERT_EQ(norm.curlen, 5);
    EXPECT_EQ(std::string(norm_buf, 5), "ABC1Z");
    EXPECT_EQ(type_rc, 11);
    EXPECT_EQ(wrong.curlen, 0);
}

} // namespace
