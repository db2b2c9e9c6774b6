// Reports as one JSON object per line (TARVIK_CFG_OUTPUT=json), for collectors that take
// a program's standard output line by line.
//
// The lines are read back by jq, an independent parser: every line must parse, give back
// each text exactly (a byte sequence that is not UTF-8 as U+FFFD), and be valid UTF-8 as
// it stands, which jq shows by echoing the raw lines unchanged.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Env;
using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

constexpr char R[] = "\xEF\xBF\xBD"; // U+FFFD

// The jq program on PATH, or "" when there is none.
std::string Jq()
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/jq";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

// Runs jq with filter over the lines of file, each line read as a string (-R), printing
// raw text (-j). Fails the test when jq is missing or ends with an error.
std::string JqLines(const std::string &filter, const std::string &file)
{
    static const std::string jq = Jq();
    if (jq.empty()) {
        ADD_FAILURE() << "jq is needed to read the JSON lines (Debian package jq)";
        return "";
    }
    tarvik::test::ProgramRun run;
    run.args = {"-R", "-j", filter, file};
    const tarvik::test::Outcome outcome = tarvik::test::RunProgram(jq, run);
    EXPECT_EQ(outcome.status, 0) << "jq could not read every line of " << file;
    return outcome.out;
}

// The texts of every line of out, through jq: source, extra and body of each report.
std::vector<std::vector<std::string>> ParsedTexts(const Scene &scene, const std::string &out)
{
    const std::string file = scene.Path("lines.json");
    tarvik::test::WriteFile(file, out);
    EXPECT_TRUE(tarvik::test::SameBytes(out, JqLines(". + \"\\n\"", file)))
        << "the lines are not valid UTF-8 as they stand";
    const std::string fields =
        JqLines("fromjson | .source, \"\\u0000\", .extra, \"\\u0000\", .body, \"\\u0000\"", file);
    std::vector<std::vector<std::string>> texts;
    std::vector<std::string> report;
    for (std::size_t at = 0, end; (end = fields.find('\0', at)) != std::string::npos;
         at = end + 1) {
        report.push_back(fields.substr(at, end - at));
        if (report.size() == 3)
            texts.push_back(std::move(report)), report.clear();
    }
    return texts;
}

// The first 32 bits of the calling thread's identifier, as reports give it.
unsigned ThreadNumber()
{
    const pthread_t self = pthread_self();
    unsigned number = 0;
    memcpy(&number, &self, std::min(sizeof number, sizeof self));
    return number;
}

std::string HostName()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

class JsonTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        scene.Write("Tarvik.cfg", ".CLASS net 1\n.CLASS gone 13\n.APPLICATION orders 10\n");
        scene.Write("NET_err.tarvik", "!$1\n.10001.Connection timed out\n"
                                      ".10002.tab\there \"q\" \\ \x7f \xff end\n");
    }
    Scene scene;
};

