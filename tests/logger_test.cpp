// The hand-off of reports to the system log socket, received by a real datagram socket.
//
// Each case runs in a child (a scene, report_scene.h) that binds its own receiver at
// TARVIK_CFG_LOG_SOCKET, so nothing of the machine's own logging is touched. The cases
// about /dev/log itself give the child a private /dev in a mount namespace of its own,
// which needs root or unprivileged user namespaces; without them they are skipped.
//
// The child saves what its receiver got in a file of the scene, records separated by
// NUL bytes (no record holds one), for the parent to check.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Env;
using tarvik::test::ExitChild;
using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

// A datagram socket bound at a path, as a syslog daemon's; never read unless asked.
class Receiver
{
  public:
    explicit Receiver(std::string path) : path_(std::move(path)) { Open(); }
    ~Receiver() { Close(); }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    bool ok() const { return fd_ >= 0; }

    // Binds the path anew: a daemon that starts.
    void Open()
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        unlink(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    // Takes what waits, then closes the socket and removes its path: a daemon that stops.
    void Close()
    {
        Take();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        unlink(path_.c_str());
    }

    // The records waiting now, in the order they were sent, added to all().
    std::vector<std::string> Take()
    {
        std::vector<std::string> taken;
        std::vector<char> record(1 << 16);
        ssize_t n;
        while (fd_ >= 0 && (n = recv(fd_, record.data(), record.size(), MSG_DONTWAIT)) >= 0)
            taken.emplace_back(record.data(), std::size_t(n));
        all_.insert(all_.end(), taken.begin(), taken.end());
        return taken;
    }

    // Takes what waits, then saves every record taken so far at path.
    void Save(const std::string &path)
    {
        Take();
        std::string bytes;
        for (const std::string &record : all_)
            bytes += record + '\0';
        FILE *f = std::fopen(path.c_str(), "wb");
        if (f) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }

  private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> all_;
};

std::string HostName()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// In the child: an empty private /dev, so that the test can bind /dev/log. False when the
// system allows no mount namespace to this process.
bool PrivateDev()
{
    if (unshare(CLONE_NEWNS) != 0) {
        const std::string uid = "0 " + std::to_string(getuid()) + " 1";
        const std::string gid = "0 " + std::to_string(getgid()) + " 1";
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        for (const auto &[file, line] : {std::pair<const char *, std::string>{"setgroups", "deny"},
                                         {"uid_map", uid},
                                         {"gid_map", gid}}) {
            const int fd = open((std::string("/proc/self/") + file).c_str(), O_WRONLY);
            const bool written = fd >= 0 && write(fd, line.data(), line.size()) > 0;
            if (fd >= 0)
                close(fd);
            if (!written)
                return false;
        }
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev", "tmpfs", 0, nullptr) == 0;
}

// The framed report's stamp ("08-Dec-126 21:38:05") as the syslog time ("Dec  8 21:38:05")
// and as ISO 8601 without the offset ("2026-12-08T21:38:05").
struct Times {
    std::string syslog, iso;
};
Times TimesOf(const std::string &stamp)
{
    static const char *const month[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int day = 0, year = 0, mon = 0;
    char name[4] = "", clock[9] = "";
    std::sscanf(stamp.c_str(), "%2d-%3s-%d %8s", &day, name, &year, clock);
    while (mon < 11 && std::strcmp(month[mon], name) != 0)
        ++mon;
    char syslog[32], iso[32];
    std::snprintf(syslog, sizeof syslog, "%s %2d %s", name, day, clock);
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%s", year + 1900, mon + 1, day, clock);
    return {syslog, iso};
}

// The process id of an RFC 3164 record.
int PidOf(const std::string &record)
{
    const std::size_t at = record.find('[');
    return at == std::string::npos ? -1 : std::atoi(record.c_str() + at + 1);
}

class LoggerTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        scene.Write("Tarvik.cfg", ".CLASS net 1\n.APPLICATION orders 10\n");
        scene.Write("NET_err.tarvik", "!$1\n.10001.Connection timed out\n");
    }

    // Runs body in a scene whose receiver listens at TARVIK_CFG_LOG_SOCKET (or at
    // /dev/log in a private /dev when devLog is set); returns the masked output and
    // fills records. False when the private /dev could not be had.
    bool Run(const std::function<void(Receiver &, Handback &)> &body, Env env = {},
             bool devLog = false)
    {
        const std::string socketPath = devLog ? "/dev/log" : scene.Path("log.sock");
        const std::string saved = scene.Path("records");
        if (!devLog) // first, so that env may name another
            env.insert(env.begin(), {"TARVIK_CFG_LOG_SOCKET", socketPath});
        unlink(saved.c_str());
        out = scene.Run(
            [&](Handback &back) {
                if (devLog && !PrivateDev()) {
                    back.skipped = true;
                    return;
                }
                Receiver rx(socketPath);
                if (!rx.ok()) {
                    std::printf("no receiver at %s\n", socketPath.c_str());
                    return;
                }
                body(rx, back);
                std::fflush(stdout);
                rx.Save(saved);
            },
            env);
        records.clear();
        const std::string bytes =
            tarvik::test::FileExists(saved) ? tarvik::test::ReadFile(saved) : "";
        for (std::size_t at = 0, end; (end = bytes.find('\0', at)) != std::string::npos;
             at = end + 1)
            records.push_back(bytes.substr(at, end - at));
        return !scene.back().skipped;
    }

    // The date stamps of the reports printed by the last run.
    std::vector<std::string> Stamps() const { return tarvik::test::DateStamps(scene.raw()); }

    Scene scene;
    std::string out;
    std::vector<std::string> records;
};

ReportText Orders(const std::string &type, const std::string &source, const std::string &extra)
{
    ReportText r;
    r.app = "orders";
    r.pkg = "NET";
    r.cls = 1;
    r.code = 0x10001;
    r.type = type;
    r.source = source;
    r.body = "Connection timed out";
    r.extra = extra;
    return r;
}

TEST_F(LoggerTest, RecordFormats)
{
    const std::string source = "net.io - \"x\" [a] \\ \xFF";
    const std::string extra = "host db1\nport 5432";
    const struct {
        const char *format; // TARVIK_CFG_LOG_FORMAT; nullptr: unset
        const char *tz;
        const char *offset; // of the RFC 5424 date
    } cases[] = {{nullptr, "TST-05:30", ""},
                 {"rfc5424", "TST-05:30", "+05:30"},
                 {"rfc5424", "TST+03", "-03:00"}};
    for (const auto &c : cases) {
        Env env{{"TZ", c.tz}};
        if (c.format)
            env.emplace_back("TARVIK_CFG_LOG_FORMAT", c.format);
        ASSERT_TRUE(Run(
            [&](Receiver &, Handback &back) {
                TarvikInit("orders", 1);
                back.Add(ErrSend(0x10001, TARVIK_ERROR, source.c_str(), extra.c_str()));
                back.Add(getpid());
            },
            env));
        const std::string pid = std::to_string(scene.back().value[1]);
        EXPECT_EQ(out, Report(Orders(" ERROR", source, extra)));
        ASSERT_EQ(Stamps().size(), 1u);
        const Times at = TimesOf(Stamps()[0]);
        const std::string expected =
            c.format ? "<11>1 " + at.iso + c.offset + " " + HostName() + " orders " + pid +
                           " 0x10001 [tarvik@32473 application=\"orders\" application_code=\"10\""
                           " class=\"NET\" class_number=\"1\" code=\"65537\" code_hex=\"0x10001\""
                           " type=\"ERROR\" package=\"NET.IO\""
                           " source=\"net.io - \\\"x\\\" [a\\] \\\\ \xEF\xBF\xBD\""
                           " extra=\"host db1\nport 5432\"] Connection timed out"
                     : "<11>" + at.syslog + " orders[" + pid +
                           "]: Class : NET (1) | Code : $10001 | Type : ERROR | "
                           "Source : net.io - \"x\" [a] \\ \xEF\xBF\xBD | "
                           "Body : Connection timed out | Extra : host db1 | port 5432";
        EXPECT_EQ(records, std::vector<std::string>{expected}) << (c.format ? c.format : "");
    }
}

TEST_F(LoggerTest, PriorityComesFromTheHighestTypeBit)
{
    // facility LOG_USER (8) plus the severity
    const std::pair<int, int> cases[] = {
        {TARVIK_FATAL | TARVIK_DEBUG, 8 + 2},       // LOG_CRIT
        {TARVIK_ERROR | TARVIK_WARNING, 8 + 3},     // LOG_ERR
        {TARVIK_WARNING, 8 + 4},                    // LOG_WARNING
        {TARVIK_INFORMATION | TARVIK_DEBUG, 8 + 6}, // LOG_INFO
        {TARVIK_DEBUG, 8 + 7},                      // LOG_DEBUG
        {0, 8 + 5},                                 // LOG_NOTICE
        {32, 8 + 5},                                // no known bit: LOG_NOTICE
    };
    for (const char *format : {"rfc3164", "rfc5424"}) {
        ASSERT_TRUE(Run(
            [&](Receiver &, Handback &) {
                TarvikInit("orders", 1);
                for (const auto &[type, priority] : cases)
                    ErrSend(-1, type, nullptr, nullptr);
            },
            {{"TARVIK_CFG_LOG_FORMAT", format}}));
        std::vector<std::string> expected, got;
        for (const auto &[type, priority] : cases)
            expected.push_back("<" + std::to_string(priority) + ">");
        for (const std::string &record : records)
            got.push_back(record.substr(0, record.find('>') + 1));
        EXPECT_EQ(got, expected) << format;
    }
}

// A program that gives no application name names its records itself.
TEST_F(LoggerTest, RecordsOfNoApplicationCarryTheProgramName)
{
    ASSERT_TRUE(Run([](Receiver &, Handback &back) {
        TarvikInit(nullptr, 1);
        ErrSend(0x10001, TARVIK_ERROR, "net - anonymous", nullptr);
        back.Add(getpid());
    }));
    ReportText anonymous = Orders(" ERROR", "net - anonymous", "");
    anonymous.app = "";
    EXPECT_EQ(out, Report(anonymous));
    ASSERT_EQ(records.size(), 1u);
    const std::string ident = " logger_test[" + std::to_string(scene.back().value[0]) + "]: ";
    EXPECT_NE(records[0].find(ident + "Class : NET (1) | "), std::string::npos) << records[0];
}

TEST_F(LoggerTest, OnlyWhileTheFlagIsSet)
{
    ASSERT_TRUE(Run([](Receiver &, Handback &back) {
        TarvikInit("orders", 0);
        back.Add(ErrSend(0x10001, TARVIK_FATAL, "net - zero", nullptr));
        TarvikInit("orders", 1);
        back.Add(ErrSend(0x10001, TARVIK_FATAL, "net - one", nullptr));
        TarvikInit("orders", 0);
        back.Add(ErrSend(0x10001, TARVIK_FATAL, "net - zero again", nullptr));
    }));
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(out, Report(Orders(" FATAL", "net - zero", "")) +
                       Report(Orders(" FATAL", "net - one", "")) +
                       Report(Orders(" FATAL", "net - zero again", "")));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("Source : net - one |"), std::string::npos) << records[0];
}

