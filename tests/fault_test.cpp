// Fault injection: allocations that fail, fork handlers that cannot be registered, a
// host-name query that fails, catalogue reads that come short or fail, writes to standard
// output that come short, are interrupted, find a full non-blocking descriptor (and a wait
// for room that fails), take nothing or fail,
// catalogues and configurations that change between calls (into FIFOs and sockets too),
// and a standard output that is closed or full.
//
// The faults come from link-time seams: this program is linked with --wrap for calloc,
// gethostname, pread, write, poll and pthread_atfork, so the library's calls of those
// functions reach the wrappers below, which pass every call through to the real function
// unless the scenario has armed a fault. Nothing of this is in the library. (stdio's own
// writes, inside the C library, are not wrapped.)
//
// Every scenario runs in a fresh child process, in a directory of its own named by
// TARVIK_CFG_DIR, and prints each call's result between the library's own output; the
// test compares that whole text, report date stamps masked.
#include "Catalogue.h"
#include "LogRecord.h"
#include "TestSupport.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------
// The seams. A fault is armed in the child, right before the call it is meant for.

namespace fault
{
int callocCalls;              // calloc calls so far
int callocFailAt;             // the call number that fails; 0: none
std::size_t callocFailedSize; // bytes asked for by the call that failed

bool hostNameFails;        // every query fails, leaving the buffer full and unterminated
std::string hostName;      // when not empty, the name the query gives, as the C library
                           // does: ENAMETOOLONG when the buffer cannot hold it whole
std::size_t hostNameBytes; // the length given to the last query

int readCalls;       // pread calls so far
int readFailAt;      // the call number that fails with readErrno; 0: none
int readErrno = EIO; // ...
std::size_t readMax; // most bytes one read gives; 0: as many as asked

// Writes to standard output.
int writeCalls;       // so far
int writeFailAt;      // the call number that fails with writeErrno; 0: none
int writeNothingAt;   // the call number that takes no byte and returns 0; 0: none
int writeErrno = EIO; // ...
int writeBusyEvery;   // every n-th call fails with writeBusyErrno at once; 0: none
int writeBusyErrno;   // EINTR or EAGAIN
std::size_t writeMax; // most bytes one write takes; 0: as many as given
int pollCalls;        // waits for a descriptor to take more
bool pollFails;       // every wait fails for want of memory

bool atforkFails; // registering fork handlers fails for want of memory

// Makes the n-th calloc call from now fail.
void FailCalloc(int n)
{
    callocFailAt = callocCalls + n;
}
// Makes the n-th read call from now fail with err.
void FailRead(int n, int err)
{
    readFailAt = readCalls + n;
    readErrno = err;
}
// Makes the n-th write to standard output from now fail with err.
void FailWrite(int n, int err)
{
    writeFailAt = writeCalls + n;
    writeErrno = err;
}
} // namespace fault

