// Tests of TarvikCheck, the configuration doctor: the real program runs in a fresh
// directory on hand-written configurations and compiled catalogues, with none of the
// caller's TARVIK_CFG_* variables, and its whole output and exit status are compared.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace
{

using tarvik::test::Outcome;
using tarvik::test::ProgramRun;
using tarvik::test::RunProgram;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

constexpr int kSound = 0;
constexpr int kProblem = 1;
constexpr int kUsage = 2;

const std::string kNoVariables = "TARVIK_CFG_DIR non defini\n"
                                 "TARVIK_CFG_FILE non defini\n"
                                 "TARVIK_CFG_DIR_USER non defini\n";
const std::string kLoaded = "Chargement de la configuration : correct\n";
const std::string kNotLoaded = "Chargement de la configuration : en echec\n";
const std::string kWalk = "Classes, dans l'ordre de parcours :\n";
const std::string kNoClass = "Aucune classe configuree : aucun message ne sera envoye\n";
const std::string kNoClassForCode = "  aucune classe configuree : aucun message ne sera envoye\n";
const std::string kSystemError = "  erreur systeme : le texte est celui de errno\n";
const std::string kCodeAbsent = "  code absent du catalogue : le corps du message sera vide\n";
const std::string kClassAbsent =
    "  classe absente de la configuration : le corps du message sera vide\n";
const std::string kOutOfRange = "    Attention : numero de classe hors de 0 a 32767 : ses codes "
                                "ne peuvent pas etre trouves\n";
const std::string kUsageText =
    "\nUsage : TarvikCheck [code...]\n"
    "        TarvikCheck --source fichier... [--werror] [--lock verrou [--update-lock "
    "[--accept-renumbering]]]\n"
    "        TarvikCheck --help | --version\n"
    "\n        avec code = code d'erreur en decimal, ou en hexadecimal precede de 0x\n";

// Stand for a directory, a FIFO or a socket where a file is expected, and for a file
// that is not there.
const std::string kDirectory = "<directory>";
const std::string kFifo = "<fifo>";
const std::string kSocket = "<socket>";
const std::string kAbsent = "<absent>";

const std::string kCannotOpen =
    std::string("Impossible d'ouvrir le fichier (") + strerror(ENOENT) + ")";
const std::string kCannotRead = std::string("lecture impossible (") + strerror(EISDIR) + ")";
const std::string kRefused = std::string("lecture impossible (") + strerror(ENOTSUP) + ")";

// The head of what TarvikCheck says about a code: its line and its class.
std::string Code(const std::string &arg, const std::string &hex, int errClass)
{
    return "Code " + arg + " ($" + hex + ") :\n  classe " + std::to_string(errClass) + "\n";
}

// Files of the test directory: name and content, kDirectory or kAbsent.
using Files = std::vector<std::pair<std::string, std::string>>;

class CheckTest : public ::testing::Test
{
  protected:
    void Put(const Files &files) const
    {
        for (const auto &[name, content] : files) {
            if (content == kDirectory)
                std::filesystem::create_directories(dir_ / name);
            else if (content == kFifo)
                mkfifo((dir_ / name).c_str(), 0600);
            else if (content == kSocket)
                tarvik::test::MakeSocketFile(dir_ / name);
            else if (content != kAbsent)
                WriteFile(dir_ / name, content);
        }
    }

    // Runs TarvikCheck in the test directory with the variables of env and no others.
    Outcome Check(const std::vector<std::string> &args,
                  const std::vector<std::pair<std::string, std::string>> &env = {}) const
    {
        ProgramRun run;
        run.args = args;
        run.cwd = dir_.path();
        run.unset = {"TARVIK_CFG_DIR", "TARVIK_CFG_FILE", "TARVIK_CFG_DIR_USER"};
        run.env = env;
        return RunProgram(TARVIK_CHECK_PATH, run);
    }

    TempDir dir_;
};

// Both variables shown, the table in walk order (the class read last first), codes in
// decimal and hexadecimal resolved to their entry line and text, and -1 in both forms.
TEST_F(CheckTest, SoundConfigurationShowsTheWalkAndResolvesCodes)
{
    Put({{"orderd.cfg", "# orderd\n.CLASS net 1\n.CLASS store 2\n.APPLICATION orderd 10\n"},
         {"NET_err.tarvik", "!$1\n.10001.Connection refused\n.10002.No answer in time\n"},
         {"STORE_err.tarvik", "!$2\n.20001.Disk full\n"}});
    const Outcome o = Check({"65537", "0x10001", "0X20001", "-1", "0xffffffff"},
                            {{"TARVIK_CFG_DIR", dir_.path()}, {"TARVIK_CFG_FILE", "orderd.cfg"}});

    const std::string net = dir_ / "NET_err.tarvik";
    const std::string store = dir_ / "STORE_err.tarvik";
    const std::string refused = "  entree NET : " + net +
                                "\n  ligne 2 : .10001.Connection refused\n"
                                "  texte : Connection refused\n";
    EXPECT_EQ(o.out, "TARVIK_CFG_DIR = \"" + dir_.path() +
                         "\"\n"
                         "TARVIK_CFG_FILE = \"orderd.cfg\"\n"
                         "TARVIK_CFG_DIR_USER non defini\n" +
                         kLoaded + kWalk + "  classe 2 STORE : " + store + " : 1 erreur\n" +
                         "  classe 1 NET : " + net + " : 2 erreurs\n" + Code("65537", "10001", 1) +
                         refused + Code("0x10001", "10001", 1) + refused +
                         Code("0X20001", "20001", 2) + "  entree STORE : " + store +
                         "\n  ligne 2 : .20001.Disk full\n  texte : Disk full\n" +
                         "Code -1 ($ffffffff) :\n" + kSystemError +
                         "Code 0xffffffff ($ffffffff) :\n" + kSystemError);
    EXPECT_EQ(o.status, kSound);
}

// A configuration that the library loads without a word but that hides reports, or
// one that it cannot load.
struct TrapCase {
    const char *name;
    Files files;
    std::vector<std::string> args;
    std::string out; // after the three variable lines
};

void PrintTo(const TrapCase &c, std::ostream *os)
{
    *os << c.name;
}

class CheckTrapTest : public CheckTest, public ::testing::WithParamInterface<TrapCase>
{
};

TEST_P(CheckTrapTest, IsShownAndFails)
{
    const TrapCase &c = GetParam();
    Put(c.files);
    const Outcome o = Check(c.args);
    EXPECT_EQ(o.out, kNoVariables + c.out);
    EXPECT_EQ(o.status, kProblem);
}

const TrapCase kTraps[] = {
    // The name runs to the end of the text, line feed included, and the number is 0.
    {"ClassLineWithoutNumber",
     {{"Tarvik.cfg", ".CLASS net 1\n.CLASS tmp\n"}, {"NET_err.tarvik", "!$1\n.10001.Refused\n"}},
     {"1", "0x20001"},
     kLoaded + kWalk + "  classe 0 TMP\\n : TMP\\n_err.tarvik : " + kCannotOpen + "\n" +
         "    Attention : le nom de classe contient une fin de ligne (ligne de classe sans "
         "numero ?)\n" +
         "  classe 1 NET : NET_err.tarvik : 1 erreur\n" + Code("1", "1", 0) +
         "  entree TMP\\n : TMP\\n_err.tarvik\n  " + kCannotOpen + "\n" +
         Code("0x20001", "20001", 2) + kClassAbsent},
    // Lines ending in CR LF, the last one without its LF: the name ends in a carriage return.
    {"ClassLineWithoutNumberCr",
     {{"Tarvik.cfg", ".CLASS net 1\r\n.CLASS tmp\r"}, {"NET_err.tarvik", "!$1\n.10001.Refused\n"}},
     {},
     kLoaded + kWalk + "  classe 0 TMP\\r : TMP\\r_err.tarvik : " + kCannotOpen + "\n" +
         "    Attention : le nom de classe contient une fin de ligne (ligne de classe sans "
         "numero ?)\n" +
         "  classe 1 NET : NET_err.tarvik : 1 erreur\n"},
    // B (2) is renumbered to 1 in its place, ahead of A: the walk meets A last, and A wins.
    {"SameNumberThroughRenumbering",
     {{"Tarvik.cfg", ".CLASS a 1\n.CLASS b 2\n.CLASS b 1\n"},
      {"A_err.tarvik", "!$1\n.10001.Text of A\n"},
      {"B_err.tarvik", "!$1\n.10001.Text of B\n"}},
     {"0x10001"},
     kLoaded + kWalk + "  classe 1 B : B_err.tarvik : 1 erreur\n" +
         "    Attention : masquee par la classe A de meme numero, rencontree plus loin\n" +
         "  classe 1 A : A_err.tarvik : 1 erreur\n" + Code("0x10001", "10001", 1) +
         "  entree A : A_err.tarvik\n  ligne 2 : .10001.Text of A\n  texte : Text of A\n"},
    // Two lines with one number: the loader refuses, and even -1 gets no report.
    {"SameNumberOnTwoLines",
     {{"Tarvik.cfg", ".CLASS a 1\n.CLASS b 1\n"}},
     {"-1"},
     "Tarvik - ErrCfgInit() : plusieurs fois le meme numero de classe\n" + kNotLoaded + kNoClass +
         "Code -1 ($ffffffff) :\n" + kNoClassForCode},
    // 0 and 32767 are the bounds. The codes of class 32768 belong to class -32768, and an
    // entry with bit 31 set never matches: the catalogue reads it as 7fffffff.
    {"ClassNumberOutOfRange",
     {{"Tarvik.cfg", ".CLASS zero 0\n.CLASS top 32767\n.CLASS over 32768\n.CLASS neg -1\n"},
      {"ZERO_err.tarvik", "!$0\n.1.Zero\n"},
      {"TOP_err.tarvik", "!$7fff\n.7fff0001.Top\n"},
      {"OVER_err.tarvik", "!$8000\n.80000001.Over\n"},
      {"NEG_err.tarvik", "!$ffffffff\n.ffff0001.Negative\n"}},
     {"1", "0x7fff0001", "4294901761", "0xffff0001", "-2147483648"},
     kLoaded + kWalk + "  classe -1 NEG : NEG_err.tarvik : 1 erreur\n" + kOutOfRange +
         "  classe 32768 OVER : OVER_err.tarvik : 1 erreur\n" + kOutOfRange +
         "  classe 32767 TOP : TOP_err.tarvik : 1 erreur\n" +
         "  classe 0 ZERO : ZERO_err.tarvik : 1 erreur\n" + Code("1", "1", 0) +
         "  entree ZERO : ZERO_err.tarvik\n  ligne 2 : .1.Zero\n  texte : Zero\n" +
         Code("0x7fff0001", "7fff0001", 32767) +
         "  entree TOP : TOP_err.tarvik\n  ligne 2 : .7fff0001.Top\n  texte : Top\n" +
         Code("4294901761", "ffff0001", -1) + "  entree NEG : NEG_err.tarvik\n" +
         "  code absent du catalogue (un code dont le bit 31 est mis n'est jamais trouve) : le "
         "corps du message sera vide\n" +
         Code("0xffff0001", "ffff0001", -1) + "  entree NEG : NEG_err.tarvik\n" +
         "  code absent du catalogue (un code dont le bit 31 est mis n'est jamais trouve) : le "
         "corps du message sera vide\n" +
         Code("-2147483648", "80000000", -32768) + kClassAbsent},
    // ".CLASS" at the very end of the file: an entry with an empty name, whose codes get no
    // text even from a sound catalogue.
    {"EmptyClassName",
     {{"Tarvik.cfg", ".CLASS net 1\n.CLASS"},
      {"NET_err.tarvik", "!$1\n.10001.Refused\n"},
      {"_err.tarvik", "!$0\n.5.Five\n"}},
     {"5"},
     kLoaded + kWalk + "  classe 0  : _err.tarvik : 1 erreur\n" +
         "    Attention : nom de classe vide : aucun code de cette classe n'a de texte\n" +
         "  classe 1 NET : NET_err.tarvik : 1 erreur\n" + Code("5", "5", 0) +
         "  entree de classe sans nom : le corps du message sera vide\n"},
    {"ConfigurationFileMissing",
     {},
     {"-1"},
     "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"Tarvik.cfg\"\n" + kNotLoaded +
         kNoClass + "Code -1 ($ffffffff) :\n" + kNoClassForCode},
    {"ConfigurationFileIsADirectory",
     {{"Tarvik.cfg", kDirectory}},
     {},
     "Tarvik - ErrCfgInit() : Impossible de lire le fichier \"Tarvik.cfg\"\n" + kNotLoaded +
         kNoClass},
    {"NoClassAtAll",
     {{"Tarvik.cfg", "# classes to come\n.APPLICATION orderd 10\n"}},
     {"65537"},
     kLoaded + kNoClass + "Code 65537 ($10001) :\n" + kNoClassForCode},
    // Lines that the library passes over although they look meant, and a comment taken
    // as a class's directory; the class lines that count are still loaded.
    {"LinesThatLookMeant",
     {{"Tarvik.cfg", ".CLASS net 1\n.class http 2\n  .CLASS store 3\n\t.Application orderd 1\n"
                     ".CLASS cfg 4 # configuration\n.CLASSES 5\n.APPLICATION orderd 10\n"},
      {"NET_err.tarvik", "!$1\n.10001.Refused\n"},
      {"ES_err.tarvik", "!$5\n"}},
     {},
     kLoaded +
         "Tarvik.cfg:2: attention : \".class\" n'est pas une ligne de classe : le mot-cle s'ecrit "
         ".CLASS, en majuscules, au debut de la ligne (la ligne est ignoree)\n"
         "Tarvik.cfg:3: attention : \"  .CLASS\" n'est pas une ligne de classe : le mot-cle "
         "s'ecrit .CLASS, en majuscules, au debut de la ligne (la ligne est ignoree)\n"
         "Tarvik.cfg:4: attention : \"\\t.Application\" n'est pas une ligne d'application : le "
         "mot-cle s'ecrit .APPLICATION, en majuscules, au debut de la ligne (la ligne est "
         "ignoree)\n"
         "Tarvik.cfg:5: attention : repertoire \"#\" : un commentaire pris pour le repertoire "
         "des catalogues de la classe\n" +
         kWalk + "  classe 5 ES : ES_err.tarvik : 0 erreur\n" +
         "  classe 4 CFG : #/CFG_err.tarvik : " + kCannotOpen + "\n" +
         "  classe 1 NET : NET_err.tarvik : 1 erreur\n"},
    // Bytes of a class line reach the terminal escaped.
    {"ControlBytesAreEscaped",
     {{"Tarvik.cfg", ".CLASS \x1b[2Jnet\\\x9b 1\n"}},
     {},
     kLoaded + kWalk + "  classe 1 \\x1b[2JNET\\\\\\x9b : \\x1b[2JNET\\\\\\x9b_err.tarvik : " +
         kCannotOpen + "\n"},
};

INSTANTIATE_TEST_SUITE_P(Traps, CheckTrapTest, ::testing::ValuesIn(kTraps),
                         [](const auto &info) { return std::string(info.param.name); });

// A user configuration that cannot be read drops the classes of the system file too.
TEST_F(CheckTest, MissingUserFileDropsEveryClass)
{
    Put({{"Tarvik.cfg", ".CLASS net 1\n"},
         {"NET_err.tarvik", "!$1\n.10001.Refused\n"},
         {"user", kDirectory}});
    const Outcome o = Check({}, {{"TARVIK_CFG_DIR_USER", "user"}});
    EXPECT_EQ(o.out, "TARVIK_CFG_DIR non defini\nTARVIK_CFG_FILE non defini\n"
                     "TARVIK_CFG_DIR_USER = \"user\"\n"
                     "Tarvik - ErrCfgInit() : Impossible de trouver le fichier "
                     "\"user/Tarvik.cfg\"\n" +
                         kNotLoaded + kNoClass);
    EXPECT_EQ(o.status, kProblem);
}

// The user file is looked through as well (its application lines do nothing), and the
// values of the variables are shown escaped.
TEST_F(CheckTest, UserFileAndEscapedVariables)
{
    const std::string file = "app\x1b[1m.cfg";
    Put({{file, ".CLASS net 1\n"},
         {"NET_err.tarvik", "!$1\n.10001.Refused\n"},
         {"user", kDirectory},
         {"user/" + file, ".APPLICATION orderd 11\n .class low 8\n"}});
    const Outcome o = Check({}, {{"TARVIK_CFG_FILE", file}, {"TARVIK_CFG_DIR_USER", "user"}});
    EXPECT_EQ(o.out, "TARVIK_CFG_DIR non defini\n"
                     "TARVIK_CFG_FILE = \"app\\x1b[1m.cfg\"\n"
                     "TARVIK_CFG_DIR_USER = \"user\"\n" +
                         kLoaded +
                         "user/app\\x1b[1m.cfg:1: attention : ligne d'application dans le fichier "
                         "utilisateur : la bibliotheque ne les lit que dans le fichier systeme\n"
                         "user/app\\x1b[1m.cfg:2: attention : \" .class\" n'est pas une ligne de "
                         "classe : le mot-cle s'ecrit .CLASS, en majuscules, au debut de la ligne "
                         "(la ligne est ignoree)\n" +
                         kWalk + "  classe 1 NET : NET_err.tarvik : 1 erreur\n");
    EXPECT_EQ(o.status, kProblem);
}

// A configuration file that is a FIFO or a socket is not read, and not waited on: the
// library's loader says that it cannot be read.
TEST_F(CheckTest, SpecialConfigurationFileIsNotRead)
{
    for (const auto &[kind, sub] : {std::pair{kFifo, "fifo"}, std::pair{kSocket, "socket"}}) {
        const std::string cfg = std::string(sub) + "/Tarvik.cfg";
        Put({{sub, kDirectory}, {cfg, kind}});
        const Outcome o = Check({}, {{"TARVIK_CFG_DIR", sub}});
        EXPECT_EQ(o.out, "TARVIK_CFG_DIR = \"" + std::string(sub) +
                             "\"\nTARVIK_CFG_FILE non defini\nTARVIK_CFG_DIR_USER non defini\n"
                             "Tarvik - ErrCfgInit() : Impossible de lire le fichier \"" +
                             cfg + "\"\n" + kNotLoaded + kNoClass)
            << kind;
        EXPECT_EQ(o.status, kProblem) << kind;
    }
}

// The catalogue of class NET (1) in one state, and a code of the class followed into it.
struct CatalogueCase {
    const char *name;
    std::string catalogue; // content of NET_err.tarvik, kDirectory or kAbsent
    const char *code;      // in hexadecimal, 0x included
    std::string state;     // as the class table shows it
    std::string end;       // what follows the code's class entry
    int status;
};

void PrintTo(const CatalogueCase &c, std::ostream *os)
{
    *os << c.name;
}

class CheckCatalogueTest : public CheckTest, public ::testing::WithParamInterface<CatalogueCase>
{
};

TEST_P(CheckCatalogueTest, StateAndWhereTheCodeEnds)
{
    const CatalogueCase &c = GetParam();
    Put({{"Tarvik.cfg", ".CLASS net 1\n"}, {"NET_err.tarvik", c.catalogue}});
    const Outcome o = Check({c.code});
    const std::string code = c.code;
    EXPECT_EQ(o.out, kNoVariables + kLoaded + kWalk +
                         "  classe 1 NET : NET_err.tarvik : " + c.state + "\n" +
                         Code(code, code.substr(2), 1) + "  entree NET : NET_err.tarvik\n" + c.end);
    EXPECT_EQ(o.status, c.status);
}

const std::string kUtf8Shown = "\xe0\xa0\x80 \\xe0\\x9f\\xbf \xed\x9f\xbf \\xed\\xa0\\x80 "
                               "\xf0\x90\x80\x80 \\xf0\\x8f\\xbf\\xbf \xf4\x8f\xbf\xbf "
                               "\\xf4\\x90\\x80\\x80 \\xe2\\x82. \\xf5";

const CatalogueCase kCatalogues[] = {
    {"TwoEntries", "!$1\n.10001.Refused\n.10002.Timeout\n", "0x10002", "2 erreurs",
     "  ligne 3 : .10002.Timeout\n  texte : Timeout\n", kSound},
    {"FirstOfTwoSameEntriesWins", "!$1\n.10001.First\n.10001.Second\n", "0x10001", "2 erreurs",
     "  ligne 2 : .10001.First\n  texte : First\n", kSound},
    {"EntryWithoutText", "!$1\n.10001.\n", "0x10001", "1 erreur",
     "  ligne 2 : .10001.\n  texte : \n", kSound},
    // Only the header's own length is compared: "!$1f" heads a catalogue of class 1 too.
    {"HeaderComparedOverItsLength", "!$1f\n.10001.Refused\n", "0x10001", "1 erreur",
     "  ligne 2 : .10001.Refused\n  texte : Refused\n", kSound},
    // A line of 600 bytes comes in two pieces but is one line.
    {"LongLineCountedOnce", "!$1\n# " + std::string(600, 'x') + "\n.10001.Refused\n", "0x10001",
     "1 erreur", "  ligne 3 : .10001.Refused\n  texte : Refused\n", kSound},
    {"CodeAbsent", "!$1\n.10001.Refused\n", "0x10009", "1 erreur", kCodeAbsent, kProblem},
    {"HeaderOnly", "!$1\n", "0x10001", "0 erreur", kCodeAbsent, kProblem},
    {"Empty", "", "0x10001", "fichier vide", "  fichier vide\n", kProblem},
    {"WronglyHeaded", "!$2\n.10001.Refused\n", "0x10001",
     "format incorrect : la premiere ligne doit commencer par !$1",
     "  format incorrect : la premiere ligne doit commencer par !$1\n", kProblem},
    {"Missing", kAbsent, "0x10001", kCannotOpen, "  " + kCannotOpen + "\n", kProblem},
    {"Directory", kDirectory, "0x10001", kCannotRead, "  " + kCannotRead + "\n", kProblem},
    {"ControlBytesOfATextAreEscaped", "!$1\n.10001.Red \x1b[31mtext\\\x7f\xc2\x9b\xc3\xa9\n",
     "0x10001", "1 erreur",
     "  ligne 2 : .10001.Red \\x1b[31mtext\\\\\\x7f\\xc2\\x9b\xc3\xa9\n"
     "  texte : Red \\x1b[31mtext\\\\\\x7f\\xc2\\x9b\xc3\xa9\n",
     kSound},
    // UTF-8 passes as it is; overlong forms, surrogates, code points beyond U+10FFFF and
    // cut sequences show byte by byte.
    {"Utf8FormsOfATextAreChecked",
     "!$1\n.10001.\xe0\xa0\x80 \xe0\x9f\xbf \xed\x9f\xbf \xed\xa0\x80 \xf0\x90\x80\x80 "
     "\xf0\x8f\xbf\xbf \xf4\x8f\xbf\xbf \xf4\x90\x80\x80 \xe2\x82. \xf5\n",
     "0x10001", "1 erreur",
     "  ligne 2 : .10001." + kUtf8Shown + "\n  texte : " + kUtf8Shown + "\n", kSound},
    // Never read, and never waited on.
    {"Fifo", kFifo, "0x10001", kRefused, "  " + kRefused + "\n", kProblem},
    {"Socket", kSocket, "0x10001", kRefused, "  " + kRefused + "\n", kProblem},
};

INSTANTIATE_TEST_SUITE_P(Catalogues, CheckCatalogueTest, ::testing::ValuesIn(kCatalogues),
                         [](const auto &info) { return std::string(info.param.name); });

// A code that is not a 32-bit value in decimal or 0x hexadecimal: the usage text and
// nothing else, even after a good code and with a configuration at hand.
TEST_F(CheckTest, BadCodeGivesTheUsage)
{
    Put({{"Tarvik.cfg", ".CLASS net 1\n"}});
    const std::vector<std::vector<std::string>> bad = {
        {"net"},
        {"0x"},
        {"12x"},
        {"0x1g"},
        {""},
        {"4294967296"},
        {"-2147483649"},
        {"0x100000000"},
        {"0x-1"},
        {"0x0x5"},
        {"0X0x5"},
        {" 5"},
        {"65537", "1e3"},
        // the source mode's options, and its usage errors
        {"--werror", "1"},
        {"--lock", "a.lock"},
        {"--source"},
        {"--source", "--werror"},
        {"--source", "a.err", "--lock"},
        {"--source", "a.err", "--update-lock"},
        {"--source", "a.err", "--lock", "a.lock", "--accept-renumbering"},
        {"--source", "a.err", "--lock", "a", "--lock", "b"},
        {"--source", "a.err", "--bogus"}};
    for (const std::vector<std::string> &args : bad) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome o = Check(args);
        EXPECT_EQ(o.out, kUsageText);
        EXPECT_EQ(o.status, kUsage);
    }
}

