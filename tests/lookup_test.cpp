// Tests of the catalogue lookup that ErrSend and ErrGet share: the header check, missing,
// empty and wrongly headed catalogues, and the reading of entry lines.
//
// Entry lines are checked against a reference lookup written with the C library itself:
// lines read by fgets into 512 bytes, the number read by strtol in base 16 and narrowed
// to int with saturation, the text taken one byte after the number. Whatever odd line a
// case holds, the library must find what that reference finds.
#include "report_scene.h"

#include "tarvik.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

using tarvik::test::Handback;
using tarvik::test::Hex;
using tarvik::test::Report;
using tarvik::test::ReportText;
using tarvik::test::SameBytes;
using tarvik::test::Scene;

constexpr char kConfig[] = ".CLASS zero 0\n"
                           ".CLASS one 1\n"
                           ".CLASS demo 12\n"
                           ".CLASS max 32767\n"
                           ".CLASS neg -32768\n"
                           ".CLASS big -1\n";

const std::map<int, std::string> kClassName = {{0, "ZERO"},    {1, "ONE"},      {12, "DEMO"},
                                               {32767, "MAX"}, {-32768, "NEG"}, {-1, "BIG"}};

int ClassOf(unsigned code)
{
    return int(code) >> 16;
}

std::string CatalogueOf(unsigned code)
{
    return kClassName.at(ClassOf(code)) + "_err.tarvik";
}

std::string HeaderOf(unsigned code)
{
    return "!$" + Hex(unsigned(ClassOf(code))) + "\n";
}

// The report of code as these tests send it.
std::string ReportOf(unsigned code, const std::string &body)
{
    ReportText r;
    r.pkg = kClassName.at(ClassOf(code));
    r.cls = ClassOf(code);
    r.code = code;
    r.source = "src";
    r.body = body;
    r.extra = "ext";
    return Report(r);
}

std::string UnknownCode(unsigned code)
{
    return "Unknown error number $" + Hex(code) + " in class " + kClassName.at(ClassOf(code)) +
           "\n";
}

// What the lookup finds for code in the catalogue at path, whose header is taken as
// good, read with fgets and strtol.
std::optional<std::string> ReferenceLookup(const std::string &path, unsigned code)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f) {
        ADD_FAILURE() << path;
        return std::nullopt;
    }
    char line[512];
    std::optional<std::string> text;
    if (fgets(line, sizeof line, f)) {
        while (!text && fgets(line, sizeof line, f)) {
            if (line[0] != '.')
                continue;
            char *end = nullptr;
            const long number = strtol(line + 1, &end, 16);
            const int num = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : int(number);
            if (num != int(code))
                continue;
            text = *end == '\0' ? std::string() : std::string(end + 1);
            if (!text->empty() && text->back() == '\n')
                text->pop_back();
        }
    }
    fclose(f);
    return text;
}

class LookupTest : public testing::Test
{
  protected:
    void SetUp() override { scene.Write("Tarvik.cfg", kConfig); }

    // Sends code, then gets its text into a 1100-byte buffer; hands back both results
    // (value 0 and 1) and the text (text 0).
    std::string SendAndGet(unsigned code)
    {
        return scene.Run([code](Handback &back) {
            back.Add(ErrSend(int(code), 0, "src", "ext"));
            char text[1100];
            memset(text, 'x', sizeof text);
            back.Add(ErrGet(int(code), text, sizeof text));
            back.Put(0, text, strnlen(text, sizeof text));
        });
    }

    Scene scene;
};

