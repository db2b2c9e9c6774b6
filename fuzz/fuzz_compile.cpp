// Fuzz target: the catalogue compiler's whole run on the input as its source file.
//
// The compiler's main is built into this program under another name and runs in a
// private scratch directory. Besides the sanitizers, every run checks:
//   - the exit status is 0 with nothing printed, or 1 after a diagnostic;
//   - only <CLASS>_err.h and <CLASS>_err.tarvik files appear, always in pairs;
//   - each pair agrees: the header's codes are the catalogue's codes, in order, both
//     counting up by one from the class number shifted left by 16 bits;
//   - the library's catalogue reader reads every entry back with its code and text;
//   - when the source checker (TarvikCheck --source) finds no error in the input, the
//     compiler succeeds and writes exactly the classes, errors and codes that the
//     checker read.
// A '/' in the input becomes '|' (a byte with the same role in the source format), so
// that no class name can make the compiler write outside the scratch directory.
#include "Catalogue.h"
#include "FuzzSupport.h"
#include "SourceCheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int TarvikCompileMain(int argc, char **argv); // TarvikCompile.cpp's main, renamed

namespace
{

using tarvik::fuzz::Fail;

std::string base;   // scratch directory: the source file and the captured output
std::string work;   // the compiler's working directory, emptied after every run
std::string source; // the source file given to the compiler

constexpr std::string_view kHeaderSuffix = "_err.h";
constexpr std::string_view kCatalogueSuffix = "_err.tarvik";

bool EndsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string Hex(std::uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "%x", v);
    return text;
}

std::string ReadAll(const std::string &path)
{
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        Fail("a generated file cannot be read", path, "");
    char chunk[4096];
    std::size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

std::vector<std::string_view> Lines(std::string_view text, const std::string &name)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos)
            Fail("a generated file does not end with a newline", "", name);
        lines.push_back(text.substr(0, nl));
        text.remove_prefix(nl + 1);
    }
    return lines;
}

bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Checks one class's pair of files; pkg is the class name as the file names give it.
void CheckPair(const std::string &pkg)
{
    for (const char c : pkg)
        if ((c >= 'a' && c <= 'z') || c == ' ' || c == '\t' || c == '\n' || c == '/')
            Fail("a class name that the compiler should never form", "", pkg);
    const std::string hName = pkg + std::string(kHeaderSuffix);
    const std::string cName = pkg + std::string(kCatalogueSuffix);
    const std::string header = ReadAll(work + "/" + hName);
    const std::string catalogue = ReadAll(work + "/" + cName);
    const std::vector<std::string_view> h = Lines(header, hName);
    const std::vector<std::string_view> c = Lines(catalogue, cName);

    const std::string guard = "#ifndef _" + pkg + "_ERR_H_";
    if (h.size() < 3 || h[0] != guard || h[1] != "#define _" + pkg + "_ERR_H_" ||
        h.back() != "#endif")
        Fail("header without its guard and #endif", guard, header);
    if (c.empty() || c[0].substr(0, 2) != "!$")
        Fail("catalogue without its first line", "!$<class>", catalogue);
    const std::uint32_t cls =
        std::uint32_t(strtoul(std::string(c[0].substr(2)).c_str(), nullptr, 16));
    if (c[0] != "!$" + Hex(cls))
        Fail("catalogue first line", "!$" + Hex(cls), c[0]);
    if (h.size() - 3 != c.size() - 1)
        Fail("header and catalogue disagree on the number of errors", catalogue, header);

    static tarvik::ReadBuffer buffer;
    tarvik::CatalogueReader reader(buffer);
    if (!tarvik::OpenCatalogue(reader, (work + "/" + cName).c_str()))
        Fail("the library cannot open a generated catalogue", "", cName);
    std::string_view piece;
    if (!tarvik::NextPiece(reader, piece) || piece != std::string(c[0]) + "\n")
        Fail("the library reads another first line", c[0], piece);
    char ident[20];
    if (tarvik::CatalogueHeader(int(cls), ident) != c[0])
        Fail("the library forms another header for the class", c[0], ident);

    const std::string definePrefix = "#define R_" + pkg + "_";
    for (std::size_t i = 1; i < c.size(); ++i) {
        const std::uint32_t code = (cls << 16) + std::uint32_t(i);
        const std::string entryPrefix = "." + Hex(code) + ".";
        if (c[i].substr(0, entryPrefix.size()) != entryPrefix)
            Fail("catalogue entry out of sequence", entryPrefix, c[i]);
        const std::string_view text = c[i].substr(entryPrefix.size());
        if (text.size() > 255 || text.find('"') != std::string_view::npos ||
            text.find('\0') != std::string_view::npos)
            Fail("an error text that the source cannot give", "", text);

        const std::string_view define = h[i + 1];
        const std::string defineEnd = " 0x" + Hex(code);
        std::size_t n = 0;
        while (definePrefix.size() + n < define.size() &&
               IsNameChar(define[definePrefix.size() + n]))
            ++n;
        if (define.substr(0, definePrefix.size()) != definePrefix || n == 0 || n > 39 ||
            define.substr(definePrefix.size() + n) != defineEnd)
            Fail("header line", definePrefix + "<name>" + defineEnd, define);

        // The library reads the entry back as one piece, with the same code and text.
        if (!tarvik::NextPiece(reader, piece) || piece != std::string(c[i]) + "\n")
            Fail("the library reads another entry line", c[i], piece);
        int parsed;
        std::string_view parsedText;
        tarvik::ParseEntry(piece, &parsed, &parsedText);
        const int expected = code > 0x7fffffffu ? 0x7fffffff : int(code);
        if (parsed != expected || parsedText != text)
            Fail("the library parses an entry otherwise", c[i],
                 Hex(std::uint32_t(parsed)) + "." + std::string(parsedText));
    }
    if (tarvik::NextPiece(reader, piece))
        Fail("the library reads past the last entry", "", piece);
}