// --help and --version anywhere among the options, and nothing checked; with standard
// output on a full disk, the lost text makes the run fail.
TEST_F(CheckTest, ProgramFlags)
{
    const std::string help =
        kUsageText +
        "\n"
        "Sans --source : la configuration telle que la bibliotheque la lit, l'etat de\n"
        "chaque catalogue et, pour chaque code, l'endroit ou sa recherche s'arrete.\n"
        "\n"
        "  --source fichier...   verifie les sources de catalogue, sans rien ecrire\n"
        "  --werror              compte les avertissements comme des erreurs\n"
        "  --lock verrou         compare les codes des sources au fichier verrou\n"
        "  --update-lock         ecrit dans le verrou les classes et erreurs ajoutees\n"
        "  --accept-renumbering  y enregistre aussi les codes changes ou disparus\n"
        "  --help                affiche ce texte\n"
        "  --version             affiche la version\n"
        "\n"
        "Etat de sortie : 0 si tout est correct, 1 si un probleme est trouve, 2 si les\n"
        "arguments sont incorrects.\n";
    const std::string version = "TarvikCheck (Tarvik) " TARVIK_VERSION "\n";
    const struct {
        std::vector<std::string> args;
        const std::string &out;
    } cases[] = {
        {{"--help"}, help},
        {{"--source", "missing.err", "--help"}, help},
        {{"--version"}, version},
        {{"1", "--version"}, version},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Outcome o = Check(c.args);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.status, kSound);

        ProgramRun full;
        full.args = c.args;
        full.output = "/dev/full";
        EXPECT_EQ(RunProgram(TARVIK_CHECK_PATH, full).status, kProblem);
    }
}

} // namespace
