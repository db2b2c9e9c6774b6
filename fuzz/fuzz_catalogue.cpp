// Fuzz target: a compiled catalogue (the input) read by ErrGet and ErrSend, and by the
// catalogue reader's functions directly.
//
// A fixed configuration names nine classes whose catalogues are all links to the one
// input file, one class whose catalogue is missing and one whose catalogue is a
// directory. The input's last bytes choose up to three codes (of those classes, or any
// 32-bit value, or -1) and ErrGet's buffer size. Every result, every text handed back
// and every byte printed (diagnostics and the framed report, date masked) is compared
// with a plain reading of the file: fopen, 512-byte fgets and strtol with base 16.
// The reader's pieces and entry parses are compared with the same reading. For one input
// in four (by its length) standard output is a small non-blocking pipe that the harness
// keeps nearly full, so that reports and diagnostics meet a full descriptor.
#include "Catalogue.h"
#include "FuzzSupport.h"
#include "tarvik.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using tarvik::fuzz::Fail;

struct Class {
    const char *name;
    int number;
};
// The first kInputClasses read the input file; GONE's catalogue does not exist and
// FOLDER's is a directory.
constexpr Class kClasses[] = {{"C0", 0},        {"C1", 1},    {"C2", 2},       {"C3", 3},
                              {"CC", 12},       {"CAB", 171}, {"CTOP", 32767}, {"CNEG", -1},
                              {"CLOW", -32768}, {"GONE", 5},  {"FOLDER", 6}};
constexpr int kInputClasses = 9;
const Class &kDirectory = kClasses[10];
constexpr int kCallErrno = EACCES; // errno when a lookup starts: the text of code -1

std::string base;      // the configuration and the catalogues
std::string catalogue; // the input, as a file
bool hostFails;        // the host-name query fails, whatever room it is given

std::string Hex(std::uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "%x", v);
    return text;
}

std::string Path(const Class &c)
{
    return base + "/" + c.name + "_err.tarvik";
}

// strtol with base 16 on a line's number, saturated to int.
int ReadHex(const char *p, char **end)
{
    const int saved = errno;
    const long v = strtol(p, end, 16);
    errno = saved;
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v);
}

// An entry line's code and text, read the plain way.
void PlainEntry(const char *line, int *code, std::string *text)
{
    char *s;
    *code = ReadHex(line + 1, &s);
    *text = *s == '\0' ? "" : s + 1;
    if (!text->empty() && text->back() == '\n')
        text->pop_back();
}

enum class Outcome { Found, NoClass, NoEntry, Failed };

struct Expected {
    Outcome outcome = Outcome::Found;
    const Class *cls = nullptr;
    std::string body; // the text found
    std::string diag; // the diagnostic behind "Tarvik - <function>() : "
};

// What a lookup of code gives, read the plain way.
Expected PlainLookup(int code)
{
    Expected e;
    if (code == -1) {
        e.body = strerror(kCallErrno);
        return e;
    }
    const int cls = code >> 16;
    for (const Class &c : kClasses)
        if (c.number == cls)
            e.cls = &c;
    if (!e.cls) {
        e.outcome = Outcome::NoClass;
        return e;
    }
    const std::string path = Path(*e.cls);
    FILE *f = fopen(path.c_str(), "r");
    e.outcome = Outcome::Failed;
    if (!f) {
        e.diag = "Impossible d'ouvrir le fichier \"" + path + "\"\n";
        return e;
    }
    char line[512];
    char ident[20];
    snprintf(ident, sizeof ident, "!$%x", unsigned(cls));
    if (!fgets(line, sizeof line, f)) {
        e.diag = path + " : fichier vide\n";
    } else if (strncmp(line, ident, strlen(ident)) != 0) {
        e.diag = path + " : format incorrect\n";
    } else {
        e.outcome = Outcome::NoEntry;
        while (fgets(line, sizeof line, f)) {
            int num;
            std::string text;
            if (line[0] != '.')
                continue;
            PlainEntry(line, &num, &text);
            if (num == code) {
                e.outcome = Outcome::Found;
                e.body = text.substr(0, 1023);
                break;
            }
        }
        if (e.outcome == Outcome::NoEntry && ferror(f)) {
            e.outcome = Outcome::Failed;
            e.diag = path + " : erreur de lecture\n";
        }
    }
    fclose(f);
    return e;
}