extern "C" {
void *__real_calloc(std::size_t n, std::size_t size);
int __real_gethostname(char *name, std::size_t len);
ssize_t __real_pread(int fd, void *buf, std::size_t n, off_t offset);
ssize_t __real_write(int fd, const void *buf, std::size_t n);
int __real_poll(struct pollfd *fds, nfds_t n, int timeout);
int __real_pthread_atfork(void (*prepare)(), void (*parent)(), void (*child)());

void *__wrap_calloc(std::size_t n, std::size_t size)
{
    if (++fault::callocCalls == fault::callocFailAt) {
        fault::callocFailedSize = n * size;
        errno = ENOMEM;
        return nullptr;
    }
    return __real_calloc(n, size);
}

int __wrap_gethostname(char *name, std::size_t len)
{
    fault::hostNameBytes = len;
    if (fault::hostNameFails) {
        memset(name, 'h', len);
        errno = ENAMETOOLONG;
        return -1;
    }
    if (fault::hostName.empty())
        return __real_gethostname(name, len);
    if (len <= fault::hostName.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(name, fault::hostName.c_str(), fault::hostName.size() + 1);
    return 0;
}

ssize_t __wrap_pread(int fd, void *buf, std::size_t n, off_t offset)
{
    if (++fault::readCalls == fault::readFailAt) {
        errno = fault::readErrno;
        return -1;
    }
    if (fault::readMax != 0 && n > fault::readMax)
        n = fault::readMax;
    return __real_pread(fd, buf, n, offset);
}

ssize_t __wrap_write(int fd, const void *buf, std::size_t n)
{
    if (fd != STDOUT_FILENO)
        return __real_write(fd, buf, n);
    const int call = ++fault::writeCalls;
    if (call == fault::writeFailAt) {
        errno = fault::writeErrno;
        return -1;
    }
    if (call == fault::writeNothingAt)
        return 0;
    if (fault::writeBusyEvery != 0 && call % fault::writeBusyEvery == 0) {
        errno = fault::writeBusyErrno;
        return -1;
    }
    if (fault::writeMax != 0 && n > fault::writeMax)
        n = fault::writeMax;
    return __real_write(fd, buf, n);
}

int __wrap_poll(struct pollfd *fds, nfds_t n, int timeout)
{
    ++fault::pollCalls;
    if (fault::pollFails) {
        errno = ENOMEM;
        return -1;
    }
    return __real_poll(fds, n, timeout);
}

int __wrap_pthread_atfork(void (*prepare)(), void (*parent)(), void (*child)())
{
    return fault::atforkFails ? ENOMEM : __real_pthread_atfork(prepare, parent, child);
}
}

namespace
{

using tarvik::test::Outcome;
using tarvik::test::RunInChild;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

constexpr char kConfig[] = ".CLASS demo 12\n.CLASS gone 13\n.CLASS bad 14\n";
constexpr char kCatalogue[] = "!$c\n.c0001.Out of memory\n.c0002.Disk full\n";
constexpr int kFound = 0xc0001;       // in DEMO_err.tarvik
constexpr int kNoFile = 0xd0001;      // class GONE, whose catalogue does not exist
constexpr int kWrongHeader = 0xe0001; // class BAD, whose catalogue is headed for class 12
constexpr std::size_t kRecordSize = sizeof(T_ErrMsg);

// The framed report of an ErrSend call made by Send().
std::string Report(const std::string &pkg, int cls, unsigned code, const std::string &body)
{
    char hex[16];
    snprintf(hex, sizeof hex, "%x", code);
    return "==== TARVIK MESSAGE ==== <date>\nApplication : \nClass : " + pkg + " (" +
           std::to_string(cls) + ")\nCode : $" + hex + "\nType : ERROR\nSource : TEST - fault\n" +
           "Body : " + body + "\nExtra : \n========================\n\n";
}
const std::string kFoundReport = Report("DEMO", 12, kFound, "Out of memory");

std::string Diag(const char *function, const std::string &message)
{
    return std::string("Tarvik - ") + function + "() : " + message + "\n";
}

// The calls a scenario makes, each followed by a line with its result.
void Send(int code)
{
    printf("ErrSend %d\n", ErrSend(code, TARVIK_ERROR, "TEST - fault", nullptr));
}
void Get(int code)
{
    char text[64];
    memset(text, 'x', sizeof text); // ErrGet clears it first
    const int result = ErrGet(code, text, sizeof text);
    printf("ErrGet %d \"%s\"\n", result, text);
}

// A scenario's directory, with the configuration and the DEMO catalogue.
class FaultTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        WriteFile(dir / "Tarvik.cfg", kConfig);
        WriteFile(catalogue, kCatalogue);
    }

    // Runs body in a fresh child inside the directory; returns what it printed, with
    // every report's date stamp masked.
    std::string Run(const std::function<void()> &body)
    {
        const Outcome outcome = RunInChild([&] {
            tarvik::test::ExitIfHung(30); // a call that blocks on a FIFO, say
            if (chdir(dir.path().c_str()) != 0)
                return 126;
            setenv("TARVIK_CFG_DIR", dir.path().c_str(), 1);
            unsetenv("TARVIK_CFG_FILE");
            unsetenv("TARVIK_CFG_DIR_USER");
            body();
            return 0;
        });
        EXPECT_EQ(outcome.status, 0) << outcome.out;
        static const std::regex stamp("(==== TARVIK MESSAGE ==== )[^\n]*");
        return std::regex_replace(outcome.out, stamp, "$1<date>");
    }

    // One change to the files, then the output of ErrSend and ErrGet that must follow.
    struct Step {
        const char *what;
        std::function<void()> change;
        std::string out;
    };

    // Runs the steps in order in one child, sending and looking up kFound after each.
    template <std::size_t N>
    void RunSteps(const Step (&steps)[N])
    {
        std::string expected;
        for (const auto &step : steps)
            expected += std::string("-- ") + step.what + "\n" + step.out;
        const std::string out = Run([&] {
            for (const auto &step : steps) {
                printf("-- %s\n", step.what);
                step.change();
                Send(kFound);
                Get(kFound);
            }
        });
        EXPECT_EQ(out, expected);
    }

    TempDir dir;
    const std::string catalogue = dir / "DEMO_err.tarvik";
};

