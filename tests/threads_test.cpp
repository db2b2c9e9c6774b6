// Eight threads report at once from the library's very first call on: the configuration
// must be loaded once, and every report must come out whole, never interleaved with
// another. Meant to run under ThreadSanitizer as well.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace
{

using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

constexpr int kThreads = 8;
constexpr int kRounds = 40;

struct Code {
    int code;
    const char *pkg;
    int cls;
    const char *body; // in the report; nullptr: the errno text
    const char *text; // from ErrGet; nullptr: the errno text
};
constexpr Code kCodes[] = {
    {0xc0001, "DEMO", 12, "Out of memory", "Out of memory"},
    {-1, "", 0, nullptr, nullptr},
    {0xc0009, "DEMO", 12, "", "Unknown error number $c0009 in class DEMO\n"},
    {0x30001, "", 3, "", "Unknown class number 3 in error code $30001\n"},
    {0xc0003, "DEMO", 12, "Disk. Full. Really.", "Disk. Full. Really."},
};
constexpr int kErrnos[] = {ENOENT, EACCES, EEXIST, ENOSPC};

// What thread t sends in round k.
struct Send {
    Code code;
    int err; // errno set before the call
    std::string source, extra;
};

Send SendOf(int t, int k)
{
    Send s{kCodes[(t + k) % std::size(kCodes)], kErrnos[(t + k) % std::size(kErrnos)],
           "T" + std::to_string(t) + " - round " + std::to_string(k),
           std::string(std::size_t(100 + (t * 37 + k * 101) % 900), char('a' + t))};
    return s;
}

TEST(ThreadsTest, ConcurrentReportsComeOutWhole)
{
    Scene scene;
    scene.Write("Tarvik.cfg", ".CLASS demo 12\n");
    scene.Write("DEMO_err.tarvik", "!$c\n"
                                   ".c0001.Out of memory\n"
                                   ".c0002.\n"
                                   ".c0003.Disk. Full. Really.\n");
    // The system file is missing and the user file holds the classes: every load prints
    // one diagnostic and still yields a class table.
    const std::string system = scene.Path("nosystem");
    std::map<int, std::string> errnoText;
    for (const int err : kErrnos)
        errnoText[err] = strerror(err);

    const std::string out = scene.Run(
        [&](Handback &back) {
            pthread_barrier_t start;
            pthread_barrier_init(&start, nullptr, kThreads);
            std::atomic<int> failures{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    pthread_barrier_wait(&start);
                    for (int k = 0; k < kRounds; ++k) {
                        const Send s = SendOf(t, k);
                        errno = s.err;
                        if (ErrSend(s.code.code, TARVIK_ERROR, s.source.c_str(), s.extra.c_str()) !=
                            0)
                            ++failures;
                        char text[64];
                        errno = s.err;
                        if (ErrGet(s.code.code, text, sizeof text) != 0 ||
                            (s.code.text ? s.code.text : errnoText.at(s.err)) != text)
                            ++failures;
                    }
                });
            }
            for (std::thread &thread : threads)
                thread.join();
            pthread_barrier_destroy(&start);
            back.Add(failures);
        },
        {{"TARVIK_CFG_DIR", system}, {"TARVIK_CFG_DIR_USER", scene.dir().path()}});
    EXPECT_EQ(scene.back().Values(), std::vector<int>{0});

    std::map<std::string, int> expected; // report -> times still to be seen
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kRounds; ++k) {
            const Send s = SendOf(t, k);
            ReportText r;
            r.pkg = s.code.pkg;
            r.cls = s.code.cls;
            r.code = unsigned(s.code.code);
            r.type = " ERROR";
            r.source = s.source;
            r.body = s.code.body ? s.code.body : errnoText.at(s.err);
            r.extra = s.extra;
            ++expected[Report(r)];
        }
    }

    // The one load comes first, before any report.
    const std::string load =
        "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" + system + "/Tarvik.cfg\"\n";
    ASSERT_EQ(out.compare(0, load.size(), load), 0) << out.substr(0, 200);
    EXPECT_EQ(out.find("Impossible de trouver", load.size()), std::string::npos);

    const std::string banner = std::string(tarvik::test::kBanner) + tarvik::test::kDate + "\n";
    const std::string trailer = "\n========================\n\n";
    int unexpected = 0;
    for (std::size_t at = load.size(); at < out.size();) {
        const std::size_t end = out.find(trailer, at);
        const std::string report = out.substr(
            at, end == std::string::npos ? std::string::npos : end + trailer.size() - at);
        auto it = expected.find(report);
        if (report.compare(0, banner.size(), banner) != 0 || it == expected.end() ||
            it->second == 0) {
            if (++unexpected <= 3)
                ADD_FAILURE() << "unexpected output: " << testing::PrintToString(report);
        } else {
            --it->second;
        }
        at += report.size();
    }
    EXPECT_EQ(unexpected, 0);
    int missing = 0;
    for (const auto &[report, count] : expected)
        missing += count;
    EXPECT_EQ(missing, 0) << "reports not seen";
}

} // namespace