// The program's own syslog(3) connection: its identity, options and facility stay as the
// program set them (or as the system's defaults) after the hand-off is turned on, and the
// library's records go to /dev/log when TARVIK_CFG_LOG_SOCKET is unset.
TEST_F(LoggerTest, ProgramSyslogIsLeftAlone)
{
    // A record of syslog(3) with its time masked and its message, "before" or "after".
    auto masked = [](const std::string &record, const std::string &message) {
        static const std::regex stamp("^(<[0-9]+>)[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} ");
        const std::string text = std::regex_replace(record, stamp, "$1<time> ");
        const std::size_t at = text.size() - std::min(text.size(), message.size());
        return text.compare(at, std::string::npos, message) == 0 ? text.substr(0, at) + "<msg>"
                                                                 : text;
    };
    for (const bool programOpens : {true, false}) {
        const bool ran = Run(
            [&](Receiver &, Handback &back) {
                if (programOpens)
                    openlog("myapp", LOG_PID | LOG_NDELAY, LOG_LOCAL0);
                syslog(LOG_INFO, "before");
                TarvikInit("orders", 1);
                ErrSend(0x10001, TARVIK_ERROR, "net - x", nullptr);
                syslog(LOG_INFO, "after");
                back.Add(getpid());
            },
            {}, true);
        if (!ran)
            GTEST_SKIP() << "no private /dev for /dev/log here (needs root or user namespaces)";
        const std::string pid = std::to_string(scene.back().value[0]);
        ASSERT_EQ(records.size(), 3u) << testing::PrintToString(records);
        EXPECT_EQ(masked(records[0], "before"),
                  programOpens
                      ? "<134><time> myapp[" + pid + "]: <msg>"
                      : "<14><time> " + std::string(program_invocation_short_name) + ": <msg>");
        EXPECT_EQ(masked(records[2], "after"), masked(records[0], "before"));
        EXPECT_EQ(masked(records[1], "Class : NET (1) | Code : $10001 | Type : ERROR | "
                                     "Source : net - x | Body : Connection timed out | Extra : "),
                  "<11><time> orders[" + pid + "]: <msg>");
    }
}

