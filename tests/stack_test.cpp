// Every public call on a thread whose stack is PTHREAD_STACK_MIN bytes, the least that
// the system allows (programs with many threads use small stacks): the first call loads
// a configuration through a long directory path and prints the loader's diagnostic, the
// later ones read a catalogue of many entries, print diagnostics and reports, look texts
// up and load the configuration again. A call that needs more stack than that kills the
// child with SIGSEGV. The logger is off here; logger_test runs it on small stacks too.
//
// The sanitizers' run-time needs far larger stacks, so their builds skip these cases.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <string>
#include <vector>

namespace
{

using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::SameBytes;
using tarvik::test::Scene;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kEntries = 2000; // DEMO's catalogue: several reader buffers long

void *RunCall(void *call)
{
    (*static_cast<const std::function<void()> *>(call))();
    return nullptr;
}

// Runs call on a new thread whose stack is PTHREAD_STACK_MIN bytes, and waits for it.
// Returns false when such a thread cannot be made.
bool OnSmallStack(const std::function<void()> &call)
{
    pthread_attr_t attr;
    pthread_t thread;
    const bool made =
        pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN) == 0 &&
        pthread_create(&thread, &attr, RunCall, const_cast<std::function<void()> *>(&call)) == 0;
    pthread_attr_destroy(&attr);
    return made && pthread_join(thread, nullptr) == 0;
}

ReportText Demo(unsigned code, const std::string &body)
{
    ReportText r;
    r.app = "STACK";
    r.pkg = code >> 16 == 12 ? "DEMO" : code >> 16 == 13 ? "GONE" : "BAD";
    r.cls = int(code >> 16);
    r.code = code;
    r.type = " ERROR";
    r.source = "stack - small";
    r.body = body;
    r.extra = std::string(1023, 'x');
    return r;
}

TEST(StackTest, EveryCallRunsOnTheSmallestStack)
{
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers need larger stacks";
    Scene scene;
    std::string catalogue = "!$c\n";
    for (int i = 1; i <= kEntries; ++i)
        catalogue += "." + tarvik::test::Hex(0xc0000u + unsigned(i)) + ".Text of entry " +
                     std::to_string(i) + "\n";
    scene.Write("DEMO_err.tarvik", catalogue);
    scene.Write("BAD_err.tarvik", "!$c\n.e0001.Wrong class\n");
    scene.Write("Tarvik.cfg", ".CLASS demo 12\n.CLASS gone 13\n.CLASS bad 14\n");
    // The system file lies behind a long path that does not exist; the classes come from
    // the user file.
    const std::string system = scene.Path(std::string(200, 'd'));
    const std::string extra(1500, 'x'); // cut to 1023 characters

    const std::string out = scene.Run(
        [&](Handback &back) {
            const auto send = [&](int code) {
                return [&back, &extra, code] {
                    back.Add(ErrSend(code, TARVIK_ERROR, "stack - small", extra.c_str()));
                };
            };
            const auto get = [&back](int code) {
                return [&back, code] {
                    char text[64] = "";
                    back.Add(ErrGet(code, text, sizeof text));
                    printf("text: %s|\n", text);
                };
            };
            const std::function<void()> calls[] = {
                [&back] { back.Add(TarvikInit("STACK", 0)); },
                send(0xc0000 + kEntries),
                send(0xd0001),
                send(0xe0001),
                [&back] {
                    errno = ENOENT;
                    back.Add(ErrSend(TARVIK_SYSTEM_ERROR, TARVIK_ERROR, nullptr, nullptr));
                },
                get(0xc0000 + kEntries),
                get(0x30001),
                get(0xc0000 + kEntries + 1),
                [&back] { back.Add(ErrGet(0xd0001, nullptr, 0)); },
                [&back] {
                    ErrMutexLock();
                    back.Add(ErrCfgInit());
                    ErrMutexUnlock();
                    back.Add(ErrCfgGet() != nullptr);
                },
                [&back] {
                    SetTarvikApplicationName("STACK");
                    SetTarvikApplicationCode(5);
                    back.Add(GetTarvikApplicationCode());
                    back.Add(strcmp(GetTarvikApplicationName(), "STACK"));
                },
            };
            for (const auto &call : calls)
                if (!OnSmallStack(call))
                    back.skipped = true;
        },
        {{"TARVIK_CFG_DIR", system}, {"TARVIK_CFG_DIR_USER", scene.dir().path()}});
    ASSERT_FALSE(scene.back().skipped) << "no thread with a stack of PTHREAD_STACK_MIN bytes";

    const std::string load =
        "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" + system + "/Tarvik.cfg\"\n";
    const std::string missing =
        "Impossible d'ouvrir le fichier \"" + scene.Path("GONE_err.tarvik") + "\"\n";
    ReportText systemError = Demo(0xffffffff, strerror(ENOENT));
    systemError.pkg = "";
    systemError.cls = 0;
    systemError.source = systemError.extra = "";
    const std::string expected =
        load + Report(Demo(0xc0000 + kEntries, "Text of entry " + std::to_string(kEntries))) +
        "Tarvik - ErrSend() : " + missing + Report(Demo(0xd0001, "")) +
        "Tarvik - ErrSend() : " + scene.Path("BAD_err.tarvik") + " : format incorrect\n" +
        Report(Demo(0xe0001, "")) + Report(systemError) + "text: Text of entry " +
        std::to_string(kEntries) + "|\n" +
        "text: Unknown class number 3 in error code $30001\n|\n" + "text: Unknown error number $" +
        tarvik::test::Hex(0xc0000u + kEntries + 1) + " in class DEMO\n|\n" +
        "Tarvik - ErrGet() : " + missing + load;
    EXPECT_TRUE(SameBytes(expected, out));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0, -1, -1, 0, 0, 0, 0, -1, -1, 1, 5, 0}));
}

} // namespace
