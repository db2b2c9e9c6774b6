// A catalogue recompiled while a program reads it: the compiler replaces each file in one
// step, so every lookup meets the old catalogue or the new one, whole. A child process
// runs TarvikCompile in a loop while another looks one code up 20,000 times with ErrGet.
#include "TestSupport.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

using tarvik::test::ExitChild;
using tarvik::test::Outcome;
using tarvik::test::ProgramRun;
using tarvik::test::ReadFile;
using tarvik::test::RunInChild;
using tarvik::test::RunProgram;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

constexpr int kErrors = 200; // about 10 KB of catalogue: several writes per compile
constexpr int kLookups = 20000;

std::string TextOf(int i)
{
    return "Text of error number " + std::to_string(i) + " of the recompiled class";
}

// Runs the compiler on source in the current directory until stop exists; writes one
// byte to ready after the first run and the number of runs to done at the end.
[[noreturn]] void Recompile(const char *source, const char *stop, int ready, int done)
{
    char *argv[] = {const_cast<char *>(TARVIK_COMPILE_PATH), const_cast<char *>(source), nullptr};
    int runs = 0;
    do {
        pid_t pid;
        int status = -1;
        if (posix_spawn(&pid, TARVIK_COMPILE_PATH, nullptr, nullptr, argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ExitChild(1);
        if (++runs == 1 && write(ready, "r", 1) != 1)
            ExitChild(1);
    } while (access(stop, F_OK) != 0);
    ExitChild(write(done, &runs, sizeof runs) == sizeof runs ? 0 : 1);
}

TEST(RecompileTest, ReadersSeeWholeTexts)
{
    TempDir dir;
    std::string source = ".CLASS net 1\n";
    for (int i = 1; i <= kErrors; ++i)
        source += "E" + std::to_string(i) + " \"" + TextOf(i) + "\"\n";
    WriteFile(dir / "net.err", source);
    WriteFile(dir / "Tarvik.cfg", ".CLASS net 1\n");
    ProgramRun first;
    first.args = {"net.err"};
    first.cwd = dir.path();
    ASSERT_EQ(RunProgram(TARVIK_COMPILE_PATH, first).status, 0);
    const std::string header = ReadFile(dir / "NET_err.h");
    const std::string catalogue = ReadFile(dir / "NET_err.tarvik");

    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const std::string stop = dir / "stop";
    fflush(nullptr);
    const pid_t recompiler = fork();
    ASSERT_GE(recompiler, 0);
    if (recompiler == 0) {
        if (chdir(dir.path().c_str()) != 0)
            ExitChild(1);
        Recompile("net.err", stop.c_str(), ready[1], done[1]);
    }
    close(ready[1]);
    close(done[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the compiler failed";

    // Only a wrong answer is printed: the whole output must be empty.
    const Outcome reader = RunInChild([&] {
        setenv("TARVIK_CFG_DIR", dir.path().c_str(), 1);
        unsetenv("TARVIK_CFG_FILE");
        unsetenv("TARVIK_CFG_DIR_USER");
        const std::string expected = TextOf(kErrors);
        int wrong = 0;
        for (int i = 0; i < kLookups; ++i) {
            char text[256];
            const int result = ErrGet(0x10000 + kErrors, text, sizeof text);
            if ((result != 0 || text != expected) && wrong++ < 3)
                printf("lookup %d: result %d, text \"%s\"\n", i, result, text);
        }
        if (wrong > 0)
            printf("%d of %d lookups wrong\n", wrong, kLookups);
        return 0;
    });
    WriteFile(stop, "");
    int runs = 0;
    EXPECT_EQ(read(done[0], &runs, sizeof runs), ssize_t(sizeof runs));
    int status = -1;
    waitpid(recompiler, &status, 0);
    close(ready[0]);
    close(done[0]);

    EXPECT_TRUE(reader.out.empty()) << reader.out.size() << " bytes of output, from\n"
                                    << reader.out.substr(0, 1000);
    EXPECT_EQ(reader.status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the compiler failed";
    EXPECT_GE(runs, 1);
    // The files of the last run, and no temporary file left behind.
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"NET_err.h", "NET_err.tarvik", "Tarvik.cfg", "net.err",
                                            "stop"}));
    EXPECT_EQ(ReadFile(dir / "NET_err.h"), header);
    EXPECT_EQ(ReadFile(dir / "NET_err.tarvik"), catalogue);
}

} // namespace
