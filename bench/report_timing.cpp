/*
 * report_timing - times ErrGet and ErrSend against the floor of report_floor.c, in one run
 * on one machine:
 *   - per call, standard output going to /dev/null, the library's time shown as a ratio
 *     of the floor's: on a 3-entry catalogue (its last entry; goal 1.0x), on the last
 *     entry and on random entries of a 65535-entry catalogue (goal 0.01x: the library
 *     answers from its index of the file), and on the first call after that catalogue
 *     changed (goal 1.5x: the call scans the whole file and indexes it; here the change
 *     is a symbolic link moved between two copies of the file, which keeps both files'
 *     own times in the past);
 *   - calls per second of two threads against one (goal: 1.7x), with the floor's own
 *     speed-up beside it, which shows what the machine itself allows; where the scheduler
 *     gives its statistics, also the speed-up with the threads' waits for a CPU held by
 *     another process taken out, the CPU time per call and the time spent blocked, which
 *     tell contention in the library from a busy machine.
 * Library and floor samples take turns, and every figure is the median of several
 * repetitions, so that a change of load on the machine weighs on both alike.
 *
 * The catalogues and the configuration are written to a temporary directory at start;
 * TARVIK_CFG_DIR points there before the first call. The library indexes a catalogue
 * only once it has been left alone for a few seconds, so the program waits that long
 * before it measures; it also shows the heap that the index of the large catalogue takes.
 *
 * Usage: report_timing [-r REPETITIONS] [-t SAMPLE_MS]
 *        report_timing -p SUBJECT [-n CALLS]
 *   -r  repetitions of every measurement (default 15)
 *   -t  length of one timed sample in milliseconds (default 40)
 *   -p  for a profiler: only make CALLS calls (default 100) of SUBJECT, which is
 *       [floor-]{get|send}-{small|large|random|changed}, all within ProfiledCalls();
 *       e.g. valgrind --tool=callgrind --collect-atstart=no
 *       --toggle-collect='*ProfiledCalls*' report_timing -p get-large -n 20
 * Prints the table on standard output. Exits 1 when the set-up fails or a timed call
 * fails (the figures would not be those of a successful lookup), else 0, goals met or not.
 */
#include "CatalogueIndex.h"
#include "report_floor.h"
#include "tarvik.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr char kSource[] = "BENCH - report timing";
constexpr char kExtra[] = "extra information of the benchmark";

/* One compiled catalogue and the entry that is looked up in it. */
struct Catalogue {
    int entries;
    int code;           /* the code looked up: the last entry's */
    std::string path;   /* where the library finds it through the configuration */
    std::string key;    /* the entry's code text, as the floor compares it: ".1ffff." */
    std::string text;   /* the entry's text, as ErrGet must give it */
    std::string report; /* the report of ErrSend, captured once; the floor writes as much */
    long long bytes;    /* size of the file */
    /* For random entries: codes to look up in turn, and their keys for the floor. */
    std::vector<int> randomCodes;
    std::vector<std::string> randomKeys;
    /* For a catalogue that changes before every call: the copies that path links to. */
    std::vector<std::string> copies;
};

enum class Call { Get, Send };

const char *CallName(Call call)
{
    return call == Call::Get ? "ErrGet" : "ErrSend";
}

/* Which entry a case looks up, and what happens to the catalogue before each call. */
enum class Pick {
    Last,        /* the last entry, the catalogue unchanged */
    Random,      /* the entries of cat->randomCodes in turn */
    AfterChange, /* the last entry, the catalogue's link moved to the other copy first */
};

/* One timed operation: a library call or its floor, on one catalogue. */
struct Subject {
    Call call;
    bool floor;
    const Catalogue *cat;
    Pick pick;
};

std::atomic<long> Failures{0}; /* timed calls that did not succeed */

