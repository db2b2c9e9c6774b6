/*
 * SourceCheck - checking catalogue sources by the compiler's rules, without writing.
 *
 * Each source is read by physical lines (what an editor numbers); the compiler's view of
 * a line is its first 511 bytes as a C string, and that is what is checked. A line that
 * the compiler would read in several pieces is itself an error, and only its first piece
 * is looked at. Diagnostics are printed in the order of the sources and their lines.
 */
#include "SourceCheck.h"

#include "SourceRules.h"
#include "TextScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

namespace tarvik::check
{
namespace
{

namespace rules = tarvik::source;

constexpr int kClassMax = 32767; /* the largest class number the library resolves */

std::string Quoted(std::string_view text)
{
    return "\"" + Printable(text) + "\"";
}

/* The state of a check across all its sources. */
struct Checker {
    explicit Checker(Report &r) : report(r) {}

    Report &report;
    std::vector<ClassDecl> classes;
    std::map<std::string, std::size_t> classByName;
    std::map<int, std::size_t> classByNumber;
    struct Macro {
        Located at;        /* where it is first defined */
        std::string owner; /* its class */
        std::string error; /* and its error */
    };
    std::map<std::string, Macro> macros;

    /* The source being read. */
    std::string file;
    std::string baseName; /* its file name without the directories */
    int lineNum = 0;
    const char *line = nullptr; /* the compiler's view of the line */
    bool longLine = false;      /* the line goes on beyond that view */
    bool inClass = false;       /* a class line was met in this source */
    bool classOk = false;       /* and was one the compiler takes: errors are counted */
    std::map<std::string, Located> errorNames; /* the current class's errors */

