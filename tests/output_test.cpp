// Reports through a standard output that is a pipe kept full by a slow reader, while a
// timer signal whose handler was installed without SA_RESTART interrupts the reporting
// threads every 100 microseconds: once with the pipe blocking, once non-blocking. Four
// threads each print a line of their own with printf and then send a report, 300 times.
// Every line and every report must come out exactly once and whole, each line before its
// thread's report and in its thread's order, every ErrSend must return 0, and the
// descriptor's flags must be as the program set them.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <pthread.h>
#include <string>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

constexpr int kThreads = 4;
constexpr int kRounds = 300;

std::atomic<int> Interruptions{0};

void OnTimer(int)
{
    ++Interruptions;
}

std::string Line(int t, int k)
{
    return "T" + std::to_string(t) + " line " + std::to_string(k) + "\n";
}

std::string Source(int t, int k)
{
    return "T" + std::to_string(t) + " - report " + std::to_string(k);
}

const std::string kTrailer = "========================\n\n";

// What thread t prints, in its order: a line, then a report, each round.
std::vector<std::string> ThreadOutput(int t)
{
    std::vector<std::string> pieces;
    for (int k = 0; k < kRounds; ++k) {
        ReportText r;
        r.pkg = "DEMO";
        r.cls = 12;
        r.code = 0xc0001;
        r.type = " ERROR";
        r.source = Source(t, k);
        r.body = "Out of memory";
        pieces.push_back(Line(t, k));
        pieces.push_back(Report(r));
    }
    return pieces;
}

// In the child: runs the reporting threads with standard output on a pipe (non-blocking
// when asked), the slow reader and the timer; returns everything the reader got. Hands
// back the number of failed ErrSend calls, whether the timer fired, and whether the
// descriptor's flags were left as they were.
std::string ReportThroughFullPipe(bool nonBlocking, Handback &back)
{
    int p[2];
    if (pipe(p) != 0 || fcntl(p[1], F_SETPIPE_SZ, 4096) < 0 || dup2(p[1], STDOUT_FILENO) < 0 ||
        (nonBlocking && fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) != 0)) {
        back.skipped = true;
        return "";
    }
    close(p[1]);
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);

    // The timer's signal reaches only the reporting threads.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    struct sigaction action = {};
    action.sa_handler = OnTimer; // no SA_RESTART: blocked writes fail with EINTR
    sigaction(SIGALRM, &action, nullptr);

    std::string got;
    std::thread reader([&] {
        char chunk[256];
        ssize_t n;
        while ((n = read(p[0], chunk, sizeof chunk)) != 0) {
            if (n > 0)
                got.append(chunk, std::size_t(n));
            usleep(100);
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&failures, &alarm, t] {
            pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
            for (int k = 0; k < kRounds; ++k) {
                printf("%s", Line(t, k).c_str());
                if (ErrSend(0xc0001, TARVIK_ERROR, Source(t, k).c_str(), nullptr) != 0)
                    ++failures;
            }
        });
    const itimerval every100us = {{0, 100}, {0, 100}};
    setitimer(ITIMER_REAL, &every100us, nullptr);
    for (std::thread &thread : threads)
        thread.join();
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    back.Add(failures);
    back.Add(Interruptions > 0);
    back.Add(fcntl(STDOUT_FILENO, F_GETFL) == flags);
    close(STDOUT_FILENO); // the reader sees the end
    reader.join();
    return got;
}

TEST(OutputTest, InterruptedWritesToAFullPipeLoseNothing)
{
    Scene scene;
    scene.Write("Tarvik.cfg", ".CLASS demo 12\n");
    scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n");
    for (const bool nonBlocking : {false, true}) {
        const std::string out = scene.Run(
            [&](Handback &back) {
                tarvik::test::ExitIfHung(60);
                ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0); // the load, before the timer
                const int results = dup(STDOUT_FILENO);
                const std::string got = ReportThroughFullPipe(nonBlocking, back);
                for (std::size_t at = 0; at < got.size();) {
                    const ssize_t n = write(results, got.data() + at, got.size() - at);
                    if (n <= 0)
                        break;
                    at += std::size_t(n);
                }
            },
            {{"TARVIK_CFG_DIR", scene.dir().path()}});
        ASSERT_FALSE(scene.back().skipped) << "cannot set up the pipe";
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 1, 1})) << nonBlocking;

        // Each thread's lines and reports, in the order they came out.
        std::map<int, std::vector<std::string>> seen;
        int unexpected = 0;
        for (std::size_t at = 0; at < out.size();) {
            const bool line = out.compare(at, 1, "T") == 0;
            const std::size_t end = line ? out.find('\n', at) : out.find(kTrailer, at);
            const std::string piece = out.substr(
                at, end == std::string::npos ? end : end + (line ? 1 : kTrailer.size()) - at);
            at += piece.size();
            const std::size_t name = line ? 0 : piece.find("\nSource : ") + 10;
            const int t =
                name < piece.size() - 1 && piece[name] == 'T' ? piece[name + 1] - '0' : -1;
            if (t >= 0 && t < kThreads)
                seen[t].push_back(piece);
            else if (++unexpected <= 3)
                ADD_FAILURE() << "unexpected output: " << testing::PrintToString(piece);
        }
        EXPECT_EQ(unexpected, 0);
        for (int t = 0; t < kThreads; ++t) {
            const std::vector<std::string> expected = ThreadOutput(t);
            std::size_t same = 0;
            while (same < expected.size() && same < seen[t].size() &&
                   seen[t][same] == expected[same])
                ++same;
            EXPECT_TRUE(same == expected.size() && seen[t].size() == expected.size())
                << "thread " << t << (nonBlocking ? ", non-blocking" : "") << ": " << seen[t].size()
                << " pieces out of " << expected.size() << ", the first difference at piece "
                << same << ": "
                << testing::PrintToString(same < seen[t].size() ? seen[t][same] : "<none>");
        }
    }
}

} // namespace