/* Points cat.path at its other copy, by renaming a new link over it. */
void ChangeCatalogue(const Catalogue &cat)
{
    static std::size_t current;
    current = (current + 1) % cat.copies.size();
    const std::string link = cat.path + ".new";
    if (symlink(cat.copies[current].c_str(), link.c_str()) != 0 ||
        rename(link.c_str(), cat.path.c_str()) != 0)
        Failures.fetch_add(1, std::memory_order_relaxed);
}

void RunOnce(const Subject &s)
{
    thread_local std::size_t turn;
    char text[1024];
    const Catalogue &c = *s.cat;
    int code = c.code;
    const char *key = c.key.c_str();
    if (s.pick == Pick::Random) {
        turn = (turn + 1) % c.randomCodes.size();
        code = c.randomCodes[turn];
        key = c.randomKeys[turn].c_str();
    }
    int rc;
    if (s.floor)
        rc = s.call == Call::Get ? FloorGet(c.path.c_str(), key, text, sizeof text)
                                 : FloorSend(c.path.c_str(), key, c.report.data(), c.report.size());
    else
        rc = s.call == Call::Get ? ErrGet(code, text, sizeof text)
                                 : ErrSend(code, TARVIK_ERROR, kSource, kExtra);
    if (rc != 0)
        Failures.fetch_add(1, std::memory_order_relaxed);
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

/* Nanoseconds per call over `calls` calls in this thread; the changes of the catalogue
 * that come before the calls are not timed. */
double NsPerCall(const Subject &s, long calls)
{
    if (s.pick != Pick::AfterChange) {
        const auto start = Clock::now();
        for (long i = 0; i < calls; ++i)
            RunOnce(s);
        return Seconds(Clock::now() - start) * 1e9 / double(calls);
    }
    Clock::duration timed{};
    for (long i = 0; i < calls; ++i) {
        ChangeCatalogue(*s.cat);
        const auto start = Clock::now();
        RunOnce(s);
        timed += Clock::now() - start;
    }
    return Seconds(timed) * 1e9 / double(calls);
}

/* How many calls fill about `ms` milliseconds in one thread (at least 3). */
long CallsFor(const Subject &s, double ms)
{
    long calls = 1;
    double ns = NsPerCall(s, calls);
    while (ns * double(calls) < 5e6 && calls < (1L << 20)) {
        calls *= 4;
        ns = NsPerCall(s, calls);
    }
    return std::max(3L, long(ms * 1e6 / ns));
}

/* Lets the threads of one sample start their clocks together. */
struct StartLine {
    std::atomic<int> arrived{0};
    int threads;
    void Wait()
    {
        arrived.fetch_add(1);
        while (arrived.load() < threads)
            std::this_thread::yield();
    }
};

/*
 * Nanoseconds the calling thread has run on a CPU and has waited, runnable, for one, from
 * the scheduler's statistics; false where the system does not give them.
 */
bool SchedulerTimes(long long *onCpu, long long *waiting)
{
    FILE *f = fopen("/proc/thread-self/schedstat", "r");
    if (!f)
        return false;
    const int got = fscanf(f, "%lld %lld", onCpu, waiting);
    fclose(f);
    return got == 2;
}

/* One sample of several threads. */
struct Throughput {
    double callsPerSecond; /* all calls over the wall time from first start to last end */
    /*
     * From the scheduler's statistics, or negative where there are none: the calls per
     * second that the threads would have made had none of them waited for a CPU taken by
     * another process, the CPU time per call, and the share of the threads' time that
     * they were blocked (neither running nor runnable: waiting for a lock or the disk).
     */
    double freeCpuCallsPerSecond = -1, cpuNsPerCall = -1, blockedShare = -1;
};

/* `threads` threads, each making `calls` calls of s, started together. */
Throughput RunThreads(const Subject &s, int threads, long calls)
{
    struct Times {
        Clock::time_point start, end;
        long long cpu0 = 0, wait0 = 0, cpu1 = 0, wait1 = 0;
        bool known = false;
    };
    StartLine line;
    line.threads = threads;
    std::vector<Times> times(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            Times &mine = times[std::size_t(t)];
            line.Wait();
            mine.known = SchedulerTimes(&mine.cpu0, &mine.wait0);
            mine.start = Clock::now();
            for (long i = 0; i < calls; ++i)
                RunOnce(s);
            mine.end = Clock::now();
            mine.known = SchedulerTimes(&mine.cpu1, &mine.wait1) && mine.known;
        });
    for (auto &w : workers)
        w.join();

    Clock::time_point first = times[0].start, last = times[0].end;
    bool known = true;
    double freeRate = 0, cpuNs = 0, blockedNs = 0, threadNs = 0;
    for (const Times &t : times) {
        first = std::min(first, t.start);
        last = std::max(last, t.end);
        known = known && t.known;
        const double wall = Seconds(t.end - t.start) * 1e9;
        const double cpu = double(t.cpu1 - t.cpu0), wait = double(t.wait1 - t.wait0);
        freeRate += double(calls) / std::max(1.0, wall - wait) * 1e9;
        cpuNs += cpu;
        blockedNs += std::max(0.0, wall - cpu - wait);
        threadNs += wall;
    }
    Throughput result;
    result.callsPerSecond = double(threads) * double(calls) / Seconds(last - first);
    if (known) {
        result.freeCpuCallsPerSecond = freeRate;
        result.cpuNsPerCall = cpuNs / (double(threads) * double(calls));
        result.blockedShare = blockedNs / threadNs;
    }
    return result;
}

