/*
 * ErrCfgInit - the configuration: the class table and the application's identity.
 *
 * The class table tells where the compiled catalogue of each error class lies. It is
 * built from the class lines of the system configuration file and then of the user
 * configuration file (newest entry first), and the system file's application lines
 * give the application's code. The module takes no lock: the library calls it under
 * its own lock. A table, once published, is never changed or freed, so readers may walk
 * it without the lock even after a later load has replaced it.
 */
#include "tarvik.h"

#include "CallGuard.h"
#include "Diagnostic.h"
#include "InputFile.h"
#include "TextScan.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>

namespace
{

using tarvik::CopyBounded;
using tarvik::Diagnostic;
using tarvik::IsBlank;
using tarvik::SkipBlanks;

constexpr std::size_t kPathMax = 255; /* characters of a path, terminator excluded */
constexpr char kDefaultFile[] = "Tarvik.cfg";
constexpr char kCatalogueSuffix[] = "_err.tarvik";
constexpr char kClassKeyword[] = ".CLASS";
constexpr char kApplicationKeyword[] = ".APPLICATION";

constexpr char kSystemDirTooLong[] =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier de config system trop long !\n";
constexpr char kUserDirTooLong[] =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier de config user trop long !\n";
constexpr char kCatalogueDirTooLong[] =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier des erreurs trop long !\n";

/*
 * A class table entry with a second link that chains every entry ever linked. Dropped
 * tables are never freed (threads may still walk them); the chain keeps them reachable
 * for the life of the process, so leak checkers see them as live.
 */
struct Entry {
    T_ClassInfo Info; /* first member: &Info is the entry's address */
    Entry *Kept;
};

std::atomic<T_ClassInfo *> pClassConfig{nullptr};
std::atomic<Entry *> KeptEntries{nullptr};
std::atomic<int> ApplicationCode{0};
char ApplicationName[40];

using FileCloser = int (*)(FILE *);
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

/* The working state of one load. */
struct Load {
    char cfgfile[kPathMax + 1] = ""; /* configuration file name, both passes */
    char cfgdir[kPathMax + 1] = "";  /* prepared directory of the file being read */
    char cfgpath[kPathMax + 1] = ""; /* cfgdir followed by cfgfile */
    T_ClassInfo *head = nullptr;     /* the table being built, published at the end */
};

/* Outcome of one pass: file read, file missing or unreadable, or a line that failed. */
enum class Pass { Read, NotFound, Failed };

constexpr bool EndsField(char c)
{
    return IsBlank(c) || c == '\r' || c == '\n' || c == '\0';
}

/* Returns the first byte at or after p that ends a field. */
const char *SkipField(const char *p)
{
    while (!EndsField(*p))
        ++p;
    return p;
}

void Keep(Entry *entry)
{
    entry->Kept = KeptEntries.load(std::memory_order_relaxed);
    while (!KeptEntries.compare_exchange_weak(entry->Kept, entry, std::memory_order_relaxed)) {
    }
}

/*
 * Prepares a directory: its first 255 characters, with a "/" appended unless it is empty
 * or already ends in one. Fails, printing tooLong, when the "/" would make it longer.
 */
bool PrepareDir(char (&out)[kPathMax + 1], std::string_view value, const char *tooLong)
{
    value = tarvik::Head(value, kPathMax);
    const bool addSlash = !value.empty() && value.back() != '/';
    if (addSlash && value.size() > kPathMax - 1) {
        Diagnostic("%s", tooLong);
        return false;
    }
    std::size_t n = tarvik::CopyView(out, value);
    if (addSlash)
        out[n++] = '/';
    out[n] = '\0';
    return true;
}

/* Writes the parts one after the other into out, cut to 255 characters. */
void Join(char (&out)[kPathMax + 1], std::initializer_list<std::string_view> parts)
{
    std::size_t n = 0;
    for (const std::string_view part : parts)
        n += tarvik::CopyView(out + n, tarvik::Head(part, kPathMax - n));
    out[n] = '\0';
}

/*
 * Handles a class line; p points behind the keyword. Links a new entry, renumbers the
 * entry of the same name, or fails (message printed, false returned).
 */
bool AddClass(Load &load, const char *p)
{
    auto *entry = static_cast<Entry *>(std::calloc(1, sizeof(Entry)));
    if (!entry) {
        Diagnostic("Tarvik - ErrCfgInit() : Memoire insuffisante\n");
        return false;
    }
    std::unique_ptr<Entry, void (*)(void *)> owned(entry, std::free);
    T_ClassInfo &info = entry->Info;

    /* NAME: up to a blank or the end of the text; the scan advances with the copy. */
    p = SkipBlanks(p);
    std::size_t n = 0;
    for (; n < sizeof info.PkgName - 1 && p[n] != '\0' && !IsBlank(p[n]); ++n)
        info.PkgName[n] = tarvik::UpperAscii(p[n]);
    p += n;

    /* NUMBER, then the optional DIRECTORY. */
    p = SkipBlanks(p);
    info.ClassCode = tarvik::ScanInt(p, 10);
    p = SkipBlanks(SkipField(p));
    char errdir[kPathMax + 1];
    if (EndsField(*p))
        CopyBounded(errdir, load.cfgdir);
    else if (!PrepareDir(errdir, {p, std::size_t(SkipField(p) - p)}, kCatalogueDirTooLong))
        return false;
    if (strlen(errdir) + strlen(info.PkgName) + sizeof kCatalogueSuffix - 1 > kPathMax) {
        Diagnostic("%s", kCatalogueDirTooLong);
        return false;
    }
    Join(info.FilePath, {errdir, info.PkgName, kCatalogueSuffix});

    /* The first entry with the same number or the same name decides. */
    T_ClassInfo *found = load.head;
    while (found && found->ClassCode != info.ClassCode && strcmp(found->PkgName, info.PkgName))
        found = found->Next;
    if (!found) {
        info.Next = load.head;
        load.head = &info;
        Keep(owned.release());
        return true;
    }
    if (found->ClassCode == info.ClassCode) {
        Diagnostic("Tarvik - ErrCfgInit() : plusieurs fois le meme numero de classe\n");
        return false;
    }
    found->ClassCode = info.ClassCode;
    memcpy(found->FilePath, info.FilePath, sizeof found->FilePath);
    return true;
}

/*
 * Handles an application line; p points behind the keyword. A line whose application
 * word begins with the current name (a prefix test) sets the application code.
 */
void ApplyApplication(const char *p)
{
    p = SkipBlanks(p);
    if (strncmp(p, ApplicationName, strlen(ApplicationName)) != 0)
        return;
    p = SkipBlanks(SkipField(p));
    ApplicationCode.store(tarvik::ScanInt(p, 10), std::memory_order_relaxed);
}

bool StartsWith(const char *line, std::string_view keyword)
{
    return strncmp(line, keyword.data(), keyword.size()) == 0;
}

/*
 * Reads the configuration file at load.cfgpath into load.head. Application lines count
 * in the system pass only. Lines are read 511 characters at a time; every piece of a
 * longer line is a line of its own.
 */
Pass ReadConfig(Load &load, bool systemPass)
{
    bool unreadable; /* a FIFO or a socket, never read (InputFile.h) */
    const UniqueFile f(tarvik::OpenInputStream(load.cfgpath, &unreadable), fclose);
    if (!f && !unreadable) {
        Diagnostic("Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"%s\"\n",
                   load.cfgpath);
        return Pass::NotFound;
    }
    if (f) {
        char buf[512];
        while (fgets(buf, sizeof buf, f.get())) {
            if (StartsWith(buf, kClassKeyword)) {
                if (!AddClass(load, buf + sizeof kClassKeyword - 1))
                    return Pass::Failed;
            } else if (systemPass && StartsWith(buf, kApplicationKeyword)) {
                ApplyApplication(buf + sizeof kApplicationKeyword - 1);
            }
        }
        unreadable = ferror(f.get());
    }
    if (unreadable) {
        /* A file read only in part, or a FIFO, counts as one that could not be opened. */
        Diagnostic("Tarvik - ErrCfgInit() : Impossible de lire le fichier \"%s\"\n", load.cfgpath);
        load.head = nullptr;
        return Pass::NotFound;
    }
    return Pass::Read;
}

/* Prepares dir (when set) into load.cfgdir and forms load.cfgpath; false on failure. */
bool LocateConfig(Load &load, const char *dir, const char *tooLong)
{
    if (dir && !PrepareDir(load.cfgdir, dir, tooLong))
        return false;
    Join(load.cfgpath, {load.cfgdir, load.cfgfile});
    return true;
}

/* Makes head the class table and returns result. */
int Publish(T_ClassInfo *head, int result)
{
    pClassConfig.store(head, std::memory_order_release);
    return result;
}

} // namespace

