#include "IndexScript.h"

#include "Catalogue.h"
#include "FuzzSupport.h"
#include "Lookup.h"
#include "tarvik.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// ---------------------------------------------------------------------------------------
// The seams.

namespace tarvik::fuzz
{
std::atomic<int> clockAheadSeconds{0};
std::atomic<long> scanReads{0};
} // namespace tarvik::fuzz

extern "C" {
int __real_clock_gettime(clockid_t clock, struct timespec *t);
ssize_t __real_read(int fd, void *buf, std::size_t n);
ssize_t __real_pread(int fd, void *buf, std::size_t n, off_t offset);

int __wrap_clock_gettime(clockid_t clock, struct timespec *t)
{
    const int result = __real_clock_gettime(clock, t);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        t->tv_sec += tarvik::fuzz::clockAheadSeconds.load(std::memory_order_relaxed);
    return result;
}

// A read of more than one piece (511 bytes) is a scan's: an indexed answer reads one piece.
void CountRead(std::size_t n)
{
    if (n > 511)
        tarvik::fuzz::scanReads.fetch_add(1, std::memory_order_relaxed);
}

ssize_t __wrap_read(int fd, void *buf, std::size_t n)
{
    CountRead(n);
    return __real_read(fd, buf, n);
}

ssize_t __wrap_pread(int fd, void *buf, std::size_t n, off_t offset)
{
    CountRead(n);
    return __real_pread(fd, buf, n, offset);
}
}

namespace tarvik::fuzz
{
namespace
{

struct Class {
    const char *name;
    int number;
};
// Every class's catalogue is a link to the one file that the scripts edit.
constexpr Class kClasses[] = {{"C0", 0},    {"C1", 1},       {"CC", 12},
                              {"CAB", 171}, {"CTOP", 32767}, {"CNEG", -1}};
constexpr int kClassCount = int(std::size(kClasses));
constexpr int kCallErrno = EACCES; // errno when a lookup starts: the text of code -1
constexpr int kMaxSteps = 64;

std::string base;      // the configuration and the links
std::string catalogue; // the file the scripts write
std::string scratch;   // where replacements are written before their rename
bool getHostFails;     // the host-name query fails with ErrGet's 39 bytes
ScriptCounts counts;
long serial; // makes every text written unique, so that a stale one shows

std::string Hex(std::uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "%x", v);
    return text;
}

// ---- identities ------------------------------------------------------------------------

struct Identity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
};

bool SameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const Identity &a, const Identity &b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           SameTime(a.modified, b.modified) && SameTime(a.changed, b.changed);
}