// Replaces the date stamp of every report in out by "<date>". A report's banner starts
// a line; the same text inside a line is part of an entry's text.
std::string MaskDates(std::string out)
{
    static const std::string banner = "==== TARVIK MESSAGE ==== ";
    for (std::size_t at = out.find(banner); at != std::string::npos;
         at = out.find(banner, at + 1)) {
        if (at != 0 && out[at - 1] != '\n')
            continue;
        const std::size_t from = at + banner.size();
        const std::size_t to = out.find('\n', from);
        out.replace(from, to == std::string::npos ? std::string::npos : to - from, "<date>");
    }
    return out;
}

void CheckGet(int code, int bufSize)
{
    const Expected e = PlainLookup(code);
    std::string text;
    switch (e.outcome) {
    case Outcome::Found:
        text = e.body;
        break;
    case Outcome::NoClass:
        text = "Unknown class number " + std::to_string(code >> 16) + " in error code $" +
               Hex(std::uint32_t(code)) + "\n";
        break;
    case Outcome::NoEntry:
        text =
            "Unknown error number $" + Hex(std::uint32_t(code)) + " in class " + e.cls->name + "\n";
        break;
    case Outcome::Failed:
        break;
    }
    std::string out = hostFails ? "Tarvik - ErrGet() : gethostname() fails !\n" : "";
    if (!e.diag.empty())
        out += "Tarvik - ErrGet() : " + e.diag;
    const int result = e.outcome == Outcome::Failed || hostFails ? -1 : 0;

    static char buffer[1100 + 64];
    memset(buffer, 0x55, sizeof buffer);
    tarvik::fuzz::RestartCapture();
    errno = kCallErrno;
    const int got = ErrGet(code, bufSize > 0 ? buffer : nullptr, bufSize);
    const int errnoAfter = errno;
    const std::string printed = tarvik::fuzz::Captured();
    if (printed != out)
        Fail(("ErrGet output, code " + Hex(std::uint32_t(code))).c_str(), out, printed);
    if (got != result || errnoAfter != kCallErrno)
        Fail("ErrGet result and errno", std::to_string(result) + " " + std::to_string(kCallErrno),
             std::to_string(got) + " " + std::to_string(errnoAfter));
    if (bufSize > 0) {
        const std::string want = text.substr(0, std::size_t(bufSize) - 1);
        std::string bytes(want);
        bytes.resize(std::size_t(bufSize), '\0');
        if (std::string_view(buffer, std::size_t(bufSize)) != bytes)
            Fail("ErrGet buffer", bytes, std::string_view(buffer, std::size_t(bufSize)));
        for (std::size_t i = std::size_t(bufSize); i < sizeof buffer; ++i)
            if (buffer[i] != 0x55)
                Fail("ErrGet wrote past the buffer", "", std::to_string(bufSize));
    }
}

void CheckSend(int code, int type)
{
    const Expected e = PlainLookup(code);
    std::string out = hostFails ? "Tarvik - ErrSend() : gethostname() fails !\n" : "";
    if (!e.diag.empty())
        out += "Tarvik - ErrSend() : " + e.diag;
    std::string words;
    for (const auto &[bit, word] : {std::pair<int, const char *>{1, " DEBUG"},
                                    {2, " INFORMATION"},
                                    {4, " WARNING"},
                                    {8, " ERROR"},
                                    {16, " FATAL"}})
        if (type & bit)
            words += word;
    out += "==== TARVIK MESSAGE ==== <date>\nApplication : \nClass : " +
           std::string(e.cls ? e.cls->name : "") + " (" +
           std::to_string(code == -1 ? 0 : code >> 16) + ")\nCode : $" + Hex(std::uint32_t(code)) +
           "\nType :" + words +
           "\nSource : FUZZ - lookup\nBody : " + (e.outcome == Outcome::Found ? e.body : "") +
           "\nExtra : " + Hex(std::uint32_t(type)) + "\n========================\n\n";
    const int result = e.outcome == Outcome::Failed || hostFails ? -1 : 0;

    tarvik::fuzz::RestartCapture();
    errno = kCallErrno;
    const int got = ErrSend(code, type, "FUZZ - lookup", Hex(std::uint32_t(type)).c_str());
    const int errnoAfter = errno;
    const std::string printed = MaskDates(tarvik::fuzz::Captured());
    if (printed != out)
        Fail(("ErrSend output, code " + Hex(std::uint32_t(code))).c_str(), out, printed);
    if (got != result || errnoAfter != kCallErrno)
        Fail("ErrSend result and errno", std::to_string(result) + " " + std::to_string(kCallErrno),
             std::to_string(got) + " " + std::to_string(errnoAfter));
}

