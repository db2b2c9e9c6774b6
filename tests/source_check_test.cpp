// Tests of TarvikCheck --source and of the code lock: the real program runs in a fresh
// directory on hand-written catalogue sources and lock files, and its whole output, its
// exit status and the lock it leaves are compared.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using tarvik::test::FileExists;
using tarvik::test::Outcome;
using tarvik::test::ProgramRun;
using tarvik::test::ReadFile;
using tarvik::test::RunInChild;
using tarvik::test::RunProgram;
using tarvik::test::TempDir;
using tarvik::test::WriteFile;

using Files = std::vector<std::pair<std::string, std::string>>; // name, content

// Runs TarvikCheck in dir with args.
Outcome RunCheck(const TempDir &dir, const std::vector<std::string> &args)
{
    ProgramRun run;
    run.args = args;
    run.cwd = dir.path();
    return RunProgram(TARVIK_CHECK_PATH, run);
}

// Writes files into dir and checks them, in that order, with the extra arguments.
Outcome CheckFiles(const TempDir &dir, const Files &files,
                   const std::vector<std::string> &extra = {})
{
    std::vector<std::string> args = {"--source"};
    for (const auto &[name, content] : files) {
        WriteFile(dir / name, content);
        args.push_back(name);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return RunCheck(dir, args);
}

// A class that is right, ahead of each fault, so that line numbers show.
const std::string kDb = ".CLASS db 4\nConnLost \"Connection lost\"\n";

std::string ManyErrors(int n)
{
    std::string errors;
    for (int i = 1; i <= n; ++i)
        errors += "E" + std::to_string(i) + "\n";
    return errors;
}

struct FaultCase {
    const char *name;
    Files files;
    std::string out;
    int status;
    std::vector<std::string> extra = {};
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

class SourceFaultTest : public ::testing::TestWithParam<FaultCase>
{
};

// Each fault alone: its exact diagnostic lines and the exit status.
TEST_P(SourceFaultTest, IsReported)
{
    const FaultCase &c = GetParam();
    TempDir dir;
    const Outcome o = CheckFiles(dir, c.files, c.extra);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.status, c.status);
}

const std::string kNotAClassLine =
    " n'est pas une ligne de classe : le mot-cle s'ecrit .CLASS, en majuscules, au debut de la "
    "ligne ; les erreurs qui suivent rejoindraient la classe precedente\n";
const std::string kOutOfRange =
    " hors de 0 a 32767 : la bibliotheque ne trouverait aucun texte de la classe\n";

const FaultCase kFaults[] = {
    {"LowerCaseClassLine",
     {{"app.err", kDb + ".class http 41\nNotFound \"Not found\"\n"}},
     "app.err:3: erreur : \".class\"" + kNotAClassLine,
     1},
    {"IndentedClassLine",
     {{"app.err", kDb + " \t.CLASS http 41\nNotFound \"Not found\"\n"}},
     "app.err:3: erreur : \" \\t.CLASS\"" + kNotAClassLine,
     1},
    {"ClassLineWithoutNumber",
     {{"app.err", kDb + ".CLASS http\nNotFound \"Not found\"\n"}},
     "app.err:3: erreur : il manque le numero de classe\n",
     1},
    {"ClassLineWithoutName",
     {{"app.err", kDb + ".CLASS  \nNotFound \"Not found\"\n"}},
     "app.err:3: erreur : il manque le nom de classe\n",
     1},
    {"SingleQuotes",
     {{"app.err", kDb + "Timeout 'No answer'\n"}},
     "app.err:3: erreur : texte entre ' et non entre guillemets droits \" : le texte serait vide\n",
     1},
    {"TypographicQuotes",
     {{"app.err", kDb + "Timeout \xe2\x80\x9cNo answer\xe2\x80\x9d\n"}},
     "app.err:3: erreur : texte entre \xe2\x80\x9c et non entre guillemets droits \" : le texte "
     "serait vide\n",
     1},
    {"FrenchQuotes",
     {{"app.err", kDb + "Timeout \xc2\xab No answer \xc2\xbb\n"}},
     "app.err:3: erreur : texte entre \xc2\xab et non entre guillemets droits \" : le texte "
     "serait vide\n",
     1},
    {"ColonAfterTheName",
     {{"app.err", kDb + "Timeout: \"No answer\"\n"}},
     "app.err:3: erreur : \":\" entre le nom et le texte : le texte serait vide\n",
     1},
    {"EqualsSignAfterBlanks",
     {{"app.err", kDb + "Timeout = \"No answer\"\n"}},
     "app.err:3: erreur : \"=\" entre le nom et le texte : le texte serait vide\n",
     1},
    {"TextWithoutQuotes",
     {{"app.err", kDb + "Timeout No answer\n"}},
     "app.err:3: erreur : texte sans guillemets apres le nom : le texte serait vide\n",
     1},
    {"NameCutShort",
     {{"app.err", kDb + "Conn-Refused \"Refused\"\n"}},
     "app.err:3: erreur : nom d'erreur coupe par \"-\" : TarvikCompile declarerait R_DB_Conn, "
     "sans texte\n",
     1},
    {"NameCutByAnAccent",
     {{"app.err", kDb + "Refus\xc3\xa9 \"Refused\"\n"}},
     "app.err:3: erreur : nom d'erreur coupe par \"\xc3\xa9\" : TarvikCompile declarerait "
     "R_DB_Refus, sans texte\n",
     1},
    {"NumberWithALetter",
     {{"app.err", ".CLASS db 4O\nConnLost\n"}},
     "app.err:1: erreur : numero de classe \"4O\" mal forme : la classe aurait le numero 4\n",
     1},
    {"NumberTooLarge",
     {{"app.err", ".CLASS db 40000\nConnLost\n"}},
     "app.err:1: erreur : numero de classe 40000" + kOutOfRange,
     1},
    {"NumberNegative",
     {{"app.err", ".CLASS db -5\nConnLost\n"}},
     "app.err:1: erreur : numero de classe -5" + kOutOfRange,
     1},
    {"NumberBeyond16Bits",
     {{"app.err", ".CLASS db 70000\nConnLost\n"}},
     "app.err:1: erreur : numero de classe 70000" + kOutOfRange,
     1},
    {"SameClassNameTwice",
     {{"app.err", kDb + ".CLASS DB 5\nTimeout\n"}},
     "app.err:3: erreur : classe DB declaree deux fois : la seconde section remplacerait les "
     "fichiers de la premiere\n"
     "app.err:1: remarque : premiere definition de la classe DB\n",
     1},
    {"SameClassNumberTwice",
     {{"app.err", kDb + ".CLASS http 4\nNotFound\n"}},
     "app.err:3: erreur : numero de classe 4 deja pris par la classe DB\n"
     "app.err:1: remarque : premiere definition du numero de classe 4\n",
     1},
    {"SameClassInTwoSources",
     {{"db.err", kDb}, {"web.err", "# web\n.CLASS http 4\nNotFound\n"}},
     "web.err:2: erreur : numero de classe 4 deja pris par la classe DB\n"
     "db.err:1: remarque : premiere definition du numero de classe 4\n",
     1},
    {"SameErrorTwice",
     {{"app.err", kDb + "Timeout\nConnLost \"Lost\"\n"}},
     "app.err:4: erreur : erreur ConnLost declaree deux fois dans la classe DB\n"
     "app.err:2: remarque : premiere definition de l'erreur ConnLost\n",
     1},
    {"MacroNamesCollide",
     {{"app.err", ".CLASS a 1\nB_C\n.CLASS a_b 2\nC\n"}},
     "app.err:4: erreur : macro R_A_B_C deja definie par l'erreur B_C de la classe A\n"
     "app.err:2: remarque : premiere definition de la macro R_A_B_C\n",
     1},
    {"ClassNameWithASlash",
     {{"app.err", ".CLASS net/db 4\nConnLost\n"}},
     "app.err:1: erreur : nom de classe \"NET/DB\" avec \"/\" : ses fichiers seraient ecrits dans "
     "un autre repertoire et son en-tete ne compilerait pas\n",
     1},
    {"ClassNameTooLong",
     {{"app.err", ".CLASS " + std::string(40, 'n') + " 4\nConnLost\n"}},
     "app.err:1: erreur : nom de classe trop long (39 caracteres au plus)\n",
     1},
    {"ErrorNameTooLong",
     {{"app.err", kDb + std::string(40, 'E') + "\n"}},
     "app.err:3: erreur : nom d'erreur trop long (39 caracteres au plus)\n",
     1},
    {"ErrorBeforeAnyClass",
     {{"app.err", "# errors\nConnLost \"Lost\"\nTimeout\n" + kDb}},
     "app.err:2: erreur : erreur declaree avant toute classe : TarvikCompile s'arreterait ici\n",
     1},
    {"LineSplitAt511Bytes",
     {{"app.err",
       kDb + "Timeout \"" + std::string(100, 't') + "\"" + std::string(401, ' ') + "\n"}},
     "app.err:3: erreur : ligne de 512 octets : elle serait lue en morceaux de 511 octets, chacun "
     "pris pour une ligne\n",
     1},
    {"TextOver255Bytes",
     {{"app.err", kDb + "Timeout \"" + std::string(256, 't') + "\"\n"}},
     "app.err:3: erreur : texte de 256 octets : il serait coupe a 255\n",
     1},
    {"MoreThan65535Errors",
     {{"app.err", ".CLASS big 9\n" + ManyErrors(65536) + ".CLASS next 10\nN\n"}},
     "app.err:65537: erreur : plus de 65535 erreurs dans la classe BIG : TarvikCompile "
     "s'arreterait ici\n",
     1},
    {"SourceNamedAsAnOutput",
     {{"DB_err.tarvik", kDb}},
     "DB_err.tarvik:1: erreur : le fichier source porte le nom DB_err.tarvik, que TarvikCompile "
     "ecrirait pour la classe DB : il serait ecrase\n",
     1},
    {"SourceMissing",
     {},
     std::string("missing.err: erreur : impossible d'ouvrir le fichier (") + strerror(ENOENT) +
         ")\n",
     1,
     {"missing.err"}},
    {"SourceUnreadable",
     {},
     std::string(".: erreur : lecture impossible (") + strerror(EISDIR) + ")\n",
     1,
     {"."}},
    // After "--", every argument is a file, even one that reads as an option.
    {"OptionAfterDoubleDash",
     {{"app.err", kDb}},
     std::string("--werror: erreur : impossible d'ouvrir le fichier (") + strerror(ENOENT) +
         ")\n",
     1,
     {"--", "--werror"}},
    // Warnings alone pass, unless --werror makes them count.
    {"ClassWithoutErrors",
     {{"app.err", kDb + ".CLASS later 5\n# to come\n"}},
     "app.err:3: attention : classe LATER sans erreur\n",
     0},
    {"ClassWithoutErrorsUnderWerror",
     {{"app.err", kDb + ".CLASS later 5\n# to come\n"}},
     "app.err:3: attention : classe LATER sans erreur\n",
     1,
     {"--werror"}},
    {"ClassNameNotAnIdentifier",
     {{"app.err", ".CLASS my.db 4\nConnLost\n"}},
     "app.err:1: attention : nom de classe \"MY.DB\" : des caracteres autres que lettres, chiffres "
     "et _ : ses macros ne seraient pas des identificateurs\n",
     0},
    // What the source holds reaches the terminal escaped.
    {"ControlBytesEscaped",
     {{"app.err", ".CLASS \x1b[2Jdb 4\nConnLost\n"}},
     "app.err:1: attention : nom de classe \"\\x1b[2JDB\" : des caracteres autres que lettres, "
     "chiffres et _ : ses macros ne seraient pas des identificateurs\n",
     0},
};

INSTANTIATE_TEST_SUITE_P(Faults, SourceFaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// What the compiler takes as meant gives no output at all.
TEST(SourceCheckTest, CleanSourcesSayNothing)
{
    const std::string fullLine = "Longest \"" + std::string(255, 'x') + "\"";
    TempDir dir;
    const Outcome o =
        CheckFiles(dir, {{"net.err", "# Errors of the network layer\n"
                                     "* another comment\n"
                                     "\n"
                                     ".CLASS net 0 # the first class\n"
                                     "ConnRefused     \"Connection refused: it's down.\"\n"
                                     "Timeout\t\"a \\\\ backslash, dots... and 'quotes'\"\n"
                                     "NoText\n"
                                     "NoTextAgain   # a comment after the name\n"
                                     "9_lives \"a name may begin with a digit\"\n" +
                                         std::string(39, 'L') + " \"the longest name\"\n" +
                                         fullLine + std::string(510 - fullLine.size(), ' ') + "\n"},
                         {"store.err", ".CLASS store 32767\r\n"
                                       "DiskFull \"Disk full\"\r\n"
                                       "ConnRefused\r\n"
                                       "Last \"without a newline\""}});
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.status, 0);
}

// The lock file's text for the classes given as (class line, error lines) pairs.
const std::string kLockHead =
    "# Verrou des codes Tarvik : le numero de chaque classe et le code de chaque erreur\n"
    "# publies par les sources de catalogue. TarvikCheck --source ... --lock compare les\n"
    "# sources a ce fichier ; --update-lock y ajoute les nouvelles classes et erreurs.\n";

// One step of the lock's life: the source as it is now, the command, what it says, and
// the lock it leaves (kUnchanged: the lock before the step).
struct LockStep {
    const char *what;
    std::string source;
    std::vector<std::string> args; // after --source app.err --lock app.lock
    std::string out;
    int status;
    std::string lockAfter;
    std::string lockBefore = ""; // written before the step when not empty
};

const std::string kUnchanged = "<unchanged>";
const std::string kAbsent = "<absent>";

TEST(CodeLockTest, Cycle)
{
    const std::string v1 =
        ".CLASS net 1\nRefused \"Refused\"\nTimeout \"No answer\"\n.CLASS store 2\nFull\n";
    const std::string lock1 = kLockHead +
                              "class NET 1\nerror NET Refused 0x10001\nerror NET Timeout 0x10002\n"
                              "class STORE 2\nerror STORE Full 0x20001\n";
    // BadReply added at the end of NET, and a new class before the others.
    const std::string v2 = ".CLASS top 0\nFirst\n" + v1.substr(0, v1.find(".CLASS store")) +
                           "BadReply\n.CLASS store 2\nFull\n";
    const std::string lock2 = kLockHead +
                              "class TOP 0\nerror TOP First 0x1\n"
                              "class NET 1\nerror NET Refused 0x10001\nerror NET Timeout 0x10002\n"
                              "error NET BadReply 0x10003\n"
                              "class STORE 2\nerror STORE Full 0x20001\n";
    const std::string net = ".CLASS top 0\nFirst\n.CLASS net 1\n";
    const std::string store = ".CLASS store 2\nFull\n";
    const std::string inserted = net + "Refused\nRetry\nTimeout\nBadReply\n" + store;
    const std::string insertedOut =
        "app.err:5: erreur : erreur NET Retry ajoutee au milieu de la classe : elle prend le "
        "code 0x10002 de Timeout ; ajoutez-la a la fin de la classe\n"
        "app.err:6: erreur : code de NET Timeout change : 0x10002 dans le verrou, 0x10003 dans "
        "les sources\n"
        "app.err:7: erreur : code de NET BadReply change : 0x10003 dans le verrou, 0x10004 dans "
        "les sources\n";
    const std::string renumbered = net + "Refused\nTimeout\nBadReply\n.CLASS store 3\nFull\n";
    const std::string renumberedOut = "app.err:7: %s : classe STORE renumerotee : 2 dans le "
                                      "verrou, 3 dans les sources ; tous ses codes changent\n";
    const auto with = [](std::string text, const char *severity) {
        return text.replace(text.find("%s"), 2, severity);
    };

    const LockStep steps[] = {
        {"no lock yet",
         v1,
         {},
         "app.lock: erreur : verrou introuvable : creez-le avec --update-lock\n",
         1,
         kAbsent},
        {"the lock is created",
         v1,
         {"--update-lock"},
         "app.lock: verrou mis a jour (ajouts : 5, changements acceptes : 0)\n",
         0,
         lock1},
        {"the sources agree", v1, {}, "", 0, kUnchanged},
        {"nothing to record", v1, {"--update-lock"}, "", 0, kUnchanged},
        {"additions at the end pass", v2, {}, "", 0, kUnchanged},
        {"and are recorded",
         v2,
         {"--update-lock"},
         "app.lock: verrou mis a jour (ajouts : 3, changements acceptes : 0)\n",
         0,
         lock2},
        {"an insertion in the middle", inserted, {}, insertedOut, 1, kUnchanged},
        {"is not recorded",
         inserted,
         {"--update-lock"},
         insertedOut + "app.lock: erreur : verrou non mis a jour : des codes changeraient "
                       "(--accept-renumbering pour les enregistrer)\n",
         1,
         kUnchanged},
        {"a rename",
         net + "Refused\nNoAnswer\nBadReply\n" + store,
         {},
         "app.lock:8: erreur : erreur NET Timeout absente des sources (code 0x10002 dans le "
         "verrou)\n"
         "app.err:5: remarque : le code 0x10002 est maintenant celui de NoAnswer\n",
         1,
         kUnchanged},
        {"a removal",
         net + "Refused\nBadReply\n" + store,
         {},
         "app.err:5: erreur : code de NET BadReply change : 0x10003 dans le verrou, 0x10002 dans "
         "les sources\n"
         "app.lock:8: erreur : erreur NET Timeout absente des sources (code 0x10002 dans le "
         "verrou)\n"
         "app.err:5: remarque : le code 0x10002 est maintenant celui de BadReply\n",
         1,
         kUnchanged},
        {"a removal in a renumbered class",
         ".CLASS top 0\nFirst\n.CLASS net 5\nRefused\nBadReply\n" + store,
         {},
         "app.err:3: erreur : classe NET renumerotee : 1 dans le verrou, 5 dans les sources ; "
         "tous ses codes changent\n"
         "app.err:5: erreur : code de NET BadReply change : 0x10003 dans le verrou, 0x50002 dans "
         "les sources\n"
         "app.lock:8: erreur : erreur NET Timeout absente des sources (code 0x10002 dans le "
         "verrou)\n",
         1,
         kUnchanged},
        {"a class removed",
         net + "Refused\nTimeout\nBadReply\n",
         {},
         "app.lock:10: erreur : classe STORE absente des sources (numero 2 dans le verrou)\n",
         1,
         kUnchanged},
        // Reported in the lock's order of lines, not by name.
        {"two classes removed",
         store,
         {},
         "app.lock:4: erreur : classe TOP absente des sources (numero 0 dans le verrou)\n"
         "app.lock:6: erreur : classe NET absente des sources (numero 1 dans le verrou)\n",
         1,
         kUnchanged},
        {"a class renumbered", renumbered, {}, with(renumberedOut, "erreur"), 1, kUnchanged},
        {"recorded when accepted",
         renumbered,
         {"--update-lock", "--accept-renumbering"},
         with(renumberedOut, "attention") +
             "app.lock: verrou mis a jour (ajouts : 0, changements acceptes : 1)\n",
         0,
         kLockHead + "class TOP 0\nerror TOP First 0x1\n"
                     "class NET 1\nerror NET Refused 0x10001\nerror NET Timeout 0x10002\n"
                     "error NET BadReply 0x10003\n"
                     "class STORE 3\nerror STORE Full 0x30001\n"},
        {"nothing is written when warnings count",
         renumbered + ".CLASS empty 9\n",
         {"--update-lock", "--werror"},
         "app.err:9: attention : classe EMPTY sans erreur\n",
         1,
         kUnchanged},
        {"a source with errors is not compared",
         ".CLASS store 2\nFull: \"x\"\n",
         {"--update-lock"},
         "app.err:2: erreur : \":\" entre le nom et le texte : le texte serait vide\n",
         1,
         kUnchanged},
        {"a lock that cannot be read",
         v1,
         {"--update-lock"},
         "app.lock:3: erreur : erreur NET Refused deja dans le verrou\n"
         "app.lock:2: remarque : premiere definition de l'erreur Refused\n"
         "app.lock:4: erreur : ligne illisible : error NET Timeout 10002 (attendu : class CLASSE "
         "NUMERO, ou error CLASSE ERREUR 0xCODE)\n"
         "app.lock:5: erreur : erreur Full d'une classe STORE qu'aucune ligne class ne precede\n"
         "app.lock:8: erreur : classe STORE deja dans le verrou\n"
         "app.lock:7: remarque : premiere definition de la classe STORE\n"
         "app.lock:9: erreur : ligne illisible : class HUGE 12345678901 (attendu : class CLASSE "
         "NUMERO, ou error CLASSE ERREUR 0xCODE)\n",
         1,
         kUnchanged,
         "class NET 1\r\nerror NET Refused 0x10001\nerror NET Refused 0x10002\nerror NET Timeout "
         "10002\n"
         "error STORE Full 0x20001\n  # a comment\nclass STORE 2\nclass STORE 3\n"
         "class HUGE 12345678901\n"},
    };
    TempDir dir;
    const std::string lock = dir / "app.lock";
    for (const LockStep &step : steps) {
        SCOPED_TRACE(step.what);
        if (!step.lockBefore.empty())
            WriteFile(lock, step.lockBefore);
        const std::string before = FileExists(lock) ? ReadFile(lock) : kAbsent;
        std::vector<std::string> args = {"--lock", "app.lock"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        const Outcome o = CheckFiles(dir, {{"app.err", step.source}}, args);
        EXPECT_EQ(o.out, step.out);
        EXPECT_EQ(o.status, step.status);
        const std::string after = FileExists(lock) ? ReadFile(lock) : kAbsent;
        EXPECT_EQ(after, step.lockAfter == kUnchanged ? before : step.lockAfter);
    }
}

// A lock whose new text cannot be stored (the file size limit stands for a full disk:
// the refusal comes when the buffered text is written out) stays as it was, or absent,
// and the diagnostic names that refusal.
TEST(CodeLockTest, WriteFailureKeepsTheLock)
{
    const std::string old = kLockHead + "class NET 1\nerror NET Refused 0x10001\n";
    for (const std::string &before : {old, kAbsent}) {
        SCOPED_TRACE(before == kAbsent ? "no lock yet" : "a lock to update");
        TempDir dir;
        const std::string source = dir / "app.err", lock = dir / "app.lock";
        WriteFile(source, ".CLASS net 1\nRefused\nTimeout\n");
        if (before != kAbsent)
            WriteFile(lock, before);
        const Outcome o = RunInChild([&] {
            const struct rlimit none = {0, 0};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &none);
            const char *argv[] = {TARVIK_CHECK_PATH, "--source",      source.c_str(), "--lock",
                                  lock.c_str(),      "--update-lock", nullptr};
            execv(TARVIK_CHECK_PATH, const_cast<char **>(argv));
            return 127;
        });
        EXPECT_EQ(o.out, lock + ": erreur : impossible d'ecrire le verrou (" +
                             std::strerror(EFBIG) + ")\n");
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(FileExists(lock) ? ReadFile(lock) : kAbsent, before);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                                std::filesystem::directory_iterator()),
                  before == kAbsent ? 1 : 2)
            << "no temporary file is left";
    }
}