TEST_F(LoggerTest, SettingsThatCannotBeUsed)
{
    ASSERT_TRUE(Run(
        [](Receiver &, Handback &) {
            TarvikInit("orders", 1);
            ErrSend(0x10001, TARVIK_ERROR, "net - one", nullptr);
            TarvikInit("orders", 1);
            ErrSend(0x10001, TARVIK_ERROR, "net - two", nullptr);
        },
        {{"TARVIK_CFG_LOG_FORMAT", "RFC5424"}}));
    EXPECT_EQ(out, "Tarvik - TarvikInit() : Valeur inconnue de TARVIK_CFG_LOG_FORMAT "
                   "(\"RFC5424\") : rfc3164\n" +
                       Report(Orders(" ERROR", "net - one", "")) +
                       Report(Orders(" ERROR", "net - two", "")));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].find("<11>"), 0u) << records[1];
    EXPECT_NE(records[1].find("]: Class : NET (1) |"), std::string::npos) << records[1];

    // A value is shown in the diagnostic up to its 255th byte: the message stays whole.
    const std::string waits[] = {"10001", "-1", "50ms", std::string(600, '9')};
    for (const std::string &wait : waits) {
        ASSERT_TRUE(Run(
            [](Receiver &, Handback &) {
                TarvikInit("orders", 1);
                ErrSend(0x10001, TARVIK_ERROR, "net - one", nullptr);
            },
            {{"TARVIK_CFG_LOG_WAIT", wait}}));
        EXPECT_EQ(out, "Tarvik - TarvikInit() : Valeur incorrecte de TARVIK_CFG_LOG_WAIT (\"" +
                           wait.substr(0, 255) + "\") : 100 ms\n" +
                           Report(Orders(" ERROR", "net - one", "")));
        EXPECT_EQ(records.size(), 1u);
    }

    const std::string tooLong(108, 's'); // sun_path holds 107 characters and a terminator
    ASSERT_TRUE(Run(
        [](Receiver &, Handback &) {
            TarvikInit("orders", 1);
            ErrSend(0x10001, TARVIK_ERROR, "net - one", nullptr);
        },
        {{"TARVIK_CFG_LOG_SOCKET", "/tmp/" + tooLong}}));
    EXPECT_EQ(out, "Tarvik - TarvikInit() : TARVIK_CFG_LOG_SOCKET trop long (107 caracteres au "
                   "plus) : rien ne sera envoye au journal systeme\n" +
                       Report(Orders(" ERROR", "net - one", "")));
}

