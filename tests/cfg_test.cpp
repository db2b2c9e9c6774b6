// Tests of the configuration loader, the application identity and the library lock.
//
// The class table, the application's name and code and the lock are process-wide, so
// every case runs in a child process of its own, in a fresh directory and with the
// three TARVIK_CFG_* variables set from scratch. The child prints what ErrCfgInit
// printed, its result, the class table in list order and the application code; the
// test compares that whole text.
#include "TestSupport.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using tarvik::test::Outcome;
using tarvik::test::RunInChild;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

constexpr const char *kCfgVars[] = {"TARVIK_CFG_DIR", "TARVIK_CFG_FILE", "TARVIK_CFG_DIR_USER"};

const std::string kSystemDirTooLong =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier de config system trop long !\n";
const std::string kUserDirTooLong =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier de config user trop long !\n";
const std::string kCatalogueDirTooLong =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier des erreurs trop long !\n";
const std::string kDuplicate = "Tarvik - ErrCfgInit() : plusieurs fois le meme numero de classe\n";

std::string NotFound(const std::string &path)
{
    return "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" + path + "\"\n";
}

// A run of n copies of c: long directory names.
std::string Run(std::size_t n, char c = 'd')
{
    return std::string(n, c);
}

// Text with line ends and other control bytes made visible.
std::string Escape(const char *text)
{
    std::string out;
    for (const char *p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out;
}

// Prints the table from head: one "<number> <name> <path>" line per entry.
void PrintTable(const T_ClassInfo *head)
{
    int left = 100; // a list that loops must not hang the child
    for (const T_ClassInfo *e = head; e && left > 0; e = e->Next, --left)
        std::printf("%d %s %s\n", e->ClassCode, Escape(e->PkgName).c_str(),
                    Escape(e->FilePath).c_str());
    if (left == 0)
        std::printf("...\n");
}

// Starts a child's environment from scratch: cwd, no TARVIK_CFG_* but those given.
using Env = std::vector<std::pair<std::string, std::string>>;

bool Enter(const TempDir &dir, const Env &env)
{
    if (chdir(dir.path().c_str()) != 0)
        return false;
    for (const char *name : kCfgVars)
        unsetenv(name);
    for (const auto &[name, value] : env)
        setenv(name.c_str(), value.c_str(), 1);
    return true;
}

// Writes every (relative path, content) below dir, creating the directories on the way.
void WriteTree(const TempDir &dir, const std::vector<std::pair<std::string, std::string>> &files)
{
    for (const auto &[path, content] : files) {
        const std::filesystem::path full = dir / path;
        std::filesystem::create_directories(full.parent_path());
        WriteFile(full.string(), content);
    }
}

// ---------------------------------------------------------------------------------------
// One load: files, environment and application name in; output, result, table, code out.

struct LoadCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> files; // relative path -> content
    Env env;                                                // on top of no TARVIK_CFG_*
    const char *appName;                                    // set before the load, or null
    std::string diagnostics;                                // what ErrCfgInit prints
    int result;
    std::vector<std::string> table; // "<number> <name> <path>", list order
    int code;                       // application code afterwards
};

std::string Expected(const LoadCase &c)
{
    std::string text = c.diagnostics + "result " + std::to_string(c.result) + "\n";
    for (const std::string &entry : c.table)
        text += entry + "\n";
    return text + "code " + std::to_string(c.code) + "\n";
}

class CfgLoad : public testing::TestWithParam<LoadCase>
{
};