// ---------------------------------------------------------------------------------------
// Allocations: the space of ErrSend and ErrGet (their record and the catalogue reader's
// buffer, allocated as the call begins), ErrDispatch's report buffer and a class entry
// of ErrCfgInit. Each failure prints its message, in the order of the checks (no class
// table before no memory), and the call goes on as designed; the same call made again,
// with the fault spent, works.

// What the failed allocation was, told by its size.
std::string Allocation(std::size_t bytes)
{
    if (bytes == tarvik::kLogRecordSize)
        return "log record";
    if (bytes >= kRecordSize + sizeof(tarvik::ReadBuffer))
        return "record and read buffer";
    if (bytes == kRecordSize)
        return "record-sized";
    if (bytes >= sizeof(T_ClassInfo) && bytes < 2 * sizeof(T_ClassInfo))
        return "class entry";
    return std::to_string(bytes) + " bytes";
}

TEST_F(FaultTest, AllocationFailures)
{
    const std::string missing =
        Diag("ErrSend", "Impossible d'ouvrir le fichier \"" + dir / "GONE_err.tarvik" + "\"");
    const std::string noTable = "Probleme a l'init de la config du package Tarvik";
    const std::string nowhere = dir / "nowhere";
    const std::string notFound =
        Diag("ErrCfgInit", "Impossible de trouver le fichier \"" + nowhere + "/Tarvik.cfg\"");
    const struct {
        const char *what;
        bool loaded; // the configuration is loaded before the fault is armed
        int failAt;  // the calloc call that fails, counted from the probed call on
        std::function<void()> call;
        std::string out;   // of the call with the fault
        std::string again; // of the same call made again
    } cases[] = {
        {"ErrSend's record", true, 1, [] { Send(kFound); },
         Diag("ErrSend", "Memoire insuffisante") + "ErrSend -1\nrecord and read buffer\n",
         kFoundReport + "ErrSend 0\n"},
        {"ErrGet's record", true, 1, [] { Get(kFound); },
         Diag("ErrGet", "Memoire insuffisante") + "ErrGet -1 \"\"\nrecord and read buffer\n",
         "ErrGet 0 \"Out of memory\"\n"},
        {"ErrSend's record before the first load: the load, then the message", false, 1,
         [] { Send(kFound); },
         Diag("ErrSend", "Memoire insuffisante") + "ErrSend -1\nrecord and read buffer\n",
         kFoundReport + "ErrSend 0\n"},
        {"ErrGet's record and no configuration: only the configuration's messages", false, 1,
         [nowhere] {
             setenv("TARVIK_CFG_DIR", nowhere.c_str(), 1);
             Get(kFound);
         },
         notFound + Diag("ErrGet", noTable) + "ErrGet -1 \"\"\nrecord and read buffer\n",
         notFound + Diag("ErrGet", noTable) + "ErrGet -1 \"\"\n"},
        {"ErrDispatch's buffer: no report, ErrSend's result as usual", true, 2,
         [] { Send(kFound); },
         Diag("ErrDispatch", "Memoire insuffisante") + "ErrSend 0\nrecord-sized\n",
         kFoundReport + "ErrSend 0\n"},
        {"ErrDispatch's buffer after a failed lookup", true, 2, [] { Send(kNoFile); },
         missing + Diag("ErrDispatch", "Memoire insuffisante") + "ErrSend -1\nrecord-sized\n",
         missing + Report("GONE", 13, kNoFile, "") + "ErrSend -1\n"},
        {"the second class entry, in ErrSend's load", false, 3, [] { Send(kFound); },
         Diag("ErrCfgInit", "Memoire insuffisante") + Diag("ErrSend", noTable) +
             "ErrSend -1\nclass entry\n",
         kFoundReport + "ErrSend 0\n"},
        {"the first class entry, in ErrGet's load", false, 2, [] { Get(kFound); },
         Diag("ErrCfgInit", "Memoire insuffisante") + Diag("ErrGet", noTable) +
             "ErrGet -1 \"\"\nclass entry\n",
         "ErrGet 0 \"Out of memory\"\n"},
    };
    for (const auto &c : cases) {
        const std::string out = Run([&] {
            if (c.loaded)
                ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0);
            fault::FailCalloc(c.failAt);
            c.call();
            printf("%s\n", Allocation(fault::callocFailedSize).c_str());
            c.call();
        });
        EXPECT_EQ(out, c.out + c.again) << c.what;
    }
}

