// Tests of TarvikInit and ErrSend: the framed report byte for byte, the texts it shows,
// the system error, the application identity, a configuration that yields no class
// table, and a failing host-name query. Each scenario runs in a fresh child process.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Env;
using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::SameBytes;
using tarvik::test::Scene;

constexpr char kConfig[] = "# classes of the tests\n"
                           ".CLASS demo 12\n"
                           ".CLASS big -1\n"
                           ".APPLICATION GESTION 7\n"
                           ".APPLICATION PAIE 8\n";

constexpr char kAllTypes[] = " DEBUG INFORMATION WARNING ERROR FATAL";

// The report of code 0xc0001 as these tests send it.
ReportText OutOfMemory(const std::string &app)
{
    ReportText r;
    r.app = app;
    r.pkg = "DEMO";
    r.cls = 12;
    r.code = 0xc0001;
    r.type = " ERROR";
    r.source = "DEMO - open";
    r.body = "Out of memory";
    r.extra = "file x";
    return r;
}

int SendOutOfMemory()
{
    return ErrSend(0xc0001, TARVIK_ERROR, "DEMO - open", "file x");
}

// The report of code -1 for the errno value err.
ReportText SystemError(int err)
{
    ReportText r;
    r.code = 0xffffffff;
    r.type = " ERROR";
    r.source = "io - read";
    r.body = strerror(err);
    return r;
}

class SendTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        scene.Write("Tarvik.cfg", kConfig);
        scene.Write("DEMO_err.tarvik", "!$c\n"
                                       ".c0001.Out of memory\n"
                                       ".c0002.\n"
                                       ".c0003.Disk. Full. Really.\n");
        scene.Write("BIG_err.tarvik", "!$ffffffff\n"
                                      ".ffff0001.never found\n");
    }

    Scene scene;
};

TEST_F(SendTest, FullReportStampedWithLocalTime)
{
    // A zone half an hour off UTC: a stamp in another zone shows in its minutes.
    const std::string out = scene.Run(
        [](Handback &back) {
            back.Put(0, tarvik::test::LocalStamp());
            TarvikInit("GESTION", 0);
            back.Add(SendOutOfMemory());
            back.Put(1, tarvik::test::LocalStamp());
        },
        {{"TZ", "<+0530>-5:30"}});
    EXPECT_EQ(out, "==== TARVIK MESSAGE ==== <date>\n"
                   "Application : GESTION\n"
                   "Class : DEMO (12)\n"
                   "Code : $c0001\n"
                   "Type : ERROR\n"
                   "Source : DEMO - open\n"
                   "Body : Out of memory\n"
                   "Extra : file x\n"
                   "========================\n"
                   "\n");
    EXPECT_EQ(scene.back().Values(), std::vector<int>{0});
    const std::vector<std::string> stamps = tarvik::test::DateStamps(scene.raw());
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(stamps[0] == scene.back().Text(0) || stamps[0] == scene.back().Text(1))
        << stamps[0] << " is neither " << scene.back().Text(0) << " nor " << scene.back().Text(1);
}

TEST_F(SendTest, TypeWordsInFixedOrder)
{
    const struct {
        int type;
        const char *words;
    } cases[] = {
        {0, ""},
        {TARVIK_DEBUG, " DEBUG"},
        {TARVIK_INFORMATION, " INFORMATION"},
        {TARVIK_WARNING, " WARNING"},
        {TARVIK_ERROR, " ERROR"},
        {TARVIK_FATAL, " FATAL"},
        {TARVIK_FATAL | TARVIK_ERROR, " ERROR FATAL"},
        {TARVIK_WARNING | TARVIK_DEBUG, " DEBUG WARNING"},
        {31, kAllTypes},
        {32, ""},
        {32 | TARVIK_INFORMATION, " INFORMATION"},
        {-1, kAllTypes},
    };
    std::string expected;
    for (const auto &c : cases) {
        ReportText r = OutOfMemory("");
        r.type = c.words;
        expected += Report(r);
    }
    const std::string out = scene.Run([&](Handback &back) {
        for (const auto &c : cases)
            back.Add(ErrSend(0xc0001, c.type, "DEMO - open", "file x"));
    });
    EXPECT_TRUE(SameBytes(expected, out));
    EXPECT_EQ(scene.back().Values(), std::vector<int>(std::size(cases), 0));
}