// Checks that the compiler wrote what the checker read: the same classes, each with
// the same errors in the same order and with the same codes.
void CheckAgainstChecker(const std::vector<tarvik::check::ClassDecl> &classes,
                         const std::map<std::string, int> &pairs)
{
    if (classes.size() != pairs.size())
        Fail("the checker and the compiler disagree on the number of classes",
             std::to_string(classes.size()), std::to_string(pairs.size()));
    for (const tarvik::check::ClassDecl &c : classes) {
        if (pairs.count(c.name) == 0)
            Fail("a class that the checker read and the compiler did not write", "", c.name);
        const std::string header = ReadAll(work + "/" + c.name + std::string(kHeaderSuffix));
        const std::vector<std::string_view> h = Lines(header, c.name);
        if (h.size() != c.errors.size() + 3)
            Fail("the checker and the compiler disagree on the errors of a class", c.name, header);
        for (std::size_t i = 0; i < c.errors.size(); ++i) {
            const std::string define =
                "#define R_" + c.name + "_" + c.errors[i].name + " 0x" + Hex(c.errors[i].code);
            if (h[i + 2] != define)
                Fail("the checker and the compiler disagree on an error", define, h[i + 2]);
        }
    }
}

// Checks every file the compiler left, then removes them all. With checked, the
// checker found no error in the source and read these classes.
void CheckGenerated(const std::vector<tarvik::check::ClassDecl> *checked)
{
    std::map<std::string, int> pairs; // class name -> 1 header, 2 catalogue, 3 both
    DIR *dir = opendir(work.c_str());
    if (!dir)
        Fail("the working directory is gone", work, "");
    while (const dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (lstat((work + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            Fail("the compiler made something other than a file", "", name);
        if (EndsWith(name, kHeaderSuffix))
            pairs[name.substr(0, name.size() - kHeaderSuffix.size())] |= 1;
        else if (EndsWith(name, kCatalogueSuffix))
            pairs[name.substr(0, name.size() - kCatalogueSuffix.size())] |= 2;
        else
            Fail("the compiler made a file of another name", "<CLASS>_err.h or .tarvik", name);
    }
    closedir(dir);
    for (const auto &[pkg, which] : pairs) {
        if (which != 3)
            Fail("a class with one of its two files only", "", pkg);
        CheckPair(pkg);
    }
    if (checked)
        CheckAgainstChecker(*checked, pairs);
    tarvik::fuzz::EmptyDir(work);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    base = tarvik::fuzz::MakeScratchDir("fuzz-compile");
    work = base + "/out";
    source = base + "/source.err";
    if (mkdir(work.c_str(), 0700) != 0 || chdir(work.c_str()) != 0)
        Fail("cannot enter the working directory", work, "");
    tarvik::fuzz::CaptureStdout(base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    for (char &c : text)
        if (c == '/')
            c = '|';
    if (!tarvik::fuzz::WriteFile(source, text))
        Fail("cannot write the source file", source, "");

    tarvik::fuzz::RestartCapture();
    char name[] = "TarvikCompile";
    char *argv[] = {name, source.data(), nullptr};
    const int status = TarvikCompileMain(2, argv);
    const std::string out = tarvik::fuzz::Captured();
    if (status == 0 && !out.empty())
        Fail("a successful run printed something", "", out);
    if (status == 1 && (out.size() < 2 || out.front() != '\n' || out.back() != '\n'))
        Fail("a failed run without its diagnostic", "\\n<diagnostic>\\n", out);
    if (status != 0 && status != 1)
        Fail("exit status", "0 or 1", std::to_string(status) + " " + out);

    tarvik::check::Report report;
    const std::vector<tarvik::check::ClassDecl> classes =
        tarvik::check::CheckSources({source}, report);
    const bool clean = report.errors == 0;
    if (clean && status != 0)
        Fail("the checker passed a source that the compiler refuses", "", out);
    CheckGenerated(clean ? &classes : nullptr);
    return 0;
}