// The catalogue's identity, when it is a regular file.
bool ReadIdentity(Identity *id)
{
    struct stat st;
    if (stat(catalogue.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *id = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    return true;
}

// Identities the catalogue had at a lookup, whose change time the file system's clock
// may not have left behind yet.
std::vector<Identity> seen;

void NoteIdentityAtLookup()
{
    Identity id;
    if (ReadIdentity(&id) && std::find(seen.begin(), seen.end(), id) == seen.end())
        seen.push_back(id);
}

timespec FileSystemClock()
{
    timespec now;
    __real_clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

bool Before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Forgets the identities that no change can give again: their change time lies behind
// the file system's clock.
void ForgetPastIdentities()
{
    const timespec now = FileSystemClock();
    seen.erase(std::remove_if(seen.begin(), seen.end(),
                              [&](const Identity &id) { return Before(id.changed, now); }),
               seen.end());
}

// ---- the catalogue's states --------------------------------------------------------------

enum class State { File, Missing, Directory };
State state;
std::string content; // the file's bytes while state is File
int contentClass;    // the class that the last catalogue written was made for

void WriteOrFail(const std::string &path, std::string_view bytes)
{
    if (!WriteFile(path, bytes))
        Fail("cannot write", path, strerror(errno));
}

// Leaves no file and no directory at the catalogue's path.
void Clear()
{
    if (state == State::File)
        unlink(catalogue.c_str());
    else if (state == State::Directory)
        rmdir(catalogue.c_str());
    state = State::Missing;
}

// Writes content over the file (truncated in place) or as a new one.
void WriteContent()
{
    if (state == State::Directory)
        Clear();
    WriteOrFail(catalogue, content);
    state = State::File;
}

// Writes bytes at offset of the existing file, without truncating it.
void WriteInPlace(std::size_t offset, std::string_view bytes)
{
    const int fd = open(catalogue.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) != ssize_t(bytes.size()))
        Fail("cannot write in place", catalogue, strerror(errno));
    close(fd);
}

// Puts the file's modification time back to t (the change time moves on regardless).
void SetModified(const timespec &t)
{
    const timespec times[2] = {{0, UTIME_OMIT}, t};
    if (utimensat(AT_FDCWD, catalogue.c_str(), times, 0) != 0)
        Fail("utimensat", catalogue, strerror(errno));
}

// After an edit that left a file: while its identity is one seen at a lookup, waits for
// the file system's clock to move on and touches the file again.
void MakeIdentityNew(const timespec *keptModified)
{
    Identity id;
    while (ReadIdentity(&id) && std::find(seen.begin(), seen.end(), id) != seen.end()) {
        while (!Before(id.changed, FileSystemClock()))
            usleep(500);
        if (utimensat(AT_FDCWD, catalogue.c_str(), nullptr, 0) != 0)
            Fail("utimensat", catalogue, strerror(errno));
        if (keptModified)
            SetModified(*keptModified);
    }
}

// ---- catalogue contents ------------------------------------------------------------------

// A text of the given length that no other text of the run has.
std::string Text(std::size_t length)
{
    std::string text = "t" + std::to_string(++serial) + "-";
    text.resize(std::max(length, text.size()), 'x');
    return text;
}

// A number that strtol with base 16 reads as code, written one of several ways.
std::string NumberOf(int code, std::uint8_t way)
{
    const std::string hex = Hex(std::uint32_t(code));
    std::string upper = hex;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    switch (way % 8) {
    case 0:
        return " " + hex;
    case 1:
        return "+" + hex;
    case 2:
        return "0x" + hex;
    case 3:
        return "\t0X" + upper;
    case 4:
        return "00" + upper;
    case 5:
        return "-" + Hex(std::uint32_t(-std::int64_t(code)));
    case 6:
        return "7fffffff0"; // saturates at 7fffffff
    default:
        return "0x"; // no digit behind: the number is 0 and ends after the '0'
    }
}

// One line of a catalogue of class cls.
std::string Line(Input &in, int cls)
{
    const std::uint8_t kind = in.Byte();
    const int code = int(std::uint32_t(cls) << 16) + 1 + in.Byte() % 24;
    const std::string entry = "." + Hex(std::uint32_t(code)) + ".";
    const std::size_t length = in.Byte() % 24;
    switch (kind % 12) {
    case 5:
        return "." + NumberOf(code, in.Byte()) + "." + Text(length) + "\n";
    case 6: {
        // A long line whose second piece starts near its own entry.
        const std::size_t filler = 511 - entry.size() + in.Byte() % 5 - 2;
        return entry + std::string(filler, 'l') + "." + Hex(std::uint32_t(code + 1)) + "." +
               Text(length) + "\n";
    }
    case 7:
        return in.Byte() % 2 ? "\n" : " " + entry + Text(length) + "\n";
    case 8:
        return entry + Text(length) + "\r\n";
    case 9:
        return entry + Text(length) + std::string(1, '\0') + Text(length) + "\n";
    case 10:
        return "." + Hex(std::uint32_t(code)) + (in.Byte() % 2 ? "\n" : "");
    case 11:
        return entry + Text(508 - entry.size() + in.Byte() % 5) + "\n";
    default:
        return entry + Text(length) + "\n";
    }
}

// A whole catalogue: a header (mostly right for one of the classes) and its lines.
std::string MakeCatalogue(Input &in)
{
    const std::uint8_t head = in.Byte();
    const int cls = kClasses[head % kClassCount].number;
    contentClass = cls;
    std::string bytes;
    switch (head / kClassCount % 8) {
    case 6:
        bytes = "!$" + Hex(std::uint32_t(cls + 1)) + "\n";
        break;
    case 7:
        bytes = head % 2 ? "" : "!$\n";
        break;
    default:
        bytes = "!$" + Hex(std::uint32_t(cls)) + (head % 3 ? "\n" : "zz\n");
    }
    // Mostly longer than 511 bytes: a catalogue as short is scanned even when indexed.
    const std::uint8_t size = in.Byte();
    for (int lines = size % 8 ? 24 + size / 8 % 32 : size / 8 % 16; lines > 0; --lines)
        bytes += Line(in, cls);
    return bytes;
}

// The codes that the content's entry lines hold, read as a scan reads them (roughly:
// these only steer the lookups towards codes that the file has).
std::vector<int> CodesOf(const std::string &bytes)
{
    std::vector<int> codes;
    for (std::size_t at = 0; at < bytes.size(); at = bytes.find('\n', at) + 1) {
        if (bytes[at] == '.') {
            const long v = strtol(bytes.c_str() + at + 1, nullptr, 16);
            codes.push_back(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v));
        }
        if (bytes.find('\n', at) == std::string::npos)
            break;
    }
    return codes;
}

// ---- the steps -------------------------------------------------------------------------

// What ErrGet must give for code, from the plain scan.
struct Expected {
    std::string printed, text;
    int result = 0;
    bool readsFile = false; // the lookup reads the catalogue
};

Expected PlainGet(int code)
{
    char body[1024] = "";
    static ReadBuffer buffer;
    tarvik::CatalogueTrace trace;
    const LookupOutcome out = LookupCode(ErrCfgGet(), code, body, buffer, &trace);
    Expected e;
    e.printed = getHostFails ? "Tarvik - ErrGet() : gethostname() fails !\n" : "";
    e.result = getHostFails ? -1 : 0;
    const std::string path = out.entry ? out.entry->FilePath : "";
    e.readsFile = out.end != LookupEnd::SystemError && out.end != LookupEnd::NoClass &&
                  out.end != LookupEnd::CannotOpen;
    std::string diag;
    switch (out.end) {
    case LookupEnd::SystemError:
        e.text = strerror(kCallErrno);
        break;
    case LookupEnd::NoClass:
        e.text = "Unknown class number " + std::to_string(out.errClass) + " in error code $" +
                 Hex(std::uint32_t(code)) + "\n";
        break;
    case LookupEnd::NoEntry:
        e.text = "Unknown error number $" + Hex(std::uint32_t(code)) + " in class " +
                 out.entry->PkgName + "\n";
        break;
    case LookupEnd::Found:
        e.text = body;
        break;
    case LookupEnd::CannotOpen:
        diag = "Impossible d'ouvrir le fichier \"" + path + "\"";
        break;
    case LookupEnd::Unreadable:
    case LookupEnd::Empty:
        diag = path + " : fichier vide";
        break;
    case LookupEnd::BadHeader:
        diag = path + " : format incorrect";
        break;
    case LookupEnd::ReadError:
        diag = path + " : erreur de lecture";
        break;
    }
    if (!diag.empty()) {
        e.printed += "Tarvik - ErrGet() : " + diag + "\n";
        e.result = -1;
    }
    return e;
}

// Looks a code up (mostly one of the file's or of its class; else one of another class,
// any value or -1) through ErrGet and compares everything with the plain scan.
void LookUp(Input &in)
{
    const std::uint8_t mode = in.Byte();
    const std::vector<int> codes = state == State::File ? CodesOf(content) : std::vector<int>();
    int code;
    if (mode % 8 < 5 && !codes.empty())
        code = codes[in.Byte() % codes.size()];
    else if (mode % 8 < 7)
        code = int(std::uint32_t(contentClass) << 16 | in.Byte());
    else if (in.Byte() % 2)
        code = int(std::uint32_t(kClasses[in.Byte() % kClassCount].number) << 16 | in.Byte());
    else
        code = in.Byte() % 2 ? TARVIK_SYSTEM_ERROR : int(in.U32());
    const int bufSize = 1 + (mode >> 3) * 40; // 1 to 1241 bytes

    NoteIdentityAtLookup();
    const Expected e = PlainGet(code);
    static char buffer[1300];
    RestartCapture();
    const long readsBefore = scanReads.load();
    errno = kCallErrno;
    const int got = ErrGet(code, buffer, bufSize);
    const bool fromIndex = scanReads.load() == readsBefore;
    const std::string printed = Captured();
    const std::string what = "ErrGet($" + Hex(std::uint32_t(code)) + ") on\n" + content;
    if (printed != e.printed)
        Fail(("printed by " + what).c_str(), e.printed, printed);
    if (got != e.result)
        Fail(("result of " + what).c_str(), std::to_string(e.result), std::to_string(got));
    const std::string want = e.text.substr(0, std::size_t(bufSize) - 1);
    if (std::string_view(buffer) != want)
        Fail(("text of " + what).c_str(), want, buffer);
    counts.lookups += e.readsFile;
    counts.fromIndex += e.readsFile && fromIndex;
}

// Edits the catalogue in one of the ways a file can change under a running program.
void EditCatalogue(Input &in, std::uint8_t kind)
{
    ForgetPastIdentities();
    const bool hadFile = state == State::File;
    timespec modified = {};
    if (hadFile) {
        struct stat st;
        if (stat(catalogue.c_str(), &st) == 0)
            modified = st.st_mtim;
    }
    bool keepTime = false;
    switch (hadFile ? kind % 10 : 3 + kind % 7) {
    case 0: // in place, the same size
    case 1:
    case 2: // the same, with the modification time put back
        if (!content.empty()) {
            const std::size_t at = in.U16() % content.size();
            std::string bytes = Text(1 + in.Byte() % 8);
            if (in.Byte() % 3 == 0)
                bytes[0] = "\n.0\0"[in.Byte() % 4];
            bytes.resize(std::min(bytes.size(), content.size() - at));
            content.replace(at, bytes.size(), bytes);
            WriteInPlace(at, bytes);
            keepTime = kind % 10 == 2;
            if (keepTime)
                SetModified(modified);
        }
        break;
    case 3: // replaced by rename: a new file
    case 4: {
        content = MakeCatalogue(in);
        WriteOrFail(scratch, content);
        if (state == State::Directory)
            rmdir(catalogue.c_str());
        if (rename(scratch.c_str(), catalogue.c_str()) != 0)
            Fail("rename", catalogue, strerror(errno));
        state = State::File;
        break;
    }
    case 5: // rewritten, truncated first
        content = MakeCatalogue(in);
        WriteContent();
        break;
    case 6: // truncated, or extended by one line
    case 7:
        if (hadFile && kind % 10 == 6) {
            content.resize(in.U16() % (content.size() + 1));
            if (truncate(catalogue.c_str(), off_t(content.size())) != 0)
                Fail("truncate", catalogue, strerror(errno));
        } else {
            if (!hadFile)
                content.clear();
            const std::string line = Line(in, kClasses[in.Byte() % kClassCount].number);
            if (hadFile)
                WriteInPlace(content.size(), line);
            content += line;
            if (!hadFile)
                WriteContent();
        }
        break;
    case 8:
        Clear();
        break;
    default:
        Clear();
        if (mkdir(catalogue.c_str(), 0700) != 0)
            Fail("mkdir", catalogue, strerror(errno));
        state = State::Directory;
    }
    if (state == State::File)
        MakeIdentityNew(keepTime ? &modified : nullptr);
}

} // namespace

