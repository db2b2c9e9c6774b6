/*
 * report_timing - times ErrGet and ErrSend against the floor of report_floor.c, in one run
 * on one machine:
 *   - per call, on a small catalogue (one of its few entries) and on the last entry of a
 *     65535-entry catalogue, standard output going to /dev/null; the library's time is
 *     shown as a ratio of the floor's (goals: 1.0x on the small one, 0.5x on the large);
 *   - calls per second of two threads against one (goal: 1.7x), with the floor's own
 *     speed-up beside it, which shows what the machine itself allows; where the scheduler
 *     gives its statistics, also the speed-up with the threads' waits for a CPU held by
 *     another process taken out, the CPU time per call and the time spent blocked, which
 *     tell contention in the library from a busy machine.
 * Library and floor samples take turns, and every figure is the median of several
 * repetitions, so that a change of load on the machine weighs on both alike.
 *
 * The catalogues and the configuration are written to a temporary directory at start;
 * TARVIK_CFG_DIR points there before the first call.
 *
 * Usage: report_timing [-r REPETITIONS] [-t SAMPLE_MS]
 *        report_timing -p SUBJECT [-n CALLS]
 *   -r  repetitions of every measurement (default 15)
 *   -t  length of one timed sample in milliseconds (default 40)
 *   -p  for a profiler: only make CALLS calls (default 100) of SUBJECT, which is
 *       [floor-]get-small, [floor-]get-large, [floor-]send-small or [floor-]send-large,
 *       all within ProfiledCalls(); e.g. valgrind --tool=callgrind --collect-atstart=no
 *       --toggle-collect='*ProfiledCalls*' report_timing -p get-large -n 20
 * Prints the table on standard output. Exits 1 when the set-up fails or a timed call
 * fails (the figures would not be those of a successful lookup), else 0, goals met or not.
 */
#include "report_floor.h"
#include "tarvik.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    const char *label;
    int entries;
    int code;           /* the code looked up */
    std::string path;   /* where the library finds it through the configuration */
    std::string key;    /* the entry's code text, as the floor compares it: ".1ffff." */
    std::string text;   /* the entry's text, as ErrGet must give it */
    std::string report; /* the report of ErrSend, captured once; the floor writes as much */
    long long bytes;    /* size of the file */
};

enum class Call { Get, Send };

const char *CallName(Call call)
{
    return call == Call::Get ? "ErrGet" : "ErrSend";
}

/* One timed operation: a library call or its floor, on one catalogue. */
struct Subject {
    Call call;
    bool floor;
    const Catalogue *cat;
};

std::atomic<long> Failures{0}; /* timed calls that did not succeed */