// The logger's buffers (its record, then the report's fields that the record joins)
// cannot be allocated: the report comes out as usual, the record is lost and the loss is
// told; the next record, with no daemon at the socket, is lost without a word more.
TEST_F(FaultTest, LoggerAllocationFailures)
{
    const std::string socket = dir / "log.sock";
    const std::string lost =
        Diag("ErrSend", "Journal systeme injoignable (" + socket + " : memoire insuffisante, errno " +
                            std::to_string(ENOMEM) + ") : enregistrements perdus jusqu'a son retour");
    const struct {
        int failAt; // the calloc call that fails, counted from ErrSend's call on
        const char *allocation;
    } cases[] = {{3, "log record"}, {4, "record-sized"}};
    for (const auto &c : cases) {
        const std::string out = Run([&] {
            setenv("TARVIK_CFG_LOG_SOCKET", socket.c_str(), 1);
            TarvikInit(nullptr, 1);
            fault::FailCalloc(c.failAt);
            Send(kFound);
            printf("%s\n", Allocation(fault::callocFailedSize).c_str());
            Send(kFound);
        });
        EXPECT_EQ(out, kFoundReport + lost + "ErrSend 0\n" + c.allocation + "\n" + kFoundReport +
                           "ErrSend 0\n")
            << c.allocation;
    }
}

// The fork handlers of the library lock cannot be registered: the first call says so,
// and every call works as usual.
TEST_F(FaultTest, ForkHandlersNotRegistered)
{
    const std::string out = Run([] {
        fault::atforkFails = true;
        Get(kFound);
        Send(kFound);
    });
    EXPECT_EQ(out, Diag("ErrMutexCreate", "Memoire insuffisante") + "ErrGet 0 \"Out of memory\"\n" +
                       kFoundReport + "ErrSend 0\n");
}

// One record per call, freed before it returns; ErrSend's report one buffer more.
TEST_F(FaultTest, OneAllocationPerRecordAndReport)
{
    const std::string out = Run([] {
        ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0);
        int before = fault::callocCalls;
        Send(kFound);
        printf("ErrSend: %d\n", fault::callocCalls - before);
        before = fault::callocCalls;
        Get(kFound);
        printf("ErrGet: %d\n", fault::callocCalls - before);
    });
    EXPECT_EQ(out, kFoundReport + "ErrSend 0\nErrSend: 2\nErrGet 0 \"Out of memory\"\nErrGet: 1\n");
}

// ---------------------------------------------------------------------------------------
// The host-name query has room for the longest name that the system allows, whatever the
// call: a name of that length reports as usual. A query that fails still lets the report
// out and the text through, and both calls return -1; the failed query leaves the name
// unterminated, which must not show anywhere.

TEST_F(FaultTest, HostNameQuery)
{
    const std::string fails = "gethostname() fails !";
    const std::string room = std::to_string(HOST_NAME_MAX + 1) + " bytes\n";
    const struct {
        const char *what;
        bool queryFails;
        std::string out;
    } cases[] = {
        {"a name of the longest length", false,
         kFoundReport + "ErrSend 0\n" + room + "ErrGet 0 \"Out of memory\"\n" + room +
             Report("", 0, 0xffffffff, strerror(EDOM)) + "ErrSend 0, errno kept\n"},
        {"the query fails", true,
         Diag("ErrSend", fails) + kFoundReport + "ErrSend -1\n" + room + Diag("ErrGet", fails) +
             "ErrGet -1 \"Out of memory\"\n" + room + Diag("ErrSend", fails) +
             Report("", 0, 0xffffffff, strerror(EDOM)) + "ErrSend -1, errno kept\n"},
    };
    for (const auto &c : cases) {
        const std::string out = Run([&] {
            fault::hostNameFails = c.queryFails;
            fault::hostName = std::string(HOST_NAME_MAX, 'h');
            Send(kFound);
            printf("%zu bytes\n", fault::hostNameBytes);
            Get(kFound);
            printf("%zu bytes\n", fault::hostNameBytes);
            errno = EDOM;
            const int result = ErrSend(TARVIK_SYSTEM_ERROR, TARVIK_ERROR, "TEST - fault", nullptr);
            printf("ErrSend %d, errno %s\n", result, errno == EDOM ? "kept" : "changed");
        });
        EXPECT_EQ(out, c.out) << c.what;
    }
}