// The catalogue's first line must begin with "!$" and the class number in lower-case
// hexadecimal, eight digits for a negative class; only that many bytes are compared.
TEST_F(LookupTest, CatalogueHeaderAndFailures)
{
    enum Outcome { Found, NoEntry, Missing, Empty, Format };
    const struct {
        const char *what;
        unsigned code;
        std::optional<std::string> file; // nullopt: no such file
        Outcome outcome;
    } cases[] = {
        {"plain header", 0x10001, "!$1\n.10001.found\n", Found},
        {"longer number behind the header", 0x10001, "!$1f\n.10001.found\n", Found},
        {"words behind the header", 0x10001, "!$1 catalogue of ONE\n.10001.found\n", Found},
        {"header over 511 bytes", 0x10001, "!$1" + std::string(700, 'h') + "\n.10001.found\n",
         Found},
        {"header of class 0", 0x1, "!$0\n.1.found\n", Found},
        {"lower-case digits", 0xc0001, "!$c\n.c0001.found\n", Found},
        {"header alone, no newline", 0x10001, "!$1", NoEntry},
        {"negative class, eight digits", 0xffff0001, "!$ffffffff\n.ffff0001.found\n", NoEntry},
        {"upper-case digits", 0xc0001, "!$C\n.c0001.found\n", Format},
        {"another class", 0x10001, "!$0\n.10001.found\n", Format},
        {"leading zero", 0x10001, "!$01\n.10001.found\n", Format},
        {"no number", 0x10001, "!$\n.10001.found\n", Format},
        {"cut header", 0x10001, "!$", Format},
        {"no exclamation mark", 0x10001, "$1\n.10001.found\n", Format},
        {"leading blank", 0x10001, " !$1\n.10001.found\n", Format},
        {"blank first line", 0x10001, "\n!$1\n.10001.found\n", Format},
        {"entry as first line", 0x10001, ".10001.found\n", Format},
        {"negative class, four digits", 0xffff0001, "!$ffff\n.ffff0001.found\n", Format},
        {"negative class, decimal", 0xffff0001, "!$-1\n.ffff0001.found\n", Format},
        {"empty file", 0x10001, "", Empty},
        {"directory", 0x10001, std::nullopt, Empty},
        {"no file", 0x10001, std::nullopt, Missing},
    };
    for (const auto &c : cases) {
        const std::string file = CatalogueOf(c.code);
        remove(scene.Path(file).c_str());
        if (c.file)
            scene.Write(file, *c.file);
        else if (c.outcome == Empty)
            mkdir(scene.Path(file).c_str(), 0700);
        const std::string out = SendAndGet(c.code);
        rmdir(scene.Path(file).c_str());

        std::string sendDiag, getDiag, body, text;
        int result = -1;
        switch (c.outcome) {
        case Found:
            body = text = "found";
            result = 0;
            break;
        case NoEntry:
            text = UnknownCode(c.code);
            result = 0;
            break;
        case Missing:
            sendDiag = "Impossible d'ouvrir le fichier \"" + file + "\"\n";
            break;
        case Empty:
            sendDiag = file + " : fichier vide\n";
            break;
        case Format:
            sendDiag = file + " : format incorrect\n";
            break;
        }
        if (!sendDiag.empty()) {
            getDiag = "Tarvik - ErrGet() : " + sendDiag;
            sendDiag = "Tarvik - ErrSend() : " + sendDiag;
        }
        EXPECT_EQ(out, sendDiag + ReportOf(c.code, body) + getDiag) << c.what;
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{result, result})) << c.what;
        EXPECT_EQ(scene.back().Text(0), text) << c.what;
    }
}