// Source and extra information: NULL, limits, and bytes printed as they come.
TEST_F(SendTest, SourceAndExtraTexts)
{
    const std::string s1023(1023, 's'), e1023(1023, 'e');
    const struct {
        std::optional<std::string> source, extra; // nullopt: NULL
        std::string shownSource, shownExtra;
    } cases[] = {
        {std::nullopt, std::nullopt, "", ""},
        {"", "", "", ""},
        {std::nullopt, "only extra", "", "only extra"},
        {"only source", std::nullopt, "only source", ""},
        {s1023, e1023, s1023, e1023},
        {s1023 + "S", e1023 + "E", s1023, e1023},
        {std::string(3000, 'a') + " - long package", std::string(5000, 'x'), std::string(1023, 'a'),
         std::string(1023, 'x')},
        {"two\nlines - here", "tab\tand\rreturn\n", "two\nlines - here", "tab\tand\rreturn\n"},
        {"abc   - spaced", "%s %d %n", "abc   - spaced", "%s %d %n"},
        {"\xe9t\xe9 - high bytes", "\xff", "\xe9t\xe9 - high bytes", "\xff"},
    };
    std::string expected;
    for (const auto &c : cases) {
        ReportText r = OutOfMemory("");
        r.source = c.shownSource;
        r.extra = c.shownExtra;
        expected += Report(r);
    }
    const std::string out = scene.Run([&](Handback &back) {
        for (const auto &c : cases)
            back.Add(ErrSend(0xc0001, TARVIK_ERROR, c.source ? c.source->c_str() : nullptr,
                             c.extra ? c.extra->c_str() : nullptr));
    });
    EXPECT_TRUE(SameBytes(expected, out));
    EXPECT_EQ(scene.back().Values(), std::vector<int>(std::size(cases), 0));
}

// Where the code leads: found texts, an empty entry, an unknown code, an unconfigured
// class, and codes with bit 31 set, whose class number is negative.
TEST_F(SendTest, ClassAndBodyOfEachCode)
{
    const struct {
        unsigned code;
        const char *pkg;
        int cls;
        const char *body;
    } cases[] = {
        {0xc0003, "DEMO", 12, "Disk. Full. Really."},
        {0xc0002, "DEMO", 12, ""},
        {0xc0009, "DEMO", 12, ""},
        {0x30001, "", 3, ""},
        {0x0, "", 0, ""},
        {0x80000001, "", -32768, ""},
        // Class -1 is configured and its catalogue lists the code, but an entry with the
        // top bit set reads as a saturated number and never matches.
        {0xffff0001, "BIG", -1, ""},
    };
    std::string expected;
    for (const auto &c : cases) {
        ReportText r;
        r.app = "GESTION";
        r.pkg = c.pkg;
        r.cls = c.cls;
        r.code = c.code;
        r.type = " WARNING";
        r.source = "pkg - where";
        r.body = c.body;
        r.extra = "what";
        expected += Report(r);
    }
    const std::string out = scene.Run([&](Handback &back) {
        TarvikInit("GESTION", 0);
        for (const auto &c : cases)
            back.Add(ErrSend(int(c.code), TARVIK_WARNING, "pkg - where", "what"));
    });
    EXPECT_TRUE(SameBytes(expected, out));
    EXPECT_EQ(scene.back().Values(), std::vector<int>(std::size(cases), 0));
}

// Code -1 reports the errno text current when ErrSend is entered, before the first
// call's configuration load fails to open the system file; errno comes back unchanged.
TEST_F(SendTest, SystemErrorReportsErrnoAtEntry)
{
    const Env env = {{"TARVIK_CFG_DIR", scene.Path("nowhere")},
                     {"TARVIK_CFG_DIR_USER", scene.dir().path()}};
    const std::string out = scene.Run(
        [](Handback &back) {
            errno = EACCES;
            back.Add(ErrSend(-1, TARVIK_ERROR, "io - read", nullptr));
            back.Add(errno);
            back.Add(ErrSend(-1, TARVIK_ERROR, "io - read", nullptr));
            errno = ENOENT;
            back.Add(ErrSend(-1, TARVIK_ERROR, "io - read", nullptr));
            back.Add(errno);
            errno = E2BIG;
            TarvikInit("GESTION", 0);
            back.Add(errno);
            char text[64];
            back.Add(ErrGet(0xc0001, text, sizeof text));
            back.Add(errno);
        },
        env);
    EXPECT_EQ(out, "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" +
                       scene.Path("nowhere") + "/Tarvik.cfg\"\n" + Report(SystemError(EACCES)) +
                       Report(SystemError(EACCES)) + Report(SystemError(ENOENT)));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, EACCES, 0, 0, ENOENT, E2BIG, 0, E2BIG}));
}

// TarvikInit names the application before it loads the configuration, whose
// application lines then give the code; once a table is loaded it changes nothing.
TEST_F(SendTest, InitNamesTheApplicationOnce)
{
    const std::string out = scene.Run([](Handback &back) {
        back.Add(TarvikInit("GESTION", 0));
        back.Add(GetTarvikApplicationCode());
        back.Add(SendOutOfMemory());
        back.Add(TarvikInit("PAIE", 0));
        back.Add(GetTarvikApplicationCode());
        back.Add(SendOutOfMemory());
    });
    // Read with the empty name, the configuration would give the last line's code, 8.
    EXPECT_EQ(out, Report(OutOfMemory("GESTION")) + Report(OutOfMemory("GESTION")));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 7, 0, 0, 7, 0}));
}