// ---------------------------------------------------------------------------------------
// Catalogue reads: short reads change nothing; a read that fails after the first gives
// "erreur de lecture", a first read that fails "fichier vide"; an interrupted read is
// tried again.

TEST_F(FaultTest, CatalogueReadFaults)
{
    // Entries behind a line longer than the reader's pieces, read in small bits.
    const std::string longText(700, 't');
    const std::string entries = "!$c\n.c0002." + longText + "\n.c0001.Out of memory\n";
    const std::string firstPiece(511 - sizeof ".c0002." + 1, 't');
    const std::string path = catalogue;
    const std::string readError = path + " : erreur de lecture";
    const struct {
        const char *what;
        std::size_t readMax;
        int failAt; // 0: no read fails
        int err;
        std::string out;
    } cases[] = {
        {"one byte per read", 1, 0, 0, kFoundReport + "ErrSend 0\nErrGet 0 \"Out of memory\"\n"},
        {"seven bytes per read", 7, 0, 0, kFoundReport + "ErrSend 0\nErrGet 0 \"Out of memory\"\n"},
        {"an interrupted read", 5, 2, EINTR,
         kFoundReport + "ErrSend 0\nErrGet 0 \"Out of memory\"\n"},
        {"the second read fails", 5, 2, EIO,
         Diag("ErrSend", readError) + Report("DEMO", 12, kFound, "") + "ErrSend -1\n" +
             Diag("ErrGet", readError) + "ErrGet -1 \"\"\n"},
        {"a read in the long line fails", 100, 4, EIO,
         Diag("ErrSend", readError) + Report("DEMO", 12, kFound, "") + "ErrSend -1\n" +
             Diag("ErrGet", readError) + "ErrGet -1 \"\"\n"},
        {"the first read fails", 0, 1, EIO,
         Diag("ErrSend", path + " : fichier vide") + Report("DEMO", 12, kFound, "") +
             "ErrSend -1\n" + Diag("ErrGet", path + " : fichier vide") + "ErrGet -1 \"\"\n"},
    };
    WriteFile(catalogue, entries);
    for (const auto &c : cases) {
        const std::string out = Run([&] {
            ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0);
            fault::readMax = c.readMax;
            if (c.failAt)
                fault::FailRead(c.failAt, c.err);
            Send(kFound);
            if (c.failAt)
                fault::FailRead(c.failAt, c.err);
            Get(kFound);
            // The long entry's text is its first piece, however it was read.
            char text[800] = "";
            fault::readFailAt = 0;
            const int result = ErrGet(0xc0002, text, sizeof text);
            printf("long entry %d %s\n", result, text == firstPiece ? "as one piece" : text);
        });
        EXPECT_EQ(out, c.out + "long entry 0 as one piece\n") << c.what;
    }
}

// ---------------------------------------------------------------------------------------
// Writes to standard output: the library's texts (reports and diagnostics), and the
// program's own text buffered before them, survive short writes, interruptions and a full
// non-blocking descriptor, whole and in order. Only a write that really fails (or takes
// nothing, or waits for room in vain) loses a report; ErrSend then says so and returns -1. The program's text is never lost or
// doubled: when the library's write of it fails, stdio's own flush writes it.