// The socket's queue in this system: datagrams that it holds before a sender must wait.
int QueueLength()
{
    int queue = 10;
    if (FILE *f = std::fopen("/proc/sys/net/unix/max_dgram_qlen", "r")) {
        if (std::fscanf(f, "%d", &queue) != 1)
            queue = 10;
        std::fclose(f);
    }
    return std::min(queue, 2000);
}

// A daemon that starts reading only after a while: with a bound long enough, every
// record waits for room and none is lost.
TEST_F(LoggerTest, RecordsWaitForRoomUpToTheBound)
{
    const int sent = QueueLength() + 20;
    ASSERT_TRUE(Run(
        [&](Receiver &rx, Handback &) {
            TarvikInit("orders", 1);
            std::atomic<bool> done{false};
            std::thread reader([&] {
                const timespec late{0, 300 * 1000 * 1000};
                nanosleep(&late, nullptr);
                while (!done) {
                    rx.Take();
                    const timespec pause{0, 2 * 1000 * 1000};
                    nanosleep(&pause, nullptr);
                }
            });
            for (int i = 0; i < sent; ++i)
                ErrSend(0x10001, TARVIK_ERROR, "net - waits", nullptr);
            done = true;
            reader.join();
        },
        {{"TARVIK_CFG_LOG_WAIT", "5000"}}));
    EXPECT_EQ(out.find("Tarvik - "), std::string::npos) << out.substr(0, 300);
    EXPECT_EQ(records.size(), std::size_t(sent));
}