// Entry lines of every shape: each case is a catalogue body (behind a good header) and
// the code looked up. expect, when given, is what a reader of the catalogue format
// expects; it must also be what the reference finds.
TEST_F(LookupTest, EntryLinesReadAsStrtolReadsThem)
{
    const std::string nul(1, '\0');
    const struct {
        const char *what;
        unsigned code;
        std::string entries;
        std::optional<std::string> expect; // nullopt: taken from the reference alone
    } cases[] = {
        {"plain entry", 0x10001, ".10001.plain text\n", "plain text"},
        {"among others", 0x10001, ".10002.two\n.10001.one\n.10003.three\n", "one"},
        {"dots in the text", 0x10001, ".10001.a.b..c.\n", "a.b..c."},
        {"empty text", 0x10001, ".10001.\n", ""},
        {"no second dot, newline", 0x10001, ".10001\n", ""},
        {"no second dot, end of file", 0x10001, ".10001", ""},
        {"last line without newline", 0x10001, ".10001.last", "last"},
        {"one newline dropped", 0x10001, ".10001.dos\r\n", "dos\r"},
        {"first match wins", 0x10001, ".10001.first\n.10001.second\n", "first"},
        {"not there", 0x10001, ".10002.two\n.1000.short\n.100010.long\n", std::nullopt},
        {"comment lines skipped", 0x10001, "# .10001.no\n .10001.no\n\n.10001.yes\n", "yes"},
        {"embedded NUL ends the text", 0x10001, ".10001.vis" + nul + "ible\n", "vis"},
        {"embedded NUL behind the number", 0x10001, ".10001" + nul + ".hidden\n", ""},
        {"embedded NUL inside the number", 0x10001, ".1" + nul + "0001.x\n.10001.y\n", "y"},
        {"leading blank", 0x10001, ". 10001.x\n", std::nullopt},
        {"leading tab", 0x10001, ".\t10001.x\n", std::nullopt},
        {"plus sign", 0x10001, ".+10001.x\n", std::nullopt},
        {"minus sign", 0x10001, ".-10001.x\n", std::nullopt},
        {"0x prefix", 0x10001, ".0x10001.x\n", std::nullopt},
        {"0X prefix", 0x10001, ".0X10001.x\n", std::nullopt},
        {"signed 0x prefix", 0x10001, ".+0x10001.x\n", std::nullopt},
        {"leading zeros", 0x10001, ".00010001.x\n", std::nullopt},
        {"upper-case digits", 0xc0001, ".C0001.x\n", std::nullopt},
        {"other byte behind the number", 0x10001, ".10001x.rest\n", std::nullopt},
        {"blank behind the number", 0x10001, ".10001 .rest\n", std::nullopt},
        {"no digits is 0", 0x0, "..zero\n", std::nullopt},
        {"sign alone is 0", 0x0, ".+.zero\n", std::nullopt},
        {"0x without digit is 0", 0x0, ".0xg.zero\n", std::nullopt},
        {"0x at the end of the line", 0x0, ".0x\n", std::nullopt},
        {"0x before a NUL", 0x0, ".0x" + nul + "1.x\n", std::nullopt},
        {"blank and nothing else", 0x0, ". \n", std::nullopt},
        {"dot alone", 0x0, ".\n", std::nullopt},
        {"class 0", 0x1, ".1.one\n", std::nullopt},
        // Numbers beyond the int range saturate: 7fffffff matches every larger one.
        {"saturated entry matches 7fffffff", 0x7fffffff, ".ffff0001.saturated\n.7fffffff.exact\n",
         std::nullopt},
        {"huge number", 0x7fffffff, ".123456789abcdef0123.huge\n", std::nullopt},
        {"exact largest code", 0x7fffffff, ".7fffffff.exact\n", "exact"},
        {"top bit never matches", 0x80000001, ".80000001.never\n", std::nullopt},
        {"negated number matches", 0x80000001, ".-7fffffff.negated\n", std::nullopt},
        {"most negative", 0x80000000, ".80000000.no\n.-80000000.yes\n", std::nullopt},
        {"below the int range", 0x80000000, ".-ffffffffff.clamped\n", std::nullopt},
        {"class -1 by negation", 0xffff0001, ".ffff0001.no\n.-ffff.yes\n", std::nullopt},
        // Lines longer than 511 bytes come in pieces; a piece is a line of its own.
        {"long text cut at the piece", 0x10001, ".10001." + std::string(600, 'a') + "\n",
         std::nullopt},
        {"piece that is an entry", 0x10001, "#" + std::string(510, 'b') + ".10001.tail\n", "tail"},
        {"piece after a long entry", 0x10001, ".10002." + std::string(504, 'd') + ".10001.piece\n",
         "piece"},
        {"line of exactly 511 bytes", 0x10001,
         ".10002." + std::string(503, 'e') + "\n.10001.next\n", "next"},
        {"line of 512 bytes", 0x10001, ".10002." + std::string(504, 'e') + "\n.10001.next\n",
         "next"},
        {"newline alone as a piece", 0x10001, std::string(511, 'f') + "\n.10001.after\n", "after"},
        {"entry far into the file", 0x10001,
         [] {
             std::string lines;
             for (int i = 2; i < 3000; ++i)
                 lines += "." + Hex(0x10000 + unsigned(i)) + ".filler " + std::to_string(i) + "\n";
             return lines + ".10001.at the end\n";
         }(),
         "at the end"},
    };
    for (const auto &c : cases) {
        const std::string file = CatalogueOf(c.code);
        scene.Write(file, HeaderOf(c.code) + c.entries);
        const std::optional<std::string> ref = ReferenceLookup(scene.Path(file), c.code);
        if (c.expect) {
            ASSERT_EQ(ref, c.expect) << "reference disagrees: " << c.what;
        }
        const std::string out = SendAndGet(c.code);
        EXPECT_TRUE(SameBytes(ReportOf(c.code, ref.value_or("")), out)) << c.what;
        EXPECT_EQ(scene.back().Values(), (std::vector<int>{0, 0})) << c.what;
        EXPECT_EQ(scene.back().Text(0), ref ? *ref : UnknownCode(c.code)) << c.what;
    }
}