TEST_F(FaultTest, OutputFaults)
{
    const std::string missing =
        Diag("ErrSend", "Impossible d'ouvrir le fichier \"" + dir / "GONE_err.tarvik" + "\"");
    const std::string second = missing + Report("GONE", 13, kNoFile, "") + "ErrSend -1\n";
    const std::string asUsual = "program's text\n" + kFoundReport + "ErrSend 0\n" + second;
    const std::string lost = "program's text\n" +
                             Diag("ErrDispatch", "Impossible d'ecrire le message sur la sortie standard") +
                             "ErrSend -1\n" + second;
    const auto busy = [](int every, int err) {
        return [every, err] {
            fault::writeBusyEvery = every;
            fault::writeBusyErrno = err;
        };
    };
    const struct {
        const char *what;
        std::function<void()> arm;
        std::string out;
        const char *waits;
    } cases[] = {
        {"one byte per write", [] { fault::writeMax = 1; }, asUsual, "no wait"},
        {"every other write interrupted", busy(2, EINTR), asUsual, "no wait"},
        {"every other write on a full non-blocking descriptor", busy(2, EAGAIN), asUsual, "waited"},
        {"the write of the program's text fails", [] { fault::FailWrite(1, EIO); }, asUsual,
         "no wait"},
        {"the report's write fails", [] { fault::FailWrite(2, EIO); }, lost, "no wait"},
        {"the report's write takes nothing", [] { fault::writeNothingAt = 2; }, lost, "no wait"},
        {"the wait for room fails",
         [] {
             fault::FailWrite(2, EAGAIN);
             fault::pollFails = true;
         },
         lost, "waited"},
    };
    for (const auto &c : cases) {
        const std::string out = Run([&] {
            ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0);
            printf("program's text\n");
            c.arm();
            Send(kFound);
            Send(kNoFile);
            printf("%s\n", fault::pollCalls > 0 ? "waited" : "no wait");
        });
        EXPECT_EQ(out, c.out + c.waits + "\n") << c.what;
    }
}

// ---------------------------------------------------------------------------------------
// Nothing is cached: the catalogue is read again by every call, whatever happened to it
// in between. A FIFO or a socket where the catalogue should be reads as a file that cannot
// be read (as a directory does), and never makes a call wait.

TEST_F(FaultTest, CatalogueChangesBetweenCalls)
{
    const std::string path = catalogue;
    const auto replace = [path](const char *bytes) {
        const std::string next = path + ".next";
        WriteFile(next, bytes);
        rename(next.c_str(), path.c_str());
    };
    const auto failed = [path](const std::string &message) {
        return Diag("ErrSend", path + " : " + message) + Report("DEMO", 12, kFound, "") +
               "ErrSend -1\n" + Diag("ErrGet", path + " : " + message) + "ErrGet -1 \"\"\n";
    };
    const Step steps[] = {
        {"as written", [] {}, kFoundReport + "ErrSend 0\nErrGet 0 \"Out of memory\"\n"},
        {"replaced", [&] { replace("!$c\n.c0001.No memory left\n"); },
         Report("DEMO", 12, kFound, "No memory left") + "ErrSend 0\nErrGet 0 \"No memory left\"\n"},
        {"removed", [path] { unlink(path.c_str()); },
         Diag("ErrSend", "Impossible d'ouvrir le fichier \"" + path + "\"") +
             Report("DEMO", 12, kFound, "") + "ErrSend -1\n" +
             Diag("ErrGet", "Impossible d'ouvrir le fichier \"" + path + "\"") +
             "ErrGet -1 \"\"\n"},
        {"a directory", [path] { mkdir(path.c_str(), 0700); }, failed("fichier vide")},
        {"a FIFO",
         [path] {
             rmdir(path.c_str());
             mkfifo(path.c_str(), 0600);
         },
         failed("fichier vide")},
        {"a socket",
         [path] {
             unlink(path.c_str());
             tarvik::test::MakeSocketFile(path);
         },
         failed("fichier vide")},
        {"empty", [&] { replace(""); }, failed("fichier vide")},
        {"another class's", [&] { replace("!$d\n.c0001.Out of memory\n"); },
         failed("format incorrect")},
        {"written again", [&] { replace(kCatalogue); },
         kFoundReport + "ErrSend 0\nErrGet 0 \"Out of memory\"\n"},
    };
    RunSteps(steps);
}

// The configuration is read once: the class table stays as loaded when the file changes
// or disappears. A program that calls ErrCfgInit itself gets a new table, or none when
// the file is gone or unreadable (a directory, a FIFO, a socket); while there is none,
// every call loads it again, and none waits on the FIFO.

