// Tests of the catalogue compiler: each case runs the real TarvikCompile in a fresh
// directory and compares its standard output, its exit status and the exact bytes of
// every file it leaves there.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::test::Outcome;
using tarvik::test::ProgramRun;
using tarvik::test::ReadFile;
using tarvik::test::RunProgram;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

using Files = std::map<std::string, std::string>; // file name -> content

constexpr char kSource[] = "source.txt";

// Runs the compiler in dir with the given arguments.
Outcome RunCompiler(const TempDir &dir, const std::vector<std::string> &args)
{
    ProgramRun run;
    run.args = args;
    run.cwd = dir.path();
    return RunProgram(TARVIK_COMPILE_PATH, run);
}

// Writes source into dir and compiles it there.
Outcome Compile(const TempDir &dir, const std::string &source)
{
    WriteFile(dir / kSource, source);
    return RunCompiler(dir, {kSource});
}

// Every regular file in dir but the source, with its content.
Files Generated(const TempDir &dir)
{
    Files files;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name != kSource)
            files[name] = ReadFile(entry.path().string());
    }
    return files;
}

// The two files of a class whose errors are given as (macro suffix, code, text).
struct Error {
    std::string name;
    unsigned code;
    std::string text;
};

std::string Hex(unsigned v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

Files ClassFiles(const std::string &pkg, unsigned classCode, const std::vector<Error> &errors)
{
    std::string header = "#ifndef _" + pkg + "_ERR_H_\n#define _" + pkg + "_ERR_H_\n";
    std::string catalogue = "!$" + Hex(classCode) + "\n";
    for (const Error &e : errors) {
        header += "#define R_" + pkg + "_" + e.name + " 0x" + Hex(e.code) + "\n";
        catalogue += "." + Hex(e.code) + "." + e.text + "\n";
    }
    header += "#endif\n";
    return {{pkg + "_err.h", header}, {pkg + "_err.tarvik", catalogue}};
}

Files Merge(Files a, const Files &b)
{
    a.insert(b.begin(), b.end());
    return a;
}

// Compares large byte strings without printing them whole.
testing::AssertionResult SameBytes(const std::string &expected, const std::string &actual)
{
    if (expected == actual)
        return testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    const std::size_t from = at < 40 ? 0 : at - 40;
    return testing::AssertionFailure()
           << "sizes " << expected.size() << " and " << actual.size() << ", first difference at "
           << at << "\nexpected: ..." << testing::PrintToString(expected.substr(from, 80))
           << "\nactual:   ..." << testing::PrintToString(actual.substr(from, 80));
}

TEST(CompileTest, WorkedExample)
{
    TempDir dir;
    const Outcome r = Compile(dir, "# The demo class\n"
                                   ".CLASS demo 12\n"
                                   "NoMemory \"Out of memory\"\n"
                                   "DISK_FULL\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    const Files expected = {
        {"DEMO_err.h", "#ifndef _DEMO_ERR_H_\n"
                       "#define _DEMO_ERR_H_\n"
                       "#define R_DEMO_NoMemory 0xc0001\n"
                       "#define R_DEMO_DISK_FULL 0xc0002\n"
                       "#endif\n"},
        {"DEMO_err.tarvik", "!$c\n"
                            ".c0001.Out of memory\n"
                            ".c0002.\n"},
    };
    EXPECT_EQ(Generated(dir), expected);
}

// Every fault: its exact message, exit status and the files left behind.
TEST(CompileTest, Diagnostics)
{
    // A complete first class, so that each case also shows that it survives the fault.
    const std::string first = ".CLASS a 1\nE1 \"one\"\n";
    const Files firstFiles = ClassFiles("A", 1, {{"E1", 0x10001, "one"}});
    const std::string longName(40, 'n');

    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string source;
        const char *blocker; // a directory made beforehand, or nullptr
        std::string out;
        int status;
        Files files;
    };
    const std::vector<Case> cases = {
        {"usage",
         {},
         "",
         nullptr,
         "\nUsage : TarvikCompile filename\n\n        avec filename = nom du fichier a compiler\n",
         2,
         {}},
        {"missing source",
         {"missing.txt"},
         "",
         nullptr,
         "\nLe fichier \"missing.txt\" est introuvable\n",
         1,
         {}},
        {"source is a directory",
         {"."},
         "",
         nullptr,
         "\nLecture du fichier \".\" impossible\n",
         1,
         {}},
        {"class without name",
         {kSource},
         first + ".CLASS \t \n",
         nullptr,
         "\nLigne 3 : .CLASS \t \n\nIl manque le nom de classe\n",
         1,
         firstFiles},
        {"class without number",
         {kSource},
         first + ".CLASS b\n",
         nullptr,
         "\nLigne 3 : .CLASS b\nIl manque le numero\n",
         1,
         firstFiles},
        {"class name followed by blanks",
         {kSource},
         first + ".CLASS b \t\n",
         nullptr,
         "\nLigne 3 : .CLASS b \t\nIl manque le numero\n",
         1,
         firstFiles},
        {"carriage return taken as the name",
         {kSource},
         first + ".CLASS\r\n",
         nullptr,
         "\nLigne 3 : .CLASS\r\nIl manque le numero\n",
         1,
         firstFiles},
        {"header cannot be created",
         {kSource},
         first + ".CLASS b 2\nE\n",
         "B_err.h",
         "\nCreation du fichier \"B_err.h\" impossible\n",
         1,
         firstFiles},
        {"catalogue cannot be created",
         {kSource},
         first + ".CLASS b 2\nE\n",
         "B_err.tarvik",
         "\nCreation du fichier \"B_err.tarvik\" impossible\n",
         1,
         Merge(firstFiles, {{"B_err.h", ""}})},
        {"error before any class",
         {kSource},
         "# comment\n\nE1 \"x\"\n.CLASS a 1\n",
         nullptr,
         "\nLigne 3 : E1 \"x\"\n\nDeclaration d'une erreur sans declaration prealable de "
         "classe\n",
         1,
         {}},
        {"class name too long",
         {kSource},
         first + ".CLASS " + longName + " 2\n",
         nullptr,
         "\nLigne 3 : .CLASS " + longName + " 2\n\nNom trop long (39 caracteres au plus)\n",
         1,
         firstFiles},
        {"error name too long",
         {kSource},
         first + ".CLASS b 2\nOK\n" + longName + " \"t\"\n",
         nullptr,
         "\nLigne 5 : " + longName + " \"t\"\n\nNom trop long (39 caracteres au plus)\n",
         1,
         Merge(firstFiles, ClassFiles("B", 2, {{"OK", 0x20001, ""}}))},
        {"fault on a last line without newline",
         {kSource},
         first + ".CLASS b",
         nullptr,
         "\nLigne 3 : .CLASS bIl manque le numero\n",
         1,
         firstFiles},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.blocker) {
            ASSERT_EQ(mkdir((dir / c.blocker).c_str(), 0755), 0);
        }
        if (!c.source.empty())
            WriteFile(dir / kSource, c.source);
        const Outcome r = RunCompiler(dir, c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(Generated(dir), c.files);
    }
}

