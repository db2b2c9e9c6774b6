// Tests of ErrGet: the texts it gives, its own two descriptive texts, how it fills the
// caller's buffer, and its diagnostics. Each scenario runs in a fresh child process.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using tarvik::test::Handback;
using tarvik::test::Scene;

constexpr char kOutOfMemory[] = "Out of memory";
constexpr char kUnknownCode[] = "Unknown error number $c0009 in class DEMO\n";
constexpr std::size_t kBuffer = 64;

class GetTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        scene.Write("Tarvik.cfg", ".CLASS demo 12\n"
                                  ".CLASS gone 13\n");
        scene.Write("DEMO_err.tarvik", "!$c\n"
                                       ".c0001.Out of memory\n"
                                       ".c0002.\n");
    }

    Scene scene;
};

// The bytes that a kBuffer-byte buffer, filled with 'x' beforehand, holds after text was
// copied into its first size bytes.
std::string Filled(const std::string &text, std::size_t size)
{
    std::string bytes = text.substr(0, size - 1);
    bytes.resize(size, '\0');
    return bytes + std::string(kBuffer - size, 'x');
}

TEST_F(GetTest, TextOfEachCode)
{
    const struct {
        unsigned code;
        std::string text;
    } cases[] = {
        {0xc0001, kOutOfMemory},
        {0xc0002, ""},
        {0xc0009, kUnknownCode},
        {0x30001, "Unknown class number 3 in error code $30001\n"},
        {0x0, "Unknown class number 0 in error code $0\n"},
        {0x80000001, "Unknown class number -32768 in error code $80000001\n"},
        {0xffffffff, strerror(ENOENT)},
    };
    const std::string out = scene.Run([&](Handback &back) {
        int slot = 0;
        for (const auto &c : cases) {
            char text[kBuffer];
            memset(text, 'x', sizeof text);
            errno = ENOENT;
            back.Add(ErrGet(int(c.code), text, sizeof text));
            back.Put(slot++, text, sizeof text);
        }
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(scene.back().Values(), std::vector<int>(std::size(cases), 0));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(scene.back().Text(int(i)), Filled(cases[i].text, kBuffer)) << cases[i].text;
}

// The text is cut to BufSize - 1 bytes and always terminated; the buffer's bytes behind
// BufSize are never written.
TEST_F(GetTest, BufferSizes)
{
    const std::string unknown = kUnknownCode;
    const struct {
        unsigned code;
        std::string text;
        std::size_t size;
    } cases[] = {
        {0xc0001, kOutOfMemory, 1},
        {0xc0001, kOutOfMemory, 2},
        {0xc0001, kOutOfMemory, 5},
        {0xc0001, kOutOfMemory, 13}, // one byte short
        {0xc0001, kOutOfMemory, 14}, // exact
        {0xc0001, kOutOfMemory, 15},
        {0xc0001, kOutOfMemory, kBuffer},
        {0xc0009, unknown, unknown.size()}, // the newline cut
        {0xc0009, unknown, unknown.size() + 1},
        {0xc0009, unknown, 1},
    };
    static_assert(std::size(cases) <= Handback::kTexts);
    scene.Run([&](Handback &back) {
        int slot = 0;
        for (const auto &c : cases) {
            char text[kBuffer];
            memset(text, 'x', sizeof text);
            back.Add(ErrGet(int(c.code), text, int(c.size)));
            back.Put(slot++, text, sizeof text);
        }
    });
    EXPECT_EQ(scene.raw(), "");
    EXPECT_EQ(scene.back().Values(), std::vector<int>(std::size(cases), 0));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(scene.back().Text(int(i)), Filled(cases[i].text, cases[i].size))
            << cases[i].text << " in " << cases[i].size << " bytes";
}

// Without a buffer the lookup still runs, its diagnostics included, and its result is
// returned; BufSize does not matter then.
TEST_F(GetTest, NullBuffer)
{
    const std::string out = scene.Run([](Handback &back) {
        back.Add(ErrGet(0xc0001, nullptr, 10));
        back.Add(ErrGet(0xc0009, nullptr, 0));
        back.Add(ErrGet(0x30001, nullptr, -1));
        back.Add(ErrGet(0xd0001, nullptr, 10));
        back.Add(ErrGet(-1, nullptr, INT_MIN));
    });
    EXPECT_EQ(out, "Tarvik - ErrGet() : Impossible d'ouvrir le fichier \"GONE_err.tarvik\"\n");
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0, 0, -1, 0}));
}

// A buffer with a size below 1 is not written at all.
TEST_F(GetTest, BufferSizeBelowOne)
{
    const int sizes[] = {0, -1, INT_MIN};
    const std::string out = scene.Run([&](Handback &back) {
        int slot = 0;
        for (const int size : sizes) {
            char text[kBuffer];
            memset(text, 'x', sizeof text);
            back.Add(ErrGet(0xc0001, text, size));
            back.Put(slot++, text, sizeof text);
        }
    });
    EXPECT_EQ(out, "Tarvik - ErrGet() : Taille du buffer incorrecte (0)\n"
                   "Tarvik - ErrGet() : Taille du buffer incorrecte (-1)\n"
                   "Tarvik - ErrGet() : Taille du buffer incorrecte (-2147483648)\n");
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{-1, -1, -1}));
    for (std::size_t i = 0; i < std::size(sizes); ++i)
        EXPECT_EQ(scene.back().Text(int(i)), std::string(kBuffer, 'x')) << sizes[i];
}

// Without a class table every call loads the configuration again and gives the empty
// text, even for -1.
TEST_F(GetTest, NoClassTable)
{
    const std::string out = scene.Run(
        [](Handback &back) {
            int slot = 0;
            for (const int code : {0xc0001, -1}) {
                char text[kBuffer];
                memset(text, 'x', sizeof text);
                errno = ENOENT;
                back.Add(ErrGet(code, text, sizeof text));
                back.Put(slot++, text, sizeof text);
            }
        },
        {{"TARVIK_CFG_FILE", "Absent.cfg"}});
    const std::string once =
        "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"Absent.cfg\"\n"
        "Tarvik - ErrGet() : Probleme a l'init de la config du package Tarvik\n";
    EXPECT_EQ(out, once + once);
    EXPECT_EQ(scene.back().Values(), (std::vector<int>{-1, -1}));
    EXPECT_EQ(scene.back().Text(0), std::string(kBuffer, '\0'));
    EXPECT_EQ(scene.back().Text(1), std::string(kBuffer, '\0'));
}

} // namespace
