// Tests of the catalogue index: its answers equal the plain scan's through edits of every
// kind, on coarse timestamps too; a changed file that its identity does not give away is
// caught by the check of the entry's piece; threads, fork() and a small stack; the bounds.
//
// Link-time seams: this program is linked with --wrap=clock_gettime,--wrap=read,
// --wrap=pread (the seams of IndexScript.cpp: the library's clock can run ahead, so that
// files written a moment ago count as settled; a scan's reads are counted, which tells an
// indexed answer from a scan) and --wrap=fstat,--wrap=stat,--wrap=pthread_mutex_lock,
// --wrap=pthread_atfork, whose wrappers below can coarsen the times that the library sees,
// freeze the size and times of one file, stop a thread inside a lock, or refuse fork handlers.
#include "Catalogue.h"
#include "IndexScript.h"
#include "Lookup.h"
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// ---------------------------------------------------------------------------------------
// The seams over fstat and stat.

namespace seam
{
std::atomic<long> granuleNs{0};    // times are cut down to a multiple of this; 0: as they are
std::atomic<ino_t> frozenInode{0}; // this file's size and times stay those of `frozen`
struct stat frozen;                // (written before frozenInode is set)

void Adjust(struct stat *st)
{
    if (const long granule = granuleNs.load()) {
        for (timespec *t : {&st->st_mtim, &st->st_ctim}) {
            const long long ns = (long long)t->tv_sec * 1000000000 + t->tv_nsec;
            const long long cut = ns - ns % granule;
            t->tv_sec = time_t(cut / 1000000000);
            t->tv_nsec = long(cut % 1000000000);
        }
    }
    if (frozenInode.load() != 0 && st->st_ino == frozenInode.load()) {
        st->st_size = frozen.st_size;
        st->st_mtim = frozen.st_mtim;
        st->st_ctim = frozen.st_ctim;
    }
}

// A thread that sets pauseInNextLock stops right after its next pthread_mutex_lock, with
// lockHeld set, until forked is set or 200 ms have passed.
thread_local bool pauseInNextLock;
std::atomic<bool> lockHeld, forked;

bool atforkFails; // registering fork handlers fails for want of memory

// Freezes the size and times of the file at path as they are now.
void Freeze(const std::string &path)
{
    if (stat(path.c_str(), &frozen) != 0)
        abort();
    frozenInode = frozen.st_ino;
}
} // namespace seam

extern "C" {
int __real_fstat(int fd, struct stat *st);
int __real_stat(const char *path, struct stat *st);

int __wrap_fstat(int fd, struct stat *st)
{
    const int result = __real_fstat(fd, st);
    if (result == 0)
        seam::Adjust(st);
    return result;
}

int __real_pthread_mutex_lock(pthread_mutex_t *mutex);

int __wrap_pthread_mutex_lock(pthread_mutex_t *mutex)
{
    const int result = __real_pthread_mutex_lock(mutex);
    if (seam::pauseInNextLock) {
        seam::pauseInNextLock = false;
        seam::lockHeld = true;
        for (int waited = 0; !seam::forked.load() && waited < 200; ++waited)
            usleep(1000);
    }
    return result;
}

int __real_pthread_atfork(void (*prepare)(), void (*parent)(), void (*child)());

int __wrap_pthread_atfork(void (*prepare)(), void (*parent)(), void (*child)())
{
    return seam::atforkFails ? ENOMEM : __real_pthread_atfork(prepare, parent, child);
}

int __wrap_stat(const char *path, struct stat *st)
{
    const int result = __real_stat(path, st);
    if (result == 0)
        seam::Adjust(st);
    return result;
}
}

