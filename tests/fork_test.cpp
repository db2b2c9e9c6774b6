// fork while other threads hold the library lock or take it without pause. The child of a
// multithreaded process has only the thread that forked, so a lock held by another thread
// at that moment would stay held in the child for ever; the library takes its lock around
// fork, so the child starts with it free and its own calls go through.
//
// POSIX allows such a child only async-signal-safe functions before exec, and the
// library's calls are not: they also take locks of the C library (memory, stdio, the time
// zone), which a thread that reports at the fork may hold. So the other threads here take
// only the library's lock, never a report of their own while forks are made.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::ExitChild;
using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

constexpr int kChildExitedWell = 1;
constexpr int kChildHung = 2;
constexpr int kChildFailed = 3;

// Forks a child that calls ErrSend and ErrGet and exits 0 when both gave what they
// should. Waits for it at most 10 seconds; a child still running then is killed.
int ForkAndReport(int n)
{
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string source = "child " + std::to_string(n);
        char text[32] = "";
        const bool sent = ErrSend(0xc0001, TARVIK_ERROR, source.c_str(), nullptr) == 0;
        const bool got = ErrGet(0xc0001, text, sizeof text) == 0;
        ExitChild(sent && got && std::string(text) == "Out of memory" ? 0 : 1);
    }
    int status = 0;
    for (int waited = 0; waited < 1000; ++waited) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kChildExitedWell : kChildFailed;
        if (done < 0 && errno != EINTR)
            return kChildFailed;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return kChildHung;
}

ReportText ChildReport(int n)
{
    ReportText r;
    r.pkg = "DEMO";
    r.cls = 12;
    r.code = 0xc0001;
    r.type = " ERROR";
    r.source = "child " + std::to_string(n);
    r.body = "Out of memory";
    return r;
}

class ForkTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        scene.Write("Tarvik.cfg", ".CLASS demo 12\n");
        scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n");
    }
    Scene scene;
};

// Another thread holds the lock when fork is called: fork waits until it is released,
// and the child's calls go through.
TEST_F(ForkTest, LockHeldByAnotherThread)
{
    const std::string out = scene.Run(
        [](Handback &back) {
            ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0); // creates the lock, loads
            std::atomic<bool> held{false}, forked{false};
            std::thread holder([&held, &forked] {
                ErrMutexLock();
                held = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                ErrMutexUnlock();
                while (!forked) // still running at the fork: no thread leak for TSan
                    std::this_thread::yield();
            });
            while (!held)
                std::this_thread::yield();
            back.Add(ForkAndReport(0));
            forked = true;
            holder.join();
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(out, Report(ChildReport(0)));
    EXPECT_EQ(scene.back().Values(), std::vector<int>{kChildExitedWell});
}

// A program that creates the lock itself, before and after the library's first call, as
// older programs did: the fork handlers are in place once, so fork takes the lock once
// and does not hang waiting for itself.
TEST_F(ForkTest, ProgramCreatesTheLockItself)
{
    const std::string out = scene.Run(
        [](Handback &back) {
            tarvik::test::ExitIfHung(30);
            ErrMutexCreate();
            ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0); // the library's own creation
            ErrMutexCreate();
            back.Add(ForkAndReport(0));
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(out, Report(ChildReport(0)));
    EXPECT_EQ(scene.back().Values(), std::vector<int>{kChildExitedWell});
}

// Four threads take the library lock without pause (TarvikInit, and the lock functions)
// while the main thread forks twenty times: every child reports, and every report comes
// out whole.
TEST_F(ForkTest, ForkWhileThreadsTakeTheLock)
{
    constexpr int kForks = 20;
    const std::string out = scene.Run(
        [&](Handback &back) {
            TarvikInit("", 0);
            std::atomic<bool> stop{false};
            std::vector<std::thread> takers;
            for (int t = 0; t < 4; ++t)
                takers.emplace_back([&stop, t] {
                    while (!stop) {
                        if (t % 2 == 0) {
                            TarvikInit("", 0);
                        } else {
                            ErrMutexLock();
                            ErrMutexUnlock();
                        }
                    }
                });
            for (int n = 0; n < kForks; ++n)
                back.Add(ForkAndReport(n));
            stop = true;
            for (std::thread &taker : takers)
                taker.join();
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(scene.back().Values(), std::vector<int>(kForks, kChildExitedWell));
    std::string expected;
    for (int n = 0; n < kForks; ++n)
        expected += Report(ChildReport(n));
    EXPECT_EQ(out, expected);
}

} // namespace