// The class number's 32 bits head the catalogue; only its low 16 bits reach the codes.
TEST(CompileTest, ClassNumbers)
{
    const struct {
        const char *number;
        unsigned classBits;
        unsigned firstCode;
    } cases[] = {
        {"0", 0, 0x1},
        {"171", 0xab, 0xab0001},
        {"32767", 0x7fff, 0x7fff0001},
        {"32768", 0x8000, 0x80000001},
        {"65535", 0xffff, 0xffff0001},
        {"65536", 0x10000, 0x1},
        {"-5", 0xfffffffb, 0xfffb0001},
        {"-1", 0xffffffff, 0xffff0001},
        {"abc", 0, 0x1},
        {"12abc", 0xc, 0xc0001},
        {"99999999999999999999", 0x7fffffff, 0xffff0001}, // saturated to INT_MAX
        {"-99999999999999999999", 0x80000000, 0x1},       // saturated to INT_MIN
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        TempDir dir;
        const Outcome r = Compile(dir, std::string(".CLASS num ") + c.number + "\nE1 \"a\"\nE2\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Generated(dir),
                  ClassFiles("NUM", c.classBits,
                             {{"E1", c.firstCode, "a"}, {"E2", c.firstCode + 1, ""}}));
    }
}

// A class of 65535 errors is complete; past it lines that declare nothing and a new class
// still pass, while one more declaring line ends the run.
TEST(CompileTest, MostErrorsInOneClass)
{
    std::string full = ".CLASS big -1\n";
    std::vector<Error> errors;
    for (unsigned i = 1; i <= 65535; ++i) {
        const std::string name = "E" + std::to_string(i);
        const std::string text = "text number " + std::to_string(i) + " of the big class";
        full += name + " \"" + text + "\"\n";
        if (i % 1000 == 0)
            full += "# a comment\n\n"; // lines that declare nothing do not count
        errors.push_back({name, 0xffff0000u + i, text});
    }
    full += "  # after the last one\n\n";
    const Files bigFiles = ClassFiles("BIG", 0xffffffff, errors);
    ASSERT_EQ(errors.back().code, 0xffffffffu);
    const int lastLine = 1 + 65535 + 2 * 65 + 2;

    {
        SCOPED_TRACE("a new class after the full one");
        TempDir dir;
        const Outcome r = Compile(dir, full + ".CLASS next 2\nN1\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        const Files files = Generated(dir);
        ASSERT_EQ(files.size(), 4u);
        EXPECT_TRUE(SameBytes(bigFiles.at("BIG_err.h"), files.at("BIG_err.h")));
        EXPECT_TRUE(SameBytes(bigFiles.at("BIG_err.tarvik"), files.at("BIG_err.tarvik")));
        EXPECT_EQ(files.at("NEXT_err.tarvik"), "!$2\n.20001.\n");
    }
    {
        SCOPED_TRACE("the 65536th error");
        TempDir dir;
        const Outcome r = Compile(dir, full + "Extra \"x\"\nLater\n");
        EXPECT_EQ(r.out, "\nLigne " + std::to_string(lastLine + 1) +
                             " : Extra \"x\"\n\nLe nombre maximum d'erreurs est 65535\n");
        EXPECT_EQ(r.status, 1);
        const Files files = Generated(dir);
        ASSERT_EQ(files.size(), 2u);
        EXPECT_TRUE(SameBytes(bigFiles.at("BIG_err.h"), files.at("BIG_err.h")));
        EXPECT_TRUE(SameBytes(bigFiles.at("BIG_err.tarvik"), files.at("BIG_err.tarvik")));
    }
}

// Lines are read 511 bytes at a time; each further piece is a line of its own.
TEST(CompileTest, LongLinesAreReadInPieces)
{
    // A 511-byte first piece, then a piece that declares B2.
    std::string piece = "A1 \"" + std::string(200, 'x') + "\"";
    piece += std::string(511 - piece.size(), ' ');
    // A text that runs past the first piece: cut at 255, the rest is a piece of blanks
    // and a dash that declares nothing.
    const std::string open = "C3 \"" + std::string(507, 'y') + "  -z\"\n";
    const std::string source = ".CLASS p 1\n" + piece + "B2 \"tail\"\n" + open + "D4\n";

    TempDir dir;
    const Outcome r = Compile(dir, source + ".CLASS\n");
    // The pieces count as lines: the fault is on line 7.
    EXPECT_EQ(r.out, "\nLigne 7 : .CLASS\n\nIl manque le nom de classe\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Generated(dir), ClassFiles("P", 1,
                                         {{"A1", 0x10001, std::string(200, 'x')},
                                          {"B2", 0x10002, "tail"},
                                          {"C3", 0x10003, std::string(255, 'y')},
                                          {"D4", 0x10004, ""}}));

    // A diagnostic echoes the 511-byte piece as read, without a newline of its own.
    TempDir early;
    const Outcome e = Compile(early, piece + "\n");
    EXPECT_EQ(e.out, "\nLigne 1 : " + piece +
                         "\nDeclaration d'une erreur sans declaration prealable de classe\n");
    EXPECT_EQ(e.status, 1);
}

