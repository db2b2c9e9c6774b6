/*
 * CodeLock - reading, comparing and writing the code lock (format in CodeLock.h).
 *
 * Everything is keyed by name: a class by its upper-cased name, an error by its class
 * and its own name. Within a class an error's place is the low 16 bits of its code, so a
 * renumbered class is reported once, and its errors only when their place changed too.
 */
#include "CodeLock.h"

#include "ReplaceFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string_view>
#include <utility>

namespace tarvik::check
{
namespace
{

constexpr char kLockHead[] =
    "# Verrou des codes Tarvik : le numero de chaque classe et le code de chaque erreur\n"
    "# publies par les sources de catalogue. TarvikCheck --source ... --lock compare les\n"
    "# sources a ce fichier ; --update-lock y ajoute les nouvelles classes et erreurs.\n";

struct LockedError {
    std::uint32_t code;
    int line;
};

struct LockedClass {
    int number;
    int line;
    std::map<std::string, LockedError> errors;
};

using Lock = std::map<std::string, LockedClass>;

std::string Hex(std::uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

constexpr std::uint32_t Place(std::uint32_t code)
{
    return code & 0xffff;
}

/* Reads a decimal int (an optional minus sign, then digits); false when it is not one. */
bool ReadNumber(const std::string &word, int *value)
{
    const std::size_t digits = word[0] == '-' ? 1 : 0;
    if (word.size() == digits || word.size() > digits + 10 ||
        word.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    const long long v = std::strtoll(word.c_str(), nullptr, 10);
    *value = int(v);
    return v >= INT32_MIN && v <= INT32_MAX;
}

/* Reads "0x" and one to eight hexadecimal digits; false when it is not that. */
bool ReadCode(const std::string &word, std::uint32_t *code)
{
    if (word.size() < 3 || word.size() > 10 || word.compare(0, 2, "0x") != 0 ||
        word.find_first_not_of("0123456789abcdef", 2) != std::string::npos)
        return false;
    *code = std::uint32_t(std::strtoul(word.c_str() + 2, nullptr, 16));
    return true;
}

/* Parses one line of the lock into lock; false (and an error) when it cannot be read. */
bool ReadEntry(const std::string &text, const Located &at, Lock &lock, Report &report)
{
    std::istringstream words(text);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
        w.push_back(word);
    int number;
    std::uint32_t code;
    if (w.size() == 3 && w[0] == "class" && ReadNumber(w[2], &number)) {
        const auto [it, added] = lock.emplace(w[1], LockedClass{number, at.line, {}});
        if (!added) {
            Diagnostic &d = Add(report, Severity::Error, at,
                                "classe " + Printable(w[1]) + " deja dans le verrou");
            d.noteAt = {at.file, it->second.line};
            d.note = "premiere definition de la classe " + Printable(w[1]);
        }
        return added;
    }
    if (w.size() == 4 && w[0] == "error" && ReadCode(w[3], &code)) {
        const auto cls = lock.find(w[1]);
        if (cls == lock.end()) {
            Add(report, Severity::Error, at,
                "erreur " + Printable(w[2]) + " d'une classe " + Printable(w[1]) +
                    " qu'aucune ligne class ne precede");
            return false;
        }
        const auto [it, added] = cls->second.errors.emplace(w[2], LockedError{code, at.line});
        if (!added) {
            Diagnostic &d =
                Add(report, Severity::Error, at,
                    "erreur " + Printable(w[1]) + " " + Printable(w[2]) + " deja dans le verrou");
            d.noteAt = {at.file, it->second.line};
            d.note = "premiere definition de l'erreur " + Printable(w[2]);
        }
        return added;
    }
    Add(report, Severity::Error, at,
        "ligne illisible : " + Printable(text) +
            " (attendu : class CLASSE NUMERO, ou error CLASSE ERREUR 0xCODE)");
    return false;
}

/*
 * Reads the lock at path into lock. A missing file gives an empty lock and *exists
 * false; false (and the errors) when the file cannot be read or holds a bad line.
 */
bool ReadLock(const std::string &path, Lock &lock, bool *exists, Report &report)
{
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "r"), std::fclose);
    *exists = f != nullptr || errno != ENOENT;
    if (!f) {
        if (*exists)
            Add(report, Severity::Error, {path, 0},
                std::string("impossible d'ouvrir le verrou (") + std::strerror(errno) + ")");
        return !*exists;
    }
    bool ok = true;
    char *buf = nullptr;
    std::size_t capacity = 0;
    ssize_t n;
    for (int line = 1; (n = getline(&buf, &capacity, f.get())) > 0; ++line) {
        std::string text(buf, std::size_t(n));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        const std::size_t first = text.find_first_not_of(" \t");
        if (first != std::string::npos && text[first] != '#')
            ok = ReadEntry(text, {path, line}, lock, report) && ok;
    }
    const int readErrno = errno;
    std::free(buf);
    if (std::ferror(f.get())) {
        Add(report, Severity::Error, {path, 0},
            std::string("lecture du verrou impossible (") + std::strerror(readErrno) + ")");
        return false;
    }
    return ok;
}

/* The lock's text for classes: by class number, each class's errors by code. */
std::string LockText(const std::vector<ClassDecl> &classes)
{
    std::vector<const ClassDecl *> order;
    for (const ClassDecl &c : classes)
        order.push_back(&c);
    std::stable_sort(order.begin(), order.end(),
                     [](const ClassDecl *a, const ClassDecl *b) { return a->number < b->number; });
    std::string text = kLockHead;
    for (const ClassDecl *c : order) {
        text += "class " + c->name + " " + std::to_string(c->number) + "\n";
        for (const ErrorDecl &e : c->errors)
            text += "error " + c->name + " " + e.name + " " + Hex(e.code) + "\n";
    }
    return text;
}

/*
 * Writes text as the lock at path, in one step; false (and an error, with the cause of
 * the first failure) on failure. The text is flushed before the stream is closed, so
 * that a write refused at the end (a full disk) leaves the old lock, or none, in place.
 */
bool WriteLock(const std::string &path, const std::string &text, Report &report)
{
    std::vector<char> temp(path.size() + kReplacementSuffixLen + 1);
    FILE *f = OpenReplacement(path.c_str(), temp.data(), temp.size());
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size() &&
              std::fflush(f) == 0;
    int failure = errno;
    if (f) {
        const bool closed = CloseReplacement(f, path.c_str(), temp.data(), ok);
        if (ok && !closed)
            failure = errno;
        ok = ok && closed;
    }
    if (ok)
        return true;
    Add(report, Severity::Error, {path, 0},
        std::string("impossible d'ecrire le verrou (") + std::strerror(failure) + ")");
    return false;
}

/* The first of items for which holds is true, or NULL. */
template <typename T, typename Predicate>
const T *FindIf(const std::vector<T> &items, Predicate holds)
{
    const auto it = std::find_if(items.begin(), items.end(), holds);
    return it == items.end() ? nullptr : &*it;
}

/* The errors of a class in the sources, by name and by code: the first of each. */
struct ErrorIndex {
    explicit ErrorIndex(const ClassDecl &c)
    {
        for (const ErrorDecl &e : c.errors) {
            byName.emplace(e.name, &e);
            byCode.emplace(e.code, &e);
        }
    }
    std::map<std::string_view, const ErrorDecl *> byName;
    std::map<std::uint32_t, const ErrorDecl *> byCode;
};

/* What the comparison found. */
struct Differences {
    int additions = 0;
    int changes = 0;
};

/* The comparison of one class of the sources with its entry in the lock. */
void CompareClass(const ClassDecl &c, const LockedClass &locked, Severity severity,
                  Differences &diff, Report &report)
{
    const bool renumbered = locked.number != c.number;
    if (renumbered) {
        ++diff.changes;
        Add(report, severity, c.at,
            "classe " + Printable(c.name) + " renumerotee : " + std::to_string(locked.number) +
                " dans le verrou, " + std::to_string(c.number) +
                " dans les sources ; tous ses codes changent");
    }
    std::map<std::uint32_t, const std::string *> lockedAt; /* place -> locked name */
    for (const auto &[name, e] : locked.errors)
        lockedAt.emplace(Place(e.code), &name);
    const ErrorIndex sources(c);
    for (const ErrorDecl &e : c.errors) {
        const auto old = locked.errors.find(e.name);
        if (old != locked.errors.end()) {
            if (old->second.code != e.code &&
                !(renumbered && Place(old->second.code) == Place(e.code))) {
                ++diff.changes;
                Add(report, severity, e.at,
                    "code de " + Printable(c.name) + " " + e.name +
                        " change : " + Hex(old->second.code) + " dans le verrou, " + Hex(e.code) +
                        " dans les sources");
            }
            continue;
        }
        const auto holder = lockedAt.find(Place(e.code));
        if (holder != lockedAt.end() && sources.byName.count(*holder->second) > 0) {
            ++diff.changes;
            Add(report, severity, e.at,
                "erreur " + Printable(c.name) + " " + e.name +
                    " ajoutee au milieu de la classe : elle prend le code " + Hex(e.code) + " de " +
                    *holder->second + " ; ajoutez-la a la fin de la classe");
        } else if (holder == lockedAt.end()) {
            ++diff.additions;
        }
    }
}

/* Reports the entries of the lock that the sources no longer have. */
void CompareVanished(const std::vector<ClassDecl> &classes, const Lock &lock,
                     const std::string &path, Severity severity, Differences &diff, Report &report)
{
    std::vector<Diagnostic> vanished;
    /* A vanished entry, at its line of the lock; heir, when given, now has its code. */
    const auto add = [&](int line, std::string message, const Located *heir, std::string note) {
        ++diff.changes;
        vanished.push_back({{path, line},
                            severity,
                            std::move(message),
                            heir ? *heir : Located{},
                            heir ? std::move(note) : std::string()});
    };
    for (const auto &classEntry : lock) {
        const std::string &name = classEntry.first;
        const LockedClass &locked = classEntry.second;
        const ClassDecl *c = FindIf(classes, [&](const ClassDecl &d) { return d.name == name; });
        if (!c) {
            const ClassDecl *heir =
                FindIf(classes, [&](const ClassDecl &d) { return d.number == locked.number; });
            add(locked.line,
                "classe " + Printable(name) + " absente des sources (numero " +
                    std::to_string(locked.number) + " dans le verrou)",
                heir ? &heir->at : nullptr,
                heir ? "le numero " + std::to_string(locked.number) +
                           " est maintenant celui de la classe " + Printable(heir->name)
                     : "");
            continue;
        }
        const ErrorIndex sources(*c);
        for (const auto &errorEntry : locked.errors) {
            const std::string &error = errorEntry.first;
            const LockedError &e = errorEntry.second;
            if (sources.byName.count(error) > 0)
                continue;
            /* Only an error of the same code takes its place: in a renumbered class the
               error at the same place has another code. */
            const auto same = sources.byCode.find(e.code);
            const ErrorDecl *heir = same == sources.byCode.end() ? nullptr : same->second;
            add(e.line,
                "erreur " + Printable(name) + " " + error + " absente des sources (code " +
                    Hex(e.code) + " dans le verrou)",
                heir ? &heir->at : nullptr,
                heir ? "le code " + Hex(e.code) + " est maintenant celui de " + heir->name : "");
        }
    }
    std::stable_sort(
        vanished.begin(), vanished.end(),
        [](const Diagnostic &a, const Diagnostic &b) { return a.at.line < b.at.line; });
    for (Diagnostic &d : vanished)
        Append(report, std::move(d));
}

} // namespace

void CheckLock(const std::vector<ClassDecl> &classes, const std::string &path,
               const LockOptions &options, Report &report)
{
    Lock lock;
    bool exists;
    if (!ReadLock(path, lock, &exists, report))
        return;
    if (!exists && !options.update) {
        Add(report, Severity::Error, {path, 0}, "verrou introuvable : creez-le avec --update-lock");
        return;
    }
    const Severity severity =
        options.update && options.acceptRenumbering ? Severity::Warning : Severity::Error;
    Differences diff;
    for (const ClassDecl &c : classes) {
        const auto locked = lock.find(c.name);
        if (locked == lock.end())
            diff.additions += 1 + int(c.errors.size());
        else
            CompareClass(c, locked->second, severity, diff, report);
    }
    CompareVanished(classes, lock, path, severity, diff, report);

    if (!options.update || (diff.additions == 0 && diff.changes == 0))
        return;
    if (diff.changes > 0 && !options.acceptRenumbering) {
        Add(report, Severity::Error, {path, 0},
            "verrou non mis a jour : des codes changeraient (--accept-renumbering pour les "
            "enregistrer)");
        return;
    }
    if (Fails(report, options.werror) || !WriteLock(path, LockText(classes), report))
        return;
    report.closing.push_back(Printable(path) +
                             ": verrou mis a jour (ajouts : " + std::to_string(diff.additions) +
                             ", changements acceptes : " + std::to_string(diff.changes) + ")");
}

} // namespace tarvik::check