TEST_F(JsonTest, OneObjectPerReport)
{
    const struct {
        int code, type, err;
        const char *source, *extra;
        std::string diagnostic, fields; // the fields from "class" to "extra"
    } cases[] = {
        {0x10001, TARVIK_ERROR, 0, "net.io - connect", "host db1\nport 5432", "",
         "\"class\":\"NET\",\"class_number\":1,\"code\":65537,\"code_hex\":\"0x10001\","
         "\"type\":[\"ERROR\"],\"package\":\"NET.IO\",\"source\":\"net.io - connect\","
         "\"body\":\"Connection timed out\",\"extra\":\"host db1\\nport 5432\""},
        {-1, 31, ENOENT, nullptr, nullptr, "",
         "\"class\":\"\",\"class_number\":0,\"code\":-1,\"code_hex\":\"0xffffffff\","
         "\"type\":[\"DEBUG\",\"INFORMATION\",\"WARNING\",\"ERROR\",\"FATAL\"],\"package\":\"\","
         "\"source\":\"\",\"body\":\"" +
             std::string(strerror(ENOENT)) + "\",\"extra\":\"\""},
        {int(0x80010001u), 32, 0, "main-loop", "", "",
         "\"class\":\"\",\"class_number\":-32767,\"code\":-2147418111,\"code_hex\":"
         "\"0x80010001\",\"type\":[],\"package\":\"MAIN\",\"source\":\"main-loop\","
         "\"body\":\"\",\"extra\":\"\""},
        {0xd0001, 0, 0, "x", "y",
         "Tarvik - ErrSend() : Impossible d'ouvrir le fichier \"GONE_err.tarvik\"\n",
         "\"class\":\"GONE\",\"class_number\":13,\"code\":851969,\"code_hex\":\"0xd0001\","
         "\"type\":[],\"package\":\"\",\"source\":\"x\",\"body\":\"\",\"extra\":\"y\""},
    };
    for (const auto &c : cases) {
        scene.Run(
            [&](Handback &back) {
                TarvikInit("orders", 0);
                back.Add(int(time(nullptr)));
                errno = c.err;
                back.Add(ErrSend(c.code, c.type, c.source, c.extra));
                back.Add(int(time(nullptr)));
                back.Add(getpid());
                back.Add(int(ThreadNumber()));
            },
            {{"TARVIK_CFG_OUTPUT", "json"}, {"TZ", "TST-05:30"}});
        const std::vector<int> values = scene.back().Values();
        ASSERT_EQ(values.size(), 5u);
        const std::string &out = scene.raw();
        const std::size_t at = out.find("{\"date\":\"");
        ASSERT_NE(at, std::string::npos) << out;
        const std::string date = out.substr(at + 9, 25);
        EXPECT_EQ(out, c.diagnostic + "{\"date\":\"" + date + "\",\"host\":\"" + HostName() +
                           "\",\"application\":\"orders\",\"application_code\":10,\"pid\":" +
                           std::to_string(values[3]) + ",\"thread\":" +
                           std::to_string(unsigned(values[4])) + "," + c.fields + "}\n");
        // The date: local time 5 h 30 ahead of UTC, within the call.
        struct tm t = {};
        ASSERT_EQ(strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S+05:30", &t), date.c_str() + 25) << date;
        const time_t when = timegm(&t) - (5 * 60 + 30) * 60;
        EXPECT_LE(values[0], when) << date;
        EXPECT_LE(when, values[2]) << date;
    }
}

// The framed report stays the default, byte for byte; a value that names no output gives
// one diagnostic, however many reports follow, and the framed report. The diagnostic
// shows at most 255 bytes of the value, so that it stays whole, newline included.
TEST_F(JsonTest, OutputValues)
{
    ReportText r;
    r.app = "orders";
    r.pkg = "NET";
    r.cls = 1;
    r.code = 0x10001;
    r.type = " ERROR";
    r.source = "net - x";
    r.body = "Connection timed out";
    const std::string framed = Report(r) + Report(r);
    const std::string longValue(600, 'x');
    const std::pair<const char *, std::string> cases[] = {
        {nullptr, framed},
        {"frame", framed},
        {"", framed},
        {"JSON", "Tarvik - ErrDispatch() : Valeur inconnue de TARVIK_CFG_OUTPUT (\"JSON\") : "
                 "rapport encadre\n" +
                     framed},
        {longValue.c_str(), "Tarvik - ErrDispatch() : Valeur inconnue de TARVIK_CFG_OUTPUT (\"" +
                                longValue.substr(0, 255) + "\") : rapport encadre\n" + framed},
    };
    for (const auto &[value, expected] : cases) {
        Env env;
        if (value)
            env.emplace_back("TARVIK_CFG_OUTPUT", value);
        const std::string out = scene.Run(
            [](Handback &) {
                TarvikInit("orders", 0);
                ErrSend(0x10001, TARVIK_ERROR, "net - x", nullptr);
                ErrSend(0x10001, TARVIK_ERROR, "net - x", nullptr);
            },
            env);
        EXPECT_EQ(out, expected) << (value ? value : "unset");
    }
}

// Every byte that a text may hold, quotes, backslashes and control bytes among them, and
// valid and invalid UTF-8, read back by jq.
TEST_F(JsonTest, TextsReadBackExactly)
{
    std::string ascii, high, highReplaced;
    for (int c = 1; c < 128; ++c)
        ascii += char(c);
    for (int c = 128; c < 256; ++c)
        high += char(c), highReplaced += R;
    const std::string quotes = std::string(511, '"') + std::string(512, '\\');
    const std::string utf8 = "\xC2\x85 \xE2\x80\xA8 \xE2\x80\xA9 \xF0\x9F\x98\x80 \xE6\x97\xA5 "
                             "\xC2\xA0 \xC3\xA9 \xEF\xBF\xBF";
    const std::string mixed = "a\xF1\x80\x80\xE1\x80\xC2"
                              "b\x80"
                              "c\x80\xBF"
                              "d";
    const std::string mixedReplaced = std::string("a") + R + R + R + "b" + R + "c" + R + R + "d";
    const struct {
        int code;
        std::string source, extra;
        std::vector<std::string> texts; // read back: source, extra, body
    } cases[] = {
        {0x10001, ascii, high, {ascii, highReplaced, "Connection timed out"}},
        {0x10002,
         quotes,
         utf8,
         {quotes, utf8, std::string("tab\there \"q\" \\ \x7f ") + R + " end"}},
        {0x10001, mixed, "", {mixedReplaced, "", "Connection timed out"}},
    };
    const std::string out = scene.Run(
        [&](Handback &) {
            TarvikInit("orders", 0);
            for (const auto &c : cases)
                ErrSend(c.code, TARVIK_ERROR, c.source.c_str(), c.extra.c_str());
        },
        {{"TARVIK_CFG_OUTPUT", "json"}});
    std::vector<std::vector<std::string>> expected;
    for (const auto &c : cases)
        expected.push_back(c.texts);
    EXPECT_EQ(ParsedTexts(scene, out), expected);
}

// Eight threads report at once: each report is one whole line of its own.
TEST_F(JsonTest, ConcurrentReportsAreWholeLines)
{
    constexpr int kThreads = 8, kRounds = 60;
    auto textOf = [](int t, int k) {
        std::string text = "T" + std::to_string(t) + " - " + std::to_string(k) + " \"\n\t\\";
        for (int i = 0; i < (t * 131 + k * 37) % 1000; ++i)
            text += char(1 + (t + k + i) % 127);
        return text;
    };
    const std::string out = scene.Run(
        [&](Handback &) {
            TarvikInit("orders", 0);
            pthread_barrier_t start;
            pthread_barrier_init(&start, nullptr, kThreads);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    pthread_barrier_wait(&start);
                    for (int k = 0; k < kRounds; ++k)
                        ErrSend(0x10001, TARVIK_WARNING, textOf(t, k).c_str(),
                                textOf(k, t).c_str());
                });
            for (std::thread &thread : threads)
                thread.join();
            pthread_barrier_destroy(&start);
        },
        {{"TARVIK_CFG_OUTPUT", "json"}});
    std::map<std::vector<std::string>, int> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kRounds; ++k)
            ++expected[{textOf(t, k), textOf(k, t), "Connection timed out"}];
    std::map<std::vector<std::string>, int> got;
    for (auto &texts : ParsedTexts(scene, out))
        ++got[texts];
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), kThreads * kRounds);
    EXPECT_TRUE(got == expected) << "reports lost, doubled or changed";
}

} // namespace
