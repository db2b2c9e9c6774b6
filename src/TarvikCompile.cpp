/*
 * TarvikCompile - compiles an error catalogue source into, for every class section,
 * a C header of R_<CLASS>_<ERROR> macros (<CLASS>_err.h) and a compiled catalogue
 * (<CLASS>_err.tarvik) in the current directory.
 *
 * One pass: every error is written to both files as soon as its line is read, so memory
 * use does not grow with the source. The first fault ends the run with a diagnostic on
 * standard output; the files of every earlier class are complete by then.
 *
 * Exit status: 0 after success, 1 after a diagnostic, 2 after the usage text.
 */
#include "TextScan.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{

using tarvik::IsBlank;
using tarvik::SkipBlanks;

constexpr int kExitOk = 0;
constexpr int kExitFault = 1;
constexpr int kExitUsage = 2;

constexpr int kNameMax = 39;      /* class and error names */
constexpr int kTextMax = 255;     /* error texts */
constexpr int kMaxErrors = 65535; /* errors per class: the low 16 bits of a code, 0 excluded */
constexpr char kClassKeyword[] = ".CLASS";
constexpr std::size_t kClassKeywordLen = sizeof kClassKeyword - 1;

/* One generated file: the open stream and the name that diagnostics show. */
struct Output {
    FILE *Stream = nullptr;
    char Name[kNameMax + sizeof "_err.tarvik"] = "";
};

/* Working state of one compiler run. */
struct Run {
    char Line[512];                  /* the line just read, at most 511 bytes */
    int LineNum = 0;                 /* number of the line in Line, from 1 */
    char PkgName[kNameMax + 1] = ""; /* current class, upper case; empty before the first */
    int ClassCode = 0;
    int ErrorNum = 0; /* errors declared so far in the current class */
    Output HFile;     /* generated header of the current class */
    Output ObjFile;   /* compiled catalogue of the current class */
};

constexpr bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

constexpr bool IsLineEnd(char c)
{
    return c == '\n' || c == '\0';
}

void Usage()
{
    printf("\nUsage : TarvikCompile filename\n");
    printf("\n        avec filename = nom du fichier a compiler\n");
}

/* Prints a line fault: the line number, the line as read, then the message. */
void LineFault(const Run &run, const char *message)
{
    printf("\nLigne %d : %s\n%s\n", run.LineNum, run.Line, message);
}

void WriteFault(const Output &out)
{
    printf("\nEcriture du fichier \"%s\" impossible\n", out.Name);
}

/* Closes out's stream, if open; returns false when a write or the close failed. */
bool Close(Output &out)
{
    if (!out.Stream)
        return true;
    const bool writeOk = !ferror(out.Stream);
    const bool closeOk = fclose(out.Stream) == 0;
    out.Stream = nullptr;
    return writeOk && closeOk;
}

/*
 * Completes the current class, if any: ends its header and closes both files.
 * Returns false, after the write diagnostic, when a write or close failed.
 */
bool ClosePair(Run &run)
{
    bool headerOk = true;
    if (run.HFile.Stream)
        headerOk = fputs("#endif\n", run.HFile.Stream) >= 0;
    headerOk = Close(run.HFile) && headerOk;
    if (!headerOk)
        WriteFault(run.HFile);
    const bool catalogueOk = Close(run.ObjFile);
    if (headerOk && !catalogueOk)
        WriteFault(run.ObjFile);
    return headerOk && catalogueOk;
}

/* Reports a line fault, then completes the current class as every fault does. */
int FailLine(Run &run, const char *message)
{
    LineFault(run, message);
    ClosePair(run);
    return kExitFault;
}

/* Ends the run after a failed write to out: both files are closed as they stand. */
int FailWrite(Run &run, const Output &out)
{
    WriteFault(out);
    Close(run.HFile);
    Close(run.ObjFile);
    return kExitFault;
}

/* Creates out for writing; prints the creation fault and returns false on failure. */
bool Create(Output &out, const char *format, const char *pkgName)
{
    snprintf(out.Name, sizeof out.Name, format, pkgName);
    out.Stream = fopen(out.Name, "w");
    if (!out.Stream)
        printf("\nCreation du fichier \"%s\" impossible\n", out.Name);
    return out.Stream != nullptr;
}

/*
 * Handles a ".CLASS" line: completes the previous class, then reads the name and number
 * and starts the new class's two files. Returns -1 to go on, or the exit status.
 */