void RunOnce(const Subject &s)
{
    char text[1024];
    const Catalogue &c = *s.cat;
    int rc;
    if (s.floor)
        rc = s.call == Call::Get
                 ? FloorGet(c.path.c_str(), c.key.c_str(), text, sizeof text)
                 : FloorSend(c.path.c_str(), c.key.c_str(), c.report.data(), c.report.size());
    else
        rc = s.call == Call::Get ? ErrGet(c.code, text, sizeof text)
                                 : ErrSend(c.code, TARVIK_ERROR, kSource, kExtra);
    if (rc != 0)
        Failures.fetch_add(1, std::memory_order_relaxed);
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

/* Nanoseconds per call over `calls` calls in this thread. */
double NsPerCall(const Subject &s, long calls)
{
    const auto start = Clock::now();
    for (long i = 0; i < calls; ++i)
        RunOnce(s);
    return Seconds(Clock::now() - start) * 1e9 / double(calls);
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
    for (const char *name : {"Tarvik.cfg", "SMALL_err.tarvik", "LARGE_err.tarvik"})
        unlink((TempDir + "/" + name).c_str());
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

/*
 * Writes a compiled catalogue of class classNumber with the given texts, and fills cat for
 * the entry at index (counted from 1).
 */
bool MakeCatalogue(Catalogue &cat, const char *fileName, int classNumber,
                   const std::vector<std::string> &texts, int index)
{
    std::string content = "!$" + Hex(unsigned(classNumber)) + "\n";
    content.reserve(texts.size() * 48);
    for (std::size_t i = 0; i < texts.size(); ++i)
        content +=
            "." + Hex(unsigned(classNumber) * 65536u + unsigned(i + 1)) + "." + texts[i] + "\n";
    cat.entries = int(texts.size());
    cat.code = int(unsigned(classNumber) * 65536u + unsigned(index));
    cat.path = TempDir + "/" + fileName;
    cat.key = "." + Hex(unsigned(cat.code)) + ".";
    cat.text = texts[std::size_t(index - 1)];
    cat.bytes = (long long)content.size();
    return WriteFile(cat.path, content);
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

struct PerCallResult {
    Call call;
    const Catalogue *cat;
    double goal;
    std::vector<double> library, floor, ratio;
};

struct ThreadResult {
    Call call;
    const Catalogue *cat;
    std::vector<double> one, two, speedup, floorSpeedup;
    /* from the scheduler's statistics, where it gives them */
    std::vector<double> freeSpeedup, floorFreeSpeedup, cpuGrowth, blocked, waitingShare;
};

constexpr double kSpeedupGoal = 1.7;

/* The calls of profiling mode, in a function of their own for the profiler to pick out. */
__attribute__((noinline)) void ProfiledCalls(const Subject &s, long calls)
{
    for (long i = 0; i < calls; ++i)
        RunOnce(s);
}

/* Reads a profiling subject such as "floor-get-large"; false when it names none. */
bool ParseSubject(std::string name, const Catalogue &small, const Catalogue &large, Subject *s)
{
    s->floor = name.rfind("floor-", 0) == 0;
    if (s->floor)
        name.erase(0, 6);
    for (Call call : {Call::Get, Call::Send})
        for (const Catalogue *cat : {&small, &large})
            if (name == std::string(call == Call::Get ? "get-" : "send-") + cat->label) {
                s->call = call;
                s->cat = cat;
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
                    "       %s -p [floor-]{get|send}-{small|large} [-n CALLS]\n",
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

    Catalogue small{}, large{};
    small.label = "small";
    large.label = "large";
    const std::vector<std::string> smallTexts = {"Out of memory", "Disk full",
                                                 "Connection refused by the server",
                                                 "File not found", "Permission denied"};
    std::vector<std::string> largeTexts;
    for (int i = 1; i <= 65535; ++i) {
        char text[64];
        snprintf(text, sizeof text, "Text of error %05d, about forty bytes.", i);
        largeTexts.push_back(text);
    }
    if (!MakeCatalogue(small, "SMALL_err.tarvik", 2, smallTexts, 3) ||
        !MakeCatalogue(large, "LARGE_err.tarvik", 1, largeTexts, 65535) ||
        !WriteFile(TempDir + "/Tarvik.cfg", "# report benchmark\n.CLASS small 2\n"
                                            ".CLASS large 1\n.APPLICATION bench 42\n")) {
        perror("report_timing: writing the catalogues");
        return 1;
    }
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

    TarvikInit("bench", 0);
    bool ready = true;
    for (Catalogue *cat : {&small, &large}) {
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
        if (!ParseSubject(profiled, small, large, &s)) {
            fprintf(stderr, "report_timing: no subject \"%s\"\n", profiled);
            return 2;
        }
        ProfiledCalls(s, profiledCalls);
        return Failures.load() ? 1 : 0;
    }

    /* Per call: library and floor take turns within every repetition. */
    std::vector<PerCallResult> perCall;
    for (Call call : {Call::Get, Call::Send})
        for (const Catalogue *cat : {&small, &large})
            perCall.push_back({call, cat, cat == &small ? 1.0 : 0.5, {}, {}, {}});
    std::vector<long> libCalls, floorCalls;
    for (const auto &r : perCall) {
        libCalls.push_back(CallsFor({r.call, false, r.cat}, sampleMs));
        floorCalls.push_back(CallsFor({r.call, true, r.cat}, sampleMs));
    }
    for (int rep = 0; rep < reps; ++rep) {
        for (std::size_t i = 0; i < perCall.size(); ++i) {
            auto &r = perCall[i];
            double lib, floor;
            if (rep % 2) {
                floor = NsPerCall({r.call, true, r.cat}, floorCalls[i]);
                lib = NsPerCall({r.call, false, r.cat}, libCalls[i]);
            } else {
                lib = NsPerCall({r.call, false, r.cat}, libCalls[i]);
                floor = NsPerCall({r.call, true, r.cat}, floorCalls[i]);
            }
            r.library.push_back(lib);
            r.floor.push_back(floor);
            r.ratio.push_back(lib / floor);
        }
    }

    /* Two threads against one, the library's and the floor's, in turns. */
    std::vector<ThreadResult> threads;
    for (Call call : {Call::Get, Call::Send})
        for (const Catalogue *cat : {&small, &large}) {
            ThreadResult r{};
            r.call = call;
            r.cat = cat;
            threads.push_back(r);
        }
    std::vector<long> libPerThread, floorPerThread;
    for (const auto &r : threads) {
        libPerThread.push_back(CallsFor({r.call, false, r.cat}, sampleMs));
        floorPerThread.push_back(CallsFor({r.call, true, r.cat}, sampleMs));
    }
    for (int rep = 0; rep < reps; ++rep) {
        for (std::size_t i = 0; i < threads.size(); ++i) {
            auto &r = threads[i];
            const Subject lib{r.call, false, r.cat}, floor{r.call, true, r.cat};
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
    for (const Catalogue *cat : {&small, &large})
        printf("  %s catalogue: %5d entries, %8lld bytes; looks up $%x \"%s\"; report %zu "
               "bytes\n",
               cat->label, cat->entries, cat->bytes, unsigned(cat->code), cat->text.c_str(),
               cat->report.size());
    printf("  standard output: /dev/null; the floor writes the report's size in one write()\n\n");

    int met = 0, goals = 0;
    printf("Per call, one thread          library ns   floor ns   ratio (lowest-highest)   goal "
           "   met\n");
    for (const auto &r : perCall) {
        const Spread lib = Summarise(r.library), floor = Summarise(r.floor),
                     ratio = Summarise(r.ratio);
        const bool ok = ratio.median <= r.goal;
        met += ok;
        ++goals;
        printf("  %-7s %-5s catalogue   %10.0f %10.0f   %5.2fx (%4.2f-%4.2f)      <= %.1fx  %s\n",
               CallName(r.call), r.cat->label, lib.median, floor.median, ratio.median, ratio.low,
               ratio.high, r.goal, Verdict(ok));
    }
    printf("\nCalls per second, 2 threads   1 thread   2 threads   speedup (lowest-highest)   goal"
           "    met   floor speedup\n");
    for (const auto &r : threads) {
        const Spread one = Summarise(r.one), two = Summarise(r.two), speedup = Summarise(r.speedup),
                     floorSpeedup = Summarise(r.floorSpeedup);
        const bool ok = speedup.median >= kSpeedupGoal;
        met += ok;
        ++goals;
        printf("  %-7s %-5s catalogue   %8.0f   %9.0f   %5.2fx (%4.2f-%4.2f)        >= %.1fx  "
               "%-3s   %5.2fx\n",
               CallName(r.call), r.cat->label, one.median, two.median, speedup.median, speedup.low,
               speedup.high, kSpeedupGoal, Verdict(ok), floorSpeedup.median);
    }
    if (!threads.front().freeSpeedup.empty()) {
        printf(
            "\nThe same two threads with the waits for a CPU that another process held taken out "
            "(scheduler statistics):\n"
            "                              speedup   floor speedup   CPU per call 2 vs 1 "
            "thread   blocked   waiting for a CPU\n");
        for (const auto &r : threads)
            printf("  %-7s %-5s catalogue     %5.2fx          %5.2fx          %5.2fx            "
                   "%5.1f%%        %5.1f%%\n",
                   CallName(r.call), r.cat->label, Summarise(r.freeSpeedup).median,
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
