/*
 * stack_depth - how deep each public call of the library goes into its thread's stack.
 *
 * Every call runs on a fresh thread whose stack (256 KiB, the program's own) was filled
 * with a pattern beforehand; after the thread ends, the lowest byte that no longer holds
 * the pattern tells how far below the thread function's frame the call reached. The calls
 * are those of a program that runs on small stacks, the logger off: the first one loads
 * the configuration through a long directory path and prints the loader's diagnostic, the
 * reports read a catalogue of several reader buffers and print diagnostics.
 *
 * Goal: every call within half of PTHREAD_STACK_MIN, so that a thread with the smallest
 * stack that the system allows keeps half of it for the program's own frames, thread
 * descriptor and thread-local storage. The room such a thread really leaves below its
 * start routine is shown too.
 *
 * Usage: stack_depth. Prints the table on standard error (standard output takes the
 * library's reports, sent to /dev/null). Exits 1 when the set-up fails, else 0, goal met
 * or not.
 */
#include "tarvik.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr std::size_t kStackSize = 256 * 1024;
constexpr unsigned char kPattern = 0xa5;
constexpr int kEntries = 2000;

struct Subject {
    const char *label;
    void (*call)();
};

struct Probe {
    void (*call)();
    std::uintptr_t top; /* address of a local of the thread's start routine */
};

void *Run(void *arg)
{
    auto *probe = static_cast<Probe *>(arg);
    volatile char marker = 0;
    probe->top = reinterpret_cast<std::uintptr_t>(&marker);
    probe->call();
    return nullptr;
}

/* Bytes of stack that call used below its thread's start routine; 0 when it cannot run. */
std::size_t Depth(void (*call)())
{
    std::vector<unsigned char> stack(kStackSize, kPattern);
    Probe probe{call, 0};
    pthread_attr_t attr;
    pthread_t thread;
    if (pthread_attr_init(&attr) != 0 ||
        pthread_attr_setstack(&attr, stack.data(), stack.size()) != 0 ||
        pthread_create(&thread, &attr, Run, &probe) != 0)
        return 0;
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    const auto dirty =
        std::find_if(stack.begin(), stack.end(), [](unsigned char b) { return b != kPattern; });
    return std::size_t(probe.top - reinterpret_cast<std::uintptr_t>(&*dirty));
}

/* The room below the start routine of a thread made with a PTHREAD_STACK_MIN stack. */
std::size_t SmallThreadRoom()
{
    static std::size_t room;
    pthread_attr_t attr;
    pthread_t thread;
    if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN) != 0 ||
        pthread_create(
            &thread, &attr,
            [](void *) -> void * {
                pthread_attr_t self;
                void *low;
                std::size_t size;
                volatile char marker = 0;
                if (pthread_getattr_np(pthread_self(), &self) == 0 &&
                    pthread_attr_getstack(&self, &low, &size) == 0)
                    room = std::size_t(reinterpret_cast<std::uintptr_t>(&marker) -
                                       reinterpret_cast<std::uintptr_t>(low));
                return nullptr;
            },
            nullptr) != 0)
        return 0;
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return room;
}

std::string dir; /* the configuration and the catalogues */

bool WriteFile(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "w");
    const bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f && fclose(f) == 0 && ok;
}

bool SetUp()
{
    char pattern[] = "/tmp/tarvik-stack.XXXXXX";
    if (!mkdtemp(pattern))
        return false;
    dir = pattern;
    std::string catalogue = "!$c\n";
    char line[64];
    for (int i = 1; i <= kEntries; ++i) {
        snprintf(line, sizeof line, ".%x.Text of entry %d\n", 0xc0000 + i, i);
        catalogue += line;
    }
    if (!WriteFile(dir + "/DEMO_err.tarvik", catalogue) ||
        !WriteFile(dir + "/Tarvik.cfg", ".CLASS demo 12\n.CLASS gone 13\n"))
        return false;
    /* The system file lies behind a long path that does not exist; the user file holds
     * the classes. */
    setenv("TARVIK_CFG_DIR", (dir + "/" + std::string(200, 'd')).c_str(), 1);
    setenv("TARVIK_CFG_DIR_USER", dir.c_str(), 1);
    unsetenv("TARVIK_CFG_FILE");
    const int null = open("/dev/null", O_WRONLY);
    return null >= 0 && dup2(null, STDOUT_FILENO) >= 0;
}

void TearDown()
{
    unlink((dir + "/DEMO_err.tarvik").c_str());
    unlink((dir + "/Tarvik.cfg").c_str());
    rmdir(dir.c_str());
}

const std::string kExtra(1023, 'x');

const Subject kSubjects[] = {
    {"TarvikInit, first call: load", [] { TarvikInit("STACK", 0); }},
    {"ErrSend, entry read",
     [] { ErrSend(0xc0000 + kEntries, 8, "stack - depth", kExtra.c_str()); }},
    {"ErrSend, catalogue missing", [] { ErrSend(0xd0001, 8, "stack - depth", kExtra.c_str()); }},
    {"ErrSend, code -1", [] { ErrSend(-1, 8, nullptr, nullptr); }},
    {"ErrGet, entry read",
     [] {
         char text[1024];
         ErrGet(0xc0000 + kEntries, text, sizeof text);
     }},
    {"ErrGet, catalogue missing", [] { ErrGet(0xd0001, nullptr, 0); }},
    {"ErrCfgInit, direct", [] { ErrCfgInit(); }},
};

} // namespace

int main()
{
    if (!SetUp()) {
        fprintf(stderr, "stack_depth: cannot set up in /tmp: %s\n", strerror(errno));
        return 1;
    }
    const std::size_t goal = PTHREAD_STACK_MIN / 2;
    fprintf(stderr, "Stack used by each call below its thread's start routine (logger off)\n");
    fprintf(stderr, "  %-32s %8s %8s %5s\n", "call", "bytes", "goal", "met");
    int met = 0;
    for (const Subject &s : kSubjects) {
        const std::size_t depth = Depth(s.call);
        met += depth > 0 && depth <= goal;
        fprintf(stderr, "  %-32s %8zu %8zu %5s\n", s.label, depth, goal,
                depth > 0 && depth <= goal ? "yes" : "NO");
    }
    fprintf(stderr,
            "A thread made with a stack of PTHREAD_STACK_MIN (%zu) bytes has %zu below its "
            "start routine.\n",
            std::size_t(PTHREAD_STACK_MIN), SmallThreadRoom());
    fprintf(stderr, "goals met: %d of %zu\n", met, std::size(kSubjects));
    TearDown();
    return 0;
}