// A daemon that does not read (its queue full), then one that has gone: the reports
// still come out, each record past the queue is lost, and the losses are told twice,
// when they begin and, with their count, when a record gets through again.
TEST_F(LoggerTest, LostRecordsAreToldAndCounted)
{
    const int full = QueueLength() + 20;
    const std::string path = scene.Path("log.sock");
    ASSERT_TRUE(Run([&](Receiver &rx, Handback &back) {
        TarvikInit("orders", 1);
        for (int i = 0; i < full; ++i)
            ErrSend(0x10001, TARVIK_ERROR, ("net - full " + std::to_string(i)).c_str(), nullptr);
        back.Add(int(rx.Take().size()));
        ErrSend(0x10001, TARVIK_ERROR, "net - drained", nullptr);
        rx.Close();
        for (int i = 0; i < 3; ++i)
            ErrSend(0x10001, TARVIK_ERROR, "net - gone", nullptr);
        rx.Open();
        ErrSend(0x10001, TARVIK_ERROR, "net - back", nullptr);
    }));
    const int queued = scene.back().value[0];
    ASSERT_GT(queued, 0);
    ASSERT_LT(queued, full);

    const std::string lostFull = "Tarvik - ErrSend() : Journal systeme injoignable (" + path +
                                 " : file d'attente pleine, errno " + std::to_string(EAGAIN) +
                                 ") : enregistrements perdus jusqu'a son retour\n";
    const std::string lostGone = "Tarvik - ErrSend() : Journal systeme injoignable (" + path +
                                 " : aucun demon a l'ecoute, errno " + std::to_string(ENOENT) +
                                 ") : enregistrements perdus jusqu'a son retour\n";
    auto back = [&](int lost) {
        return "Tarvik - ErrSend() : Journal systeme de retour (" + path +
               ") : " + std::to_string(lost) + " enregistrement(s) perdu(s)\n";
    };
    std::string expected;
    for (int i = 0; i < full; ++i) {
        expected += Report(Orders(" ERROR", "net - full " + std::to_string(i), ""));
        if (i == queued)
            expected += lostFull;
    }
    expected += Report(Orders(" ERROR", "net - drained", "")) + back(full - queued);
    expected += Report(Orders(" ERROR", "net - gone", "")) + lostGone;
    expected +=
        Report(Orders(" ERROR", "net - gone", "")) + Report(Orders(" ERROR", "net - gone", ""));
    expected += Report(Orders(" ERROR", "net - back", "")) + back(3);
    EXPECT_TRUE(tarvik::test::SameBytes(expected, out));

    ASSERT_EQ(records.size(), std::size_t(queued) + 2);
    for (int i = 0; i < queued; ++i)
        EXPECT_NE(records[i].find("Source : net - full " + std::to_string(i) + " |"),
                  std::string::npos);
    EXPECT_NE(records[queued].find("Source : net - drained |"), std::string::npos);
    EXPECT_NE(records[queued + 1].find("Source : net - back |"), std::string::npos);
}

// The library's socket is closed by the program and no descriptor is left for a new one:
// the report comes out, the record is lost and the loss is told with its errno; once a
// descriptor is free again, the next record leaves and the loss is counted.
TEST_F(LoggerTest, NoDescriptorLeftForTheSocket)
{
    ASSERT_TRUE(Run([](Receiver &, Handback &) {
        const int socketFd = dup(1); // the lowest free descriptor, which the library takes
        close(socketFd);
        TarvikInit("orders", 1);
        ErrSend(0x10001, TARVIK_ERROR, "net - first", nullptr);
        close(socketFd);
        rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit none = saved;
        none.rlim_cur = rlim_t(socketFd); // every descriptor below it is open
        setrlimit(RLIMIT_NOFILE, &none);
        errno = ETIMEDOUT;
        ErrSend(TARVIK_SYSTEM_ERROR, TARVIK_ERROR, "net - no descriptor", nullptr);
        setrlimit(RLIMIT_NOFILE, &saved);
        ErrSend(0x10001, TARVIK_ERROR, "net - back", nullptr);
    }));
    const std::string path = scene.Path("log.sock");
    ReportText system = Orders(" ERROR", "net - no descriptor", "");
    system.pkg = "";
    system.cls = 0;
    system.code = 0xffffffff;
    system.body = strerror(ETIMEDOUT);
    EXPECT_EQ(out, Report(Orders(" ERROR", "net - first", "")) + Report(system) +
                       "Tarvik - ErrSend() : Journal systeme injoignable (" + path +
                       " : erreur d'envoi, errno " + std::to_string(EMFILE) +
                       ") : enregistrements perdus jusqu'a son retour\n" +
                       Report(Orders(" ERROR", "net - back", "")) +
                       "Tarvik - ErrSend() : Journal systeme de retour (" + path +
                       ") : 1 enregistrement(s) perdu(s)\n");
    ASSERT_EQ(records.size(), 2u) << testing::PrintToString(records);
    EXPECT_NE(records[0].find("Source : net - first |"), std::string::npos);
    EXPECT_NE(records[1].find("Source : net - back |"), std::string::npos);
}

