/*
 * TarvikCompile - compiles an error catalogue source into, for every class section,
 * a C header of R_<CLASS>_<ERROR> macros (<CLASS>_err.h) and a compiled catalogue
 * (<CLASS>_err.tarvik) in the current directory.
 *
 * One pass: every error is written to both files as soon as its line is read, so memory
 * use does not grow with the source. The first fault ends the run with a diagnostic on
 * standard output; the files of every earlier class are complete by then.
 *
 * Each file is written under a temporary name beside its own and renamed into place when
 * it is closed, so that a program reading a catalogue while it is recompiled sees the old
 * file or the new one. Whatever ends the run, the files left are those that writing in
 * place would leave, and no temporary file remains.
 *
 * Exit status: 0 after success (and after --help or --version), 1 after a diagnostic
 * or when standard output could not be written, 2 after the usage text.
 */
#include "ReplaceFile.h"
#include "SourceRules.h"
#include "TextScan.h"
#include "ToolVersion.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace
{

using tarvik::source::ClassLine;
using tarvik::source::kCatalogueSuffix;
using tarvik::source::kHeaderSuffix;
using tarvik::source::kMaxErrors;
using tarvik::source::kNameMax;
using tarvik::source::kTextMax;

constexpr int kExitOk = 0;
constexpr int kExitFault = 1;
constexpr int kExitUsage = 2;

/* One generated file: the open stream, the name that diagnostics show, and the
   temporary name it is written under (empty when it is written in place). */
struct Output {
    FILE *Stream = nullptr;
    char Name[kNameMax + sizeof kCatalogueSuffix] = "";
    char Temp[sizeof Name + tarvik::kReplacementSuffixLen] = "";
};

/* Working state of one compiler run. */
struct Run {
    const char *SrcPath = nullptr;           /* the source, as named on the command line */
    struct stat SrcStat = {};                /* its device and inode; st_ino 0 when unknown */
    char Line[tarvik::source::kLineMax + 1]; /* the line just read */
    int LineNum = 0;                         /* number of the line in Line, from 1 */
    char PkgName[kNameMax + 1] = "";         /* current class, upper case; empty before the first */
    int ClassCode = 0;
    int ErrorNum = 0; /* errors declared so far in the current class */
    Output HFile;     /* generated header of the current class */
    Output ObjFile;   /* compiled catalogue of the current class */
};

void Usage()
{
    printf("\nUsage : TarvikCompile filename\n");
    printf("\n        avec filename = nom du fichier a compiler\n");
}

/* The text of --help: the usage, then the two options. */
void Help()
{
    Usage();
    printf("\n        TarvikCompile --help     affiche ce texte\n");
    printf("        TarvikCompile --version  affiche la version\n");
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

/*
 * Closes out's stream, if open, and puts the file in place under its name; returns false
 * when a write, the close or the renaming failed.
 */
bool Close(Output &out)
{
    if (!out.Stream)
        return true;
    const bool ok = tarvik::CloseReplacement(out.Stream, out.Name, out.Temp, true);
    out.Stream = nullptr;
    return ok;
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

/* Sets out's name: the class name followed by suffix. */
void NameOutput(Output &out, const char *pkgName, const char *suffix)
{
    const std::size_t n = strlen(pkgName); /* at most kNameMax */
    memcpy(out.Name, pkgName, n);
    memcpy(out.Name + n, suffix, strlen(suffix) + 1);
}

/* Whether the file at name is the source itself (the same device and inode). */
bool IsSource(const Run &run, const char *name)
{
    struct stat st;
    return run.SrcStat.st_ino != 0 && stat(name, &st) == 0 && st.st_dev == run.SrcStat.st_dev &&
           st.st_ino == run.SrcStat.st_ino;
}

/* Creates out for writing; prints the creation fault and returns false on failure. */
bool Create(Output &out)
{
    out.Stream = tarvik::OpenReplacement(out.Name, out.Temp, sizeof out.Temp);
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

    const ClassLine decl = tarvik::source::ParseClassLine(run.Line);
    if (decl.fault == ClassLine::MissingName)
        return FailLine(run, "Il manque le nom de classe");
    for (std::size_t i = 0; i < decl.name.size(); ++i)
        run.PkgName[i] = tarvik::UpperAscii(decl.name[i]);
    run.PkgName[decl.name.size()] = '\0';
    if (decl.fault == ClassLine::NameTooLong)
        return FailLine(run, "Nom trop long (39 caracteres au plus)");
    if (decl.fault == ClassLine::MissingNumber) {
        /* The echoed line keeps its own newline, and the message follows it directly. */
        printf("\nLigne %d : %sIl manque le numero\n", run.LineNum, run.Line);
        return kExitFault;
    }
    run.ClassCode = decl.code;

    NameOutput(run.HFile, run.PkgName, kHeaderSuffix);
    NameOutput(run.ObjFile, run.PkgName, kCatalogueSuffix);
    if (IsSource(run, run.HFile.Name) || IsSource(run, run.ObjFile.Name)) {
        printf("\nLe fichier source \"%s\" serait ecrase\n", run.SrcPath);
        return kExitFault;
    }
    if (!Create(run.HFile))
        return kExitFault;
    if (!Create(run.ObjFile)) {
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
    const tarvik::source::ErrorLine decl = tarvik::source::ParseErrorLine(run.Line);
    if (decl.name.empty())
        return -1;
    if (run.ErrorNum == kMaxErrors)
        return FailLine(run, "Le nombre maximum d'erreurs est 65535");
    if (run.PkgName[0] == '\0')
        return FailLine(run, "Declaration d'une erreur sans declaration prealable de classe");
    if (decl.nameTooLong)
        return FailLine(run, "Nom trop long (39 caracteres au plus)");

    ++run.ErrorNum;
    /* 32-bit two's-complement: only the class number's low 16 bits reach the code. */
    const std::uint32_t code = (std::uint32_t(run.ClassCode) << 16) + std::uint32_t(run.ErrorNum);

    /* ".<code>.<text>\n" to the compiled catalogue first */
    char entry[1 + 8 + 1 + kTextMax + 1];
    char *p = entry;
    *p++ = '.';
    p = tarvik::AppendHex(p, code);
    *p++ = '.';
    p = Append(p, decl.text.data(), decl.text.size());
    *p++ = '\n';
    if (!WriteLine(run.ObjFile, entry, p))
        return FailWrite(run, run.ObjFile);

    /* then "#define R_<CLASS>_<ERROR> 0x<code>\n" to the header */
    char define[sizeof "#define R_" + 2 * kNameMax + sizeof "_ 0x" + 8 + 1];
    p = Append(define, "#define R_", sizeof "#define R_" - 1);
    p = Append(p, run.PkgName, std::strlen(run.PkgName));
    *p++ = '_';
    p = Append(p, decl.name.data(), decl.name.size());
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
    run.SrcPath = path;
    if (fstat(fileno(src), &run.SrcStat) != 0)
        run.SrcStat.st_ino = 0;
    int status = -1;
    while (status < 0 && fgets(run.Line, sizeof run.Line, src)) {
        ++run.LineNum;
        status = tarvik::source::IsClassLine(run.Line) ? DeclareClass(run) : DeclareError(run);
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

/*
 * The source is the first argument; further arguments are ignored. A first argument of
 * exactly --help or --version asks for that text instead: a source of that name is
 * compiled when given as ./--help.
 */
int main(int argc, char **argv)
{
    int status = kExitUsage;
    if (argc < 2) {
        Usage();
    } else if (strcmp(argv[1], "--help") == 0) {
        Help();
        status = kExitOk;
    } else if (strcmp(argv[1], "--version") == 0) {
        tarvik::PrintVersion("TarvikCompile");
        status = kExitOk;
    } else {
        status = Compile(argv[1]);
    }
    return tarvik::FinishOutput(status);
}