namespace
{

using tarvik::fuzz::clockAheadSeconds;
using tarvik::fuzz::scanReads;
using tarvik::test::ExitChild;
using tarvik::test::Handback;
using tarvik::test::Scene;
using tarvik::test::WriteFile;

constexpr char kConfig[] = ".CLASS demo 12\n";

// A line that no lookup reads. A catalogue of at most 511 bytes is always scanned, indexed
// or not; the catalogues meant to be answered from their index end with this line.
const std::string kPadding = "#" + std::string(600, 'p') + "\n";

// ErrGet's text for code, or "<result> <text>" when ErrGet returns other than 0.
std::string Get(int code)
{
    char text[256];
    const int result = ErrGet(code, text, sizeof text);
    return result == 0 ? text : std::to_string(result) + " " + text;
}

// Get(code), and whether the index answered it (no scan's read).
std::string GetCounted(int code, bool *fromIndex)
{
    const long before = scanReads.load();
    const std::string text = Get(code);
    *fromIndex = scanReads.load() == before;
    return text;
}

// ---------------------------------------------------------------------------------------
// Random catalogues, codes and edits: every answer of ErrGet equals the plain scan's
// (IndexScript.h holds the scripts and the comparison). The index must have answered a
// good share of the lookups, or the test would prove nothing of it.

TEST(IndexTest, AnswersEqualThePlainScanThroughEdits)
{
    Scene scene;
    scene.Run([](Handback &back) {
        tarvik::fuzz::SetUpIndexScripts();
        std::mt19937 random(16);
        for (int script = 0; script < 500; ++script) {
            std::vector<std::uint8_t> bytes(64 + random() % 1000);
            for (std::uint8_t &b : bytes)
                b = std::uint8_t(random());
            tarvik::fuzz::RunIndexScript(bytes.data(), bytes.size());
        }
        const tarvik::fuzz::ScriptCounts counts = tarvik::fuzz::IndexScriptCounts();
        back.Add(int(counts.lookups));
        back.Add(int(counts.fromIndex));
    });
    ASSERT_EQ(scene.back().count, 2);
    const int lookups = scene.back().value[0], fromIndex = scene.back().value[1];
    EXPECT_GT(lookups, 3000);
    EXPECT_GT(fromIndex, lookups / 4) << "of " << lookups << " lookups";
}

// ---------------------------------------------------------------------------------------
// A file system that keeps times to whole seconds, or to two seconds as FAT does: a file
// rewritten within one granule keeps its size and times. The two versions below differ
// only where the index cannot tell without the file's identity: an earlier entry of the
// same code in one, a code that the other lacks. Rewritten every few milliseconds for
// longer than a granule, each must still be seen by the next lookup; once the file is
// left alone (the clock moved on instead of waiting), the index answers.

TEST(IndexTest, SameSizeRewritesOnCoarseTimestamps)
{
    const std::string versions[2] = {"!$c\n.c0002.AA\n.c0001.A\n" + kPadding,
                                     "!$c\n.c0001.BB\n.c0001.A\n" + kPadding};
    const std::string expected[2][2] = {{"A", "AA"},
                                        {"BB", "Unknown error number $c0002 in class DEMO\n"}};
    for (const long granuleMs : {1000L, 2000L}) {
        Scene scene;
        scene.Write("Tarvik.cfg", kConfig);
        scene.Run(
            [&](Handback &back) {
                const std::string path = "DEMO_err.tarvik";
                seam::granuleNs = granuleMs * 1000000;
                int wrong = 0, rewrites = 0;
                const auto end =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(granuleMs + 200);
                for (; std::chrono::steady_clock::now() < end; ++rewrites) {
                    const int v = rewrites % 2;
                    WriteFile(path, versions[v]);
                    wrong += Get(0xc0001) != expected[v][0];
                    wrong += Get(0xc0002) != expected[v][1];
                    usleep(5000);
                }
                back.Add(wrong);
                back.Add(rewrites);
                // Left alone: the first lookup indexes the file, the next ones use that.
                clockAheadSeconds = 10;
                const int v = (rewrites - 1) % 2;
                bool first, second, third;
                back.Add(GetCounted(0xc0001, &first) == expected[v][0]);
                back.Add(GetCounted(0xc0001, &second) == expected[v][0]);
                back.Add(GetCounted(0xc0002, &third) == expected[v][1]);
                back.Add(first);
                back.Add(second && third);
            },
            {{"TARVIK_CFG_DIR", scene.dir().path()}});
        const std::vector<int> values = scene.back().Values();
        ASSERT_EQ(values.size(), 7u);
        EXPECT_EQ(values[0], 0) << "stale answers of " << 2 * values[1] << ", granule " << granuleMs
                                << " ms";
        EXPECT_GT(values[1], 20);
        EXPECT_EQ(std::vector<int>(values.begin() + 2, values.end()),
                  (std::vector<int>{1, 1, 1, 0, 1}))
            << "granule " << granuleMs << " ms";
    }
}

// ---------------------------------------------------------------------------------------
// Changes that the identity misses (the seam freezes the file's size and times): where
// the piece at the recorded offset no longer declares the code, cut as the scan cuts it,
// the lookup scans the file and gives the scan's answer.

TEST(IndexTest, PiecesThatNoLongerDeclareTheCodeAreScanned)
{
    const std::string before = "!$c\n.c0001.A\n.c0002.Bbbb\n";
    const std::string unknown = "Unknown error number $c0002 in class DEMO\n";
    const struct {
        const char *what;
        std::string after;
        std::string text; // of code c0002 in `after`
    } cases[] = {
        {"the entry moved", "!$c\n.c0002.Bbbb\n.c0001.A\n", "Bbbb"},
        {"its code changed", "!$c\n.c0001.A\n.c0003.Bbbb\n", unknown},
        {"the file ends before it", "!$c\n.c0001.A\n", unknown},
        {"the file ends inside it", "!$c\n.c0001.A\n.c0002.B", "B"},
        {"a NUL byte cuts its number", std::string("!$c\n.c0001.A\n.c") + '\0' + "002.Bbbb\n",
         unknown},
        {"a long line covers it", "!$c\n#" + std::string(600, 'a') + "\n.c0001.A\n.c0002.Bbbb\n",
         "Bbbb"},
        {"a newline now ends the piece early", "!$c\n.c0001.A\n.c\n0002.Bbbb\n", unknown},
    };
    for (const auto &c : cases) {
        Scene scene;
        scene.Write("Tarvik.cfg", kConfig);
        scene.Write("DEMO_err.tarvik", before + kPadding);
        const std::string out = scene.Run(
            [&](Handback &back) {
                clockAheadSeconds = 60;
                bool fromIndex;
                Get(0xc0002);
                back.Put(0, GetCounted(0xc0002, &fromIndex));
                back.Add(fromIndex);
                seam::Freeze("DEMO_err.tarvik");
                WriteFile("DEMO_err.tarvik", c.after);
                back.Put(1, GetCounted(0xc0002, &fromIndex));
                back.Add(fromIndex);
                back.Put(2, Get(0xc0001));
            },
            {{"TARVIK_CFG_DIR", scene.dir().path()}});
        EXPECT_EQ(out, "") << c.what;
        EXPECT_EQ(scene.back().Text(0), "Bbbb") << c.what;
        EXPECT_EQ(scene.back().Text(1), c.text) << c.what;
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{1, 0})) << c.what;
        EXPECT_EQ(scene.back().Text(2), "A") << c.what;
    }
}