// The program closes the library's descriptor and gets its number again for a socket of
// its own, then forks: no record goes down the program's socket, and the child's records
// leave through the socket it shares with its parent.
TEST_F(LoggerTest, SocketOutlivesTheProgramsDescriptors)
{
    ASSERT_TRUE(Run([](Receiver &rx, Handback &back) {
        const int expected = dup(1); // the lowest free descriptor, which the library takes
        close(expected);
        TarvikInit("orders", 1);
        ErrSend(0x10001, TARVIK_ERROR, "net - first", nullptr);
        close(expected);
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0 || pair[0] != expected)
            return;
        ErrSend(0x10001, TARVIK_ERROR, "net - second", nullptr);
        rx.Take();
        rx.Close(); // and started again: the child has to reconnect the shared socket
        rx.Open();
        const pid_t child = fork();
        if (child == 0) {
            ErrSend(0x10001, TARVIK_ERROR, "net - child", nullptr);
            std::fflush(stdout);
            ExitChild(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ErrSend(0x10001, TARVIK_ERROR, "net - third", nullptr);
        char stray[256];
        back.Add(int(recv(pair[1], stray, sizeof stray, MSG_DONTWAIT)));
        back.Add(getpid());
        back.Add(child);
    }));
    ASSERT_EQ(scene.back().count, 3) << out;
    EXPECT_EQ(scene.back().value[0], -1) << "a record went down the program's own socket";
    EXPECT_EQ(out, Report(Orders(" ERROR", "net - first", "")) +
                       Report(Orders(" ERROR", "net - second", "")) +
                       Report(Orders(" ERROR", "net - child", "")) +
                       Report(Orders(" ERROR", "net - third", "")));
    const int self = scene.back().value[1], child = scene.back().value[2];
    const std::pair<const char *, int> sent[] = {
        {"first", self}, {"second", self}, {"child", child}, {"third", self}};
    ASSERT_EQ(records.size(), std::size(sent)) << testing::PrintToString(records);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_NE(records[i].find(std::string("Source : net - ") + sent[i].first + " |"),
                  std::string::npos);
        EXPECT_EQ(PidOf(records[i]), sent[i].second) << records[i];
    }
}

// Every public call must run on a thread with the smallest stack that POSIX threads
// allow: the lookup's reader, the renderings and the logger's buffers live on the heap.
TEST_F(LoggerTest, ReportsOnTheSmallestStack)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds need larger stacks than PTHREAD_STACK_MIN";
#endif
    const Env modes[] = {{{"TARVIK_CFG_LOG_FORMAT", "rfc3164"}},
                         {{"TARVIK_CFG_LOG_FORMAT", "rfc5424"}},
                         {{"TARVIK_CFG_LOG_FORMAT", "rfc5424"}, {"TARVIK_CFG_OUTPUT", "json"}}};
    // The longest texts, of bytes that every encoding escapes at its widest.
    const std::string source(1023, '\x01'), extra(1023, '\xFF');
    for (const Env &mode : modes) {
        ASSERT_TRUE(Run(
            [&](Receiver &, Handback &back) {
                struct Call {
                    const std::string *source, *extra;
                    int result = -2;
                } call{&source, &extra};
                pthread_attr_t attr;
                pthread_attr_init(&attr);
                pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN);
                pthread_t thread;
                const int created = pthread_create(
                    &thread, &attr,
                    [](void *arg) -> void * {
                        auto *c = static_cast<Call *>(arg);
                        TarvikInit("orders", 1);
                        c->result =
                            ErrSend(0x10001, TARVIK_ERROR, c->source->c_str(),
                                    c->extra->c_str());
                        return nullptr;
                    },
                    &call);
                if (created == 0)
                    pthread_join(thread, nullptr);
                back.Add(created);
                back.Add(call.result);
            },
            mode));
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0})) << mode.back().second;
        EXPECT_EQ(records.size(), 1u) << mode.back().second;
    }
}

} // namespace