TEST_P(CfgLoad, PrintsResultTableAndCode)
{
    const LoadCase &c = GetParam();
    TempDir dir;
    WriteTree(dir, c.files);
    const Outcome run = RunInChild([&] {
        if (!Enter(dir, c.env))
            return 100;
        if (c.appName)
            SetTarvikApplicationName(c.appName);
        const int result = ErrCfgInit();
        std::printf("result %d\n", result);
        PrintTable(ErrCfgGet());
        std::printf("code %d\n", GetTarvikApplicationCode());
        return 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Expected(c));
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const LoadCase &c, std::ostream *os)
{
    *os << c.name;
}

std::string CaseName(const testing::TestParamInfo<LoadCase> &info)
{
    return info.param.name;
}

// Where and how the files are found; which classes the lines give.
const LoadCase kClassLineCases[] = {
    {"DefaultFileInWorkingDirectory",
     {{"Tarvik.cfg", ".CLASS abc 5\n"}},
     {},
     nullptr,
     "",
     0,
     {"5 ABC ABC_err.tarvik"},
     0},
    {"SystemDirWithoutSlash",
     {{"cfg/Tarvik.cfg", "# reseau et base\n.CLASS reseau 12\n.CLASS base 13 /opt/app/err\n"
                         ".APPLICATION GESTION 7\n.APPLICATION PAIE 8\n"}},
     {{"TARVIK_CFG_DIR", "cfg"}},
     "GESTION",
     "",
     0,
     {"13 BASE /opt/app/err/BASE_err.tarvik", "12 RESEAU cfg/RESEAU_err.tarvik"},
     7},
    {"SystemDirWithSlash",
     {{"cfg/Tarvik.cfg", ".CLASS reseau 12\n.CLASS base 13 /opt/app/err/\n"}},
     {{"TARVIK_CFG_DIR", "cfg/"}},
     nullptr,
     "",
     0,
     {"13 BASE /opt/app/err/BASE_err.tarvik", "12 RESEAU cfg/RESEAU_err.tarvik"},
     0},
    {"EmptySystemDirMeansWorkingDirectory",
     {{"Tarvik.cfg", ".CLASS abc 5\n"}},
     {{"TARVIK_CFG_DIR", ""}},
     nullptr,
     "",
     0,
     {"5 ABC ABC_err.tarvik"},
     0},
    {"OnlyKeywordLinesInFirstColumnCount",
     {{"Tarvik.cfg", "# .CLASS comment 1\n .CLASS indented 2\n.class lower 3\n\n"
                     "\t.CLASS tab 4\n.CLAS short 5\n.CLASS \t kept \t 6\t \tlib  junk 7\n"}},
     {},
     nullptr,
     "",
     0,
     {"6 KEPT lib/KEPT_err.tarvik"},
     0},
    {"NameIsUpperCasedAsciiOnly",
     {{"Tarvik.cfg", ".CLASS MiXed_9-z\xc3\xa9 3\n"}},
     {},
     nullptr,
     "",
     0,
     {"3 MIXED_9-Z\xc3\xa9 MIXED_9-Z\xc3\xa9_err.tarvik"},
     0},
    {"NumberReadLikeAtoi",
     {{"Tarvik.cfg", ".CLASS neg -3\n.CLASS plus +7\n.CLASS none x\n.CLASS tail 12abc lib\n"}},
     {},
     nullptr,
     "",
     0,
     {"12 TAIL lib/TAIL_err.tarvik", "0 NONE NONE_err.tarvik", "7 PLUS PLUS_err.tarvik",
      "-3 NEG NEG_err.tarvik"},
     0},
    {"KeywordNeedsNoSeparator",
     {{"Tarvik.cfg", ".CLASSX 3\n.CLASSES 4\n"}},
     {},
     nullptr,
     "",
     0,
     {"4 ES ES_err.tarvik", "3 X X_err.tarvik"},
     0},
    // Only a blank or the end of the text ends a name: a line with nothing behind the
    // name keeps its line end in the name and in the catalogue path, and is numbered 0.
    {"NameAloneKeepsLineEnd",
     {{"Tarvik.cfg", ".CLASS abc\n"}},
     {},
     nullptr,
     "",
     0,
     {"0 ABC\\n ABC\\n_err.tarvik"},
     0},
    {"CrLfLines",
     {{"Tarvik.cfg", ".CLASS abc 5\r\n.CLASS def 6 lib\r\n.CLASS ghi 7 \r\n.CLASS jkl\r\n"}},
     {},
     nullptr,
     "",
     0,
     {"0 JKL\\r\\n JKL\\r\\n_err.tarvik", "7 GHI GHI_err.tarvik", "6 DEF lib/DEF_err.tarvik",
      "5 ABC ABC_err.tarvik"},
     0},
    {"LastLineWithoutLineFeed",
     {{"Tarvik.cfg", ".CLASS abc 5\n.CLASS def 6 lib"}},
     {},
     nullptr,
     "",
     0,
     {"6 DEF lib/DEF_err.tarvik", "5 ABC ABC_err.tarvik"},
     0},
    // A name word of 39 + 2 + 2 characters: 39 kept, the number read from its 40th
    // character, the rest of the word skipped, and the real number taken as directory.
    {"LongNameCutAndNumberReadFromFortiethCharacter",
     {{"Tarvik.cfg", ".CLASS " + Run(39, 'n') + "42zz 7\n.CLASS " + Run(39, 'm') + "xy 8\n"}},
     {},
     nullptr,
     "",
     0,
     {"0 " + Run(39, 'M') + " 8/" + Run(39, 'M') + "_err.tarvik",
      "42 " + Run(39, 'N') + " 7/" + Run(39, 'N') + "_err.tarvik"},
     0},
    {"NameOfThirtyNineCharacters",
     {{"Tarvik.cfg", ".CLASS " + Run(39, 'n') + " 7\n"}},
     {},
     nullptr,
     "",
     0,
     {"7 " + Run(39, 'N') + " " + Run(39, 'N') + "_err.tarvik"},
     0},
    // Lines are read 511 bytes at a time and every piece counts as a line of its own.
    {"PiecesOfLongLinesAreLinesOfTheirOwn",
     {{"Tarvik.cfg", "#" + Run(510, 'x') + ".CLASS piece 9\n" + ".CLASS abc 5 lib" + Run(600, ' ') +
                         "tail 6\n" + Run(511, ' ') + ".CLASS after 4 dir\n"}},
     {},
     nullptr,
     "",
     0,
     {"4 AFTER dir/AFTER_err.tarvik", "5 ABC lib/ABC_err.tarvik", "9 PIECE PIECE_err.tarvik"},
     0},
};
INSTANTIATE_TEST_SUITE_P(ClassLines, CfgLoad, testing::ValuesIn(kClassLineCases), CaseName);

// The system pass, the user pass, the file name, and what a missing file does.
const LoadCase kPassCases[] = {
    {"UserFileOnTopOfSystemFile",
     {{"sys/Tarvik.cfg", ".CLASS a 1\n.CLASS b 2\n"},
      {"usr/Tarvik.cfg", ".CLASS c 3\n.CLASS d 4 other\n"}},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     "",
     0,
     {"4 D other/D_err.tarvik", "3 C usr/C_err.tarvik", "2 B sys/B_err.tarvik",
      "1 A sys/A_err.tarvik"},
     0},
    {"EmptyUserDirReadsWorkingDirectory",
     {{"sys/Tarvik.cfg", ".CLASS a 1\n"}, {"Tarvik.cfg", ".CLASS b 2\n"}},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", ""}},
     nullptr,
     "",
     0,
     {"2 B B_err.tarvik", "1 A sys/A_err.tarvik"},
     0},
    {"MissingSystemFileWithGoodUserFile",
     {{"usr/Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR_USER", "usr/"}},
     nullptr,
     NotFound("Tarvik.cfg"),
     -1,
     {"1 A usr/A_err.tarvik"},
     0},
    {"MissingSystemFileInSystemDir",
     {},
     {{"TARVIK_CFG_DIR", "sys"}},
     nullptr,
     NotFound("sys/Tarvik.cfg"),
     -1,
     {},
     0},
    {"MissingBothFiles",
     {},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     NotFound("sys/Tarvik.cfg") + NotFound("usr/Tarvik.cfg"),
     -1,
     {},
     0},
    // The system classes are dropped; the code its application line set stays.
    {"MissingUserFileEmptiesTable",
     {{"Tarvik.cfg", ".CLASS a 1\n.APPLICATION x 4\n"}},
     {{"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     NotFound("usr/Tarvik.cfg"),
     -1,
     {},
     4},
    {"EmptyCfgFileMeansDefault",
     {{"Tarvik.cfg", ".CLASS abc 5\n"}},
     {{"TARVIK_CFG_FILE", ""}},
     nullptr,
     "",
     0,
     {"5 ABC ABC_err.tarvik"},
     0},
    {"CfgFileNamesBothFiles",
     {{"sys/other.cfg", ".CLASS a 1\n"},
      {"usr/other.cfg", ".CLASS b 2\n"},
      {"sys/Tarvik.cfg", ".CLASS y 8\n"},
      {"usr/Tarvik.cfg", ".CLASS z 9\n"}},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", "usr"}, {"TARVIK_CFG_FILE", "other.cfg"}},
     nullptr,
     "",
     0,
     {"2 B usr/B_err.tarvik", "1 A sys/A_err.tarvik"},
     0},
    // An absolute file name is appended to the directory as it is: "nodir//x.cfg".
    {"AbsoluteCfgFileIsAppendedUnchanged",
     {{"usr/x.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR", "nodir"}, {"TARVIK_CFG_DIR_USER", "usr"}, {"TARVIK_CFG_FILE", "/x.cfg"}},
     nullptr,
     NotFound("nodir//x.cfg"),
     -1,
     {"1 A usr/A_err.tarvik"},
     0},
};
INSTANTIATE_TEST_SUITE_P(Passes, CfgLoad, testing::ValuesIn(kPassCases), CaseName);

// Directories: at most 255 characters once prepared, the "/" included; catalogue paths:
// at most 255 characters.
const LoadCase kLimitCases[] = {
    // A directory of 254 fills the path with its own 255 characters, file name cut off.
    {"SystemDir254Accepted",
     {},
     {{"TARVIK_CFG_DIR", Run(254)}},
     nullptr,
     NotFound(Run(254) + "/"),
     -1,
     {},
     0},
    {"SystemDir255EndingInSlashAccepted",
     {},
     {{"TARVIK_CFG_DIR", Run(254) + "/"}},
     nullptr,
     NotFound(Run(254) + "/"),
     -1,
     {},
     0},
    // No user pass after this failure: no message about the missing user file.
    {"SystemDir255Fails",
     {{"usr/Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR", Run(255)}, {"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     kSystemDirTooLong,
     -1,
     {},
     0},
    {"SystemDir256CutToSlashAccepted",
     {},
     {{"TARVIK_CFG_DIR", Run(254) + "/x"}},
     nullptr,
     NotFound(Run(254) + "/"),
     -1,
     {},
     0},
    {"SystemDir256Fails",
     {},
     {{"TARVIK_CFG_DIR", Run(256)}},
     nullptr,
     kSystemDirTooLong,
     -1,
     {},
     0},
    {"SystemPathOf255Opened",
     {{Run(244) + "/Tarvik.cfg", ".CLASS a 1 lib\n"}},
     {{"TARVIK_CFG_DIR", Run(244)}},
     nullptr,
     "",
     0,
     {"1 A lib/A_err.tarvik"},
     0},
    {"SystemPathCutTo255",
     {{Run(245) + "/Tarvik.cf", ".CLASS a 1 lib\n"}},
     {{"TARVIK_CFG_DIR", Run(245)}},
     nullptr,
     "",
     0,
     {"1 A lib/A_err.tarvik"},
     0},
    {"UserDir254Accepted",
     {{"Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR_USER", Run(254)}},
     nullptr,
     NotFound(Run(254) + "/"),
     -1,
     {},
     0},
    {"UserDir255EndingInSlashAccepted",
     {{"Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR_USER", Run(254) + "/"}},
     nullptr,
     NotFound(Run(254) + "/"),
     -1,
     {},
     0},
    {"UserDir255FailsAndDropsSystemClasses",
     {{"Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR_USER", Run(255)}},
     nullptr,
     kUserDirTooLong,
     -1,
     {},
     0},
    {"UserDir256CutToSlashAccepted",
     {{"Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR_USER", Run(254) + "/x"}},
     nullptr,
     NotFound(Run(254) + "/"),
     -1,
     {},
     0},
    // A class directory of 254 or more leaves no room for the name and the suffix.
    {"ClassDir254Fails",
     {{"Tarvik.cfg", ".CLASS a 1 " + Run(254) + "\n"}},
     {},
     nullptr,
     kCatalogueDirTooLong,
     -1,
     {},
     0},
    {"ClassDir255Fails",
     {{"Tarvik.cfg", ".CLASS a 1 " + Run(255) + "\n"}},
     {},
     nullptr,
     kCatalogueDirTooLong,
     -1,
     {},
     0},
    {"ClassDir256Fails",
     {{"Tarvik.cfg", ".CLASS a 1 " + Run(254) + "/x\n"}},
     {},
     nullptr,
     kCatalogueDirTooLong,
     -1,
     {},
     0},
    {"CataloguePath255Passes",
     {{"Tarvik.cfg", ".CLASS a 1 " + Run(242) + "\n.CLASS bc 2 " + Run(240) + "/ junk\n"}},
     {},
     nullptr,
     "",
     0,
     {"2 BC " + Run(240) + "/BC_err.tarvik", "1 A " + Run(242) + "/A_err.tarvik"},
     0},
    {"CataloguePath256Fails",
     {{"Tarvik.cfg", ".CLASS a 1 " + Run(243) + "\n"}},
     {},
     nullptr,
     kCatalogueDirTooLong,
     -1,
     {},
     0},
    {"CataloguePathInSystemDir255Passes",
     {{Run(242) + "/Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR", Run(242)}},
     nullptr,
     "",
     0,
     {"1 A " + Run(242) + "/A_err.tarvik"},
     0},
    {"CataloguePathInSystemDir256Fails",
     {{Run(242) + "/Tarvik.cfg", ".CLASS ab 1\n"}},
     {{"TARVIK_CFG_DIR", Run(242)}},
     nullptr,
     kCatalogueDirTooLong,
     -1,
     {},
     0},
    {"CataloguePathInUserDir256FailsAndDropsSystemClasses",
     {{"Tarvik.cfg", ".CLASS a 1\n"}, {Run(242) + "/Tarvik.cfg", ".CLASS ab 2\n"}},
     {{"TARVIK_CFG_DIR_USER", Run(242)}},
     nullptr,
     kCatalogueDirTooLong,
     -1,
     {},
     0},
};
INSTANTIATE_TEST_SUITE_P(Limits, CfgLoad, testing::ValuesIn(kLimitCases), CaseName);

// A number already in the table fails the load; a name already there takes the new
// number and path. The first entry that matches either way decides.
const LoadCase kDuplicateCases[] = {
    // The lines behind the failing one are not read: the code stays 3.
    {"SameNumberInOneFile",
     {{"Tarvik.cfg", ".APPLICATION x 3\n.CLASS a 1\n.CLASS b 1\n.APPLICATION x 4\n.CLASS c 2\n"}},
     {},
     nullptr,
     kDuplicate,
     -1,
     {},
     3},
    {"SameClassTwiceInOneFile",
     {{"Tarvik.cfg", ".CLASS a 1\n.CLASS A 1 lib\n"}},
     {},
     nullptr,
     kDuplicate,
     -1,
     {},
     0},
    {"SameNumberAcrossFiles",
     {{"sys/Tarvik.cfg", ".CLASS a 1\n"}, {"usr/Tarvik.cfg", ".CLASS b 1\n"}},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     kDuplicate,
     -1,
     {},
     0},
    {"SameClassInBothFiles",
     {{"sys/Tarvik.cfg", ".CLASS a 1\n"}, {"usr/Tarvik.cfg", ".CLASS a 1\n"}},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     kDuplicate,
     -1,
     {},
     0},
    {"UserDirEqualsSystemDir",
     {{"cfg/Tarvik.cfg", ".CLASS a 1\n.CLASS b 2\n"}},
     {{"TARVIK_CFG_DIR", "cfg"}, {"TARVIK_CFG_DIR_USER", "cfg/"}},
     nullptr,
     kDuplicate,
     -1,
     {},
     0},
    {"RenumberInSameFileKeepsPlace",
     {{"Tarvik.cfg", ".CLASS a 1\n.CLASS b 2\n.CLASS A 5 lib\n"}},
     {},
     nullptr,
     "",
     0,
     {"2 B B_err.tarvik", "5 A lib/A_err.tarvik"},
     0},
    {"RenumberFromUserFile",
     {{"sys/Tarvik.cfg", ".CLASS a 1\n.CLASS b 2\n"},
      {"usr/Tarvik.cfg", ".CLASS a 7\n.CLASS c 3\n"}},
     {{"TARVIK_CFG_DIR", "sys"}, {"TARVIK_CFG_DIR_USER", "usr"}},
     nullptr,
     "",
     0,
     {"3 C usr/C_err.tarvik", "2 B sys/B_err.tarvik", "7 A usr/A_err.tarvik"},
     0},
    // Table B, A: the line meets B (same name) first and renumbers it onto A's number.
    {"RenumberMeetsNameFirst",
     {{"Tarvik.cfg", ".CLASS A 1\n.CLASS B 2\n.CLASS B 1\n"}},
     {},
     nullptr,
     "",
     0,
     {"1 B B_err.tarvik", "1 A A_err.tarvik"},
     0},
    // Table A, B: the same line meets A (same number) first.
    {"RenumberMeetsNumberFirst",
     {{"Tarvik.cfg", ".CLASS B 2\n.CLASS A 1\n.CLASS B 1\n"}},
     {},
     nullptr,
     kDuplicate,
     -1,
     {},
     0},
};
INSTANTIATE_TEST_SUITE_P(Duplicates, CfgLoad, testing::ValuesIn(kDuplicateCases), CaseName);

// Application lines: a prefix test against the name current at load time, system file
// only, every match sets the code.
const LoadCase kApplicationCases[] = {
    {"PrefixMatch", {{"Tarvik.cfg", ".APPLICATION GESTION 12\n"}}, {}, "GES", "", 0, {}, 12},
    {"KeywordNeedsNoSeparator",
     {{"Tarvik.cfg", ".APPLICATIONGESTION\t13 junk\n"}},
     {},
     "GES",
     "",
     0,
     {},
     13},
    {"WordShorterThanNameDoesNotMatch",
     {{"Tarvik.cfg", ".APPLICATION GES 3\n"}},
     {},
     "GESTION",
     "",
     0,
     {},
     0},
    {"CaseSensitive", {{"Tarvik.cfg", ".APPLICATION GESTION 3\n"}}, {}, "gestion", "", 0, {}, 0},
    {"LastMatchWinsOthersIgnored",
     {{"Tarvik.cfg", ".APPLICATION PAIE 8\n.APPLICATION GESTION 7\n.APPLICATION PAIE \t 9 x\n"
                     ".APPLICATION COMPTA 10\n .APPLICATION PAIE 11\n.application PAIE 12\n"}},
     {},
     "PAIE",
     "",
     0,
     {},
     9},
    {"MatchWithoutCodeSetsZero",
     {{"Tarvik.cfg", ".APPLICATION GES 5\n.APPLICATION GES\r\n"}},
     {},
     "GES",
     "",
     0,
     {},
     0},
    {"EmptyNameMatchesEveryLine",
     {{"Tarvik.cfg", ".APPLICATION A 1\n.APPLICATION B 2\n"}},
     {},
     "",
     "",
     0,
     {},
     2},
    {"UnsetNameMatchesEveryLine",
     {{"Tarvik.cfg", ".APPLICATION A 1\n.APPLICATION B 2\n"}},
     {},
     nullptr,
     "",
     0,
     {},
     2},
    {"UserFileApplicationLinesIgnored",
     {{"Tarvik.cfg", ".APPLICATION X 5\n"}, {"usr/Tarvik.cfg", ".APPLICATION X 6\n.CLASS u 1\n"}},
     {{"TARVIK_CFG_DIR_USER", "usr"}},
     "X",
     "",
     0,
     {"1 U usr/U_err.tarvik"},
     5},
};
INSTANTIATE_TEST_SUITE_P(Application, CfgLoad, testing::ValuesIn(kApplicationCases), CaseName);

// ---------------------------------------------------------------------------------------

TEST(CfgIdentity, AccessorsKeepNameAndCode)
{
    const Outcome run = RunInChild([] {
        const char *buffer = GetTarvikApplicationName();
        std::printf("[%s] %d %s\n", buffer, GetTarvikApplicationCode(),
                    ErrCfgGet() ? "loaded" : "empty");
        SetTarvikApplicationName("0123456789abcdefghijABCDEFGHIJ0123456789abcdefghij");
        std::printf("[%s]\n", GetTarvikApplicationName());
        SetTarvikApplicationName("Gestion");
        std::printf("[%s] %s\n", buffer, buffer == GetTarvikApplicationName() ? "same" : "moved");
        SetTarvikApplicationName(nullptr);
        std::printf("[%s]\n", GetTarvikApplicationName());
        SetTarvikApplicationCode(-5);
        std::printf("%d\n", GetTarvikApplicationCode());
        return 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "[] 0 empty\n"
                       "[0123456789abcdefghijABCDEFGHIJ012345678]\n"
                       "[Gestion] same\n"
                       "[]\n"
                       "-5\n");
}

// Each load starts a new table and leaves the previous one readable; the code changes
// only through a matching line at load time and survives a failed load.
// Loads and prints the result and the code afterwards.
void Reload()
{
    const int result = ErrCfgInit();
    std::printf("load %d code %d\n", result, GetTarvikApplicationCode());
}

TEST(CfgIdentity, EveryLoadStartsAfresh)
{
    TempDir dir;
    WriteTree(dir, {{"one.cfg", ".CLASS a 1\n.APPLICATION A 1\n.APPLICATION B 2\n"},
                    {"two.cfg", ".CLASS b 2\n"}});
    const Outcome run = RunInChild([&] {
        if (!Enter(dir, {{"TARVIK_CFG_FILE", "one.cfg"}}))
            return 100;
        SetTarvikApplicationCode(42);
        SetTarvikApplicationName("C");
        Reload();
        const T_ClassInfo *first = ErrCfgGet();
        SetTarvikApplicationName("B");
        std::printf("renamed code %d\n", GetTarvikApplicationCode());
        Reload();
        setenv("TARVIK_CFG_FILE", "two.cfg", 1);
        Reload();
        PrintTable(ErrCfgGet());
        std::printf("first:\n");
        PrintTable(first);
        setenv("TARVIK_CFG_FILE", "none.cfg", 1);
        Reload();
        std::printf("%s\n", ErrCfgGet() ? "loaded" : "empty");
        return 0;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "load 0 code 42\n"
                       "renamed code 42\n"
                       "load 0 code 2\n"
                       "load 0 code 2\n"
                       "2 B B_err.tarvik\n"
                       "first:\n"
                       "1 A A_err.tarvik\n" +
                           NotFound("none.cfg") +
                           "load -1 code 2\n"
                           "empty\n");
}

// ---------------------------------------------------------------------------------------
// The lock: threads that all start at once create it once and exclude each other.

constexpr int kThreads = 8;
constexpr int kRounds = 5000;

pthread_once_t LockOnce = PTHREAD_ONCE_INIT;
pthread_barrier_t Start;
long Counter = 0;             // guarded by the library lock only
std::atomic<int> Inside{0};   // threads between lock and unlock
std::atomic<int> Overlaps{0}; // times a thread found another one inside

void *Hammer(void *)
{
    pthread_barrier_wait(&Start);
    for (int i = 0; i < kRounds; ++i) {
        pthread_once(&LockOnce, ErrMutexCreate);
        ErrMutexLock();
        if (Inside.fetch_add(1) != 0)
            ++Overlaps;
        const long seen = Counter;
        if (i % 64 == 0)
            sched_yield(); // widen the window a broken lock would leave open
        Counter = seen + 1;
        Inside.fetch_sub(1);
        ErrMutexUnlock();
    }
    return nullptr;
}

TEST(CfgLock, ThreadsRacingOnFirstUseShareOneLock)
{
    for (int child = 0; child < 5; ++child) {
        const Outcome run = RunInChild([] {
            pthread_barrier_init(&Start, nullptr, kThreads);
            pthread_t threads[kThreads];
            for (pthread_t &t : threads)
                if (pthread_create(&t, nullptr, Hammer, nullptr) != 0)
                    return 100;
            for (pthread_t t : threads)
                pthread_join(t, nullptr);
            std::printf("%ld %d\n", Counter, Overlaps.load());
            return 0;
        });
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, std::to_string(kThreads * kRounds) + " 0\n");
    }
}

} // namespace
