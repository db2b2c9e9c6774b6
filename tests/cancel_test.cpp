// Threads cancelled inside the library. The library's calls are not cancellation points:
// a cancel that is pending when a call starts, or that arrives while the call waits (here
// on a full standard output, with the library lock held for the loading of the
// configuration), acts only once the call has returned, at the thread's next cancellation
// point. So the call finishes its work, the lock is free afterwards, and no descriptor is
// left open; a later call from another thread neither hangs nor fails.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

// The lowest free descriptor number: it grows when a descriptor is left open.
int LowestFreeDescriptor()
{
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

struct Cancelled {
    const std::function<void()> *call;
    std::atomic<bool> started{false};
    std::atomic<bool> returned{false};
    bool pending = true; // the thread cancels itself before the call
};

void *CancelledCall(void *arg)
{
    auto *c = static_cast<Cancelled *>(arg);
    if (c->pending)
        pthread_cancel(pthread_self());
    c->started = true;
    (*c->call)();
    c->returned = true;
    pthread_testcancel();
    return nullptr; // not reached: the pending cancel acts at pthread_testcancel
}

// Starts call on a thread; with pending, the thread cancels itself first.
pthread_t StartCancelled(Cancelled &c)
{
    pthread_t thread;
    pthread_create(&thread, nullptr, CancelledCall, &c);
    return thread;
}

// Joins thread and hands back whether it was cancelled after its call had returned.
void JoinCancelled(pthread_t thread, const Cancelled &c, Handback &back)
{
    void *result = nullptr;
    pthread_join(thread, &result);
    back.Add(result == PTHREAD_CANCELED && c.returned);
}

class CancelTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        scene.Write("Tarvik.cfg", ".CLASS demo 12\n");
        scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n");
    }

    // Hands back whether a call from this thread still finds the text.
    static void CheckLibrary(Handback &back)
    {
        char text[32] = "";
        back.Add(ErrGet(0xc0001, text, sizeof text) == 0 && std::string(text) == "Out of memory");
    }

    Scene scene;
};

// A cancel pending when the call starts: during the first load (the lock held, the
// configuration open), during a catalogue read, and during a load that the program
// makes itself under the lock.
TEST_F(CancelTest, PendingCancelActsAfterTheCall)
{
    ReportText report;
    report.pkg = "DEMO";
    report.cls = 12;
    report.code = 0xc0001;
    report.type = " ERROR";
    report.body = "Out of memory";
    const struct {
        const char *what;
        bool loadFirst; // the configuration is loaded before the cancelled call
        std::function<void()> call;
        std::string out;
    } cases[] = {
        {"TarvikInit's load", false, [] { TarvikInit("", 0); }, ""},
        {"ErrSend's load and report", false,
         [] { ErrSend(0xc0001, TARVIK_ERROR, nullptr, nullptr); }, Report(report)},
        {"ErrSend's catalogue read", true, [] { ErrSend(0xc0001, TARVIK_ERROR, nullptr, nullptr); },
         Report(report)},
        {"ErrGet's catalogue read", true, [] { ErrGet(0xc0001, nullptr, 0); }, ""},
        {"ErrCfgInit under the program's own lock", true,
         [] {
             ErrMutexLock();
             ErrCfgInit();
             ErrMutexUnlock();
         },
         ""},
    };
    for (const auto &c : cases) {
        const std::string out = scene.Run(
            [&](Handback &back) {
                tarvik::test::ExitIfHung(30);
                if (c.loadFirst)
                    CheckLibrary(back);
                const int lowest = LowestFreeDescriptor();
                Cancelled cancelled;
                cancelled.call = &c.call;
                JoinCancelled(StartCancelled(cancelled), cancelled, back);
                CheckLibrary(back);
                back.Add(LowestFreeDescriptor() == lowest);
            },
            {{"TARVIK_CFG_DIR", scene.dir().path()}});
        EXPECT_EQ(out, c.out) << c.what;
        const std::vector<int> allTrue(c.loadFirst ? 4 : 3, 1);
        EXPECT_EQ(scene.back().Values(), allTrue) << c.what;
    }
}

// A cancel that arrives while the first load waits, the lock held, for a full standard
// output to take its diagnostic (the system file is missing, the user file holds the
// classes).
TEST_F(CancelTest, CancelWhileWaitingWithTheLockHeld)
{
    const std::string system = scene.Path("nowhere");
    const std::string out = scene.Run(
        [&](Handback &back) {
            tarvik::test::ExitIfHung(30);
            const int results = dup(STDOUT_FILENO);
            int p[2];
            if (pipe(p) != 0 || dup2(p[1], STDOUT_FILENO) < 0) {
                back.skipped = true;
                return;
            }
            close(p[1]);
            // Fill the pipe, so that the next write waits.
            fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
            const std::string fill(4096, '.');
            std::size_t filled = 0;
            for (ssize_t n; (n = write(STDOUT_FILENO, fill.data(), fill.size())) > 0;)
                filled += std::size_t(n);
            fcntl(STDOUT_FILENO, F_SETFL, 0);

            const std::function<void()> init = [] { TarvikInit("", 0); };
            Cancelled cancelled;
            cancelled.call = &init;
            cancelled.pending = false;
            const pthread_t thread = StartCancelled(cancelled);
            while (!cancelled.started)
                std::this_thread::yield();
            usleep(100 * 1000); // inside the library, waiting on the pipe
            pthread_cancel(thread);
            std::string got;
            std::thread drain([&] {
                char chunk[4096];
                for (ssize_t n; (n = read(p[0], chunk, sizeof chunk)) > 0;)
                    got.append(chunk, std::size_t(n));
            });
            JoinCancelled(thread, cancelled, back);
            CheckLibrary(back);
            close(STDOUT_FILENO);
            drain.join();
            dprintf(results, "%s", got.substr(filled).c_str());
        },
        {{"TARVIK_CFG_DIR", system}, {"TARVIK_CFG_DIR_USER", scene.dir().path()}});
    ASSERT_FALSE(scene.back().skipped) << "cannot set up the pipe";
    EXPECT_EQ(out, "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" + system +
                       "/Tarvik.cfg\"\n");
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{1, 1}));
}

} // namespace
