// The hand-off of reports to the system logger, received by a real datagram socket.
//
// Each case runs in a child that enters a private mount namespace, mounts an empty
// tmpfs over /dev there and binds its own receiver at /dev/log, so the library's
// syslog calls reach the test and nothing of the machine's own logging is touched.
// That needs root (CAP_SYS_ADMIN); without it the cases are skipped.
#include "TestSupport.h"

#include <tarvik.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using tarvik::test::RunInChild;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

constexpr int kNoLogSpace = 77; // the child's status when it cannot make its own /dev

// In the child: a private /dev with a datagram receiver at /dev/log; -1 if impossible.
int PrivateLogSocket()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
        return -1;
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return -1;
    const timeval wait{0, 300 * 1000}; // long enough for a local datagram
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

// In the child: prints every record waiting on fd, one per line, then "end".
void PrintRecords(int fd)
{
    char record[16384];
    ssize_t n;
    while ((n = recv(fd, record, sizeof record, 0)) > 0)
        std::printf("record: %.*s\n", int(n), record);
    std::printf("end\n");
}

class LoggerTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        WriteFile(dir / "Tarvik.cfg", ".CLASS net 1\n");
        WriteFile(dir / "NET_err.tarvik", "!$1\n.10001.Connection timed out\n");
    }

    // Runs body(fd) in a child with a private log receiver; returns what it printed.
    std::string InChild(const std::function<void()> &body)
    {
        const auto outcome = RunInChild([&] {
            const int fd = PrivateLogSocket();
            if (fd < 0)
                return kNoLogSpace;
            if (chdir(dir.path().c_str()) != 0)
                return 1;
            unsetenv("TARVIK_CFG_FILE");
            unsetenv("TARVIK_CFG_DIR_USER");
            unsetenv("TARVIK_CFG_DIR");
            body();
            std::fflush(stdout);
            PrintRecords(fd);
            return 0;
        });
        if (outcome.status == kNoLogSpace)
            skipped = true;
        else
            EXPECT_EQ(outcome.status, 0);
        return outcome.out;
    }

    // The record as syslog sends it, its time stamp and process id made constant.
    static std::string Masked(const std::string &out)
    {
        static const std::regex stamp(
            "record: <([0-9]+)>[A-Z][a-z][a-z] [ 0-9][0-9] [0-9:]{8} ([^\\[]*)\\[[0-9]+\\]: ");
        static const std::regex date("[0-3][0-9]-[A-Z][a-z][a-z]-[0-9]{3} [0-9:]{8}");
        return std::regex_replace(std::regex_replace(out, stamp, "record: <$1>$2[pid]: "), date,
                                  "<date>");
    }

    TempDir dir;
    bool skipped = false;
};

TEST_F(LoggerTest, ReportIsOneRecordAfterTheSameOutput)
{
    const std::string out = InChild([] {
        TarvikInit("orders", 1);
        ErrSend(0x10001, TARVIK_ERROR, "net.io - connect", "host db1\nport 5432");
    });
    if (skipped)
        GTEST_SKIP() << "no private mount namespace for /dev/log (needs root)";
    EXPECT_EQ(Masked(out), "==== TARVIK MESSAGE ==== <date>\n"
                           "Application : orders\n"
                           "Class : NET (1)\n"
                           "Code : $10001\n"
                           "Type : ERROR\n"
                           "Source : net.io - connect\n"
                           "Body : Connection timed out\n"
                           "Extra : host db1\n"
                           "port 5432\n"
                           "========================\n"
                           "\n"
                           "record: <11>orders[pid]: ==== TARVIK MESSAGE ==== <date> | "
                           "Application : orders | Class : NET (1) | Code : $10001 | "
                           "Type : ERROR | Source : net.io - connect | "
                           "Body : Connection timed out | Extra : host db1 | port 5432\n"
                           "end\n");
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
    const std::string out = InChild([&] {
        TarvikInit("orders", 1);
        for (const auto &[type, priority] : cases)
            ErrSend(-1, type, nullptr, nullptr);
    });
    if (skipped)
        GTEST_SKIP() << "no private mount namespace for /dev/log (needs root)";
    std::string expected;
    for (const auto &[type, priority] : cases)
        expected += "<" + std::to_string(priority) + ">";
    std::string got; // the records' priorities, in order; the reports are tested above
    static const std::regex pri("record: (<[0-9]+>)");
    for (std::sregex_iterator it(out.begin(), out.end(), pri), end; it != end; ++it)
        got += (*it)[1];
    EXPECT_EQ(got, expected);
}

TEST_F(LoggerTest, NothingIsSentWithTheFlagAtZero)
{
    const std::string out = InChild([] {
        TarvikInit("orders", 0);
        std::printf("sent %d\n", ErrSend(0x10001, TARVIK_FATAL, "net - x", nullptr));
    });
    if (skipped)
        GTEST_SKIP() << "no private mount namespace for /dev/log (needs root)";
    EXPECT_NE(out.find("sent 0\nend\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("record:"), std::string::npos) << out;
}

} // namespace