// ---------------------------------------------------------------------------------------
// The header is checked for the class that asks: a program that loads another
// configuration may find the same catalogue under another class number, and the index
// built for the first class must then give the wrong header's diagnostic.

TEST(IndexTest, TheHeaderIsCheckedForTheClassThatAsks)
{
    Scene scene;
    scene.Write("Tarvik.cfg", kConfig);
    scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n.d0001.Class 13\n" + kPadding);
    const std::string out = scene.Run(
        [&](Handback &back) {
            clockAheadSeconds = 60;
            bool fromIndex;
            Get(0xc0001);
            back.Put(0, GetCounted(0xc0001, &fromIndex));
            back.Add(fromIndex);
            WriteFile("Tarvik.cfg", ".CLASS demo 13\n");
            back.Add(ErrCfgInit());
            back.Put(1, GetCounted(0xd0001, &fromIndex));
            back.Add(fromIndex);
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(out,
              "Tarvik - ErrGet() : " + scene.Path("DEMO_err.tarvik") + " : format incorrect\n");
    EXPECT_EQ(scene.back().Text(0), "Out of memory");
    EXPECT_EQ(scene.back().Text(1), "-1 ");
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{1, 0, 1}));
}

// ---------------------------------------------------------------------------------------
// Threads: eight threads look codes up while another replaces the catalogue by rename,
// over and over, and touches it in between (a new identity, the same bytes). Every text
// must be whole and of one version. (A file rewritten in place is not replaced at once:
// a plain scan may read half of each version too, so rewrites are not part of this.)
// Every version's file is kept, so that no version takes over an inode number of an
// earlier one while the index may still hold it. Meant to run under ThreadSanitizer.