void SetUpIndexScripts()
{
    base = MakeScratchDir("fuzz-index");
    catalogue = base + "/catalogue";
    scratch = base + "/next";
    std::string cfg;
    for (const Class &c : kClasses) {
        cfg += ".CLASS " + std::string(c.name) + " " + std::to_string(c.number) + "\n";
        const std::string link = base + "/" + c.name + "_err.tarvik";
        if (symlink(catalogue.c_str(), link.c_str()) != 0)
            Fail("cannot link a catalogue", link, strerror(errno));
    }
    WriteOrFail(base + "/Tarvik.cfg", cfg);
    setenv("TARVIK_CFG_DIR", base.c_str(), 1);
    unsetenv("TARVIK_CFG_FILE");
    unsetenv("TARVIK_CFG_DIR_USER");
    char host[64];
    getHostFails = gethostname(host, 39) != 0;
    CaptureStdout(base);
    ErrGet(TARVIK_SYSTEM_ERROR, nullptr, 0);
    if (!Captured().empty() || !ErrCfgGet())
        Fail("the configuration does not load", "", Captured());
    state = State::Missing;
    clockAheadSeconds = 60;
}

void RunIndexScript(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    ForgetPastIdentities();
    content = MakeCatalogue(in);
    WriteContent();
    MakeIdentityNew(nullptr);
    for (int step = 0; step < kMaxSteps && !in.Empty(); ++step) {
        const std::uint8_t kind = in.Byte();
        if (kind % 6)
            LookUp(in);
        else
            EditCatalogue(in, kind / 6);
    }
    LookUp(in);
}

ScriptCounts IndexScriptCounts()
{
    return counts;
}

} // namespace tarvik::fuzz
