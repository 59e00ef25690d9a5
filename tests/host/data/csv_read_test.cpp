// Reading CSV files into data sets: types, lengths, quoting, missing values,
// sidecar attributes, and the errors for bad input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "data_test_util.h"
#include "host/data/data_internal.h"
#include "runtime/missing.h"
#include "vyr_data.h"
#include "vyr_pool.h"

using vyrtest::TempDir;

namespace
{

double num(DSHANDLE* ds, long obs, const char* var)
{
    return vyr::data::number(ds, obs, xvfind(ds, var));
}
std::string txt(DSHANDLE* ds, long obs, const char* var)
{
    return vyr::data::text(ds, obs, xvfind(ds, var));
}

TEST(CsvRead, TypesLengthsAndQuoting)
{
    TempDir dir;
    std::string p = dir.write("t.csv", "id,name,score,note\r\n"
                                       "1,\"Smith, J\",3.5,\"said \"\"hi\"\"\"\r\n"
                                       "2,Lee,-1e3,\"two\nlines\"\r\n"
                                       "3,,.,\r\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(vyr_dsnobs(ds), 3);
    auto cols = vyr::data::columns(ds);
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_TRUE(cols[0].numeric);
    EXPECT_FALSE(cols[1].numeric);
    EXPECT_EQ(cols[1].length, 8); // "Smith, J"
    EXPECT_TRUE(cols[2].numeric);
    EXPECT_FALSE(cols[3].numeric);
    EXPECT_EQ(cols[3].length, 9); // two\nlines
    EXPECT_EQ(txt(ds, 1, "name"), "Smith, J");
    EXPECT_EQ(txt(ds, 1, "NOTE"), "said \"hi\"");
    EXPECT_EQ(txt(ds, 2, "note"), "two\nlines");
    EXPECT_EQ(txt(ds, 3, "name"), "");
    EXPECT_DOUBLE_EQ(num(ds, 2, "score"), -1000.0);
    EXPECT_TRUE(wzmis(num(ds, 3, "score")));
    EXPECT_EQ(xvfind(ds, "nosuch"), 0);

    NAMESTR* nm = xvname(ds, 2);
    ASSERT_NE(nm, nullptr);
    EXPECT_EQ(nm->ntype, 2);
    EXPECT_EQ(nm->nlng, 8);
    EXPECT_EQ(std::string(nm->name_p, nm->namelen), "name");
    EXPECT_EQ(xvname(ds, 5), nullptr);
    EXPECT_EQ(xoinfo(ds, 23), 1);
    EXPECT_EQ(xoinfo(ds, 95), 4);
    vyr_data_step_end(true);
}

TEST(CsvRead, MissingAndSpecialMissingKeepTheirLetter)
{
    TempDir dir;
    std::string p = dir.write("m.csv", "x,y\n.A,1\n._,2\n.z,3\n, 4 \n.,+5\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    EXPECT_TRUE(vyr::data::columns(ds)[0].numeric);
    auto bits = [](double d) {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        return u;
    };
    EXPECT_EQ(korv_missing_byte5(num(ds, 1, "x")), 0xFD);      // .A
    EXPECT_EQ(korv_missing_byte5(num(ds, 2, "x")), 0xFF);      // ._
    EXPECT_EQ(korv_missing_byte5(num(ds, 3, "x")), 0xFD - 25); // .Z
    EXPECT_EQ(bits(num(ds, 4, "x")), KORV_MISSING_BITS);
    EXPECT_EQ(bits(num(ds, 5, "x")), KORV_MISSING_BITS);
    EXPECT_DOUBLE_EQ(num(ds, 4, "y"), 4.0); // blanks around a number
    EXPECT_DOUBLE_EQ(num(ds, 5, "y"), 5.0);
    vyr_data_step_end(true);
}

TEST(CsvRead, AnyTextMakesTheColumnCharacter)
{
    TempDir dir;
    // "inf" and "1.2.3" are not numbers; an all-empty column stays numeric.
    std::string p = dir.write("c.csv", "a,b,c,d\n1,1,,0012\n2,inf,,7\n1.2.3,3,,x\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    auto cols = vyr::data::columns(ds);
    EXPECT_FALSE(cols[0].numeric);
    EXPECT_EQ(cols[0].length, 5);
    EXPECT_FALSE(cols[1].numeric);
    EXPECT_TRUE(cols[2].numeric);
    EXPECT_FALSE(cols[3].numeric);
    EXPECT_EQ(txt(ds, 1, "d"), "0012"); // the text is kept as written
    vyr_data_step_end(true);
}

TEST(CsvRead, SidecarGivesLabelsFormatsAndTypes)
{
    TempDir dir;
    std::string p = dir.write("s.csv", "zip,t,d\n01234,1.5,0\n99999,2,366\n");
    dir.write("s.attr", "# attributes\n"
                        "dataset label=\"Test data\"\n"
                        "variable zip type=char length=7 label=\"Postal code\"\n"
                        "variable T label=\"Time \"\"in\"\" days\" format=8.2\n"
                        "variable d format=date9.\n");
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    auto cols = vyr::data::columns(ds);
    EXPECT_FALSE(cols[0].numeric);
    EXPECT_EQ(cols[0].length, 7);
    EXPECT_EQ(cols[0].label, "Postal code");
    EXPECT_EQ(txt(ds, 1, "zip"), "01234");
    EXPECT_EQ(cols[1].label, "Time \"in\" days");
    EXPECT_EQ(cols[1].format, "8.2");
    NAMESTR* t = xvname(ds, 2);
    EXPECT_EQ(t->nflen, 8);
    EXPECT_EQ(t->nfd, 2);
    EXPECT_GT(t->nfcode, 0);
    NAMESTR* d = xvname(ds, 3);
    EXPECT_EQ(std::string(d->nform, d->nfl), "DATE");
    EXPECT_EQ(d->nflen, 9);
    char info[420];
    ASSERT_EQ(xoinfo(ds, 1, info), 0);
    EXPECT_EQ(std::string(info + 160, 9), "Test data");
    // Formatted fetch uses the variable's format.
    XVHANDLE* h = xvgeti(ds, 2);
    char buf[20] = {};
    double raw = 0;
    ASSERT_EQ(xvgetd(h, 3, 0, buf, 9, 4), 0);
    ASSERT_EQ(xvgetd(h, 2, 0, &raw, 8, 8), 0);
    xvgete(h);
    ASSERT_EQ(xbynext(ds), 1);
    ASSERT_EQ(xybyget(ds), 0);
    ASSERT_EQ(xybyget(ds), 0);
    ASSERT_EQ(xyvget(h, nullptr), 0);
    EXPECT_EQ(std::string(buf, 9), "01JAN1961");
    EXPECT_DOUBLE_EQ(raw, 2.0);
    vyr_data_step_end(true);
}

// A value written in quotes is shown in messages as it is read: without its
// quotes and with a doubled quote once; a quoted N/A is known for what it is.
TEST(CsvRead, MessagesShowQuotedValuesAsRead)
{
    TempDir dir;
    std::string log;
    const std::string q = dir.write("q.csv", "s,t\n1,\"N/A\"\n\"de\"\"ad, x\",2\n");
    DSHANDLE* ds = vyrtest::open_input(q, &log);
    ASSERT_NE(ds, nullptr) << log;
    EXPECT_EQ(vyr_dsvar_why_text(ds, 1),
              "the value \"de\"ad, x\" on line 3 of " + q + " is not a number");
    EXPECT_NE(log.find("because of the value \"N/A\" on line 2;"), std::string::npos) << log;
    vyr_data_step_end(true);
    const std::string n = dir.write("n.csv", "a\n1\n\"x\"\"y\"\n");
    dir.write("n.attr", "variable a type=num\n");
    EXPECT_EQ(vyrtest::open_input(n, &log), nullptr);
    EXPECT_NE(log.find("the value \"x\"y\" of variable a"), std::string::npos) << log;
    vyr_data_step_end(true);
}

struct BadCase {
    std::string content;
    const char* expect; // part of the message
};

TEST(CsvRead, BadInputNamesFileAndLine)
{
    TempDir dir;
    const BadCase cases[] = {
        {"a,b\n1,2\n3,\"open\n4,5\n", "line 3: a quoted field is not terminated"},
        {"a,b\n1,2\n3\n", "line 3: the row has 1 fields but the header row has 2"},
        {"a,b\n1,2,3\n", "line 2: the row has 3 fields"},
        {"a,b\n1,x\"y\n", "line 2: a quote appears"},
        {"a,b\n\"1\"x,2\n", "line 2: a quote appears"},
        {"a,A\n1,2\n", "the variable name A appears more than once"},
        {"", "has no header row"},
        {std::string("a,b\n1,2\n3,x\0y\n", 15), "line 3: the file holds a NUL byte"},
        {std::string("a,\0b\n1,2\n", 10), "line 1: the file holds a NUL byte"},
        {"time,status\r10,1\r10,0\r", "end in a carriage return alone, which is not recognised"},
    };
    for (const BadCase& c : cases) {
        std::string p = dir.write("bad.csv", c.content);
        std::string log;
        DSHANDLE* ds = vyrtest::open_input(p, &log);
        EXPECT_EQ(ds, nullptr) << c.content;
        EXPECT_NE(log.find(c.expect), std::string::npos) << c.content << "\nlog: " << log;
        EXPECT_NE(log.find("bad.csv"), std::string::npos) << log;
    }
    std::string log;
    EXPECT_EQ(vyrtest::open_input(dir.file("none.csv"), &log), nullptr);
    EXPECT_NE(log.find("none.csv"), std::string::npos);
    // A sidecar that declares a column numeric rejects text in it.
    std::string p = dir.write("n.csv", "a\n1\nx\n");
    dir.write("n.attr", "variable a type=num\n");
    EXPECT_EQ(vyrtest::open_input(p, &log), nullptr);
    EXPECT_NE(log.find("line 3"), std::string::npos) << log;
    dir.write("n.attr", "variable a kind=num\n");
    EXPECT_EQ(vyrtest::open_input(p, &log), nullptr);
    EXPECT_NE(log.find("n.attr, line 1"), std::string::npos) << log;
    vyr_data_step_end(true);
}

// Only a regular file is read as data: a named pipe in place of a CSV or
// attribute file is refused at once (it would hold the run until some
// writer came), as a folder is. An attribute file that is there but cannot
// be read is an error with the reason, as for a CSV file: reading on without
// it would change the columns' types without a word.
TEST(CsvRead, OnlyARegularFileIsReadAndAnUnreadableOneIsAnError)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe.csv").c_str(), 0600), 0);
    std::string log;
    EXPECT_EQ(vyrtest::open_input(dir.file("pipe.csv"), &log), nullptr);
    EXPECT_NE(log.find("pipe.csv could not be read: it is a named pipe, not a regular file"),
              std::string::npos)
        << log;
    const std::string csv = dir.write("t.csv", "x\n01\n");
    ASSERT_EQ(mkfifo(dir.file("t.attr").c_str(), 0600), 0);
    EXPECT_EQ(vyrtest::open_input(csv, &log), nullptr);
    EXPECT_NE(log.find("t.attr could not be read: it is a named pipe"), std::string::npos) << log;
    std::filesystem::remove(dir.file("t.attr"));
    std::filesystem::create_directory(dir.file("t.attr"));
    EXPECT_EQ(vyrtest::open_input(csv, &log), nullptr);
    EXPECT_NE(log.find("t.attr could not be read: it is a folder"), std::string::npos) << log;
    std::filesystem::remove(dir.file("t.attr"));
    std::filesystem::create_symlink("t.attr", dir.file("t.attr"));
    EXPECT_EQ(vyrtest::open_input(csv, &log), nullptr);
    EXPECT_NE(log.find("t.attr could not be read: it leads through too many symbolic links"),
              std::string::npos)
        << log;
    vyr_data_step_end(true);

    // Permission denied: checked as another user when the test runs as root,
    // for whom every file is readable.
    std::filesystem::remove(dir.file("t.attr"));
    dir.write("t.attr", "variable x type=char\n");
    chmod(dir.path().c_str(), 0755);
    chmod(csv.c_str(), 0644);
    chmod(dir.file("t.attr").c_str(), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        std::string said;
        DSHANDLE* ds = vyrtest::open_input(csv, &said);
        const bool told =
            said.find("t.attr could not be read: Permission denied") != std::string::npos;
        _exit(ds == nullptr && told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        std::cout << "[ SKIPPED  ] permission denied: cannot run as another user here\n";
    else
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the unreadable attribute file was not an error";
    // A file that is simply not there is no attribute file.
    std::filesystem::remove(dir.file("t.attr"));
    DSHANDLE* ds = vyrtest::open_input(csv, &log);
    ASSERT_NE(ds, nullptr) << log;
    EXPECT_TRUE(vyr::data::columns(ds)[0].numeric);
    vyr_data_step_end(true);
}

void parallel_parse_matches_sequential_meaning();

// A file large enough to be parsed by several threads, with quoted fields
// holding commas and newlines at every place, blank lines and CRLF endings:
// the parallel parse must give what a plain sequential reading gives.
TEST(CsvRead, ParallelParseMatchesSequentialMeaning)
{
    // Threads on; NOTHREADS; CPUCOUNT=1; and a pool whose threads cannot start.
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    struct Pool {
        bool threads;
        unsigned cpus, failStarts;
    };
    for (const Pool& pool :
         {Pool{true, cores, 0}, Pool{false, cores, 0}, Pool{true, 1, 0}, Pool{true, cores, 64}}) {
        vyr::pool_configure(pool.threads, pool.cpus);
        vyr::pool_fail_thread_starts(pool.failStarts);
        SCOPED_TRACE(testing::Message() << "threads " << pool.threads << ", cpucount " << pool.cpus
                                        << ", failed starts " << pool.failStarts);
        parallel_parse_matches_sequential_meaning();
    }
    vyr::pool_fail_thread_starts(0);
    vyr::pool_configure(true, cores);
}

void parallel_parse_matches_sequential_meaning()
{
    TempDir dir;
    std::mt19937 rng(7);
    std::string s = "k,v,txt\r\n";
    const int n = 160000;
    std::vector<std::string> texts;
    for (int i = 0; i < n; ++i) {
        std::string t;
        switch (rng() % 4) {
        case 0:
            t = "plain" + std::to_string(i);
            break;
        case 1:
            t = "\"comma, " + std::to_string(i) + "\"";
            break;
        case 2:
            t = "\"line\n" + std::to_string(i) + "\"";
            break;
        default:
            t = "\"q\"\"" + std::to_string(i) + "\"";
            break;
        }
        texts.push_back(t);
        s += std::to_string(i) + "," + (i % 10 == 0 ? "." : std::to_string(i * 0.25)) + "," + t +
             "\r\n";
        if (i % 5000 == 0)
            s += "\r\n"; // blank lines are skipped
    }
    ASSERT_GT(s.size(), 4u << 20);
    std::string p = dir.write("big.csv", s);
    DSHANDLE* ds = vyrtest::open_input(p);
    ASSERT_NE(ds, nullptr);
    ASSERT_EQ(vyr_dsnobs(ds), n);
    for (int i = 0; i < n; i += 997) {
        ASSERT_DOUBLE_EQ(vyr::data::number(ds, i + 1, 1), i);
        if (i % 10 == 0)
            ASSERT_TRUE(wzmis(vyr::data::number(ds, i + 1, 2)));
        else
            ASSERT_DOUBLE_EQ(vyr::data::number(ds, i + 1, 2), i * 0.25);
        std::string want = texts[static_cast<size_t>(i)];
        if (want[0] == '"') {
            want = want.substr(1, want.size() - 2);
            size_t q;
            while ((q = want.find("\"\"")) != std::string::npos)
                want.erase(q, 1);
        }
        ASSERT_EQ(vyr::data::text(ds, i + 1, 3), want) << i;
    }
    vyr_data_step_end(true);
    // An unterminated quote near the end is found by the parallel parse too.
    s += "1,2,\"never closed\r\n3,4,5\r\n";
    p = dir.write("big.csv", s);
    std::string log;
    EXPECT_EQ(vyrtest::open_input(p, &log), nullptr);
    EXPECT_NE(log.find("not terminated"), std::string::npos) << log;
}

// The bundled example data sets read with the observation counts and types
// their files show.
TEST(CsvRead, ExampleDataSets)
{
    const std::string dir = std::string(KORV_SOURCE_DIR) + "/examples/";
    struct Want {
        const char* file;
        long nobs;
        const char* charVar; // a character variable, or null
        int charLen;
    };
    const Want wants[] = {{"aml.csv", 23, "x", 13},
                          {"colon.csv", 929, "rx", 7},
                          {"kidney.csv", 76, "disease", 5},
                          {"lung.csv", 228, nullptr, 0},
                          {"veteran.csv", 137, "celltype", 9}};
    for (const Want& w : wants) {
        DSHANDLE* ds = vyrtest::open_input(dir + w.file);
        ASSERT_NE(ds, nullptr) << w.file;
        EXPECT_EQ(vyr_dsnobs(ds), w.nobs) << w.file;
        for (const auto& c : vyr::data::columns(ds)) {
            bool isChar = w.charVar && c.name == w.charVar;
            EXPECT_EQ(c.numeric, !isChar) << w.file << " " << c.name;
            if (isChar) {
                EXPECT_EQ(c.length, w.charLen) << w.file;
            }
        }
    }
    // lung.csv has empty weight-loss values: missing, not zero.
    DSHANDLE* lung = vyrtest::open_input(dir + "lung.csv");
    ASSERT_NE(lung, nullptr);
    EXPECT_TRUE(wzmis(num(lung, 1, "wt_loss")));
    EXPECT_DOUBLE_EQ(num(lung, 2, "wt_loss"), 15.0);
    vyr_data_step_end(true);
}

TEST(CsvRead, LargeUnquotedFileAndHeaderOnlyFiles)
{
    TempDir dir;
    std::string s = "a,b\n";
    const int n = 400000;
    for (int i = 0; i < n; ++i)
        s += std::to_string(i) + "," + std::to_string(n - i) + "\n";
    s.pop_back(); // no newline after the last row
    ASSERT_GT(s.size(), 4u << 20);
    DSHANDLE* ds = vyrtest::open_input(dir.write("u.csv", s));
    ASSERT_NE(ds, nullptr);
    ASSERT_EQ(vyr_dsnobs(ds), n);
    for (int i = 0; i < n; i += 4999) {
        ASSERT_EQ(vyr::data::number(ds, i + 1, 1), i);
        ASSERT_EQ(vyr::data::number(ds, i + 1, 2), n - i);
    }
    EXPECT_EQ(vyr::data::number(ds, n, 2), 1);
    for (const char* header : {"a,b", "a,b\n", "a,b\r\n"}) {
        ds = vyrtest::open_input(dir.write("h.csv", header));
        ASSERT_NE(ds, nullptr) << header;
        EXPECT_EQ(vyr_dsnobs(ds), 0);
        EXPECT_EQ(vyr::data::columns(ds).size(), 2u);
    }
    vyr_data_step_end(true);
}

// Every length limit of the host, at the limit and just over it: a value
// (plain, quoted, one that looks like a number, one declared character), a
// column name, and the attribute file's labels and length. Read whole and
// read lazily.
TEST(CsvRead, LengthLimitsAtAndJustOver)
{
    TempDir dir;
    const size_t max = VYR_MAX_TEXT_LENGTH;
    const std::string at(max, 'x'), over(max + 1, 'x');
    // max - 1 letters and a doubled quote: max characters once read.
    const std::string quotedAt = "\"" + std::string(max - 1, 'q') + "\"\"\"";
    struct Case {
        std::string csv, attr;
        const char* error; // part of the error, or null when the file reads
    };
    const Case cases[] = {
        {"a,b\n1," + at + "\n", "", nullptr},
        {"a,b\n1," + over + "\n", "",
         "line 2, column 2 (b): the value is 32768 bytes long; the longest character value "
         "is 32767 bytes"},
        {"a,b\n1," + quotedAt + "\n", "", nullptr},
        {"a,b\n1,\"" + std::string(max, 'q') + "\"\"\"\n", "", "the value is 32768 bytes long"},
        {"a,b\n1," + std::string(max + 1, '7') + "\n2,x\n", "", "line 2, column 2 (b)"},
        {"a\n" + over + "\n", "variable a type=char\n", "the value is 32768 bytes long"},
        {at + ",b\n1,2\n", "", nullptr},
        {over + ",b\n1,2\n", "", "line 1: the name of column 1 is 32768 bytes long"},
        {"a\n1\n", "dataset label=\"" + at + "\"\n", nullptr},
        {"a\n1\n", "dataset label=\"" + over + "\"\n", "line 1: the label is 32768 bytes long"},
        {"a\n1\n", "variable a label=" + at + "\n", nullptr},
        {"a\n1\n", "variable a label=" + over + "\n", "line 1: the label is 32768 bytes long"},
        {"a\nx\n", "variable a length=32767\n", nullptr},
        {"a\nx\n", "variable a length=32768\n", "length must be a whole number from 1 to 32767"},
    };
    for (bool lazy : {false, true}) {
        vyr::data::set_lazy_threshold(lazy ? 0 : 64LL << 20);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.csv.substr(0, 20) + " / " + c.attr.substr(0, 20) +
                         (lazy ? " (lazy)" : ""));
            std::filesystem::remove(dir.file("l.attr"));
            if (!c.attr.empty())
                dir.write("l.attr", c.attr);
            std::string log;
            DSHANDLE* ds = vyrtest::open_input(dir.write("l.csv", c.csv), &log);
            if (c.error != nullptr) {
                EXPECT_EQ(ds, nullptr);
                EXPECT_NE(log.find(c.error), std::string::npos) << log.substr(0, 300);
                EXPECT_NE(log.find("/l."), std::string::npos)
                    << log.substr(0, 300); // l.csv or l.attr
                continue;
            }
            ASSERT_NE(ds, nullptr) << log.substr(0, 300);
            auto cols = vyr::data::columns(ds);
            if (c.csv.size() > max && c.csv[0] == 'x') { // the long name
                EXPECT_EQ(cols[0].name, at);
                EXPECT_EQ(xvname(ds, 1)->namelen, VYR_MAX_TEXT_LENGTH);
                EXPECT_NE(log.find("column 1 is named"), std::string::npos);
            } else if (c.csv.size() > max) { // the long value
                EXPECT_FALSE(cols[1].numeric);
                EXPECT_EQ(cols[1].length, VYR_MAX_TEXT_LENGTH);
                EXPECT_EQ(xvname(ds, 2)->nlng, VYR_MAX_TEXT_LENGTH);
                EXPECT_EQ(txt(ds, 1, "b").size(), max);
            } else if (c.attr.find("label") != std::string::npos) {
                char info[420];
                ASSERT_EQ(xoinfo(ds, 1, info), 0);
                if (c.attr[0] == 'v')
                    EXPECT_EQ(xvname(ds, 1)->nlablen, VYR_MAX_TEXT_LENGTH);
                else
                    EXPECT_EQ(std::string(info + 160, 3), "xxx");
            } else {
                EXPECT_EQ(cols[0].length, VYR_MAX_TEXT_LENGTH);
            }
            vyr_data_step_end(true);
        }
    }
    vyr::data::set_lazy_threshold(64LL << 20);
    vyr_data_step_end(true);
}

TEST(CsvRead, NaAndNaNAreMissingInAColumnOtherwiseNumeric)
{
    TempDir dir;
    // R writes a missing number as NA; other software writes NaN.
    std::string p = dir.write("na.csv", "x,y,z,w\n1,NA,a,1\nNA,2,NA,\"NA\"\nnan,3,b,2\n");
    std::string log;
    DSHANDLE* ds = vyrtest::open_input(p, &log);
    ASSERT_NE(ds, nullptr);
    auto cols = vyr::data::columns(ds);
    EXPECT_TRUE(cols[0].numeric);
    EXPECT_TRUE(cols[1].numeric);
    EXPECT_FALSE(cols[2].numeric); // "a" and "b" make z character; its NA stays text
    EXPECT_TRUE(cols[3].numeric);  // a quoted NA too
    EXPECT_DOUBLE_EQ(num(ds, 1, "x"), 1.0);
    EXPECT_TRUE(wzmis(num(ds, 2, "x")));
    EXPECT_TRUE(wzmis(num(ds, 3, "x")));
    EXPECT_TRUE(wzmis(num(ds, 1, "y")));
    EXPECT_TRUE(wzmis(num(ds, 2, "w")));
    EXPECT_EQ(txt(ds, 2, "z"), "NA");
    EXPECT_NE(log.find("the values NA and NaN of variable x are read as missing values (first on "
                       "line 3)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("variable y are read as missing values (first on line 2)"),
              std::string::npos);
    EXPECT_NE(log.find("variable w are read"), std::string::npos);
    EXPECT_EQ(log.find("variable z are read"), std::string::npos);
    // Under a numeric declaration NA is missing too; NULL stays an error there.
    dir.write("d.attr", "variable v type=num\n");
    ds = vyrtest::open_input(dir.write("d.csv", "v\n1\nNaN\n"), &log);
    ASSERT_NE(ds, nullptr);
    EXPECT_TRUE(wzmis(num(ds, 2, "v")));
    EXPECT_EQ(vyrtest::open_input(dir.write("d.csv", "v\n1\nNULL\n"), &log), nullptr);
    vyr_data_step_end(true);
}

TEST(CsvRead, ColumnNamesThatAreNotVariableNamesGetANote)
{
    TempDir dir;
    std::string log;
    const std::string long33(33, 'n');
    DSHANDLE* ds = vyrtest::open_input(
        dir.write("n.csv", "my var,1st,ok,x-y," + long33 + "\n1,2,3,4,5\n"), &log);
    ASSERT_NE(ds, nullptr);
    EXPECT_NE(log.find("column 1 is named \"my var\", which is not a variable name"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("for example to my_var."), std::string::npos);
    EXPECT_NE(log.find("for example to _1st."), std::string::npos);
    EXPECT_NE(log.find("for example to x_y."), std::string::npos);
    EXPECT_NE(log.find("for example to " + std::string(32, 'n') + "."), std::string::npos);
    EXPECT_EQ(log.find("\"ok\""), std::string::npos);
    EXPECT_EQ(xvfind(ds, "my var"), 1); // still there for the host and the output
    // Many such columns: the first ten are named, the rest counted.
    std::string header;
    for (int i = 0; i < 13; ++i)
        header += (i ? ",c " : "c ") + std::to_string(i);
    vyrtest::open_input(dir.write("m.csv", header + "\n"), &log);
    EXPECT_NE(log.find("\"c 9\""), std::string::npos);
    EXPECT_EQ(log.find("\"c 10\""), std::string::npos);
    EXPECT_NE(log.find("3 more column names are not variable names"), std::string::npos) << log;
    vyr_data_step_end(true);
}

// 100,000 columns: names are checked for duplicates through a hash set.
TEST(CsvRead, ManyColumnsAndADuplicateAmongThem)
{
    TempDir dir;
    const int n = 100000;
    std::string header, row;
    for (int i = 1; i <= n; ++i) {
        header += (i > 1 ? ",c" : "c") + std::to_string(i);
        row += (i > 1 ? "," : "") + std::to_string(i % 7);
    }
    DSHANDLE* ds = vyrtest::open_input(dir.write("w.csv", header + "\n" + row + "\n"));
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(vyr::data::columns(ds).size(), static_cast<size_t>(n));
    EXPECT_DOUBLE_EQ(vyr::data::number(ds, 1, n), n % 7);
    std::string log;
    EXPECT_EQ(vyrtest::open_input(dir.write("w.csv", header + ",C77\n" + row + ",1\n"), &log),
              nullptr);
    EXPECT_NE(log.find("the variable name C77 appears more than once"), std::string::npos);
    vyr_data_step_end(true);
}

// Files cut into many small windows (edges inside quoted fields, between a
// CR and its LF, in blank rows) read exactly as in one window, or fail as
// they do; mutated files included.
TEST(CsvRead, WindowsGiveWhatOneWindowGivesOnMutatedFiles)
{
    TempDir dir;
    const std::vector<std::string> bases = {
        "k,v,t\r\n1,2.5,\"a,b\"\r\n\r\n2,.,\"line\nbreak\"\r\n3,-4e2,\"q\"\"q\"\r\n",
        "a,b\n1,x\n,\n\n2,\"\"\n3,NA\n.A,\"7\"\n",
        "only\n1\n\n2\n\"3\"\n",
        "x,y\n\"1\",\"2\"\n\"a\nb\",\"c,\"\"d\"\n5,6",
    };
    const char alphabet[] = {',', '"', '\n', '\r', 'a', '1', '.', ' ', '\0', '-'};
    std::mt19937 rng(11);
    int compared = 0, failed = 0;
    for (int iter = 0; iter < 1200; ++iter) {
        std::string s = bases[static_cast<size_t>(iter) % bases.size()];
        const int mutations = iter < 40 ? 0 : static_cast<int>(rng() % 4);
        for (int m = 0; m < mutations && !s.empty(); ++m) {
            const size_t at = rng() % s.size();
            const char c = alphabet[rng() % sizeof alphabet];
            switch (rng() % 3) {
            case 0:
                s.insert(s.begin() + static_cast<long>(at), c);
                break;
            case 1:
                s.erase(at, 1);
                break;
            default:
                s[at] = c;
                break;
            }
        }
        const std::string p = dir.write("m.csv", s);
        std::string log1, logN;
        vyr::data::set_parallel_threshold(SIZE_MAX);
        DSHANDLE* one = vyrtest::open_input(p, &log1);
        vyr::data::set_parallel_threshold(0, 1 + static_cast<int>(rng() % 9));
        DSHANDLE* many = vyrtest::open_input(p, &logN);
        ASSERT_EQ(one == nullptr, many == nullptr)
            << "file: " << testing::PrintToString(s) << "\none window: " << log1
            << "\nwindows: " << logN;
        if (one != nullptr) {
            ASSERT_TRUE(vyrtest::snapshot(one) == vyrtest::snapshot(many))
                << testing::PrintToString(s);
            ++compared;
        } else {
            ++failed;
        }
        vyr_data_step_end(true);
    }
    vyr::data::set_parallel_threshold(size_t(4) << 20);
    EXPECT_GT(compared, 200);
    EXPECT_GT(failed, 50);
}

} // namespace