TEST(IndexTest, EightThreadsSeeOneVersionWhileTheCatalogueIsReplaced)
{
    constexpr int kEntries = 200, kVersions = 40, kThreads = 8;
    const auto version = [](int v) {
        std::string bytes = "!$c\n";
        for (int i = 1; i <= kEntries; ++i)
            bytes += "." + tarvik::test::Hex(unsigned(0xc0000 + i)) + ".v" + std::to_string(v) +
                     " e" + std::to_string(i) + "\n";
        return bytes;
    };
    Scene scene;
    scene.Write("Tarvik.cfg", kConfig);
    scene.Write("DEMO_err.tarvik", version(0));
    mkdir(scene.Path("versions").c_str(), 0700);
    for (int v = 1; v <= kVersions; ++v)
        scene.Write("versions/" + std::to_string(v), version(v));
    scene.Run(
        [&](Handback &back) {
            clockAheadSeconds = 60;
            std::atomic<bool> done{false};
            std::atomic<int> wrong{0};
            std::atomic<long> lookups{0};
            const long readsBefore = scanReads.load();
            std::vector<std::thread> readers;
            for (int t = 0; t < kThreads; ++t)
                readers.emplace_back([&, t] {
                    std::mt19937 random{unsigned(t)};
                    while (!done.load()) {
                        const int i = 1 + int(random() % kEntries);
                        char text[64];
                        int v, entry, end = 0;
                        if (ErrGet(0xc0000 + i, text, sizeof text) != 0 ||
                            sscanf(text, "v%d e%d%n", &v, &entry, &end) != 2 || entry != i ||
                            text[end] != '\0')
                            ++wrong;
                        ++lookups;
                    }
                });
            for (int v = 1; v <= kVersions; ++v) {
                const std::string next = "versions/" + std::to_string(v);
                usleep(3000);
                if (link(next.c_str(), "next") != 0 || rename("next", "DEMO_err.tarvik") != 0)
                    ++wrong;
                usleep(3000);
                utimensat(AT_FDCWD, "DEMO_err.tarvik", nullptr, 0);
            }
            usleep(3000);
            done = true;
            for (std::thread &reader : readers)
                reader.join();
            back.Add(wrong);
            back.Add(scanReads.load() - readsBefore < lookups.load());
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 1}))
        << "texts wrong, then whether the index answered some lookups";
}

// ---------------------------------------------------------------------------------------
// fork() while another thread is inside a lookup, holding the index's lock: the child's
// own lookup must not wait for a lock held by a thread that the child does not have. The
// seam over pthread_mutex_lock stops the looking-up thread right after it has taken the
// lock, for at most 200 ms, while the main thread forks. The threads go to the catalogue
// lookup itself (ErrGet takes the library lock as well), and an alarm ends a child that
// hangs.

TEST(IndexTest, ForkWhileAnotherThreadHoldsTheIndexLock)
{
    Scene scene;
    scene.Write("Tarvik.cfg", kConfig);
    scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n.c0002.Disk full\n" + kPadding);
    scene.Run(
        [&](Handback &back) {
            clockAheadSeconds = 60;
            const std::string path = scene.Path("DEMO_err.tarvik");
            // Whether the lookup of code c0001 finds its text.
            const auto lookUp = [&path] {
                char body[1024];
                const auto buffer = std::make_unique<tarvik::ReadBuffer>();
                int sysErr = 0;
                const int code = 0xc0001;
                return tarvik::ScanCatalogue(path.c_str(), 12, &code, body, *buffer, &sysErr) ==
                           tarvik::LookupEnd::Found &&
                       strcmp(body, "Out of memory") == 0;
            };
            lookUp(); // indexes the file
            int hung = 0;
            std::atomic<int> wrong{0};
            for (int i = 0; i < 5; ++i) {
                seam::lockHeld = false;
                seam::forked = false;
                // Detached: the child, which lacks the thread, must not count it as leaked.
                std::atomic<bool> holderDone{false};
                std::thread([&] {
                    seam::pauseInNextLock = true;
                    wrong += !lookUp();
                    holderDone = true;
                }).detach();
                while (!seam::lockHeld.load())
                    usleep(100);
                const pid_t child = fork();
                if (child == 0) {
                    alarm(2);
                    ExitChild(lookUp() ? 0 : 1);
                }
                seam::forked = true;
                while (!holderDone.load())
                    usleep(100);
                int status = 0;
                waitpid(child, &status, 0);
                hung += WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
                wrong += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
            }
            back.Add(hung);
            back.Add(wrong);
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0})) << "children hung, then wrong";
}

// Without fork handlers, a fork while another thread holds the table's lock would leave the
// child's table locked for good: no index is kept, and every lookup scans and finds its text.
TEST(IndexTest, WithoutForkHandlersEveryLookupScans)
{
    Scene scene;
    scene.Write("Tarvik.cfg", kConfig);
    scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n" + kPadding);
    const std::string out = scene.Run(
        [&](Handback &back) {
            seam::atforkFails = true;
            clockAheadSeconds = 60;
            for (int i = 0; i < 3; ++i) {
                bool fromIndex;
                back.Add(GetCounted(0xc0001, &fromIndex) == "Out of memory");
                back.Add(fromIndex);
            }
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(out, "Tarvik - ErrMutexCreate() : Memoire insuffisante\n");
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{1, 0, 1, 0, 1, 0}));
}

