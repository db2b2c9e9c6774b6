// Thread soak: eight threads send 2,000 reports each, half with ErrSend and half with
// ErrGet, while another thread keeps calling ErrCfgInit itself, swapping the class table
// between two configurations that place the same catalogues in different directories
// and list them in different orders. Every report must come out whole and exact, every
// text must be right, and under ThreadSanitizer no race may be reported.
#include "TestSupport.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Outcome;
using tarvik::test::RunInChild;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

constexpr int kThreads = 8;
constexpr int kReportsPerThread = 2000; // half ErrSend, half ErrGet

struct Code {
    int code;
    const char *pkg;
    int cls;
    const char *body; // in the report; nullptr: the errno text
    const char *text; // from ErrGet; nullptr: the errno text
};
constexpr Code kCodes[] = {
    {0xc0001, "DEMO", 12, "Out of memory", "Out of memory"},
    {0xe0002, "DISK", 14, "No space left", "No space left"},
    {-1, "", 0, nullptr, nullptr},
    {0xc0003, "DEMO", 12, "Disk. Full. Really.", "Disk. Full. Really."},
    {0xc0009, "DEMO", 12, "", "Unknown error number $c0009 in class DEMO\n"},
    {0x30001, "", 3, "", "Unknown class number 3 in error code $30001\n"},
};
constexpr int kErrnos[] = {ENOENT, EACCES, EEXIST};

// What thread t sends in round k.
struct Call {
    const Code &code;
    int err;
    std::string source, extra;
};
Call CallOf(int t, int k)
{
    return {kCodes[(t + k) % std::size(kCodes)], kErrnos[(t * 7 + k) % std::size(kErrnos)],
            "T" + std::to_string(t) + " - round " + std::to_string(k),
            std::string(std::size_t((t * 37 + k * 101) % 400), char('a' + t))};
}

std::string ReportOf(const Call &c)
{
    char hex[16];
    snprintf(hex, sizeof hex, "%x", unsigned(c.code.code));
    return "==== TARVIK MESSAGE ==== <date>\nApplication : SOAK\nClass : " +
           std::string(c.code.pkg) + " (" + std::to_string(c.code.cls) + ")\nCode : $" + hex +
           "\nType : WARNING\nSource : " + c.source +
           "\nBody : " + (c.code.body ? c.code.body : strerror(c.err)) + "\nExtra : " + c.extra +
           "\n========================\n\n";
}

TEST(SoakTest, ReportsAndLookupsWhileTablesAreSwapped)
{
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    for (const std::string &d : {a, b}) {
        mkdir(d.c_str(), 0700);
        WriteFile(d + "/DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n.c0002.\n"
                                          ".c0003.Disk. Full. Really.\n");
        WriteFile(d + "/DISK_err.tarvik", "!$e\n.e0001.Quota\n.e0002.No space left\n");
    }
    // The same classes, elsewhere and in the other order.
    const std::string configA = ".CLASS demo 12\n.CLASS disk 14\n";
    const std::string configB = ".CLASS disk 14 " + b + "\n.CLASS demo 12 " + b + "\n";
    WriteFile(a + "/Tarvik.cfg", configA);
    WriteFile(a + "/next-a", configA);
    WriteFile(a + "/next-b", configB);

    const auto started = std::chrono::steady_clock::now();
    const Outcome run = RunInChild([&] {
        setenv("TARVIK_CFG_DIR", a.c_str(), 1);
        unsetenv("TARVIK_CFG_FILE");
        unsetenv("TARVIK_CFG_DIR_USER");
        TarvikInit("SOAK", 0);
        std::atomic<int> running{kThreads}, wrongTexts{0}, failures{0}, swaps{0}, badLoads{0};
        pthread_barrier_t start;
        pthread_barrier_init(&start, nullptr, kThreads + 1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                pthread_barrier_wait(&start);
                for (int k = 0; k < kReportsPerThread / 2; ++k) {
                    const Call c = CallOf(t, k);
                    errno = c.err;
                    if (ErrSend(c.code.code, TARVIK_WARNING, c.source.c_str(), c.extra.c_str()))
                        ++failures;
                    char text[80];
                    errno = c.err;
                    if (ErrGet(c.code.code, text, sizeof text))
                        ++failures;
                    if ((c.code.text ? c.code.text : strerror(c.err)) != std::string(text))
                        ++wrongTexts;
                }
                --running;
            });
        }
        // The swapper: puts the other configuration in place and loads it, until the
        // reporting threads are done.
        threads.emplace_back([&] {
            pthread_barrier_wait(&start);
            const std::string cfg = a + "/Tarvik.cfg";
            for (int n = 0; running > 0; ++n) {
                const std::string next = a + (n % 2 ? "/next-a" : "/next-b");
                const std::string copy = next + ".tmp";
                if (link(next.c_str(), copy.c_str()) != 0 ||
                    rename(copy.c_str(), cfg.c_str()) != 0 || ErrCfgInit() != 0)
                    ++badLoads;
                ++swaps;
            }
        });
        for (std::thread &thread : threads)
            thread.join();
        pthread_barrier_destroy(&start);
        printf("failures %d, wrong texts %d, bad loads %d\n", failures.load(), wrongTexts.load(),
               badLoads.load());
        fprintf(stderr, "soak: %d table swaps\n", swaps.load());
        return 0;
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(run.status, 0) << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
    RecordProperty("seconds", std::to_string(seconds));

    // Every report exactly once, each whole: counted off a multiset of the expected ones.
    std::map<std::string, int> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kReportsPerThread / 2; ++k)
            ++expected[ReportOf(CallOf(t, k))];
    const std::string &out = run.out;
    const std::string banner = "==== TARVIK MESSAGE ==== ";
    const std::string trailer = "\n========================\n\n";
    const std::string summary = "failures 0, wrong texts 0, bad loads 0\n";
    std::size_t at = 0;
    int unexpected = 0, reports = 0;
    for (std::size_t end; (end = out.find(trailer, at)) != std::string::npos;
         at = end + trailer.size()) {
        std::string report = out.substr(at, end + trailer.size() - at);
        if (report.compare(0, banner.size(), banner) == 0) // the date stamp masked
            report.replace(banner.size(), report.find('\n') - banner.size(), "<date>");
        const auto it = expected.find(report);
        if (it == expected.end() || it->second == 0) {
            if (++unexpected <= 3)
                ADD_FAILURE() << "unexpected output: " << testing::PrintToString(report);
        } else {
            --it->second;
            ++reports;
        }
    }
    EXPECT_EQ(out.substr(at), summary);
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(reports, kThreads * kReportsPerThread / 2);
    printf("%d reports and %d lookups in %.1f s\n", reports, kThreads * kReportsPerThread / 2,
           seconds);
}

} // namespace
