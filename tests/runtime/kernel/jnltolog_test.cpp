// Journal to log: severity prefixes, chunking of long lines, raw lines and
// page breaks, per-cent signs kept as text, and characters beyond ASCII.
#include "runtime/jnltolog.h"

#include "support/kernel_scope.h"
#include "support/step_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct Line {
    std::string text;
    int sev;
};

step_probe::Run copy_journal(const std::vector<Line>& lines, int flags, int* rc = nullptr)
{
    return step_probe::run([&] {
        KernelScope k(true);
        QXHandle* h = k.handle();
        QXJnlh j = h->journalCreate(h);
        for (const auto& l : lines) {
            auto w = wide(l.text);
            j->addLine(j, w.data(), static_cast<QXStrSize>(w.size()), l.sev);
        }
        int r = jnltolog(nullptr, j, flags);
        if (rc)
            *rc = r;
        EXPECT_EQ(j->hasData(j), 0);
        j->hdr.destroy(j);
    });
}

TEST(Jnltolog, SeverityPrefixesAndPlainLines)
{
    int rc = -1;
    auto r = copy_journal({{"NOTE: done", 2},
                           {"WARNING: look out", 3},
                           {"ERROR: broken", 4},
                           {"no colon here", 4},
                           {"NOTE: ", 2}},
                          JNL_SEVERITY, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(r.log.find("NOTE: done"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("WARNING: look out"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("ERROR: broken"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("no colon here"), std::string::npos) << r.log;
    EXPECT_EQ(step_probe::count(r.log, "NOTE: NOTE"), 0) << r.log;

    auto whole = copy_journal({{"NOTE: done", 2}}, 0);
    EXPECT_NE(whole.log.find("NOTE: done"), std::string::npos) << whole.log;
}

TEST(Jnltolog, PercentSignsAndNonAsciiReachTheLogAsText)
{
    auto r = copy_journal({{"100% of %s and %d in caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC", 1}},
                          JNL_RAW);
    EXPECT_NE(r.log.find("100% of %s and %d in caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC"),
              std::string::npos)
        << r.log;
    auto p = copy_journal({{"%2zcareful: 50%", 1}}, JNL_RAW);
    EXPECT_NE(p.log.find("careful: 50%"), std::string::npos) << p.log;
    EXPECT_EQ(p.log.find("%2z"), std::string::npos) << p.log;
}

TEST(Jnltolog, LongLinesGoOutInChunksWithoutLosingCharacters)
{
    // 10,000 characters, each three bytes in UTF-8: two chunks, 8180 and 1820.
    std::string line;
    for (int i = 0; i < 10000; ++i)
        line += "\xE2\x82\xAC";
    auto r = copy_journal({{line, 1}}, 0);
    EXPECT_EQ(step_probe::count(r.log, "\xE2\x82\xAC"), 10000);
    std::string chunk1, chunk2;
    for (int i = 0; i < 8180; ++i)
        chunk1 += "\xE2\x82\xAC";
    for (int i = 0; i < 1820; ++i)
        chunk2 += "\xE2\x82\xAC";
    EXPECT_NE(r.log.find(chunk1 + "\n"), std::string::npos);
    EXPECT_NE(r.log.find("\n" + chunk2 + "\n"), std::string::npos);
}

TEST(Jnltolog, RawPageBreakAndEmptyJournal)
{
    auto r =
        copy_journal({{"before", 1}, {std::string("x\5\5\5\5\5\5\5\5"), 1}, {"after", 1}}, JNL_RAW);
    EXPECT_NE(r.log.find("before"), std::string::npos);
    EXPECT_NE(r.log.find("after"), std::string::npos);
    EXPECT_EQ(r.log.find('\5'), std::string::npos);
    int rc = -1;
    copy_journal({}, JNL_SEVERITY, &rc);
    EXPECT_EQ(rc, 0);
}

TEST(Jnltolog, BytesWrittenThroughTheDeviceAreChunked)
{
    auto r = step_probe::run([] {
        jnltolog_S dev{};
        dev.device.hdr = {QX_IO_TAG, jnltolog_destroy};
        dev.flags = 0;
        std::string bytes(2500, 'Z');
        bytes[1000] = '%';
        EXPECT_EQ(jnltolog_write(&dev.device, bytes.data(), bytes.size()), QX_OK);
    });
    // 999, 999 and 502 bytes; the per-cent sign stays text.
    EXPECT_NE(r.log.find("\n" + std::string(999, 'Z') + "\n"), std::string::npos);
    EXPECT_NE(r.log.find("\nZ%" + std::string(997, 'Z') + "\n"), std::string::npos);
    EXPECT_NE(r.log.find("\n" + std::string(502, 'Z') + "\n"), std::string::npos);
}

} // namespace
