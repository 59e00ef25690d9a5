// Message formatting: catalogue entries with arguments, severity fields,
// bounded buffers, host-code texts and the embedded catalogue itself.

#include "host/messages/catalogue.h"
#include "host/session/session_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{

// Test entries in a group no room uses.
const char* const kEntries = "# test entries\n"
                             "9990 1 %1zThe variable %*s has %d levels.\n"
                             "9990 2 %2zOnly %li of %lld rows were read.\n"
                             "9990 3 %3zNote with a value %g.\n"
                             "9990 4 %*zLevel chosen by the caller: %s.\n"
                             "9990 5 Plain label with  two  blanks\n"
                             "9990 6 %1zFirst line\\nnot split here\n"
                             "9990 7 Line one\n"
                             "   9990 8   leading blanks of the text are kept\n"
                             "bad line\n"
                             "9990 x broken\n";

struct Capture {
    std::string listing, log;
    Capture() { vyr::print_capture(&listing, &log); }
    ~Capture() { vyr::print_capture(nullptr, nullptr); }
};

class Messages : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(vyr::catalogue_load(kEntries), 2); }
};

} // namespace

TEST_F(Messages, SeverityFieldsBecomeLinePrefixes)
{
    Capture c;
    const char name[6] = {'S', 'E', 'X', 'F', 'O', 'O'}; // a field, not NUL-terminated
    xpmlog(9990, 1, 3, name, 2);
    xpmlog(9990, 2, 5L, 10LL);
    xpmlog(9990, 3, 0.25);
    xpmlog(9990, 4, 1, "error");
    xpmlog(9990, 4, 2, "warning");
    xpmlog(9990, 4, 7, "note");
    xpmlog(9990, 5);
    EXPECT_EQ(c.log, "ERROR: The variable SEX has 2 levels.\n"
                     "WARNING: Only 5 of 10 rows were read.\n"
                     "NOTE: Note with a value 0.25.\n"
                     "ERROR: Level chosen by the caller: error.\n"
                     "WARNING: Level chosen by the caller: warning.\n"
                     "NOTE: Level chosen by the caller: note.\n"
                     "Plain label with  two  blanks\n");
    EXPECT_TRUE(c.listing.empty());
}

TEST_F(Messages, MessagesToTheListingAndMissingEntries)
{
    Capture c;
    xpmout(9990, 3, 1.5);
    EXPECT_NE(c.listing.find("NOTE: Note with a value 1.5.\n"), std::string::npos);
    EXPECT_TRUE(c.log.empty());
    xpmlog(9990, 99);
    EXPECT_EQ(c.log, "ERROR: Message 9990/99 is not in the message catalogue.\n");
}

TEST_F(Messages, FormattedLinesSplitAtNewlinesUnderTheirPrefix)
{
    Capture c;
    xpslog("%2zfirst %d\nsecond", 1);
    xpsnprn("to the %s", "listing");
    EXPECT_EQ(c.log, "WARNING: first 1\n         second\n");
    EXPECT_NE(c.listing.find("to the listing\n"), std::string::npos);
}

TEST_F(Messages, BoundedFormatting)
{
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    // xpmstr: at most `size` bytes, no NUL, the rest untouched; no severity word.
    int n = xpmstr(buf, 10, 9990, 1, 3, "AGE", 4);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(std::string(buf, 10), "The variab");
    EXPECT_EQ(buf[10], '#');
    n = xpmstr(buf, 16, 9990, 5);
    EXPECT_EQ(n, 16);
    EXPECT_EQ(xpmstr(buf, 16, 9990, 98), 0);

    std::memset(buf, '#', sizeof buf);
    n = xpsstr(buf, 8, "%*s%*s=%*s", 3, "abc", 2, "de", 4, "fghi");
    EXPECT_EQ(n, 7);
    EXPECT_STREQ(buf, "abcde=f");
    n = xpsstr(buf, 16, ">=%6s", "12");
    EXPECT_EQ(n, 8);
    EXPECT_STREQ(buf, ">=    12");
    EXPECT_EQ(xpsstr(buf, 0, "x"), 0);
}