// An ErrSend before any TarvikInit loads the configuration with the name current then.
TEST_F(SendTest, SendBeforeInitUsesTheCurrentName)
{
    std::string out = scene.Run([](Handback &back) {
        back.Add(SendOutOfMemory());
        back.Add(TarvikInit("GESTION", 0));
        back.Add(GetTarvikApplicationCode());
        back.Add(SendOutOfMemory());
    });
    // The empty name matches every application line; the last one gives the code.
    EXPECT_EQ(out, Report(OutOfMemory("")) + Report(OutOfMemory("")));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0, 8, 0}));

    out = scene.Run([](Handback &back) {
        SetTarvikApplicationName("GESTION");
        back.Add(SendOutOfMemory());
        back.Add(GetTarvikApplicationCode());
    });
    EXPECT_EQ(out, Report(OutOfMemory("GESTION")));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 7}));
}

TEST_F(SendTest, InitNameLimits)
{
    const std::string name39(39, 'n');
    const struct {
        std::optional<std::string> name; // nullopt: NULL
        std::string shown;
    } cases[] = {
        {std::nullopt, ""},
        {"", ""},
        {name39, name39},
        {name39 + "XYZ" + std::string(10, 'z'), name39},
    };
    for (const auto &c : cases) {
        const std::string out = scene.Run([&](Handback &back) {
            back.Add(TarvikInit(c.name ? c.name->c_str() : nullptr, 0));
            back.Add(SendOutOfMemory());
        });
        EXPECT_EQ(out, Report(OutOfMemory(c.shown))) << c.shown;
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0}));
    }
}

// While no class table could be loaded, every call loads again, and TarvikInit sets the
// name again each time: the configuration that appears later is read with the last name.
TEST_F(SendTest, InitRetriesUntilATableLoads)
{
    const std::string config = kConfig;
    const std::string out = scene.Run(
        [&](Handback &back) {
            back.Add(TarvikInit("FIRST", 0));
            back.Add(SendOutOfMemory());
            FILE *f = fopen("Later.cfg", "w");
            fputs(config.c_str(), f);
            fclose(f);
            back.Add(TarvikInit("SECOND", 0));
            back.Add(SendOutOfMemory());
        },
        {{"TARVIK_CFG_FILE", "Later.cfg"}});
    const std::string missing =
        "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"Later.cfg\"\n";
    EXPECT_EQ(out, missing + missing +
                       "Tarvik - ErrSend() : Probleme a l'init de la config du package Tarvik\n" +
                       Report(OutOfMemory("SECOND")));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, -1, 0, 0}));
}

// A configuration that yields no class table: no report at all, not even for -1, and
// every call loads the configuration again.
TEST_F(SendTest, NoClassTableNoReport)
{
    const std::string noTable =
        "Tarvik - ErrSend() : Probleme a l'init de la config du package Tarvik\n";
    const struct {
        const char *what;
        const char *file;    // configuration written as Other.cfg, or nullptr
        bool missingUserDir; // TARVIK_CFG_DIR_USER names a directory without the file
        std::string loader;  // what each load prints
    } cases[] = {
        {"no file", nullptr, false,
         "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"Other.cfg\"\n"},
        {"empty file", "", false, ""},
        {"no class line", "# .CLASS demo 12\n .CLASS demo 12\n.class demo 12\n.APPLICATION X 1\n",
         false, ""},
        {"duplicate class number", ".CLASS demo 12\n.CLASS other 12\n", false,
         "Tarvik - ErrCfgInit() : plusieurs fois le meme numero de classe\n"},
        {"missing user file", kConfig, true,
         "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" + scene.Path("nouser") +
             "/Other.cfg\"\n"},
    };
    for (const auto &c : cases) {
        Env env = {{"TARVIK_CFG_FILE", "Other.cfg"}};
        if (c.file)
            scene.Write("Other.cfg", c.file);
        else
            remove(scene.Path("Other.cfg").c_str());
        if (c.missingUserDir)
            env.emplace_back("TARVIK_CFG_DIR_USER", scene.Path("nouser"));
        const std::string out = scene.Run(
            [](Handback &back) {
                errno = ENOENT;
                back.Add(ErrSend(-1, TARVIK_ERROR, "io - read", nullptr));
                back.Add(SendOutOfMemory());
                back.Add(TarvikInit("GESTION", 0));
            },
            env);
        EXPECT_EQ(out, c.loader + noTable + c.loader + noTable + c.loader) << c.what;
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{-1, -1, 0})) << c.what;
    }
}

// The host-name query has room for the longest name that the system allows: names of 40
// to 64 characters, common on cloud hosts and container pods, report as usual from both
// calls. The name is set in a UTS namespace of the child's own.
TEST_F(SendTest, HostNameOfAnyLength)
{
    for (const std::size_t length : {39, 40, 60, HOST_NAME_MAX}) {
        const std::string out = scene.Run([&](Handback &back) {
            const std::string name(length, 'h');
            if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.c_str(), name.size()) != 0) {
                back.skipped = true;
                return;
            }
            back.Add(SendOutOfMemory());
            char text[32] = "";
            back.Add(ErrGet(0xc0001, text, sizeof text));
            back.Put(0, text);
        });
        if (scene.back().skipped)
            GTEST_SKIP() << "cannot set the host name in a namespace of its own here (not root?)";
        EXPECT_EQ(out, Report(OutOfMemory(""))) << length;
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0})) << length;
        EXPECT_EQ(scene.back().Text(0), "Out of memory") << length;
    }
}

} // namespace