// The reader's pieces against 512-byte fgets, its entry parse against strtol.
void CheckReader()
{
    static tarvik::ReadBuffer buffer;
    tarvik::CatalogueReader reader(buffer);
    FILE *f = fopen(catalogue.c_str(), "r");
    if (!f || !tarvik::OpenCatalogue(reader, catalogue.c_str()))
        Fail("cannot open the input file", catalogue, "");
    char line[512];
    std::string_view piece;
    for (int n = 1;; ++n) {
        const bool plain = fgets(line, sizeof line, f) != nullptr;
        const bool read = tarvik::NextPiece(reader, piece);
        if (plain != read || reader.failed)
            Fail(("the reader ends elsewhere, piece " + std::to_string(n)).c_str(),
                 plain ? line : "<end>", read ? piece : "<end>");
        if (!plain)
            break;
        if (piece != line)
            Fail(("piece " + std::to_string(n)).c_str(), line, piece);
        if (line[0] != '.')
            continue;
        int plainCode, code;
        std::string plainText;
        std::string_view text;
        PlainEntry(line, &plainCode, &plainText);
        tarvik::ParseEntry(piece, &code, &text);
        if (code != plainCode || text != plainText)
            Fail("entry parse", Hex(std::uint32_t(plainCode)) + "." + plainText,
                 Hex(std::uint32_t(code)) + "." + std::string(text));
    }
    fclose(f);
}

void CheckHeader(int cls)
{
    char ident[20], plain[20];
    snprintf(plain, sizeof plain, "!$%x", unsigned(cls));
    if (tarvik::CatalogueHeader(cls, ident) != plain || std::string_view(ident) != plain)
        Fail("catalogue header", plain, ident);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    base = tarvik::fuzz::MakeScratchDir("fuzz-catalogue");
    catalogue = base + "/input";
    std::string cfg;
    for (int i = 0; i < int(std::size(kClasses)); ++i) {
        const Class &c = kClasses[i];
        cfg += ".CLASS " + std::string(c.name) + " " + std::to_string(c.number) + "\n";
        if (i < kInputClasses && symlink(catalogue.c_str(), Path(c).c_str()) != 0)
            Fail("cannot link a catalogue", Path(c), "");
    }
    if (!tarvik::fuzz::WriteFile(base + "/Tarvik.cfg", cfg) ||
        mkdir(Path(kDirectory).c_str(), 0700) != 0)
        Fail("cannot write the configuration", base, "");
    setenv("TARVIK_CFG_DIR", base.c_str(), 1);
    unsetenv("TARVIK_CFG_FILE");
    unsetenv("TARVIK_CFG_DIR_USER");
    char host[HOST_NAME_MAX + 1];
    hostFails = gethostname(host, sizeof host) != 0;
    tarvik::fuzz::CaptureStdout(base);
    // The first call loads the configuration; nothing else is printed ever after.
    ErrGet(-1, nullptr, 0);
    if (!tarvik::fuzz::Captured().empty() || !ErrCfgGet())
        Fail("the configuration does not load", "", tarvik::fuzz::Captured());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    tarvik::fuzz::Input in(data, size);
    // Standard output is a small non-blocking pipe for one input in four (by its length),
    // the capture file for the others: the input's meaning stays the same either way.
    tarvik::fuzz::UsePipe(size % 4 == 1);
    struct Lookup {
        int code, bufSize, type;
    } lookups[3];
    const int count = 1 + in.Byte() % 3;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t mode = in.Byte();
        const std::uint16_t index = in.U16();
        const std::uint8_t size = in.Byte();
        Lookup &l = lookups[i];
        // A code of a configured class, any 32-bit value, or -1.
        const int select = mode % 13;
        if (select < int(std::size(kClasses)))
            l.code = int(std::uint32_t(kClasses[select].number) << 16 | index);
        else if (select == 11)
            l.code = int(in.U32());
        else
            l.code = -1;
        // No buffer, a size below 9, or a size up to 1100 in steps of 6.
        l.bufSize = size < 16 ? 0 : size < 64 ? 1 + size % 8 : std::min(6 * (size - 64) + 1, 1100);
        l.type = mode >> 3;
    }
    if (!tarvik::fuzz::WriteFile(catalogue, in.Rest()))
        Fail("cannot write the input file", catalogue, "");

    for (int i = 0; i < count; ++i) {
        CheckGet(lookups[i].code, lookups[i].bufSize);
        CheckSend(lookups[i].code, lookups[i].type);
        CheckHeader(lookups[i].code >> 16);
    }
    CheckReader();
    return 0;
}
