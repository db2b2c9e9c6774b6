// The C++ view of the codes: tarvik::message, tarvik::category() and std::error_code.
// Every case runs in a fresh process with its own configuration and catalogue.
#include "TestSupport.h"

#include <tarvik.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <unistd.h>

namespace
{

using tarvik::test::RunInChild;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

// Class NET (1) with two entries; class DISK (2) is configured but its catalogue missing.
class CategoryTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        WriteFile(dir / "Tarvik.cfg", ".CLASS net 1\n.CLASS disk 2\n");
        WriteFile(dir / "NET_err.tarvik",
                  "!$1\n.10001.Connection timed out\n.10002.Host unknown\n");
    }

    // Runs body in a child that reads this configuration; returns what it printed.
    std::string InChild(const std::function<void()> &body)
    {
        const auto outcome = RunInChild([&] {
            if (chdir(dir.path().c_str()) != 0)
                return 1;
            unsetenv("TARVIK_CFG_DIR");
            unsetenv("TARVIK_CFG_FILE");
            unsetenv("TARVIK_CFG_DIR_USER");
            body();
            return 0;
        });
        EXPECT_EQ(outcome.status, 0);
        return outcome.out;
    }

    TempDir dir;
};

TEST_F(CategoryTest, MessagesComeFromTheCatalogue)
{
    const std::string out = InChild([] {
        const std::pair<const char *, int> cases[] = {
            {"found", 0x10002},
            {"unknown code", 0x10009},
            {"unconfigured class", 0x30001},
            {"missing catalogue", 0x20001},
        };
        for (const auto &[what, code] : cases)
            std::printf("%s: [%s]\n", what, tarvik::make_error_code(code).message().c_str());
        errno = EACCES;
        std::printf("system: [%s]\n", tarvik::category().message(-1).c_str());
        std::printf("errno kept: %d\n", errno == EACCES);
    });
    EXPECT_EQ(out, "found: [Host unknown]\n"
                   "unknown code: [Unknown error number $10009 in class NET]\n"
                   "unconfigured class: [Unknown class number 3 in error code $30001]\n"
                   "Tarvik - ErrGet() : Impossible d'ouvrir le fichier \"DISK_err.tarvik\"\n"
                   "missing catalogue: [Tarvik error $20001]\n"
                   "system: [" +
                       std::string(std::strerror(EACCES)) +
                       "]\n"
                       "errno kept: 1\n");
}

// A code made from -1 names the error current when it was made, whatever happens later.
TEST(Category, SystemErrorIsCapturedWhenTheCodeIsMade)
{
    errno = EACCES;
    const std::error_code ec = tarvik::make_error_code(TARVIK_SYSTEM_ERROR);
    errno = ENOENT;
    EXPECT_EQ(&ec.category(), &std::system_category());
    EXPECT_EQ(ec.value(), EACCES);
    EXPECT_EQ(ec, std::errc::permission_denied);
    EXPECT_EQ(ec.message(), std::strerror(EACCES));
}

TEST(Category, CodesCompareWithinTheirCategory)
{
    const std::error_code timeout = tarvik::make_error_code(0x10001);
    EXPECT_STREQ(timeout.category().name(), "tarvik");
    EXPECT_EQ(&timeout.category(), &tarvik::category());
    EXPECT_EQ(timeout, tarvik::make_error_code(0x10001));
    EXPECT_NE(timeout, tarvik::make_error_code(0x10002));
    EXPECT_NE(timeout, std::error_code(0x10001, std::generic_category()));
    EXPECT_TRUE(timeout);
    EXPECT_EQ(timeout.value(), 0x10001);
    // The application's own codes stand for no portable condition.
    EXPECT_NE(timeout, std::errc::timed_out);
    EXPECT_NE(tarvik::make_error_code(ETIMEDOUT), std::errc::timed_out);
}

} // namespace