TEST_F(FaultTest, ConfigurationChangesBetweenCalls)
{
    const std::string cfg = dir / "Tarvik.cfg";
    const std::string other = dir / "other";
    mkdir(other.c_str(), 0700);
    WriteFile(other + "/DEMO_err.tarvik", "!$c\n.c0001.Elsewhere\n");
    const std::string found = kFoundReport + "ErrSend 0\nErrGet 0 \"Out of memory\"\n";
    const std::string elsewhere =
        Report("DEMO", 12, kFound, "Elsewhere") + "ErrSend 0\nErrGet 0 \"Elsewhere\"\n";
    const std::string notFound =
        Diag("ErrCfgInit", "Impossible de trouver le fichier \"" + cfg + "\"");
    const std::string unreadable =
        Diag("ErrCfgInit", "Impossible de lire le fichier \"" + cfg + "\"");
    // Both calls load the configuration again, and fail.
    const auto noTable = [](const std::string &load) {
        const std::string message = "Probleme a l'init de la config du package Tarvik";
        return load + Diag("ErrSend", message) + "ErrSend -1\n" + load + Diag("ErrGet", message) +
               "ErrGet -1 \"\"\n";
    };
    const auto init = [] { printf("ErrCfgInit %d\n", ErrCfgInit()); };
    const Step steps[] = {
        {"loaded", [] {}, found},
        {"file removed", [cfg] { unlink(cfg.c_str()); }, found},
        {"file moves the class elsewhere",
         [cfg, other] { WriteFile(cfg, ".CLASS demo 12 " + other + "\n"); }, found},
        {"ErrCfgInit", init, "ErrCfgInit 0\n" + elsewhere},
        {"file removed, ErrCfgInit",
         [cfg, init] {
             unlink(cfg.c_str());
             init();
         },
         notFound + "ErrCfgInit -1\n" + noTable(notFound)},
        {"file is a directory", [cfg] { mkdir(cfg.c_str(), 0700); }, noTable(unreadable)},
        {"file is a FIFO",
         [cfg] {
             rmdir(cfg.c_str());
             mkfifo(cfg.c_str(), 0600);
         },
         noTable(unreadable)},
        {"file is a socket",
         [cfg] {
             unlink(cfg.c_str());
             tarvik::test::MakeSocketFile(cfg);
         },
         noTable(unreadable)},
        {"file written again",
         [cfg] {
             unlink(cfg.c_str());
             WriteFile(cfg, kConfig);
         },
         found},
    };
    RunSteps(steps);
}

// ---------------------------------------------------------------------------------------
// Standard output closed, or on a full device: every write fails, so ErrSend returns -1
// (its diagnostic cannot come out either); nothing else changes, errno included. With descriptor 1
// closed, a catalogue that the library opens takes that number, so a diagnostic printed while it is
// open (a wrong header here) goes to a read-only file and must not reach it. The results go back
// through a copy of the original standard output.

TEST_F(FaultTest, StandardOutputUnwritable)
{
    const std::string badPath = dir / "BAD_err.tarvik";
    const std::string bad = "!$c\n.e0001.Wrong class\n";
    WriteFile(badPath, bad);
    const struct {
        const char *what;
        bool full; // on /dev/full rather than closed
    } cases[] = {{"closed", false}, {"full", true}};
    for (const auto &c : cases) {
        const std::string out = Run([&] {
            fflush(stdout);
            const int results = dup(STDOUT_FILENO);
            if (c.full)
                dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
            else
                close(STDOUT_FILENO);
            char text[64];
            errno = EDOM;
            const int r1 = ErrSend(kFound, TARVIK_ERROR, "TEST - fault", nullptr);
            const int r2 = ErrSend(kNoFile, TARVIK_ERROR, "TEST - fault", nullptr);
            const int r3 = ErrSend(kWrongHeader, TARVIK_ERROR, "TEST - fault", nullptr);
            const int r4 = ErrSend(TARVIK_SYSTEM_ERROR, TARVIK_ERROR, nullptr, nullptr);
            const int r5 = ErrGet(kFound, text, sizeof text);
            const int r6 = ErrGet(kWrongHeader, nullptr, 0);
            const bool errnoKept = errno == EDOM;
            dprintf(results, "%d %d %d %d %d \"%s\" %d, errno %s\n", r1, r2, r3, r4, r5, text, r6,
                    errnoKept ? "kept" : "changed");
        });
        EXPECT_EQ(out, "-1 -1 -1 -1 0 \"Out of memory\" -1, errno kept\n") << c.what;
        EXPECT_EQ(tarvik::test::ReadFile(badPath), bad) << c.what;
        EXPECT_EQ(tarvik::test::ReadFile(catalogue), kCatalogue) << c.what;
    }
}

} // namespace
