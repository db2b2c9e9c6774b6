/*
 * TarvikCheck - the checks of the project's files, in three modes:
 *
 *   TarvikCheck [CODE...]       the configuration as the library sees it
 *   TarvikCheck --source FILE... [--werror] [--lock LOCK [--update-lock
 *               [--accept-renumbering]]]   catalogue sources, and the code lock
 *   TarvikCheck --help | --version
 *
 * The configuration mode shows the configuration, the class table in the order reports
 * walk it, the state of every catalogue, the lines of the configuration files that the
 * library passes over although they look meant, and, for each code given (decimal, or
 * hexadecimal after 0x), where its lookup ends. It is the answer to "why is my report's
 * body empty?". The configuration is loaded by the library's own ErrCfgInit, from the
 * same environment variables; its diagnostics appear as they would in a program.
 *
 * The source mode is SourceCheck.cpp and CodeLock.cpp; it writes nothing but the lock.
 *
 * Bytes from files and the environment are printed with their control bytes escaped.
 * Exit status: 0 when everything checked is sound, 1 when a problem was found (or
 * standard output could not be written), 2 on a usage error.
 */
#include "tarvik.h"

#include "Catalogue.h"
#include "CheckReport.h"
#include "CodeLock.h"
#include "InputFile.h"
#include "Lookup.h"
#include "SourceCheck.h"
#include "TextScan.h"
#include "ToolVersion.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace
{

using tarvik::check::Located;
using tarvik::check::Printable;
using tarvik::check::Report;
using tarvik::check::Severity;

constexpr int kExitSound = 0;
constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

/* The largest class number whose codes the library can resolve (bit 31 clear). */
constexpr int kClassMax = 32767;

tarvik::ReadBuffer ReadSpace; /* the catalogue reader's buffer, for every lookup */

void Usage()
{
    printf("\nUsage : TarvikCheck [code...]\n");
    printf("        TarvikCheck --source fichier... [--werror] [--lock verrou [--update-lock "
           "[--accept-renumbering]]]\n");
    printf("        TarvikCheck --help | --version\n");
    printf("\n        avec code = code d'erreur en decimal, ou en hexadecimal precede de 0x\n");
}

void Help()
{
    Usage();
    printf("\n"
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
           "arguments sont incorrects.\n");
}

/*
 * Reads a code as a 32-bit value: decimal digits, with a minus sign allowed, or hex digits
 * after 0x, and nothing else: "0x-1", "0x0x5" or " 5" is not a code. False if it is not.
 */
bool ParseCode(const char *arg, int *code)
{
    const bool hex = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
    const char *digits = hex ? arg + 2 : arg + (arg[0] == '-');
    const std::size_t n = strlen(digits);
    if (n == 0 || strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789") != n)
        return false;
    errno = 0;
    const long long v = strtoll(hex ? digits : arg, nullptr, hex ? 16 : 10);
    if (errno == ERANGE || v < INT_MIN || v > static_cast<long long>(UINT_MAX))
        return false;
    *code = int(static_cast<unsigned>(v)); /* 0xffff0001 is the code of class -1 */
    return true;
}

void ShowVariable(const char *name)
{
    const char *value = getenv(name);
    if (value)
        printf("%s = \"%s\"\n", name, Printable(value).c_str());
    else
        printf("%s non defini\n", name);
}

/* The state of a catalogue as a tool shows it: "3 erreurs", or what went wrong. */
std::string StateText(tarvik::LookupEnd end, int sysErr, int classCode,
                      const tarvik::CatalogueTrace &trace)
{
    using tarvik::LookupEnd;
    switch (end) {
    case LookupEnd::CannotOpen:
        return std::string("Impossible d'ouvrir le fichier (") + strerror(sysErr) + ")";
    case LookupEnd::Unreadable:
        return std::string("lecture impossible (") + strerror(sysErr) + ")";
    case LookupEnd::Empty:
        return "fichier vide";
    case LookupEnd::BadHeader: {
        char ident[20];
        return "format incorrect : la premiere ligne doit commencer par " +
               std::string(tarvik::CatalogueHeader(classCode, ident));
    }
    case LookupEnd::ReadError:
        return "erreur de lecture";
    default:
        if (trace.failed)
            return "erreur de lecture";
        return std::to_string(trace.entries) + (trace.entries > 1 ? " erreurs" : " erreur");
    }
}

/* Whether a catalogue that ended its scan so is sound. */
bool Sound(tarvik::LookupEnd end, const tarvik::CatalogueTrace &trace)
{
    return (end == tarvik::LookupEnd::NoEntry || end == tarvik::LookupEnd::Found) && !trace.failed;
}

/* Prints the class table in walk order with each catalogue's state and the traps. */
bool ShowTable(const std::vector<const T_ClassInfo *> &table)
{
    bool sound = true;
    printf("Classes, dans l'ordre de parcours :\n");
    for (std::size_t i = 0; i < table.size(); ++i) {
        const T_ClassInfo &c = *table[i];
        char body[1024];
        int sysErr = 0;
        tarvik::CatalogueTrace trace;
        const tarvik::LookupEnd end = tarvik::ScanCatalogue(c.FilePath, c.ClassCode, nullptr, body,
                                                            ReadSpace, &sysErr, &trace);
        printf("  classe %d %s : %s : %s\n", c.ClassCode, Printable(c.PkgName).c_str(),
               Printable(c.FilePath).c_str(), StateText(end, sysErr, c.ClassCode, trace).c_str());
        sound = sound && Sound(end, trace);

        std::vector<std::string> traps;
        if (c.PkgName[0] == '\0')
            traps.push_back("nom de classe vide : aucun code de cette classe n'a de texte");
        if (strpbrk(c.PkgName, "\r\n"))
            traps.push_back("le nom de classe contient une fin de ligne (ligne de classe sans "
                            "numero ?)");
        if (c.ClassCode < 0 || c.ClassCode > kClassMax)
            traps.push_back("numero de classe hors de 0 a 32767 : ses codes ne peuvent pas "
                            "etre trouves");
        for (std::size_t j = i + 1; j < table.size(); ++j)
            if (table[j]->ClassCode == c.ClassCode)
                traps.push_back("masquee par la classe " + Printable(table[j]->PkgName) +
                                " de meme numero, rencontree plus loin");
        for (const std::string &trap : traps)
            printf("    Attention : %s\n", trap.c_str());
        sound = sound && traps.empty();
    }
    return sound;
}

/* Follows code through the steps of a report's lookup; false when it ends without text. */
bool FollowCode(const std::vector<const T_ClassInfo *> &table, const char *arg, int code)
{
    printf("Code %s ($%x) :\n", arg, unsigned(code));
    if (table.empty()) {
        printf("  aucune classe configuree : aucun message ne sera envoye\n");
        return false;
    }
    if (code == TARVIK_SYSTEM_ERROR) {
        printf("  erreur systeme : le texte est celui de errno\n");
        return true;
    }
    char body[1024];
    tarvik::CatalogueTrace trace;
    const tarvik::LookupOutcome out =
        tarvik::LookupCode(table.front(), code, body, ReadSpace, &trace);
    printf("  classe %d\n", out.errClass);
    if (!out.entry) {
        printf("  classe absente de la configuration : le corps du message sera vide\n");
        return false;
    }
    if (out.end == tarvik::LookupEnd::NoClass) {
        /* Reports take an empty class name for an unconfigured class. */
        printf("  entree de classe sans nom : le corps du message sera vide\n");
        return false;
    }
    printf("  entree %s : %s\n", Printable(out.entry->PkgName).c_str(),
           Printable(out.entry->FilePath).c_str());
    if (out.end == tarvik::LookupEnd::NoEntry) {
        printf("  code absent du catalogue%s : le corps du message sera vide\n",
               code < 0 ? " (un code dont le bit 31 est mis n'est jamais trouve)" : "");
        return false;
    }
    if (out.end != tarvik::LookupEnd::Found) {
        printf("  %s\n", StateText(out.end, out.sysErr, out.errClass, trace).c_str());
        return false;
    }
    printf("  ligne %d : %s\n", trace.entryLine, Printable(trace.entry).c_str());
    printf("  texte : %s\n", Printable(body).c_str());
    return true;
}

/*
 * The path of a configuration file as the library forms it: the directory in dirVar
 * (none when unset), a "/" unless it is empty or ends in one, then the file name, each
 * cut to 255 characters. Empty when dirVar is unset and required.
 */
std::string ConfigPath(const char *dirVar, bool required)
{
    constexpr std::size_t kPathMax = 255;
    const char *dir = getenv(dirVar);
    if (!dir && required)
        return "";
    const char *file = getenv("TARVIK_CFG_FILE");
    std::string path = std::string(dir ? dir : "").substr(0, kPathMax);
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += std::string(file && *file ? file : "Tarvik.cfg").substr(0, kPathMax);
    return path.substr(0, kPathMax);
}

/* Reports line when it begins with keyword in a form that the library passes over. */
bool ReportMisspelt(Report &report, const Located &at, const char *line, std::string_view keyword,
                    const char *kind)
{
    const std::size_t n = tarvik::check::MisspeltKeyword(line, keyword);
    if (n > 0)
        Add(report, Severity::Warning, at,
            "\"" + Printable({line, n}) + "\" n'est pas une ligne " + kind +
                " : le mot-cle s'ecrit " + std::string(keyword) +
                ", en majuscules, au debut de la ligne (la ligne est ignoree)");
    return n > 0;
}

/*
 * Looks through the configuration file at path, as the library reads it, for lines that
 * it passes over although they look meant: class and application lines in another case
 * or after blanks, application lines in the user file, and a class line whose directory
 * word begins with # (a comment taken as a directory). A file that cannot be read, or is
 * a FIFO or a socket, is left to the loader's own diagnostic.
 */
void ScanConfig(const std::string &path, bool systemFile, Report &report)
{
    bool refused; /* a FIFO or a socket, which the loader refuses too */
    std::unique_ptr<FILE, int (*)(FILE *)> f(tarvik::OpenInputStream(path.c_str(), &refused),
                                             fclose);
    if (!f)
        return;
    char *buf = nullptr;
    std::size_t capacity = 0;
    for (int line = 1; getline(&buf, &capacity, f.get()) > 0; ++line) {
        const Located at{path, line};
        if (strncmp(buf, ".CLASS", 6) == 0) {
            /* the fields as the library reads them: a name of 39 bytes at most, a number */
            const char *p = tarvik::SkipBlanks(buf + 6);
            for (int n = 0; n < 39 && *p != '\0' && !tarvik::IsBlank(*p); ++n)
                ++p;
            p = tarvik::SkipBlanks(p);
            p += strcspn(p, " \t\r\n");
            p = tarvik::SkipBlanks(p);
            if (*p == '#')
                Add(report, Severity::Warning, at,
                    "repertoire \"" + Printable({p, strcspn(p, " \t\r\n")}) +
                        "\" : un commentaire pris pour le repertoire des catalogues de la classe");
        } else if (strncmp(buf, ".APPLICATION", 12) == 0) {
            if (!systemFile)
                Add(report, Severity::Warning, at,
                    "ligne d'application dans le fichier utilisateur : la bibliotheque ne les "
                    "lit que dans le fichier systeme");
        } else if (!ReportMisspelt(report, at, buf, ".CLASS", "de classe")) {
            ReportMisspelt(report, at, buf, ".APPLICATION", "d'application");
        }
    }
    free(buf);
}

/* The configuration mode: returns the exit status. */
int CheckConfiguration(int argc, char **argv)
{
    std::vector<int> codes;
    for (int i = 1; i < argc; ++i) {
        int code;
        if (!ParseCode(argv[i], &code)) {
            Usage();
            return kExitUsage;
        }
        codes.push_back(code);
    }

    ShowVariable("TARVIK_CFG_DIR");
    ShowVariable("TARVIK_CFG_FILE");
    ShowVariable("TARVIK_CFG_DIR_USER");
    fflush(stdout);
    const bool loaded = ErrCfgInit() == 0;
    printf("Chargement de la configuration : %s\n", loaded ? "correct" : "en echec");
    bool sound = loaded;

    Report lines;
    ScanConfig(ConfigPath("TARVIK_CFG_DIR", false), true, lines);
    const std::string user = ConfigPath("TARVIK_CFG_DIR_USER", true);
    if (!user.empty())
        ScanConfig(user, false, lines);
    Print(lines);
    sound = sound && lines.items.empty();

    std::vector<const T_ClassInfo *> table;
    for (const T_ClassInfo *c = ErrCfgGet(); c; c = c->Next)
        table.push_back(c);
    if (table.empty()) {
        printf("Aucune classe configuree : aucun message ne sera envoye\n");
        sound = false;
    } else {
        sound = ShowTable(table) && sound;
    }

    for (std::size_t i = 0; i < codes.size(); ++i)
        sound = FollowCode(table, argv[i + 1], codes[i]) && sound;
    return sound ? kExitSound : kExitProblem;
}

/* The options of the source mode. */
struct SourceRun {
    std::vector<std::string> files;
    const char *lock = nullptr;
    tarvik::check::LockOptions options;
};

/*
 * Reads the arguments of the source mode (argv holds --source somewhere); false on a
 * usage error. Options may come in any order; after "--" every argument is a file.
 */
bool ParseSourceRun(int argc, char **argv, SourceRun &run)
{
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options || arg.substr(0, 2) != "--")
            run.files.emplace_back(arg);
        else if (arg == "--")
            options = false;
        else if (arg == "--werror")
            run.options.werror = true;
        else if (arg == "--update-lock")
            run.options.update = true;
        else if (arg == "--accept-renumbering")
            run.options.acceptRenumbering = true;
        else if (arg == "--lock" && i + 1 < argc && !run.lock)
            run.lock = argv[++i];
        else if (arg != "--source")
            return false;
    }
    return !run.files.empty() && (run.lock || !run.options.update) &&
           (run.options.update || !run.options.acceptRenumbering);
}

/* The source mode: returns the exit status. */
int CheckSourceFiles(const SourceRun &run)
{
    Report report;
    const std::vector<tarvik::check::ClassDecl> classes =
        tarvik::check::CheckSources(run.files, report);
    if (run.lock && report.errors == 0)
        tarvik::check::CheckLock(classes, run.lock, run.options, report);
    Print(report);
    return Fails(report, run.options.werror) ? kExitProblem : kExitSound;
}

/* Whether one of the arguments, before any "--", is option. */
bool HasOption(int argc, char **argv, const char *option)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], option) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    int status;
    if (HasOption(argc, argv, "--help")) {
        Help();
        status = kExitSound;
    } else if (HasOption(argc, argv, "--version")) {
        tarvik::PrintVersion("TarvikCheck");
        status = kExitSound;
    } else if (HasOption(argc, argv, "--source")) {
        SourceRun run;
        if (ParseSourceRun(argc, argv, run)) {
            status = CheckSourceFiles(run);
        } else {
            Usage();
            status = kExitUsage;
        }
    } else {
        status = CheckConfiguration(argc, argv);
    }
    return tarvik::FinishOutput(status);
}