// ---------------------------------------------------------------------------------------
// The index's paths run on the smallest stack a thread can have: on a thread of
// PTHREAD_STACK_MIN bytes, ErrSend reads the catalogue to its end and indexes it, then
// ErrGet is answered from the index.

TEST(IndexTest, IndexedLookupsFitTheSmallestThreadStack)
{
    Scene scene;
    scene.Write("Tarvik.cfg", kConfig);
    scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n.c0002.Disk full\n" + kPadding);
    const std::string out = scene.Run(
        [&](Handback &back) {
            clockAheadSeconds = 60;
            struct Calls {
                int send = -1;
                std::string text;
                bool fromIndex = false;
            } calls;
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN);
            pthread_t thread;
            const auto body = [](void *arg) -> void * {
                auto *c = static_cast<Calls *>(arg);
                c->send = ErrSend(0xc0002, TARVIK_ERROR, "TEST - stack", nullptr);
                c->text = GetCounted(0xc0002, &c->fromIndex);
                return nullptr;
            };
            back.Add(pthread_create(&thread, &attr, body, &calls));
            pthread_join(thread, nullptr);
            back.Add(calls.send);
            back.Add(calls.fromIndex);
            back.Put(0, calls.text);
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_NE(out.find("Body : Disk full\n"), std::string::npos) << out;
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(scene.back().Text(0), "Disk full");
}

// ---------------------------------------------------------------------------------------
// A catalogue of at most 511 bytes is scanned, indexed or not: one read takes it whole.
// Once it has grown past that, its index is dropped, and the catalogue is indexed again.

TEST(IndexTest, SmallCataloguesAreScanned)
{
    Scene scene;
    scene.Write("Tarvik.cfg", kConfig);
    scene.Write("DEMO_err.tarvik", "!$c\n.c0001.Out of memory\n.c0002.Disk full\n");
    scene.Write("next", "!$c\n.c0001.No memory\n.c0002.Disk full\n" + kPadding);
    scene.Run(
        [&](Handback &back) {
            clockAheadSeconds = 60;
            const std::string texts[] = {"Out of memory", "Out of memory", "No memory", "No memory",
                                         "No memory"};
            for (int i = 0; i < 5; ++i) {
                if (i == 2)
                    rename("next", "DEMO_err.tarvik");
                bool fromIndex;
                back.Add(GetCounted(0xc0001, &fromIndex) == texts[i]);
                back.Add(fromIndex);
            }
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    // Indexed, scanned; grown: scanned (the index dropped), indexed again, answered.
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0, 1, 1}));
}

// ---------------------------------------------------------------------------------------
// Bounds: more catalogues than the table keeps, and one with more entry pieces than the
// index's memory bound allows. Every answer stays right; the table keeps the catalogues
// used last, and the one too large is scanned on every call.

TEST(IndexTest, MoreCataloguesThanTheTableKeeps)
{
    constexpr int kClasses = 70;
    Scene scene;
    std::string cfg;
    for (int c = 1; c <= kClasses; ++c) {
        cfg += ".CLASS c" + std::to_string(c) + " " + std::to_string(c) + "\n";
        scene.Write("C" + std::to_string(c) + "_err.tarvik",
                    "!$" + tarvik::test::Hex(unsigned(c)) + "\n." +
                        tarvik::test::Hex(unsigned(c) << 16 | 1) + ".text " + std::to_string(c) +
                        "\n" + kPadding);
    }
    // About 1.1 million entry pieces: beyond what 8 MiB of index holds.
    cfg += ".CLASS huge 100\n";
    std::string huge = "!$64\n";
    for (int i = 0; i < 1100000; ++i)
        huge += ".1\n";
    huge += ".640001.found\n";
    scene.Write("HUGE_err.tarvik", huge);
    scene.Write("Tarvik.cfg", cfg);
    scene.Run(
        [&](Handback &back) {
            clockAheadSeconds = 60;
            int wrong = 0;
            for (int round = 0; round < 2; ++round)
                for (int c = 1; c <= kClasses; ++c)
                    wrong += Get(c << 16 | 1) != "text " + std::to_string(c);
            back.Add(wrong);
            // The last 64 classes used are indexed; the first ones were evicted.
            bool fromIndex;
            GetCounted(kClasses << 16 | 1, &fromIndex);
            back.Add(fromIndex);
            GetCounted(1 << 16 | 1, &fromIndex);
            back.Add(fromIndex);
            back.Add(Get(0x640001) == "found");
            back.Add(GetCounted(0x640001, &fromIndex) == "found");
            back.Add(fromIndex);
        },
        {{"TARVIK_CFG_DIR", scene.dir().path()}});
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 1, 0, 1, 1, 0}));
}

} // namespace
