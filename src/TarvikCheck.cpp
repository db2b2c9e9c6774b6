/*
 * TarvikCheck - shows what the library sees: the configuration, the class table in the
 * order reports walk it, the state of every catalogue, and, for each code given, where
 * its lookup ends. It is the answer to "why is my report's body empty?".
 *
 *   TarvikCheck [CODE...]      CODE in decimal, or in hexadecimal after 0x
 *
 * The configuration is loaded by the library's own ErrCfgInit, from the same
 * environment variables; its diagnostics appear as they would in a program.
 * Exit status: 0 when everything checked is sound, 1 when a problem was found,
 * 2 on a usage error.
 */
#include "tarvik.h"

#include "Catalogue.h"
#include "Lookup.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr int kExitSound = 0;
constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

/* The largest class number whose codes the library can resolve (bit 31 clear). */
constexpr int kClassMax = 32767;

void Usage()
{
    printf("\nUsage : TarvikCheck [code...]\n");
    printf("\n        avec code = code d'erreur en decimal, ou en hexadecimal precede de 0x\n");
}

/*
 * Reads a code as a 32-bit value: decimal digits, with a minus sign allowed, or hex digits
 * after 0x. No blank and no other sign: "0x-1" or " 5" is not a code. False if it is not.
 */
bool ParseCode(const char *arg, int *code)
{
    const bool hex = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
    const char *digits = hex ? arg + 2 : arg + (arg[0] == '-');
    if (!(hex ? isxdigit(static_cast<unsigned char>(*digits))
              : isdigit(static_cast<unsigned char>(*digits))))
        return false;
    char *end;
    errno = 0;
    const long long v = strtoll(hex ? digits : arg, &end, hex ? 16 : 10);
    if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > static_cast<long long>(UINT_MAX))
        return false;
    *code = int(static_cast<unsigned>(v)); /* 0xffff0001 is the code of class -1 */
    return true;
}

void ShowVariable(const char *name)
{
    const char *value = getenv(name);
    if (value)
        printf("%s = \"%s\"\n", name, value);
    else
        printf("%s non defini\n", name);
}

/* A class name as printed: carriage returns and line feeds made visible. */
std::string Printable(const char *name)
{
    std::string out;
    for (; *name; ++name)
        out += *name == '\r' ? "\\r" : *name == '\n' ? "\\n" : std::string(1, *name);
    return out;
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
        const tarvik::LookupEnd end =
            tarvik::ScanCatalogue(c.FilePath, c.ClassCode, nullptr, body, &sysErr, &trace);
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
    const tarvik::LookupOutcome out = tarvik::LookupCode(table.front(), code, body, &trace);
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
    printf("  ligne %d : %s\n", trace.entryLine, trace.entry);
    printf("  texte : %s\n", body);
    return true;
}

} // namespace

int main(int argc, char **argv)
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