// A generated catalogue of random line lengths and number forms, so that pieces and
// entries fall at every place of the reader's buffer.
std::string RandomCatalogue(std::mt19937 &random)
{
    const char *const prefixes[] = {"", "", "", " ", "+", "0x", "0X", "00", "-", "\t"};
    const char *const separators[] = {".", ".", ".", "", "x", " ", "\n"};
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    auto text = [&](int max) {
        std::string t(std::size_t(pick(max + 1)), ' ');
        for (char &ch : t)
            ch = "ab.c 1-\t"[pick(8)];
        if (!t.empty() && pick(40) == 0)
            t[t.size() / 2] = '\0';
        return t;
    };
    std::string lines = "!$1\n";
    for (int i = 0; i < 150; ++i) {
        const unsigned code = 0x10001 + unsigned(pick(24));
        switch (pick(4)) {
        case 0: // a run of entries without newlines, split wherever 511 bytes end
            for (int n = pick(60); n > 0; --n)
                lines += "." + Hex(code + unsigned(pick(3))) + "." + text(20);
            lines += "\n";
            break;
        case 1:
            lines += text(1200) + "\n";
            break;
        default:
            lines += std::string(".") + prefixes[pick(10)] + Hex(code) + separators[pick(7)] +
                     text(pick(4) == 0 ? 900 : 40) + "\n";
        }
    }
    return lines;
}

TEST_F(LookupTest, GeneratedCataloguesAgreeWithTheReference)
{
    const std::string path = scene.Path("ONE_err.tarvik");
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed);
        scene.Write("ONE_err.tarvik", RandomCatalogue(random));
        std::vector<unsigned> codes;
        for (unsigned i = 0; i < Handback::kTexts; ++i)
            codes.push_back(0x10001 + i + (seed % 2) * Handback::kTexts);
        scene.Run([&](Handback &back) {
            for (std::size_t i = 0; i < codes.size(); ++i) {
                char text[1100];
                back.Add(ErrGet(int(codes[i]), text, sizeof text));
                back.Put(int(i), text, strnlen(text, sizeof text));
            }
        });
        EXPECT_EQ(scene.raw(), "") << "seed " << seed;
        EXPECT_EQ(scene.back().Values(), std::vector<int>(codes.size(), 0)) << "seed " << seed;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const std::optional<std::string> ref = ReferenceLookup(path, codes[i]);
            EXPECT_EQ(scene.back().Text(int(i)), ref ? *ref : UnknownCode(codes[i]))
                << "seed " << seed << ", code " << Hex(codes[i]);
        }
    }
}

} // namespace