// A lock that cannot be opened, read or written is an error of its own, and nothing is
// written. A lock whose name leaves no room for a temporary name beside it is written in
// place.
TEST(CodeLockTest, LockFileFaults)
{
    const std::string source = ".CLASS net 1\nRefused\n";
    const std::string longName = std::string(250, 'l') + ".lock";
    const auto cannot = [](const std::string &lock, const char *what, int err) {
        return lock + ": erreur : " + what + " (" + strerror(err) + ")\n";
    };
    const struct {
        const char *what;
        std::string lock;
        const char *kind; // what stands in the way: "file", "directory" or nothing
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {"under a regular file", "file/app.lock", "file", {},
         cannot("file/app.lock", "impossible d'ouvrir le verrou", ENOTDIR), 1},
        {"a directory", "app.lock", "directory", {},
         cannot("app.lock", "lecture du verrou impossible", EISDIR), 1},
        {"in a directory that does not exist", "none/app.lock", "", {"--update-lock"},
         cannot("none/app.lock", "impossible d'ecrire le verrou", ENOENT), 1},
        {"no room for a temporary name", longName, "", {"--update-lock"},
         longName + ": verrou mis a jour (ajouts : 2, changements acceptes : 0)\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.kind == std::string("file"))
            WriteFile(dir / "file", "");
        if (c.kind == std::string("directory")) {
            ASSERT_EQ(mkdir((dir / c.lock).c_str(), 0700), 0);
        }
        std::vector<std::string> args = {"--lock", c.lock};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o = CheckFiles(dir, {{"app.err", source}}, args);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(ReadFile(dir / c.lock), kLockHead + "class NET 1\nerror NET Refused 0x10001\n");
        } else if (!*c.kind) {
            EXPECT_FALSE(FileExists(dir / c.lock));
        }
    }
}

} // namespace