struct Spread {
    double median, low, high;
};

Spread Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    return {median, v.front(), v.back()};
}

/* ---- set-up ---------------------------------------------------------------------------- */

std::string TempDir;

void RemoveTempDir()
{
    if (TempDir.empty())
        return;
    for (const char *name :
         {"Tarvik.cfg", "SMALL_err.tarvik", "LARGE_err.tarvik", "CHANGING_err.tarvik",
          "CHANGING_err.tarvik.new", "a/CHANGING_err.tarvik", "b/CHANGING_err.tarvik", "a", "b"})
        remove((TempDir + "/" + name).c_str());
    rmdir(TempDir.c_str());
}

bool WriteFile(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    const bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return (fclose(f) == 0) && ok;
}

std::string Hex(unsigned value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%x", value);
    return buf;
}

int CodeOf(int classNumber, int index)
{
    return int(unsigned(classNumber) * 65536u + unsigned(index));
}

std::string KeyOf(int code)
{
    return "." + Hex(unsigned(code)) + ".";
}

/*
 * Writes a compiled catalogue of class classNumber with the given texts, and fills cat for
 * its last entry. With copies given, the file is written there and cat.path is a link to
 * the first.
 */
bool MakeCatalogue(Catalogue &cat, const char *fileName, int classNumber,
                   const std::vector<std::string> &texts, std::vector<std::string> copies = {})
{
    std::string content = "!$" + Hex(unsigned(classNumber)) + "\n";
    content.reserve(texts.size() * 48);
    for (std::size_t i = 0; i < texts.size(); ++i)
        content += KeyOf(CodeOf(classNumber, int(i + 1))) + texts[i] + "\n";
    cat.entries = int(texts.size());
    cat.code = CodeOf(classNumber, cat.entries);
    cat.path = TempDir + "/" + fileName;
    cat.key = KeyOf(cat.code);
    cat.text = texts.back();
    cat.bytes = (long long)content.size();
    cat.copies.clear();
    for (const std::string &dir : copies) {
        cat.copies.push_back(TempDir + "/" + dir + "/" + fileName);
        if (mkdir((TempDir + "/" + dir).c_str(), 0700) != 0 ||
            !WriteFile(cat.copies.back(), content))
            return false;
    }
    if (!copies.empty())
        return symlink(cat.copies.front().c_str(), cat.path.c_str()) == 0;
    return WriteFile(cat.path, content);
}

