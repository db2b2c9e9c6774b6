// Fuzz target: the configuration loader, ErrCfgInit, on a system and a user file taken
// from the input, with the three TARVIK_CFG_* variables chosen by the input too.
//
// The input's text up to a line "%%" is the system file, the text behind it the user
// file (none without the line). Its last bytes choose each directory variable (unset,
// empty, a directory with or without a trailing '/', doubled slashes, a value around
// the 255-character limit, a directory that does not exist), the file name (unset,
// empty, plain, in a subdirectory, over-long, with a leading '/') and the application
// name. Every path stays inside the scratch directory.
//
// Each load is compared with a plain reading of the same files (fopen, 512-byte fgets)
// that follows the loader's rules step by step: its result, every byte it prints, the
// class table in list order and the application code. The table of the previous load
// must still be readable and unchanged. For one input in four (by its length) the
// diagnostics go to a small non-blocking pipe that the harness keeps nearly full.
//
// Tables are never freed, so memory grows with every load: run this target in
// libFuzzer's fork mode (-fork=1), whose jobs are short-lived processes.
#include "FuzzSupport.h"
#include "tarvik.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace
{

using tarvik::fuzz::Fail;

std::string base; // the captured output
std::string work; // the working directory, under which every file of a run lies

// ---------------------------------------------------------------------------------------
// The loader's rules, on std::string.

const std::string kSystemDirTooLong =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier de config system trop long !\n";
const std::string kUserDirTooLong =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier de config user trop long !\n";
const std::string kCatalogueDirTooLong =
    "Tarvik - ErrCfgInit() : Nom du repertoire du fichier des erreurs trop long !\n";
const std::string kDuplicate = "Tarvik - ErrCfgInit() : plusieurs fois le meme numero de classe\n";

struct Entry {
    int code;
    std::string name, path;
    bool operator==(const Entry &o) const
    {
        return code == o.code && name == o.name && path == o.path;
    }
};

struct Load {
    int result = 0;
    std::vector<Entry> table; // head first
    int appCode = 0;
    std::string out;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}
bool EndsField(char c)
{
    return IsBlank(c) || c == '\r' || c == '\n' || c == '\0';
}
const char *SkipBlanks(const char *p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}
const char *SkipField(const char *p)
{
    while (!EndsField(*p))
        ++p;
    return p;
}
int Atoi(const char *p)
{
    const long v = strtol(p, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v);
}

// Its first 255 characters, with a '/' appended unless empty or ending in one.
bool Prepare(std::string value, std::string *dir)
{
    value = value.substr(0, 255);
    if (!value.empty() && value.back() != '/') {
        if (value.size() > 254)
            return false;
        value += '/';
    }
    *dir = value;
    return true;
}

bool ClassLine(Load &load, const char *p, const std::string &cfgdir)
{
    p = SkipBlanks(p);
    std::string name;
    while (name.size() < 39 && *p != '\0' && !IsBlank(*p))
        name += *p >= 'a' && *p <= 'z' ? char(*p++ - 'a' + 'A') : *p++;
    p = SkipBlanks(p);
    const int code = Atoi(p);
    p = SkipBlanks(SkipField(p));
    std::string errdir = cfgdir;
    if (!EndsField(*p) && !Prepare(std::string(p, SkipField(p)), &errdir)) {
        load.out += kCatalogueDirTooLong;
        return false;
    }
    if (errdir.size() + name.size() + 11 > 255) {
        load.out += kCatalogueDirTooLong;
        return false;
    }
    const std::string path = errdir + name + "_err.tarvik";
    for (Entry &e : load.table) {
        if (e.code == code) {
            load.out += kDuplicate;
            return false;
        }
        if (e.name == name) {
            e.code = code;
            e.path = path;
            return true;
        }
    }
    load.table.insert(load.table.begin(), {code, name, path});
    return true;
}

enum class Pass { Read, NotFound, Failed };

Pass ReadFile(Load &load, const std::string &cfgdir, const std::string &cfgpath, bool system,
              const std::string &appName)
{
    FILE *f = fopen(cfgpath.c_str(), "r");
    if (!f) {
        load.out +=
            "Tarvik - ErrCfgInit() : Impossible de trouver le fichier \"" + cfgpath + "\"\n";
        return Pass::NotFound;
    }
    char buf[512];
    Pass pass = Pass::Read;
    while (pass == Pass::Read && fgets(buf, sizeof buf, f)) {
        if (strncmp(buf, ".CLASS", 6) == 0) {
            if (!ClassLine(load, buf + 6, cfgdir))
                pass = Pass::Failed;
        } else if (system && strncmp(buf, ".APPLICATION", 12) == 0) {
            const char *p = SkipBlanks(buf + 12);
            if (strncmp(p, appName.c_str(), appName.size()) == 0)
                load.appCode = Atoi(SkipBlanks(SkipField(p)));
        }
    }
    if (pass == Pass::Read && ferror(f)) {
        load.out += "Tarvik - ErrCfgInit() : Impossible de lire le fichier \"" + cfgpath + "\"\n";
        load.table.clear();
        pass = Pass::NotFound;
    }
    fclose(f);
    return pass;
}

Load PlainLoad(const char *dir, const char *file, const char *userDir, const std::string &appName,
               int appCode)
{
    Load load;
    load.appCode = appCode;
    const std::string cfgfile = std::string(file && *file ? file : "Tarvik.cfg").substr(0, 255);
    std::string cfgdir;
    const auto fail = [&load](const std::string &message) {
        load.out += message;
        load.result = -1;
        load.table.clear();
        return load;
    };
    if (dir && !Prepare(dir, &cfgdir))
        return fail(kSystemDirTooLong);
    const Pass system = ReadFile(load, cfgdir, (cfgdir + cfgfile).substr(0, 255), true, appName);
    if (system == Pass::Failed)
        return fail("");
    load.result = system == Pass::Read ? 0 : -1;
    if (!userDir)
        return load;
    if (!Prepare(userDir, &cfgdir))
        return fail(kUserDirTooLong);
    if (ReadFile(load, cfgdir, (cfgdir + cfgfile).substr(0, 255), false, appName) != Pass::Read)
        return fail("");
    return load;
}

// ---------------------------------------------------------------------------------------
// The library's side.

std::vector<Entry> Walk(const T_ClassInfo *head)
{
    std::vector<Entry> table;
    for (const T_ClassInfo *e = head; e; e = e->Next) {
        if (table.size() > 100000)
            Fail("the class table does not end", "", "");
        if (strnlen(e->PkgName, sizeof e->PkgName) == sizeof e->PkgName ||
            strnlen(e->FilePath, sizeof e->FilePath) == sizeof e->FilePath)
            Fail("an entry's text is not terminated", "", "");
        table.push_back({e->ClassCode, e->PkgName, e->FilePath});
    }
    return table;
}

std::string Show(const std::vector<Entry> &table)
{
    std::string text;
    for (const Entry &e : table)
        text += std::to_string(e.code) + " " + e.name + " " + e.path + "\n";
    return text;
}

// The table of the previous load, as it was then.
const T_ClassInfo *previousHead;
std::vector<Entry> previousTable;

// A directory variable's value; null for unset. exists tells whether files may be
// written below it.
const char *DirValue(std::uint8_t mode, std::string *value, bool *exists)
{
    *exists = true;
    switch (mode % 8) {
    case 0:
        return nullptr;
    case 1:
        *value = "";
        break;
    case 2:
        *value = work + "/sys";
        break;
    case 3:
        *value = work + "/sys/";
        break;
    case 4:
        *value = work + "/usr";
        break;
    case 5:
        *value = work + "//usr//";
        break;
    case 6: {
        // Around the limit: 250 to 257 characters, the last one a '/' or not.
        const std::size_t length = 250 + (mode >> 3) % 8;
        const bool slash = mode & 0x80;
        const std::size_t fill =
            work.size() + 1 + slash < length ? length - work.size() - 1 - slash : 1;
        *value = work + "/" + std::string(fill, 'L') + (slash ? "/" : "");
        break;
    }
    default:
        *value = work + "/none";
        *exists = false;
        break;
    }
    return value->c_str();
}

const char *FileValue(std::uint8_t mode, bool relative, std::string *value)
{
    switch (mode % 7) {
    case 0:
        return nullptr;
    case 1:
        *value = "";
        break;
    case 2:
        *value = "Tarvik.cfg";
        break;
    case 3:
        *value = "u.cfg";
        break;
    case 4:
        *value = "sub/x.cfg";
        break;
    case 5:
        *value = std::string(240 + (mode >> 3) % 24, 'F');
        break;
    default:
        // A leading '/' is appended to the directory as it is; with no directory it
        // would name a file outside the scratch directory.
        *value = relative ? "lead.cfg" : "/lead.cfg";
        break;
    }
    return value->c_str();
}

// Where a pass reads its file, as the loader forms the path; empty when it does not.
std::string PathOf(const char *dir, bool exists, const char *file)
{
    std::string cfgdir;
    if (!exists || (dir && !Prepare(dir, &cfgdir)))
        return "";
    const std::string path = (cfgdir + (file && *file ? file : "Tarvik.cfg")).substr(0, 255);
    return path[0] == '/' ? path : work + "/" + path;
}

void Put(const std::string &path, std::string_view text)
{
    if (path.empty())
        return;
    tarvik::fuzz::MakeParents(path);
    tarvik::fuzz::WriteFile(path, text); // may fail (a name too long): the loader sees that too
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    base = tarvik::fuzz::MakeScratchDir("fuzz-config");
    work = base + "/w";
    // Every path is cut to 255 characters: the cut must fall inside the scratch directory.
    if (work.size() > 128)
        Fail("the scratch directory's path is too long: choose a shorter TMPDIR", "", work);
    tarvik::fuzz::MakeParents(work + "/");
    if (chdir(work.c_str()) != 0)
        Fail("cannot enter the working directory", work, "");
    tarvik::fuzz::CaptureStdout(base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    tarvik::fuzz::Input in(data, size);
    // The loader's diagnostics go to a small non-blocking pipe for one input in four (by
    // its length), to the capture file for the others.
    tarvik::fuzz::UsePipe(size % 4 == 1);
    const std::uint8_t dirMode = in.Byte(), userMode = in.Byte(), fileMode = in.Byte();
    const std::uint8_t appMode = in.Byte();
    bool hasUser;
    const std::string_view system = in.TakeUntil("\n%%\n", &hasUser);
    const std::string_view user = in.Rest();

    std::string dirValue, userValue, fileValue;
    bool dirExists, userExists;
    const char *dir = DirValue(dirMode, &dirValue, &dirExists);
    const char *userDir = DirValue(userMode, &userValue, &userExists);
    const bool relative = !dir || !*dir || (userDir && !*userDir);
    const char *file = FileValue(fileMode, relative, &fileValue);
    static const char *const kNames[] = {"", "GES", "GESTION", "PAIE",
                                         "APPLICATION_NAME_OF_MORE_THAN_39_CHARACTERS"};
    const std::string appName = std::string(kNames[appMode % 5]).substr(0, 39);

    tarvik::fuzz::EmptyDir(work);
    Put(PathOf(dir, dirExists, file), system);
    if (hasUser && userDir)
        Put(PathOf(userDir, userExists, file), user);
    for (const auto &[name, value] : {std::pair{"TARVIK_CFG_DIR", dir},
                                      {"TARVIK_CFG_FILE", file},
                                      {"TARVIK_CFG_DIR_USER", userDir}})
        value ? setenv(name, value, 1) : unsetenv(name);
    SetTarvikApplicationName(kNames[appMode % 5]);
    SetTarvikApplicationCode(-7);

    tarvik::fuzz::RestartCapture();
    const int result = ErrCfgInit();
    const std::string out = tarvik::fuzz::Captured();
    const std::vector<Entry> table = Walk(ErrCfgGet());
    const int appCode = GetTarvikApplicationCode();

    const Load plain = PlainLoad(dir, file, userDir, appName, -7);
    if (out != plain.out)
        Fail("ErrCfgInit output", plain.out, out);
    if (result != plain.result || appCode != plain.appCode)
        Fail("ErrCfgInit result and application code",
             std::to_string(plain.result) + " " + std::to_string(plain.appCode),
             std::to_string(result) + " " + std::to_string(appCode));
    if (!(table == plain.table))
        Fail("class table", Show(plain.table), Show(table));
    if (!(Walk(previousHead) == previousTable))
        Fail("the previous class table changed", Show(previousTable), Show(Walk(previousHead)));
    previousHead = ErrCfgGet();
    previousTable = table;
    return 0;
}