TEST_F(Messages, RawTextsForLabels)
{
    const char* text = nullptr;
    int len = -1;
    ASSERT_EQ(wkread(9990, 5, &text, &len), 0);
    EXPECT_EQ(std::string(text, len), "Plain label with  two  blanks");
    ASSERT_EQ(wkread(9990, 8, &text, &len), 0);
    EXPECT_EQ(std::string(text, len), "  leading blanks of the text are kept");
    EXPECT_LT(wkread(9990, 77, &text, &len), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(len, 0);
}

TEST_F(Messages, HostCodesHaveTexts)
{
    Capture c;
    xprrlog(0, 0);
    xprrlog(0, XAA_KEY_NOT_FOUND);
    xprrlog(0, vyr_code(40, 3));
    xprrlog(0, vyr_code(999, 5));
    xprrlog(0, 0x0000C005); // a warning code: facility 24, number 5
    EXPECT_EQ(c.log, "ERROR: The registry key was not found.\n"
                     "ERROR: A read went past the end of what was written to the utility file.\n"
                     "ERROR: Host code 801F3805 (facility 999, number 5).\n"
                     "WARNING: Host code 0000C005 (facility 24, number 5).\n");
    xebug("ztrebld: invalid compare");
    EXPECT_NE(c.log.find("ERROR: Internal error: ztrebld: invalid compare\n"), std::string::npos);
}

TEST_F(Messages, EveryHostMessageTheSessionUsesIsInTheCatalogue)
{
    // The numbered host messages and the host-code texts the files and
    // registry return.
    for (int n : {1,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 30,
                  31, 33, 34, 35, 36, 38, 40, 41, 42, 43, 45, 46, 48, 49, 50, 51, 60, 61, 70})
        EXPECT_NE(vyr::catalogue_text(1, n), nullptr) << "message 1/" << n;
    for (int f : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11})
        EXPECT_NE(vyr::catalogue_text(3, (40 << 11) | f), nullptr) << "code 40/" << f;
    EXPECT_NE(vyr::catalogue_text(3, XAA_NAME_NOT_FOUND & 0x3FFFFF), nullptr);
}

// A step without a BY statement has no BY group: its messages are said of
// the data. Every catalogue text that speaks of a BY group reads without one.
TEST_F(Messages, MessagesOfAStepWithoutByGroupsSpeakOfTheData)
{
    fs::path dir = fs::path(KORV_SOURCE_DIR) / "src/host/messages/catalogue";
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#' || line.find("BY group") == std::string::npos)
                continue;
            ++seen;
            const std::string said = vyr::whole_data_wording(line);
            EXPECT_EQ(said.find("BY group"), std::string::npos) << line;
            EXPECT_EQ(said.find("of the group"), std::string::npos) << line;
            EXPECT_EQ(said.back(), line.back()) << line;
        }
    }
    EXPECT_GT(seen, 10);
    EXPECT_EQ(vyr::whole_data_wording("The status variable s has no event of the failure type 3 "
                                      "in this BY group; that type is not estimated."),
              "The status variable s has no event of the failure type 3 in the data; that type "
              "is not estimated.");
    EXPECT_EQ(vyr::whole_data_wording("No observation of this BY group has a censoring value of s "
                                      "(0), so every observation of the group is taken as an "
                                      "event."),
              "No observation has a censoring value of s (0), so every observation is taken as "
              "an event.");
    EXPECT_EQ(vyr::whole_data_wording("No observation of this BY group is an event: every "
                                      "observation of the group has a censoring value of s (0)."),
              "No observation is an event: every observation has a censoring value of s (0).");
    EXPECT_EQ(vyr::whole_data_wording("The BY group has no valid observation and is not analysed."),
              "The data have no valid observation and are not analysed.");
    EXPECT_EQ(vyr::whole_data_wording("The observations of the BY group could not be read to find "
                                      "the levels of its classification variables."),
              "The observations could not be read to find the levels of the classification "
              "variables.");

    // Written through the catalogue: said of the data unless the step has
    // BY groups.
    ASSERT_EQ(vyr::catalogue_load("9990 20 %2zNothing to do in this BY group.\n"), 0);
    Capture c;
    vyr::set_step_by_groups(true);
    xpmlog(9990, 20);
    vyr::set_step_by_groups(false);
    xpmlog(9990, 20);
    EXPECT_EQ(c.log, "WARNING: Nothing to do in this BY group.\n"
                     "WARNING: Nothing to do in the data.\n");
}