/* Fills cat's random codes: `count` entries of its class drawn evenly, the same every run. */
void DrawRandomEntries(Catalogue &cat, int classNumber, int count)
{
    std::mt19937 draw(20240611);
    std::uniform_int_distribution<int> index(1, cat.entries);
    for (int i = 0; i < count; ++i) {
        cat.randomCodes.push_back(CodeOf(classNumber, index(draw)));
        cat.randomKeys.push_back(KeyOf(cat.randomCodes.back()));
    }
}

/* The bytes of heap in use, where the C library tells them; -1 elsewhere. */
long long HeapInUse()
{
#ifdef __GLIBC__
    const struct mallinfo2 info = mallinfo2();
    return (long long)(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

/* The bytes that one ErrSend of cat's code writes on standard output. */
bool CaptureReport(Catalogue &cat, int devNull)
{
    FILE *capture = tmpfile();
    if (!capture)
        return false;
    fflush(stdout);
    dup2(fileno(capture), STDOUT_FILENO);
    const int rc = ErrSend(cat.code, TARVIK_ERROR, kSource, kExtra);
    fflush(stdout);
    dup2(devNull, STDOUT_FILENO);
    struct stat st;
    fstat(fileno(capture), &st);
    cat.report.assign(std::size_t(st.st_size), '\0');
    rewind(capture);
    const std::size_t got = fread(&cat.report[0], 1, cat.report.size(), capture);
    fclose(capture);
    return rc == 0 && got == cat.report.size() &&
           cat.report.find("Body : " + cat.text + "\n") != std::string::npos;
}

/* Both lookups give the entry's text; false with a message on stderr otherwise. */
bool CheckLookups(const Catalogue &cat)
{
    char text[1024];
    if (ErrGet(cat.code, text, sizeof text) != 0 || cat.text != text) {
        fprintf(stderr, "report_timing: ErrGet($%x) gave \"%s\"\n", unsigned(cat.code), text);
        return false;
    }
    if (FloorGet(cat.path.c_str(), cat.key.c_str(), text, sizeof text) != 0 || cat.text != text) {
        fprintf(stderr, "report_timing: the floor did not find $%x\n", unsigned(cat.code));
        return false;
    }
    return true;
}

/* ---- the measurements ------------------------------------------------------------------ */

/* What one row of the tables measures. */
struct Case {
    const char *label;
    const Catalogue *cat;
    Pick pick;
    double goal; /* per call, as a ratio of the floor */
};

struct PerCallResult {
    Call call;
    const Case *c;
    std::vector<double> library, floor, ratio;
};

struct ThreadResult {
    Call call;
    const Case *c;
    std::vector<double> one, two, speedup, floorSpeedup;
    /* from the scheduler's statistics, where it gives them */
    std::vector<double> freeSpeedup, floorFreeSpeedup, cpuGrowth, blocked, waitingShare;
};

constexpr double kSpeedupGoal = 1.7;

Subject SubjectOf(Call call, bool floor, const Case &c)
{
    return {call, floor, c.cat, c.pick};
}

/* The calls of profiling mode, in a function of their own for the profiler to pick out. */
__attribute__((noinline)) void ProfiledCalls(const Subject &s, long calls)
{
    for (long i = 0; i < calls; ++i) {
        if (s.pick == Pick::AfterChange)
            ChangeCatalogue(*s.cat);
        RunOnce(s);
    }
}

/* Reads a profiling subject such as "floor-get-large"; false when it names none. */
template <std::size_t N>
bool ParseSubject(std::string name, const Case (&cases)[N], Subject *s)
{
    const bool floor = name.rfind("floor-", 0) == 0;
    if (floor)
        name.erase(0, 6);
    for (Call call : {Call::Get, Call::Send})
        for (const Case &c : cases)
            if (name == std::string(call == Call::Get ? "get-" : "send-") + c.label) {
                *s = SubjectOf(call, floor, c);
                return true;
            }
    return false;
}

const char *Verdict(bool met)
{
    return met ? "yes" : "NO";
}

} // namespace

int main(int argc, char **argv)
{
    int reps = 15;
    double sampleMs = 40;
    const char *profiled = nullptr;
    long profiledCalls = 100;
    for (int opt; (opt = getopt(argc, argv, "r:t:p:n:")) != -1;) {
        if (opt == 'r')
            reps = std::max(1, atoi(optarg));
        else if (opt == 't')
            sampleMs = std::max(1.0, atof(optarg));
        else if (opt == 'p')
            profiled = optarg;
        else if (opt == 'n')
            profiledCalls = std::max(1L, atol(optarg));
        else {
            fprintf(stderr,
                    "usage: %s [-r REPETITIONS] [-t SAMPLE_MS]\n"
                    "       %s -p [floor-]{get|send}-{small|large|random|changed} [-n CALLS]\n",
                    argv[0], argv[0]);
            return 2;
        }
    }

    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvik-bench.XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        perror("report_timing: mkdtemp");
        return 1;
    }
    TempDir = pattern;
    atexit(RemoveTempDir);

    Catalogue small{}, large{}, changing{};
    const std::vector<std::string> smallTexts = {"Out of memory", "Disk full",
                                                 "Connection refused by the server"};
    std::vector<std::string> largeTexts;
    for (int i = 1; i <= 65535; ++i) {
        char text[64];
        snprintf(text, sizeof text, "Text of error %05d, about forty bytes.", i);
        largeTexts.push_back(text);
    }
    if (!MakeCatalogue(small, "SMALL_err.tarvik", 2, smallTexts) ||
        !MakeCatalogue(large, "LARGE_err.tarvik", 1, largeTexts) ||
        !MakeCatalogue(changing, "CHANGING_err.tarvik", 3, largeTexts, {"a", "b"}) ||
        !WriteFile(TempDir + "/Tarvik.cfg", "# report benchmark\n.CLASS small 2\n"
                                            ".CLASS large 1\n.CLASS changing 3\n"
                                            ".APPLICATION bench 42\n")) {
        perror("report_timing: writing the catalogues");
        return 1;
    }
    DrawRandomEntries(large, 1, 4096);
    const Case cases[] = {
        {"small", &small, Pick::Last, 1.0},
        {"large", &large, Pick::Last, 0.01},
        {"random", &large, Pick::Random, 0.01},
        {"changed", &changing, Pick::AfterChange, 1.5},
    };
    const char *const caseText[] = {"3-entry catalogue, last entry", "65535 entries, last entry",
                                    "65535 entries, random", "65535, first after change"};
    setenv("TARVIK_CFG_DIR", TempDir.c_str(), 1);
    unsetenv("TARVIK_CFG_FILE");
    unsetenv("TARVIK_CFG_DIR_USER");

    /* Standard output goes to /dev/null from here on; the table waits for the end. */
    fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (savedOut < 0 || devNull < 0) {
        perror("report_timing: redirecting standard output");
        return 1;
    }
    dup2(devNull, STDOUT_FILENO);

    /* The catalogues are indexed only once they have been left alone long enough. */
    usleep(useconds_t(tarvik::kSettleSeconds * 1000000 + 200000));
    TarvikInit("bench", 0);
    const long long heapBefore = HeapInUse();
    char text[1024];
    ErrGet(large.code, text, sizeof text);
    const long long indexBytes = HeapInUse() - heapBefore;
    bool ready = true;
    for (Catalogue *cat : {&small, &large, &changing}) {
        ready = ready && CheckLookups(*cat);
        if (ready && !CaptureReport(*cat, devNull)) {
            fprintf(stderr, "report_timing: ErrSend($%x) did not report the entry\n",
                    unsigned(cat->code));
            ready = false;
        }
    }
    if (!ready)
        return 1;

    if (profiled) {
        Subject s{};
        if (!ParseSubject(profiled, cases, &s)) {
            fprintf(stderr, "report_timing: no subject \"%s\"\n", profiled);
            return 2;
        }
        ProfiledCalls(s, profiledCalls);
        return Failures.load() ? 1 : 0;
    }

    /* Per call: library and floor take turns within every repetition. */
    std::vector<PerCallResult> perCall;
    for (Call call : {Call::Get, Call::Send})
        for (const Case &c : cases)
            perCall.push_back({call, &c, {}, {}, {}});
    std::vector<long> libCalls, floorCalls;
    for (const auto &r : perCall) {
        libCalls.push_back(CallsFor(SubjectOf(r.call, false, *r.c), sampleMs));
        floorCalls.push_back(CallsFor(SubjectOf(r.call, true, *r.c), sampleMs));
    }
    for (int rep = 0; rep < reps; ++rep) {
        for (std::size_t i = 0; i < perCall.size(); ++i) {
            auto &r = perCall[i];
            const Subject lib = SubjectOf(r.call, false, *r.c),
                          floor = SubjectOf(r.call, true, *r.c);
            double libNs, floorNs;
            if (rep % 2) {
                floorNs = NsPerCall(floor, floorCalls[i]);
                libNs = NsPerCall(lib, libCalls[i]);
            } else {
                libNs = NsPerCall(lib, libCalls[i]);
                floorNs = NsPerCall(floor, floorCalls[i]);
            }
            r.library.push_back(libNs);
            r.floor.push_back(floorNs);
            r.ratio.push_back(libNs / floorNs);
        }
    }

    /* Two threads against one, the library's and the floor's, in turns. */
    std::vector<ThreadResult> threads;
    for (Call call : {Call::Get, Call::Send})
        for (const Case *c : {&cases[0], &cases[1]}) {
            ThreadResult r{};
            r.call = call;
            r.c = c;
            threads.push_back(r);
        }
    std::vector<long> libPerThread, floorPerThread;
    for (const auto &r : threads) {
        libPerThread.push_back(CallsFor(SubjectOf(r.call, false, *r.c), sampleMs));
        floorPerThread.push_back(CallsFor(SubjectOf(r.call, true, *r.c), sampleMs));
    }
    for (int rep = 0; rep < reps; ++rep) {
        for (std::size_t i = 0; i < threads.size(); ++i) {
            auto &r = threads[i];
            const Subject lib = SubjectOf(r.call, false, *r.c),
                          floor = SubjectOf(r.call, true, *r.c);
            Throughput one, two, floorOne, floorTwo;
            if (rep % 2) {
                two = RunThreads(lib, 2, libPerThread[i]);
                one = RunThreads(lib, 1, libPerThread[i]);
                floorTwo = RunThreads(floor, 2, floorPerThread[i]);
                floorOne = RunThreads(floor, 1, floorPerThread[i]);
            } else {
                one = RunThreads(lib, 1, libPerThread[i]);
                two = RunThreads(lib, 2, libPerThread[i]);
                floorOne = RunThreads(floor, 1, floorPerThread[i]);
                floorTwo = RunThreads(floor, 2, floorPerThread[i]);
            }
            r.one.push_back(one.callsPerSecond);
            r.two.push_back(two.callsPerSecond);
            r.speedup.push_back(two.callsPerSecond / one.callsPerSecond);
            r.floorSpeedup.push_back(floorTwo.callsPerSecond / floorOne.callsPerSecond);
            if (one.cpuNsPerCall > 0 && two.cpuNsPerCall > 0 && floorOne.cpuNsPerCall > 0 &&
                floorTwo.cpuNsPerCall > 0) {
                r.freeSpeedup.push_back(two.freeCpuCallsPerSecond / one.freeCpuCallsPerSecond);
                r.floorFreeSpeedup.push_back(floorTwo.freeCpuCallsPerSecond /
                                             floorOne.freeCpuCallsPerSecond);
                r.cpuGrowth.push_back(two.cpuNsPerCall / one.cpuNsPerCall);
                r.blocked.push_back(two.blockedShare);
                r.waitingShare.push_back(1 - two.callsPerSecond / two.freeCpuCallsPerSecond);
            }
        }
    }

    fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);

    printf("Tarvik report benchmark: medians of %d repetitions, samples of about %.0f ms, %u "
           "CPUs\n",
           reps, sampleMs, std::thread::hardware_concurrency());
    printf("  small catalogue: %5d entries, %8lld bytes; looks up $%x \"%s\"; report %zu bytes\n",
           small.entries, small.bytes, unsigned(small.code), small.text.c_str(),
           small.report.size());
    printf("  large catalogue: %5d entries, %8lld bytes; looks up $%x \"%s\", or %zu random "
           "entries in turn; report %zu bytes\n",
           large.entries, large.bytes, unsigned(large.code), large.text.c_str(),
           large.randomCodes.size(), large.report.size());
    printf("  changed: the large catalogue's link moved to another copy before every call\n");
    if (indexBytes >= 0)
        printf("  heap taken by the index of the large catalogue: %lld bytes (%.1f per entry)\n",
               indexBytes, double(indexBytes) / large.entries);
    printf("  standard output: /dev/null; the floor writes the report's size in one write()\n\n");

    int met = 0, goals = 0;
    printf("Per call, one thread                       library ns   floor ns   ratio "
           "(lowest-highest)   goal     met\n");
    for (const auto &r : perCall) {
        const Spread lib = Summarise(r.library), floor = Summarise(r.floor),
                     ratio = Summarise(r.ratio);
        const bool ok = ratio.median <= r.c->goal;
        met += ok;
        ++goals;
        printf("  %-7s %-30s %10.0f %10.0f   %6.4fx (%6.4f-%6.4f)  <= %4.2fx  %s\n",
               CallName(r.call), caseText[r.c - cases], lib.median, floor.median, ratio.median,
               ratio.low, ratio.high, r.c->goal, Verdict(ok));
    }
    printf("\nCalls per second, 2 threads                1 thread   2 threads   speedup "
           "(lowest-highest)   goal    met   floor speedup\n");
    for (const auto &r : threads) {
        const Spread one = Summarise(r.one), two = Summarise(r.two), speedup = Summarise(r.speedup),
                     floorSpeedup = Summarise(r.floorSpeedup);
        const bool ok = speedup.median >= kSpeedupGoal;
        met += ok;
        ++goals;
        printf("  %-7s %-30s %8.0f   %9.0f   %5.2fx (%4.2f-%4.2f)        >= %.1fx  %-3s   "
               "%5.2fx\n",
               CallName(r.call), caseText[r.c - cases], one.median, two.median, speedup.median,
               speedup.low, speedup.high, kSpeedupGoal, Verdict(ok), floorSpeedup.median);
    }
    if (!threads.front().freeSpeedup.empty()) {
        printf("\nThe same two threads with the waits for a CPU that another process held taken "
               "out (scheduler statistics):\n"
               "                                           speedup   floor speedup   CPU per call "
               "2 vs 1 thread   blocked   waiting for a CPU\n");
        for (const auto &r : threads)
            printf("  %-7s %-30s   %5.2fx          %5.2fx          %5.2fx            %5.1f%%      "
                   "  %5.1f%%\n",
                   CallName(r.call), caseText[r.c - cases], Summarise(r.freeSpeedup).median,
                   Summarise(r.floorFreeSpeedup).median, Summarise(r.cpuGrowth).median,
                   100 * Summarise(r.blocked).median, 100 * Summarise(r.waitingShare).median);
        printf("  (\"blocked\": neither running nor runnable, as when waiting for a lock; the goal "
               "is judged on the measured speedup above)\n");
    }
    printf("\ngoals met: %d of %d\n", met, goals);
    const long failed = Failures.load();
    if (failed) {
        printf("%ld timed calls failed: the figures are not those of successful lookups\n", failed);
        return 1;
    }
    return 0;
}