int ErrCfgInit(void)
{
    const tarvik::CallGuard guard; /* no cancellation, even when a program calls it itself */
    Load load;
    const char *file = getenv("TARVIK_CFG_FILE");
    CopyBounded(load.cfgfile, file && *file ? file : kDefaultFile);

    /* System pass: a missing file is a failure, but the user pass still runs. */
    if (!LocateConfig(load, getenv("TARVIK_CFG_DIR"), kSystemDirTooLong))
        return Publish(nullptr, -1);
    const Pass system = ReadConfig(load, true);
    if (system == Pass::Failed)
        return Publish(nullptr, -1);
    const int ReturnCode = system == Pass::Read ? 0 : -1;

    /* User pass, on top of the system classes; any failure drops them all. */
    const char *userDir = getenv("TARVIK_CFG_DIR_USER");
    if (!userDir)
        return Publish(load.head, ReturnCode);
    if (!LocateConfig(load, userDir, kUserDirTooLong) || ReadConfig(load, false) != Pass::Read)
        return Publish(nullptr, -1);
    return Publish(load.head, ReturnCode);
}

T_ClassInfo *ErrCfgGet(void)
{
    return pClassConfig.load(std::memory_order_acquire);
}

void SetTarvikApplicationCode(int AppCode)
{
    ApplicationCode.store(AppCode, std::memory_order_relaxed);
}

int GetTarvikApplicationCode(void)
{
    return ApplicationCode.load(std::memory_order_relaxed);
}

void SetTarvikApplicationName(const char *AppName)
{
    CopyBounded(ApplicationName, AppName);
}

char *GetTarvikApplicationName(void)
{
    return ApplicationName;
}