    Located Here() const { return {file, lineNum}; }
    Diagnostic &Error(std::string message)
    {
        return Add(report, Severity::Error, Here(), std::move(message));
    }
    Diagnostic &Warning(Located at, std::string message)
    {
        return Add(report, Severity::Warning, std::move(at), std::move(message));
    }
};

/* Ends the current class: a class that declares no error is worth a warning. */
void EndClass(Checker &c)
{
    if (c.classOk && c.classes.back().errors.empty())
        c.Warning(c.classes.back().at,
                  "classe " + Printable(c.classes.back().name) + " sans erreur");
    c.classOk = false;
    c.errorNames.clear();
}

/* The class number field: the bytes from number up to a blank or the end of the line. */
std::string_view NumberField(const char *number)
{
    std::size_t n = 0;
    while (!rules::IsLineEnd(number[n]) && !IsBlank(number[n]) && number[n] != '\r')
        ++n;
    return {number, n};
}

bool IsDecimal(std::string_view field)
{
    if (!field.empty() && field[0] == '-')
        field.remove_prefix(1);
    return !field.empty() &&
           std::all_of(field.begin(), field.end(), [](char b) { return b >= '0' && b <= '9'; });
}

/* Checks the name of a class line and registers it under the class's number. */
void DeclareClass(Checker &c)
{
    EndClass(c);
    c.inClass = true;
    const rules::ClassLine decl = rules::ParseClassLine(c.line);
    switch (decl.fault) {
    case rules::ClassLine::MissingName:
        c.Error("il manque le nom de classe");
        return;
    case rules::ClassLine::NameTooLong:
        c.Error("nom de classe trop long (39 caracteres au plus)");
        return;
    case rules::ClassLine::MissingNumber:
        c.Error("il manque le numero de classe");
        return;
    case rules::ClassLine::None:
        break;
    }
    std::string name(decl.name);
    for (char &b : name)
        b = UpperAscii(b);

    const std::string_view number = NumberField(decl.number);
    if (!IsDecimal(number))
        c.Error("numero de classe " + Quoted(number) + " mal forme : la classe aurait le numero " +
                std::to_string(decl.code));
    else if (decl.code < 0 || decl.code > kClassMax)
        c.Error("numero de classe " + std::to_string(decl.code) +
                " hors de 0 a 32767 : la bibliotheque ne trouverait aucun texte de la classe");

    if (name.find('/') != std::string::npos)
        c.Error("nom de classe " + Quoted(name) +
                " avec \"/\" : ses fichiers seraient ecrits dans un autre repertoire et son "
                "en-tete ne compilerait pas");
    else if (!std::all_of(name.begin(), name.end(), rules::IsNameChar))
        c.Warning(c.Here(), "nom de classe " + Quoted(name) +
                                " : des caracteres autres que lettres, chiffres et _ : ses "
                                "macros ne seraient pas des identificateurs");
    for (const char *suffix : {rules::kHeaderSuffix, rules::kCatalogueSuffix})
        if (c.baseName == name + suffix)
            c.Error("le fichier source porte le nom " + Printable(c.baseName) +
                    ", que TarvikCompile ecrirait pour la classe " + Printable(name) +
                    " : il serait ecrase");

    const auto sameName = c.classByName.find(name);
    const auto sameNumber = c.classByNumber.find(decl.code);
    if (sameName != c.classByName.end()) {
        Diagnostic &d = c.Error("classe " + Printable(name) +
                                " declaree deux fois : la seconde section remplacerait les "
                                "fichiers de la premiere");
        d.noteAt = c.classes[sameName->second].at;
        d.note = "premiere definition de la classe " + Printable(name);
    } else if (sameNumber != c.classByNumber.end()) {
        Diagnostic &d =
            c.Error("numero de classe " + std::to_string(decl.code) + " deja pris par la classe " +
                    Printable(c.classes[sameNumber->second].name));
        d.noteAt = c.classes[sameNumber->second].at;
        d.note = "premiere definition du numero de classe " + std::to_string(decl.code);
    }
    c.classByName.emplace(name, c.classes.size());
    c.classByNumber.emplace(decl.code, c.classes.size());
    c.classes.push_back({name, decl.code, c.Here(), {}});
    c.classOk = true;
}

/* Whether p begins a quotation mark other than the double quote: ' ` and their UTF-8
   typographic forms; returns the mark's length, 0 when it is none. */
std::size_t OtherQuoteLength(const char *p)
{
    if (*p == '\'' || *p == '`')
        return 1;
    const auto b = [p](int i) { return static_cast<unsigned char>(p[i]); };
    if (b(0) == 0xc2 && (b(1) == 0xab || b(1) == 0xbb)) /* << >> */
        return 2;
    if (b(0) == 0xe2 && b(1) == 0x80 && b(2) >= 0x98 && b(2) <= 0x9f) /* single and double */
        return 3;
    return 0;
}

/* The bytes of the character at p: one, or a UTF-8 lead byte and its continuations. */
std::size_t CharLength(const char *p)
{
    std::size_t n = 1;
    while (static_cast<unsigned char>(p[0]) >= 0xc0 && n < 4 &&
           (static_cast<unsigned char>(p[n]) & 0xc0) == 0x80)
        ++n;
    return n;
}

/* Whether the line ends at p: the end of the line, possibly after a carriage return. */
bool EndsAt(const char *p)
{
    return rules::IsLineEnd(*p) || (*p == '\r' && rules::IsLineEnd(p[1]));
}

/*
 * Checks what follows an error's name: nothing, a comment after blanks, or a text in
 * double quotes. Anything else gives the error an empty text although one was meant.
 */
void CheckText(Checker &c, const rules::ErrorLine &e, const std::string &macro)
{
    const char *p = e.afterName;
    const bool cut = !EndsAt(p) && !IsBlank(*p) && *p != '"';
    if (!cut)
        p = SkipBlanks(p);
    if (*p == '"') {
        if (e.textLength > std::size_t(rules::kTextMax) && !c.longLine)
            c.Error("texte de " + std::to_string(e.textLength) + " octets : il serait coupe a 255");
        return;
    }
    if (EndsAt(p) || (!cut && *p == '#'))
        return;
    if (*p == ':' || *p == '=')
        c.Error(Quoted({p, 1}) + " entre le nom et le texte : le texte serait vide");
    else if (const std::size_t n = OtherQuoteLength(p))
        c.Error("texte entre " + Printable({p, n}) +
                " et non entre guillemets droits \" : le texte serait vide");
    else if (cut)
        c.Error("nom d'erreur coupe par " + Quoted({p, CharLength(p)}) +
                " : TarvikCompile declarerait " + Printable(macro) + ", sans texte");
    else
        c.Error("texte sans guillemets apres le nom : le texte serait vide");
}

/* Checks a line that is not a class line: an error of the current class, or nothing. */
void DeclareError(Checker &c)
{
    const rules::ErrorLine e = rules::ParseErrorLine(c.line);
    if (e.name.empty()) {
        if (const std::size_t n = MisspeltKeyword(c.line, rules::kClassKeyword))
            c.Error(Quoted({c.line, n}) +
                    " n'est pas une ligne de classe : le mot-cle s'ecrit .CLASS, en majuscules, "
                    "au debut de la ligne ; les erreurs qui suivent rejoindraient la classe "
                    "precedente");
        return;
    }
    if (!c.inClass) {
        c.Error("erreur declaree avant toute classe : TarvikCompile s'arreterait ici");
        c.inClass = true; /* said once; what follows goes nowhere */
        return;
    }
    if (!c.classOk)
        return;
    ClassDecl &cls = c.classes.back();
    if (e.nameTooLong) {
        c.Error("nom d'erreur trop long (39 caracteres au plus)");
        return;
    }
    if (cls.errors.size() == std::size_t(rules::kMaxErrors)) {
        c.Error("plus de 65535 erreurs dans la classe " + Printable(cls.name) +
                " : TarvikCompile s'arreterait ici");
        c.classOk = false;
        return;
    }
    const std::string name(e.name);
    const std::string macro = "R_" + cls.name + "_" + name;
    CheckText(c, e, macro);

    const auto index = std::uint32_t(cls.errors.size() + 1);
    cls.errors.push_back({name, (std::uint32_t(cls.number) << 16) + index, c.Here()});
    if (const auto first = c.errorNames.find(name); first != c.errorNames.end()) {
        Diagnostic &d =
            c.Error("erreur " + name + " declaree deux fois dans la classe " + Printable(cls.name));
        d.noteAt = first->second;
        d.note = "premiere definition de l'erreur " + name;
        return;
    }
    c.errorNames.emplace(name, c.Here());
    const auto [first, added] = c.macros.emplace(macro, Checker::Macro{c.Here(), cls.name, name});
    if (!added && first->second.owner != cls.name) {
        Diagnostic &d =
            c.Error("macro " + Printable(macro) + " deja definie par l'erreur " +
                    first->second.error + " de la classe " + Printable(first->second.owner));
        d.noteAt = first->second.at;
        d.note = "premiere definition de la macro " + Printable(macro);
    }
}

/* Checks one source file. */
void CheckFile(Checker &c, const std::string &path)
{
    c.file = path;
    const std::size_t slash = path.rfind('/');
    c.baseName = slash == std::string::npos ? path : path.substr(slash + 1);
    c.lineNum = 0;
    c.inClass = false;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "r"), std::fclose);
    if (!f) {
        Add(c.report, Severity::Error, {path, 0},
            std::string("impossible d'ouvrir le fichier (") + std::strerror(errno) + ")");
        return;
    }
    char *buf = nullptr;
    std::size_t capacity = 0;
    ssize_t n;
    char line[rules::kLineMax + 1];
    while ((n = getline(&buf, &capacity, f.get())) > 0) {
        ++c.lineNum;
        const std::size_t piece = std::min(std::size_t(n), rules::kLineMax);
        std::memcpy(line, buf, piece);
        line[piece] = '\0';
        c.line = line;
        c.longLine = std::size_t(n) > rules::kLineMax;
        if (c.longLine)
            c.Error("ligne de " + std::to_string(n) +
                    " octets : elle serait lue en morceaux de 511 octets, chacun pris pour une "
                    "ligne");
        if (rules::IsClassLine(line))
            DeclareClass(c);
        else
            DeclareError(c);
    }
    const int readErrno = errno;
    std::free(buf);
    if (std::ferror(f.get()))
        Add(c.report, Severity::Error, {path, 0},
            std::string("lecture impossible (") + std::strerror(readErrno) + ")");
    EndClass(c);
}

} // namespace

std::vector<ClassDecl> CheckSources(const std::vector<std::string> &paths, Report &report)
{
    Checker c{report};
    for (const std::string &path : paths)
        CheckFile(c, path);
    /* The one diagnostic that comes late, a class without errors, takes its place. */
    std::stable_sort(
        report.items.begin(), report.items.end(), [&](const Diagnostic &a, const Diagnostic &b) {
            const auto order = [&](const Diagnostic &d) {
                return std::find(paths.begin(), paths.end(), d.at.file) - paths.begin();
            };
            return order(a) != order(b) ? order(a) < order(b) : a.at.line < b.at.line;
        });
    return std::move(c.classes);
}

} // namespace tarvik::check