// A carriage return is an ordinary byte: it ends neither a name nor a text.
TEST(CompileTest, CarriageReturns)
{
    TempDir dir;
    const Outcome r = Compile(dir, ".CLASS crlf 3\r\n"
                                   "# comment\r\n"
                                   "\r\n"
                                   "E1 \"closed\"\r\n"
                                   "E2 \"open\r\n"
                                   "E3\r\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        Generated(dir),
        ClassFiles("CRLF", 3,
                   {{"E1", 0x30001, "closed"}, {"E2", 0x30002, "open\r"}, {"E3", 0x30003, ""}}));
}

// How an error line yields its name and text.
TEST(CompileTest, ErrorLines)
{
    const struct {
        std::string line;
        std::string name;
        std::string text;
    } cases[] = {
        {"E \"Out of memory\"\n", "E", "Out of memory"},
        {" \t E\t \"blanks around\" \n", "E", "blanks around"},
        {"E\"no blank\"\n", "E", "no blank"},
        {"E \"no closing quote \n", "E", "no closing quote "},
        {"E \"first\" \"second\"\n", "E", "first"},
        {"E \"\"\n", "E", ""},
        {"E \"a\\n\\\" b.c..d\"\n", "E", "a\\n\\"},
        {"E \"x.y..z\\t\"\n", "E", "x.y..z\\t"},
        {"E \"" + std::string(300, 't') + "\"\n", "E", std::string(255, 't')},
        {"E \"" + std::string(255, 'u') + "\"\n", "E", std::string(255, 'u')},
        {"ERR-X \"t\"\n", "ERR", ""},
        {"E = \"t\"\n", "E", ""},
        {"9_lives \"digit first\"\n", "9_lives", "digit first"},
        {std::string(39, 'L') + " \"longest name\"\n", std::string(39, 'L'), "longest name"},
        {"E \"last line\"", "E", "last line"},
        {"E", "E", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        TempDir dir;
        const Outcome r = Compile(dir, ".CLASS c 1\n" + c.line);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Generated(dir), ClassFiles("C", 1, {{c.name, 0x10001, c.text}}));
    }
}