int DeclareClass(Run &run)
{
    if (!ClosePair(run))
        return kExitFault;

    const char *s = SkipBlanks(run.Line + kClassKeywordLen);
    if (IsLineEnd(*s))
        return FailLine(run, "Il manque le nom de classe");

    /* The name ends at a blank or the end of the line; a carriage return belongs to it. */
    int n = 0;
    for (; n < kNameMax && !IsLineEnd(s[n]) && !IsBlank(s[n]); ++n)
        run.PkgName[n] = tarvik::UpperAscii(s[n]);
    run.PkgName[n] = '\0';
    s += n;
    if (!IsLineEnd(*s) && !IsBlank(*s))
        return FailLine(run, "Nom trop long (39 caracteres au plus)");

    s = SkipBlanks(s);
    if (IsLineEnd(*s)) {
        /* The echoed line keeps its own newline, and the message follows it directly. */
        printf("\nLigne %d : %sIl manque le numero\n", run.LineNum, run.Line);
        return kExitFault;
    }
    run.ClassCode = tarvik::ScanInt(s, 10);

    if (!Create(run.HFile, "%s_err.h", run.PkgName))
        return kExitFault;
    if (!Create(run.ObjFile, "%s_err.tarvik", run.PkgName)) {
        Close(run.HFile); /* the header stays on disk, empty */
        return kExitFault;
    }
    run.ErrorNum = 0;
    if (fprintf(run.HFile.Stream, "#ifndef _%s_ERR_H_\n#define _%s_ERR_H_\n", run.PkgName,
                run.PkgName) < 0)
        return FailWrite(run, run.HFile);
    if (fprintf(run.ObjFile.Stream, "!$%x\n", unsigned(run.ClassCode)) < 0)
        return FailWrite(run, run.ObjFile);
    return -1;
}

/* Appends n bytes of text at p; returns the end. */
char *Append(char *p, const char *text, std::size_t n)
{
    std::memcpy(p, text, n);
    return p + n;
}

/* Writes the bytes from line to end as one line of out; false when the write failed. */
bool WriteLine(const Output &out, const char *line, const char *end)
{
    const std::size_t n = std::size_t(end - line);
    return std::fwrite(line, 1, n, out.Stream) == n;
}

/*
 * Handles every other line: a line that starts (after blanks) with an error name
 * declares the next error of the current class; any other line declares nothing.
 * Returns -1 to go on, or the exit status.
 *
 * This is the compiler's hot path, so both output lines are assembled in local buffers
 * and written with one call each, instead of going through printf's format parsing.
 */
int DeclareError(Run &run)
{
    const char *name = SkipBlanks(run.Line);
    int n = 0;
    while (n < kNameMax && IsNameChar(name[n]))
        ++n;
    if (n == 0)
        return -1;
    if (run.ErrorNum == kMaxErrors)
        return FailLine(run, "Le nombre maximum d'erreurs est 65535");
    if (run.PkgName[0] == '\0')
        return FailLine(run, "Declaration d'une erreur sans declaration prealable de classe");
    if (IsNameChar(name[n]))
        return FailLine(run, "Nom trop long (39 caracteres au plus)");

    /* The text runs from an opening quote to the next quote or the end of the line. */
    const char *text = SkipBlanks(name + n);
    int m = 0;
    if (*text == '"') {
        ++text;
        m = int(std::min(std::strcspn(text, "\"\n"), std::size_t(kTextMax)));
    }

    ++run.ErrorNum;
    /* 32-bit two's-complement: only the class number's low 16 bits reach the code. */
    const std::uint32_t code = (std::uint32_t(run.ClassCode) << 16) + std::uint32_t(run.ErrorNum);

    /* ".<code>.<text>\n" to the compiled catalogue first */
    char entry[1 + 8 + 1 + kTextMax + 1];
    char *p = entry;
    *p++ = '.';
    p = tarvik::AppendHex(p, code);
    *p++ = '.';
    p = Append(p, text, std::size_t(m));
    *p++ = '\n';
    if (!WriteLine(run.ObjFile, entry, p))
        return FailWrite(run, run.ObjFile);

    /* then "#define R_<CLASS>_<ERROR> 0x<code>\n" to the header */
    char define[sizeof "#define R_" + 2 * kNameMax + sizeof "_ 0x" + 8 + 1];
    p = Append(define, "#define R_", sizeof "#define R_" - 1);
    p = Append(p, run.PkgName, std::strlen(run.PkgName));
    *p++ = '_';
    p = Append(p, name, std::size_t(n));
    p = Append(p, " 0x", 3);
    p = tarvik::AppendHex(p, code);
    *p++ = '\n';
    if (!WriteLine(run.HFile, define, p))
        return FailWrite(run, run.HFile);
    return -1;
}

/* Compiles the source at path; returns the exit status. */
int Compile(const char *path)
{
    FILE *src = fopen(path, "r");
    if (!src) {
        printf("\nLe fichier \"%s\" est introuvable\n", path);
        return kExitFault;
    }
    Run run;
    int status = -1;
    while (status < 0 && fgets(run.Line, sizeof run.Line, src)) {
        ++run.LineNum;
        const bool isClass = std::strncmp(run.Line, kClassKeyword, kClassKeywordLen) == 0;
        status = isClass ? DeclareClass(run) : DeclareError(run);
    }
    if (status < 0) {
        const bool readOk = !ferror(src);
        status = ClosePair(run) ? kExitOk : kExitFault;
        if (!readOk) {
            printf("\nLecture du fichier \"%s\" impossible\n", path);
            status = kExitFault;
        }
    }
    fclose(src);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    int status = kExitUsage;
    if (argc < 2)
        Usage();
    else
        status = Compile(argv[1]);
    fflush(stdout);
    return status;
}
