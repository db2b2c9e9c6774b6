// Reports through a real syslog relay: two rsyslogd started by the test, an edge one that
// listens on a private socket (as a daemon on /dev/log would) and forwards over TCP on
// 127.0.0.1 to a central one, which writes every record it receives as a JSON line with
// the structured data parsed. The records must arrive once each, whole, with every field
// equal to what was sent; a stop and restart of the edge daemon in the middle shows what
// becomes of the records of that window.
//
// The daemons run in the foreground, children of the scene's child, each with its own
// configuration, pid file and work directory in the scene. Their pids are kept in shared
// memory, and the test process is the subreaper of the scene, so that whatever happens to
// the child the test kills and reaps every daemon it started. The test is skipped only
// when rsyslogd is not installed (Debian package rsyslog).
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

using tarvik::test::Env;
using tarvik::test::Handback;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::Scene;

constexpr char R[] = "\xEF\xBF\xBD"; // U+FFFD
constexpr int kThreads = 8;
constexpr int kDeadlineSeconds = 60; // for a daemon to start, stop or pass records on

// The first executable name in PATH or in the system directories, or "".
std::string FindProgram(const std::string &name)
{
    const char *path = getenv("PATH");
    const std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

void Pause()
{
    const timespec pause{0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

// Waits until ready() holds, up to the deadline; returns whether it did.
template <typename Ready>
bool WaitFor(Ready ready)
{
    const time_t deadline = time(nullptr) + kDeadlineSeconds;
    while (!ready()) {
        if (time(nullptr) > deadline)
            return false;
        Pause();
    }
    return true;
}

std::string FileText(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            text.append(chunk, n);
        std::fclose(f);
    }
    return text;
}

std::size_t LineCount(const std::string &path)
{
    const std::string text = FileText(path);
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// The pids of the daemons that run, in memory shared with the test process.
struct Watch {
    pid_t pid[2] = {0, 0};
};

// One rsyslogd in the foreground with its own configuration, pid file and work directory.
class Daemon
{
  public:
    Daemon(const Scene &scene, Watch &watch, int slot, const std::string &name)
        : scene_(scene), pid_(watch.pid[slot]), name_(name)
    {
        mkdir(Path("work").c_str(), 0700);
    }
    ~Daemon() { Stop(); }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // name's own file or directory in the scene: "edge.conf", "edge.work"...
    std::string Path(const std::string &what) const { return scene_.Path(name_ + "." + what); }

    // Starts the daemon with config; its output goes to its log file.
    bool Start(const std::string &config)
    {
        tarvik::test::WriteFile(Path("conf"), config);
        static const std::string rsyslogd = FindProgram("rsyslogd");
        const std::string conf = Path("conf"), pidFile = Path("pid"), log = Path("log");
        const char *argv[] = {rsyslogd.c_str(), "-n",   "-f", conf.c_str(), "-i",
                              pidFile.c_str(),  nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int failed = posix_spawn(&pid_, rsyslogd.c_str(), &actions, nullptr,
                                       const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed)
            pid_ = 0;
        return !failed;
    }

    // Stops the daemon (SIGTERM, which lets it pass on what it holds) and reaps it.
    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const bool ended = WaitFor([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; });
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
    }

    // Whether the daemon still runs; one that has ended is reaped.
    bool Running()
    {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_)
            pid_ = 0;
        return pid_ > 0;
    }

  private:
    const Scene &scene_;
    pid_t &pid_;
    std::string name_;
};

// The central daemon: TCP on a free port of 127.0.0.1, structured data parsed, every
// record written as one JSON line; the test's own probes go to a file of their own.
std::string CentralConfig(const Daemon &d)
{
    return "global(workDirectory=\"" + d.Path("work") +
           "\" maxMessageSize=\"64k\" parser.escapeControlCharactersOnReceive=\"off\")\n"
           "module(load=\"imtcp\")\n"
           "module(load=\"mmpstrucdata\")\n"
           "template(name=\"json\" type=\"string\" string=\"%$!%\\n\")\n"
           "ruleset(name=\"relayed\") {\n"
           "  if $app-name == \"probe\" then {\n"
           "    action(type=\"omfile\" file=\"" +
           d.Path("probes") +
           "\")\n"
           "    stop\n"
           "  }\n"
           "  action(type=\"mmpstrucdata\" sd_name.lowercase=\"off\")\n"
           "  set $!pri = $pri; set $!app = $app-name; set $!procid = $procid;\n"
           "  set $!msgid = $msgid; set $!host = $hostname; set $!msg = $msg;\n"
           "  action(type=\"omfile\" file=\"" +
           d.Path("json") +
           "\" template=\"json\")\n"
           "}\n"
           "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"0\" listenPortFileName=\"" +
           d.Path("port") + "\" ruleset=\"relayed\")\n";
}

// The edge daemon: its own socket in place of /dev/log, read with the full parser chain
// (so that RFC 5424 records are parsed), forwarded over TCP with octet counting.
std::string EdgeConfig(const Daemon &d, const std::string &socket, const std::string &port)
{
    return "global(workDirectory=\"" + d.Path("work") +
           "\" maxMessageSize=\"64k\" parser.escapeControlCharactersOnReceive=\"off\")\n"
           "module(load=\"imuxsock\" sysSock.use=\"off\")\n"
           "ruleset(name=\"forward\") {\n"
           "  action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" +
           port +
           "\" protocol=\"tcp\" tcp_framing=\"octet-counted\""
           " template=\"RSYSLOG_SyslogProtocol23Format\")\n"
           "}\n"
           "input(type=\"imuxsock\" socket=\"" +
           socket + "\" ruleset=\"forward\" useSpecialParser=\"off\" rateLimit.interval=\"0\")\n";
}

bool IsSocket(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The relay, run in the scene's child: the central daemon, then the edge one.
class Relay
{
  public:
    Relay(const Scene &scene, Watch &watch)
        : central(scene, watch, 0, "central"), edge(scene, watch, 1, "edge"),
          socket(scene.Path("log.sock"))
    {
    }

    // Starts both daemons; "" or what went wrong.
    std::string Start()
    {
        if (!central.Start(CentralConfig(central)) ||
            !WaitFor([&] { return PortNumber() > 0 || !central.Running(); }) || !central.Running())
            return "the central daemon did not start: " + FileText(central.Path("log"));
        port = std::to_string(PortNumber());
        return StartEdge();
    }

    // Starts the edge daemon and waits until it passes records on: a daemon binds its
    // socket some time before it reads it.
    std::string StartEdge()
    {
        if (!edge.Start(EdgeConfig(edge, socket, port)) ||
            !WaitFor([&] { return IsSocket(socket) || !edge.Running(); }) || !edge.Running())
            return "the edge daemon did not start: " + FileText(edge.Path("log"));
        const std::size_t probes = LineCount(central.Path("probes")) + 1;
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket.c_str());
        constexpr char kProbe[] = "<14>probe: ready";
        const bool sent = sendto(fd, kProbe, sizeof kProbe - 1, 0,
                                 reinterpret_cast<sockaddr *>(&addr), sizeof addr) > 0;
        close(fd);
        if (!sent || !WaitFor([&] { return LineCount(central.Path("probes")) >= probes; }))
            return "the edge daemon passes nothing on: " + FileText(edge.Path("log"));
        return "";
    }

    // The port that the central daemon listens on, 0 until it has written it.
    int PortNumber() const { return std::atoi(FileText(central.Path("port")).c_str()); }

    // Waits until the central daemon has written count records; false at the deadline.
    bool Received(std::size_t count) const
    {
        return WaitFor([&] { return LineCount(central.Path("json")) >= count; });
    }

    Daemon central, edge;
    const std::string socket;
    std::string port;
};

// Pieces of text that a report may hold, each with what a valid-UTF-8 record makes of it:
// quotes, brackets and backslashes, every control byte, valid UTF-8 of every length, and
// every byte above 127 on its own (each then a U+FFFD). A piece that ends in the middle of
// a sequence ends with a '.', so that pieces never join into another character.
std::vector<std::pair<std::string, std::string>> OddPieces()
{
    std::vector<std::pair<std::string, std::string>> pieces = {
        {"\"", "\""},
        {"\\", "\\"},
        {"]", "]"},
        {"[x=\"y\"]", "[x=\"y\"]"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE6\x97\xA5", "\xE6\x97\xA5"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xC2\x85\xE2\x80\xA8", "\xC2\x85\xE2\x80\xA8"},
        {"\xC0\xAF.", std::string(R) + R + "."},
        {"\xED\xA0\x80.", std::string(R) + R + R + "."},
        {"\xE6\x97.", std::string(R) + "."},
    };
    for (int c = 1; c < 128; ++c)
        pieces.push_back({std::string(1, char(c)), std::string(1, char(c))});
    for (int c = 128; c < 256; ++c)
        pieces.push_back({std::string(1, char(c)) + ".", std::string(R) + "."});
    return pieces;
}

// What one report sends, and what its texts become in a record.
struct Sent {
    int code, type;
    std::string source, extra, sourceOut, extraOut;
};

// Report k of thread t in phase p: a rotating slice of the odd pieces, under 1023 bytes.
Sent SentOf(int p, int t, int k)
{
    static const auto pieces = OddPieces();
    static const int kCodes[] = {0x10001, -1, 0x90001};
    static const int kTypes[] = {TARVIK_ERROR, TARVIK_WARNING | TARVIK_DEBUG, TARVIK_FATAL, 0};
    const int n = (p * 7919 + t * 131 + k * 31) % int(pieces.size());
    Sent s{kCodes[(t + k) % 3], kTypes[(t + 2 * k) % 4], "", "", "", ""};
    s.source = s.sourceOut =
        "relay.t" + std::to_string(t) + " - p" + std::to_string(p) + " " + std::to_string(k) + " ";
    for (int i = 0; s.source.size() < 900 && i < 160; ++i) {
        const auto &piece = pieces[std::size_t(n + i) % pieces.size()];
        (i % 2 ? s.extra : s.source) += piece.first;
        (i % 2 ? s.extraOut : s.sourceOut) += piece.second;
    }
    return s;
}

// Sends phase p from kThreads threads at once, each rounds reports.
void SendPhase(int p, int rounds)
{
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            pthread_barrier_wait(&start);
            for (int k = 0; k < rounds; ++k) {
                const Sent s = SentOf(p, t, k);
                errno = ENOSPC;
                ErrSend(s.code, s.type, s.source.c_str(), s.extra.c_str());
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    pthread_barrier_destroy(&start);
}

std::string TypeWords(int type)
{
    std::string words;
    const std::pair<int, const char *> names[] = {{TARVIK_DEBUG, "DEBUG"},
                                                  {TARVIK_INFORMATION, "INFORMATION"},
                                                  {TARVIK_WARNING, "WARNING"},
                                                  {TARVIK_ERROR, "ERROR"},
                                                  {TARVIK_FATAL, "FATAL"}};
    for (const auto &[bit, name] : names)
        if (type & bit)
            words += (words.empty() ? "" : " ") + std::string(name);
    return words;
}

std::string Severity(int type)
{
    const int severity = type & TARVIK_FATAL     ? 2
                         : type & TARVIK_ERROR   ? 3
                         : type & TARVIK_WARNING ? 4
                         : type & TARVIK_DEBUG   ? 7
                                                 : 5;
    return std::to_string(8 + severity);
}

std::string Hex(unsigned v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

std::string HostName()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// The framed report of s, as the scene masks it, with its texts as sent or, with
// recorded, as a record carries them.
std::string FramedReport(const Sent &s, bool recorded = false)
{
    ReportText r;
    r.app = "orders";
    r.code = unsigned(s.code);
    r.type = s.type & 31 ? " " + TypeWords(s.type) : "";
    r.source = recorded ? s.sourceOut : s.source;
    r.extra = recorded ? s.extraOut : s.extra;
    if (s.code == 0x10001) {
        r.pkg = "NET";
        r.cls = 1;
        r.body = "Connection timed out";
    } else if (s.code == -1) {
        r.body = strerror(ENOSPC);
    } else {
        r.cls = 9;
    }
    return Report(r);
}

// The fields of every record that the central daemon wrote, through jq: one vector per
// record, in the order of fields.
std::vector<std::vector<std::string>> CentralRecords(const Scene &scene, const std::string &fields)
{
    static const std::string jq = FindProgram("jq");
    if (jq.empty()) {
        ADD_FAILURE() << "jq is needed to read the central daemon's output (Debian package jq)";
        return {};
    }
    tarvik::test::ProgramRun run;
    run.args = {"-j", "[" + fields + "] | map((. // \"<null>\") + \"\\u0000\") | add",
                scene.Path("central.json")};
    const tarvik::test::Outcome outcome = tarvik::test::RunProgram(jq, run);
    EXPECT_EQ(outcome.status, 0) << "jq could not read the central daemon's output";
    const std::size_t perRecord = std::size_t(std::count(fields.begin(), fields.end(), ',')) + 1;
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    for (std::size_t at = 0, end; (end = outcome.out.find('\0', at)) != std::string::npos;
         at = end + 1) {
        record.push_back(outcome.out.substr(at, end - at));
        if (record.size() == perRecord)
            records.push_back(std::move(record)), record.clear();
    }
    return records;
}

class RelayTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (FindProgram("rsyslogd").empty())
            GTEST_SKIP() << "rsyslogd is not installed (Debian package rsyslog)";
        scene.Write("Tarvik.cfg", ".CLASS net 1\n.APPLICATION orders 10\n");
        scene.Write("NET_err.tarvik", "!$1\n.10001.Connection timed out\n");
        void *block =
            mmap(nullptr, sizeof(Watch), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(block, MAP_FAILED);
        watch = new (block) Watch;
        // Daemons whose parent dies come to this process, which can then reap them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void TearDown() override
    {
        if (!watch)
            return;
        for (const pid_t pid : watch->pid) {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        munmap(watch, sizeof(Watch));
    }

    // Runs body with a started relay in the scene's child, the library's records going to
    // the edge's socket in the given format. Fails the test if the relay does not start
    // or records fail to arrive in time (body returns false).
    void Run(const char *format, const std::function<bool(Relay &)> &body)
    {
        out = scene.Run(
            [&](Handback &back) {
                Relay relay(scene, *watch);
                std::string problem = relay.Start();
                if (problem.empty()) {
                    TarvikInit("orders", 1);
                    if (!body(relay))
                        problem = "records did not reach the central daemon in time: " +
                                  FileText(relay.edge.Path("log")) +
                                  FileText(relay.central.Path("log"));
                }
                relay.edge.Stop();
                relay.central.Stop();
                back.Put(0, problem);
                back.Add(getpid());
            },
            // A daemon on a loaded machine may not read for a while: the records wait
            // for it up to 5 s rather than 100 ms.
            {{"TARVIK_CFG_LOG_SOCKET", scene.Path("log.sock")},
             {"TARVIK_CFG_LOG_FORMAT", format},
             {"TARVIK_CFG_LOG_WAIT", "5000"}});
        std::string diagnostics; // the library's, to tell what became of lost records
        for (std::size_t at = out.find("Tarvik - "); at != std::string::npos;
             at = out.find("Tarvik - ", at + 1))
            diagnostics += out.substr(at, out.find('\n', at) + 1 - at);
        EXPECT_EQ(scene.back().Text(0), "") << diagnostics;
    }

    Scene scene;
    Watch *watch = nullptr;
    std::string out;
};

TEST_F(RelayTest, StructuredRecordsArriveWholeThroughARestart)
{
    constexpr int kBefore = 40, kDuring = 10, kAfter = 40; // reports per thread and phase
    constexpr std::size_t kArriving = kThreads * (kBefore + kAfter);
    Run("rfc5424", [&](Relay &relay) {
        SendPhase(0, kBefore);
        if (!relay.Received(kThreads * kBefore))
            return false;
        relay.edge.Stop(); // the window: no daemon behind the socket
        SendPhase(1, kDuring);
        if (!relay.StartEdge().empty())
            return false;
        SendPhase(2, kAfter);
        return relay.Received(kArriving);
    });
    if (HasFatalFailure() || HasFailure())
        return;

    // Standard output: every report, and the two diagnostics of the window.
    const std::string socket = scene.Path("log.sock");
    const std::string lost = "Tarvik - ErrSend() : Journal systeme injoignable (" + socket +
                             " : aucun demon a l'ecoute, errno " + std::to_string(ENOENT) +
                             ") : enregistrements perdus jusqu'a son retour\n";
    const std::string back = "Tarvik - ErrSend() : Journal systeme de retour (" + socket +
                             ") : " + std::to_string(kThreads * kDuring) +
                             " enregistrement(s) perdu(s)\n";
    std::string rest = out;
    for (const std::string &diagnostic : {lost, back}) {
        const std::size_t at = rest.find(diagnostic);
        ASSERT_NE(at, std::string::npos) << diagnostic;
        rest.erase(at, diagnostic.size());
        EXPECT_EQ(rest.find(diagnostic), std::string::npos) << "twice: " << diagnostic;
    }
    std::map<std::string, int> reports;
    const int rounds[] = {kBefore, kDuring, kAfter};
    for (int p = 0; p < 3; ++p)
        for (int t = 0; t < kThreads; ++t)
            for (int k = 0; k < rounds[p]; ++k)
                ++reports[FramedReport(SentOf(p, t, k))];
    constexpr char kRule[] = "\n========================\n\n";
    std::size_t at = 0, unexpected = 0;
    while (at < rest.size()) {
        const std::size_t end = rest.find(kRule, at);
        const std::string report =
            rest.substr(at, end == std::string::npos ? end : end + sizeof kRule - 1 - at);
        auto it = reports.find(report);
        if (it == reports.end() || it->second == 0)
            ++unexpected;
        else
            --it->second;
        at += report.size();
    }
    EXPECT_EQ(unexpected, 0u);

    // The central daemon: each record of the first and last phases once, none of the
    // window's, every field as sent.
    const std::string sd = ".[\"rfc5424-sd\"][\"tarvik@32473\"]";
    const auto records =
        CentralRecords(scene, ".pri, .app, .procid, .msgid, .host, .msg, " + sd + ".application, " +
                                  sd + ".application_code, " + sd + ".class, " + sd +
                                  ".class_number, " + sd + ".code, " + sd + ".code_hex, " + sd +
                                  ".type, " + sd + ".package, " + sd + ".source, " + sd + ".extra");
    EXPECT_EQ(records.size(), kArriving);
    std::map<std::vector<std::string>, int> expected;
    const std::string pid = std::to_string(scene.back().value[0]);
    for (const int p : {0, 2}) {
        for (int t = 0; t < kThreads; ++t) {
            for (int k = 0; k < rounds[p]; ++k) {
                const Sent s = SentOf(p, t, k);
                const bool net = s.code == 0x10001, sys = s.code == -1;
                ++expected[{Severity(s.type), "orders", pid, Hex(unsigned(s.code)), HostName(),
                            net   ? "Connection timed out"
                            : sys ? strerror(ENOSPC)
                                  : "",
                            "orders", "10", net ? "NET" : "",
                            net   ? "1"
                            : sys ? "0"
                                  : "9",
                            std::to_string(s.code), Hex(unsigned(s.code)), TypeWords(s.type),
                            "RELAY.T" + std::to_string(t), s.sourceOut, s.extraOut}];
            }
        }
    }
    std::size_t unmatched = 0;
    for (const auto &record : records) {
        auto it = expected.find(record);
        if (it == expected.end() || it->second == 0) {
            if (++unmatched <= 2)
                ADD_FAILURE() << "record not sent, or twice: " << testing::PrintToString(record);
        } else {
            --it->second;
        }
    }
    EXPECT_EQ(unmatched, 0u);
}

// The default framing through the same relay: the identity, the process id, the priority
// and the one-line message of every record as sent.
TEST_F(RelayTest, PlainRecordsArriveWhole)
{
    constexpr int kRounds = 15;
    Run("rfc3164", [&](Relay &relay) {
        SendPhase(3, kRounds);
        return relay.Received(kThreads * kRounds);
    });
    if (HasFatalFailure() || HasFailure())
        return;
    const std::string pid = std::to_string(scene.back().value[0]);
    std::map<std::vector<std::string>, int> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kRounds; ++k) {
            const Sent s = SentOf(3, t, k);
            // The framed report's lines from "Class" to "Extra", joined with " | ".
            const std::string report = FramedReport(s, true);
            const std::size_t from = report.find("\nClass : ") + 1;
            std::string message = report.substr(from, report.rfind("\n====") - from);
            for (std::size_t at; (at = message.find('\n')) != std::string::npos;)
                message.replace(at, 1, " | ");
            // A traditional record's message keeps the space after the tag's colon.
            ++expected[{Severity(s.type), "orders", pid, "-", " " + message}];
        }
    }
    std::map<std::vector<std::string>, int> got;
    for (const auto &record : CentralRecords(scene, ".pri, .app, .procid, .msgid, .msg"))
        ++got[record];
    EXPECT_TRUE(got == expected) << "records lost, doubled or changed";
}

} // namespace
