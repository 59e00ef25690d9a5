// The registry file and its readers.

#include "host/session/session_state.h"

#include <gtest/gtest.h>

#include "runtime/missing.h"

#include <cstring>

namespace
{
const char* const kRegistry = "# settings\n"
                              "[\\PRODUCTS\\STAT\\KORVANTE]\n"
                              "MINOPT = long:1\n"
                              "Label = string:  two blanks lead\n"
                              "Blank = string:   \n"
                              "Scale = double:2.5\n"
                              "Big = ulong:0x10\n"
                              "Raw = binary:00ff10\n"
                              "[/other/key/]\n"
                              "x = long:-7\n"
                              "octal = long:010\n";
} // namespace

TEST(Registry, ReadsTypedValuesWithoutRegardToCase)
{
    std::string log, listing;
    vyr::print_capture(&listing, &log);
    ASSERT_TRUE(vyr::registry_load_text(kRegistry, "test.reg"));
    vyr::print_capture(nullptr, nullptr);
    REGHANDLE* reg = xregistry();
    void* key = nullptr;
    ASSERT_EQ(xaaopen(reg, 0, "\\PRODUCTS\\STAT\\KORVANTE", 23, &key), 0);
    char buf[256];
    int type = 0, len = 256;
    ASSERT_EQ(xaaqval(reg, key, "MINOPT", 6, &type, buf, &len, 0x4020, nullptr), 0);
    EXPECT_EQ(type, 5);
    EXPECT_EQ(len, 8);
    int64_t n = 0;
    std::memcpy(&n, buf, 8);
    EXPECT_EQ(n, 1);

    len = 256;
    ASSERT_EQ(xaaqval(reg, key, "label", 5, &type, buf, &len, 0x4020, nullptr), 0);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(std::string(buf, len), "  two blanks lead"); // kept exactly after "string:"
    len = 256;
    ASSERT_EQ(xaaqval(reg, key, "BLANK", 5, &type, buf, &len, 0, nullptr), 0);
    EXPECT_EQ(std::string(buf, len), "   "); // a string of blanks stays blanks

    len = 256;
    ASSERT_EQ(xaaqval(reg, key, "Scale", -1, &type, buf, &len, 0, nullptr), 0);
    double d = 0;
    std::memcpy(&d, buf, 8);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(d, 2.5);
    len = 256;
    ASSERT_EQ(xaaqval(reg, key, "big", 3, &type, buf, &len, 0, nullptr), 0);
    uint64_t u = 0;
    std::memcpy(&u, buf, 8);
    EXPECT_EQ(type, 4);
    EXPECT_EQ(u, 16u);
    len = 256;
    ASSERT_EQ(xaaqval(reg, key, "RAW", 3, &type, buf, &len, 0, nullptr), 0);
    EXPECT_EQ(type, 1);
    ASSERT_EQ(len, 3);
    EXPECT_EQ(static_cast<unsigned char>(buf[1]), 0xFF);

    // Lengths are respected: "MINOPTX" with length 6 is MINOPT.
    len = 256;
    EXPECT_EQ(xaaqval(reg, key, "MINOPTX", 6, &type, buf, &len, 0, nullptr), 0);
    EXPECT_EQ(xaaqval(reg, key, "MISSING", 7, &type, buf, &len, 0, nullptr) & 0x803fffff,
              0x8001b009);
    // A datum longer than the buffer is cut and said so.
    len = 4;
    std::memset(buf, 0, sizeof buf);
    EXPECT_LT(xaaqval(reg, key, "LABEL", 5, &type, buf, &len, 0, nullptr), 0);
    EXPECT_EQ(len, 17);
    EXPECT_EQ(std::string(buf), "  tw");
    EXPECT_EQ(xaaclos(reg, key), 0);

    void* other = nullptr;
    ASSERT_EQ(xaaopen(reg, 0, "\\OTHER\\KEY", -1, &other), 0);
    len = 256;
    ASSERT_EQ(xaaqval(reg, other, "octal", 5, &type, buf, &len, 0, nullptr), 0);
    std::memcpy(&n, buf, 8);
    EXPECT_EQ(n, 10); // a leading zero is not octal
    len = 256;
    ASSERT_EQ(xaaqval(reg, other, "X", 1, &type, buf, &len, 0, nullptr), 0);
    std::memcpy(&n, buf, 8);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(xaaopen(reg, 0, "\\PRODUCTS\\STAT", 14, &key) & 0x803fffff, 0x8001b004);
    EXPECT_EQ(key, nullptr);
}

TEST(Registry, BadLinesAreReportedWithTheirNumbers)
{
    std::string log, listing;
    vyr::print_capture(&listing, &log);
    EXPECT_FALSE(vyr::registry_load_text(
        "orphan = long:1\n[\\K]\nx = long:abc\ny = text:1\n[broken\nz = long:2\n", "bad.reg"));
    vyr::print_capture(nullptr, nullptr);
    EXPECT_NE(log.find("Registry file bad.reg, line 1:"), std::string::npos);
    EXPECT_NE(log.find("Registry file bad.reg, line 3:"), std::string::npos);
    EXPECT_NE(log.find("Registry file bad.reg, line 4:"), std::string::npos);
    EXPECT_NE(log.find("Registry file bad.reg, line 5:"), std::string::npos);
    // The good lines still count.
    void* key = nullptr;
    ASSERT_EQ(xaaopen(xregistry(), 0, "\\K", 2, &key), 0);
}

TEST(Registry, AnEmptyRegistryFindsNothing)
{
    vyr::registry_reset();
    void* key = reinterpret_cast<void*>(1);
    EXPECT_EQ(xaaopen(xregistry(), 0, "\\PRODUCTS\\STAT\\KORVANTE", 23, &key), XAA_KEY_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST(HostTables, ConstantsAndCharacterTables)
{
    double total = xgcbconst(84), empty = xgcbconst(95);
    EXPECT_EQ(wzmis(total), 1);
    EXPECT_EQ(wzmis(empty), 1);
    EXPECT_NE(korv_missing_byte5(total), 0);
    EXPECT_NE(korv_missing_byte5(empty), 0);
    EXPECT_NE(korv_missing_byte5(total), korv_missing_byte5(empty));
    EXPECT_NE(korv_missing_byte5(total), korv_missing_byte5(korv_missing()));
    EXPECT_EQ(xgcbxlt(2)['a'], 'A');
    EXPECT_EQ(xgcbxlt(3)['Q'], 'q');
    EXPECT_EQ(xgcbxlt(0)['a'], 'a');
    EXPECT_EQ(xgcbxlt(4)[200], 200);
    EXPECT_EQ(xgcbxlt(5), nullptr);
    EXPECT_EQ(xgcbcharmap()['y'], 'Y');
    EXPECT_NE(xgcbcharclass()['7'] & 7, 0);
    EXPECT_NE(xgcbcharclass()['z'] & 7, 0);
    EXPECT_EQ(xgcbcharclass()[' '] & 7, 0);
    EXPECT_EQ(xgcbcharclass()['-'] & 7, 0);
}
