#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
// Test scenarios run in children that end with _exit (ExitChild), which skips the
// sanitizer's own exit status: a race must end the child at once for its test to fail.
extern "C" const char *__tsan_default_options()
{
    return "halt_on_error=1";
}
#endif

#if defined(TARVIK_COVERAGE)
extern "C" void __gcov_dump(void); // libgcov: writes the counters of every object
#endif

namespace tarvik::test
{
namespace
{

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Reads fd to its end.
std::string Drain(int fd)
{
    std::string bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0)
            bytes.append(chunk, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    return bytes;
}

int StatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

// Forks a child that runs child() with its standard output on a pipe (and, when
// input is given, its standard input fed from a second pipe); returns what it wrote.
Outcome Spawn(const std::function<void()> &child, const std::string *input)
{
    Outcome outcome;
    fflush(nullptr); // nothing buffered in the parent may be written twice
    int out[2], in[2] = {-1, -1};
    if (pipe(out) != 0 || (input && pipe(in) != 0)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return outcome;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return outcome;
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (input) {
            dup2(in[0], STDIN_FILENO);
            close(in[0]);
            close(in[1]);
        }
        child();
        ExitChild(127);
    }
    close(out[1]);
    if (input) {
        close(in[0]);
        // Small inputs only: the child reads them before it writes much.
        const char *p = input->data();
        size_t left = input->size();
        while (left > 0) {
            const ssize_t n = write(in[1], p, left);
            if (n <= 0)
                break;
            p += n;
            left -= size_t(n);
        }
        close(in[1]);
    }
    outcome.out = Drain(out[0]);
    close(out[0]);
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    outcome.status = StatusOf(waitStatus);
    return outcome;
}

} // namespace

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvik-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = pattern;
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ASSERT_EQ(fclose(f), 0) << path;
    ASSERT_TRUE(ok) << path;
}

std::string ReadFile(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << path << ": " << strerror(errno);
        return {};
    }
    std::string bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeSocketFile(const std::string &path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ADD_FAILURE() << "socket path too long: " << path;
        return;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        ADD_FAILURE() << "cannot make a socket at " << path << ": " << strerror(errno);
    if (fd >= 0)
        close(fd);
}

void SetEnv(const char *name, const char *value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

void ExitIfHung(int seconds)
{
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const char message[] = "the scenario hung: ended by its watchdog\n";
        if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        }
        ExitChild(124);
    }).detach();
}

void ExitChild(int status)
{
#if defined(TARVIK_COVERAGE)
    __gcov_dump();
#endif
    _exit(status);
}

Outcome RunInChild(const std::function<int()> &body)
{
    return Spawn(
        [&] {
            const int status = body();
            fflush(nullptr);
            ExitChild(status);
        },
        nullptr);
}

Outcome RunProgram(const std::string &path, const ProgramRun &run)
{
    return Spawn(
        [&] {
            if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0)
                ExitChild(126);
            for (const auto &name : run.unset)
                unsetenv(name.c_str());
            for (const auto &[name, value] : run.env)
                setenv(name.c_str(), value.c_str(), 1);
            if (!run.output.empty()) {
                const int fd = open(run.output.c_str(), O_WRONLY);
                if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
                    _exit(126);
            }
            std::vector<char *> argv{const_cast<char *>(path.c_str())};
            for (const auto &arg : run.args)
                argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            ExitChild(127);
        },
        &run.input);
}

} // namespace tarvik::test