// Sources that declare nothing write nothing; a class without errors has its two files.
TEST(CompileTest, SourcesWithoutErrors)
{
    const std::string nothing = "# comment\n\n \t \n-dash\n\"quote\"\n .CLASS x 1\n.class y 2\n";
    const struct {
        const char *what;
        std::string source;
        Files files;
    } cases[] = {
        {"empty", "", {}},
        {"comments and blanks", nothing, {}},
        {"class without errors", ".CLASS e 5\n" + nothing, ClassFiles("E", 5, {})},
        {"class on a last line without newline", ".CLASS e 5", ClassFiles("E", 5, {})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const Outcome r = Compile(dir, c.source);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Generated(dir), c.files);
    }
}

// Class names are upper-cased, up to 39 characters name whole files, and a name declared
// again (in any case) starts its files afresh.
TEST(CompileTest, ClassNames)
{
    for (const std::size_t length : {1, 36, 37, 38, 39}) {
        SCOPED_TRACE(length);
        std::string name = "mIx_9";
        name.resize(length, 'q');
        std::string upper = "MIX_9";
        upper.resize(length, 'Q');
        TempDir dir;
        const Outcome r = Compile(dir, ".CLASS\t" + name + "\t7\nE\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Generated(dir), ClassFiles(upper, 7, {{"E", 0x70001, ""}}));
    }

    TempDir dir;
    const Outcome r = Compile(dir, ".CLASS dup 1\nOld\n.CLASS other 2\ne\nE\n.CLASS DuP 3\nNew\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Generated(dir),
              Merge(ClassFiles("DUP", 3, {{"New", 0x30001, ""}}),
                    ClassFiles("OTHER", 2, {{"e", 0x20001, ""}, {"E", 0x20002, ""}})));
}

// --help and --version as the first argument; a source of that name given as ./--help.
// With standard output on a full disk, a text that is lost makes the run fail.
TEST(CompileTest, ProgramFlags)
{
    const struct {
        std::vector<std::string> args;
        std::string out;
        Files files;
    } cases[] = {
        {{"--help"},
         "\nUsage : TarvikCompile filename\n\n        avec filename = nom du fichier a compiler\n"
         "\n        TarvikCompile --help     affiche ce texte\n"
         "        TarvikCompile --version  affiche la version\n",
         {}},
        {{"--version", "x"}, "TarvikCompile (Tarvik) " TARVIK_VERSION "\n", {}},
        {{"./--help"}, "", ClassFiles("H", 8, {{"E", 0x80001, ""}})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir dir;
        WriteFile(dir / "--help", ".CLASS h 8\nE\n");
        const Outcome r = RunCompiler(dir, c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
        Files files = Generated(dir);
        files.erase("--help");
        EXPECT_EQ(files, c.files);

        ProgramRun full;
        full.args = c.args;
        full.cwd = dir.path();
        full.output = "/dev/full";
        EXPECT_EQ(RunProgram(TARVIK_COMPILE_PATH, full).status, c.out.empty() ? 0 : 1);
    }
}

// A class whose output would be the source itself, by any name (the same file under
// another path, a symbolic or a hard link), is refused before any of its files is
// written; the classes before it are complete.
TEST(CompileTest, SourceThatIsAnOutput)
{
    const std::string first = ".CLASS a 1\nE1 \"one\"\n";
    const Files firstFiles = ClassFiles("A", 1, {{"E1", 0x10001, "one"}});
    const std::string later = first + ".CLASS b 2\nE \"x\"\n";
    const struct {
        const char *what;
        const char *sourceName; // where the source is written
        const char *arg;        // how the compiler is given it
        const char *link;       // an output name made a link to the source, or nullptr
        bool symbolic;
        std::string source;
        Files others; // the files besides the source and its links
    } cases[] = {
        {"the source is a header",
         "DEMO_err.h",
         "DEMO_err.h",
         nullptr,
         false,
         ".CLASS demo 1\nE \"x\"\n",
         {}},
        {"the same file by another path",
         "DEMO_err.tarvik",
         "./DEMO_err.tarvik",
         nullptr,
         false,
         ".CLASS demo 1\nE \"x\"\n",
         {}},
        {"a symbolic link to the source", kSource, kSource, "B_err.h", true, later, firstFiles},
        {"a hard link to the source", kSource, kSource, "B_err.tarvik", false, later, firstFiles},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / c.sourceName, c.source);
        if (c.link) {
            const std::string link = dir / c.link;
            ASSERT_EQ(c.symbolic ? symlink(kSource, link.c_str())
                                 : ::link((dir / kSource).c_str(), link.c_str()),
                      0);
        }
        const Outcome r = RunCompiler(dir, {c.arg});
        EXPECT_EQ(r.out, std::string("\nLe fichier source \"") + c.arg + "\" serait ecrase\n");
        EXPECT_EQ(r.status, 1);
        Files expected = c.others;
        for (const char *name : {c.sourceName, c.link})
            if (name && name != std::string(kSource))
                expected[name] = c.source;
        EXPECT_EQ(Generated(dir), expected);
    }
}

// Each file is replaced in one step: a reader that opened the old file keeps reading it
// whole. A replaced file keeps its permission bits, a new one gets 0666 less the umask;
// an output name that is a symbolic link, or a file of several hard links, is written
// through; and nothing else is left.
TEST(CompileTest, OutputsAreReplacedWhole)
{
    TempDir dir;
    WriteFile(dir / "A_err.h", "old header\n");
    ASSERT_EQ(chmod((dir / "A_err.h").c_str(), 0604), 0);
    WriteFile(dir / "real.tarvik", "old catalogue\n");
    ASSERT_EQ(symlink("real.tarvik", (dir / "A_err.tarvik").c_str()), 0);
    WriteFile(dir / "B_err.h", "old header\n");
    ASSERT_EQ(link((dir / "B_err.h").c_str(), (dir / "copy.h").c_str()), 0);
    FILE *old = fopen((dir / "A_err.h").c_str(), "r");
    ASSERT_NE(old, nullptr);

    const mode_t mask = umask(027);
    const Outcome r = Compile(dir, ".CLASS a 1\nE\n.CLASS b 2\nF\n.CLASS c 3\nG\n");
    umask(mask);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);

    char seen[32] = "";
    EXPECT_NE(fgets(seen, sizeof seen, old), nullptr);
    fclose(old);
    EXPECT_STREQ(seen, "old header\n");

    const Files a = ClassFiles("A", 1, {{"E", 0x10001, ""}});
    const Files b = ClassFiles("B", 2, {{"F", 0x20001, ""}});
    Files expected = Merge(Merge(a, b), ClassFiles("C", 3, {{"G", 0x30001, ""}}));
    expected["real.tarvik"] = a.at("A_err.tarvik");
    expected["copy.h"] = b.at("B_err.h");
    EXPECT_EQ(Generated(dir), expected);
    const struct {
        const char *name;
        mode_t mode;
    } modes[] = {{"A_err.h", 0604}, {"C_err.h", 0640}, {"C_err.tarvik", 0640}};
    for (const auto &m : modes) {
        struct stat st;
        ASSERT_EQ(stat((dir / m.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, m.mode) << m.name;
    }
    struct stat st;
    ASSERT_EQ(lstat((dir / "A_err.tarvik").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A generated file that cannot be written (here: a link to /dev/full) ends the run.
TEST(CompileTest, WriteFailure)
{
    std::string many = ".CLASS x 1\n";
    for (int i = 0; i < 2000; ++i)
        many += "E" + std::to_string(i) + " \"a text of some length\"\n";
    const struct {
        const char *link;
        std::string source;
        const char *sibling; // the other file of the class, or nullptr: cut short
    } cases[] = {
        {"X_err.h", ".CLASS x 1\nE\n", "!$1\n.10001.\n"},
        {"X_err.tarvik", ".CLASS x 1\nE\n",
         "#ifndef _X_ERR_H_\n#define _X_ERR_H_\n"
         "#define R_X_E 0x10001\n#endif\n"},
        {"X_err.h", many, nullptr},
        {"X_err.tarvik", many, nullptr},
        // The earlier class fails when the next one is declared; the next one is not begun.
        {"X_err.h", ".CLASS x 1\nE\n.CLASS y 2\nF\n", "!$1\n.10001.\n"},
        {"X_err.tarvik", ".CLASS x 1\n.CLASS y 2\nF\n",
         "#ifndef _X_ERR_H_\n#define _X_ERR_H_\n#endif\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.link) + ", " + std::to_string(c.source.size()) + " bytes");
        TempDir dir;
        ASSERT_EQ(symlink("/dev/full", (dir / c.link).c_str()), 0);
        const Outcome r = Compile(dir, c.source);
        EXPECT_EQ(r.out, std::string("\nEcriture du fichier \"") + c.link + "\" impossible\n");
        EXPECT_EQ(r.status, 1);
        Files files = Generated(dir);
        const std::string sibling = c.link == std::string("X_err.h") ? "X_err.tarvik" : "X_err.h";
        ASSERT_EQ(files.count(sibling), 1u);
        if (c.sibling) {
            EXPECT_EQ(files[sibling], c.sibling);
        }
        files.erase(sibling);
        EXPECT_EQ(files, Files{}) << "no file of a later class";
    }
}

} // namespace
