/*
 * CheckReport.h - the diagnostics of TarvikCheck's file checks, in the form that editors
 * and IDEs parse:
 *
 *   FILE:LINE: erreur : message
 *   FILE:LINE: attention : message
 *   FILE:LINE: remarque : message      (a back-pointer, after the line it explains)
 *
 * and the escaping of every byte that comes from a file or the environment before it
 * reaches the terminal.
 */
#ifndef TARVIK_CHECKREPORT_H
#define TARVIK_CHECKREPORT_H

#include <string>
#include <string_view>
#include <vector>

namespace tarvik::check
{

/*
 * text as the tools print it: a backslash, a line feed, a carriage return and a tab as
 * \\, \n, \r and \t, other control bytes (C0, DEL, and C1 in UTF-8) and bytes that are not
 * part of a valid UTF-8 sequence as \xHH; everything else unchanged.
 */
std::string Printable(std::string_view text);

/*
 * When line begins with keyword in a form that the compiler and the library do not take
 * (in another case, or after blanks), the length of that beginning, blanks and keyword;
 * 0 otherwise (no keyword, or the keyword exactly, in the first column).
 */
std::size_t MisspeltKeyword(const char *line, std::string_view keyword);

/* A place in a file: the file's name as given, and a line from 1 (0: the whole file). */
struct Located {
    std::string file;
    int line = 0;
};

enum class Severity { Error, Warning };

/* One diagnostic, with its back-pointer when it has one (note empty otherwise). */
struct Diagnostic {
    Located at;
    Severity severity;
    std::string message;
    Located noteAt;
    std::string note;
};

/* The diagnostics of a check, in the order they are to be printed, and their counts. */
struct Report {
    std::vector<Diagnostic> items;
    int errors = 0;
    int warnings = 0;
    std::vector<std::string> closing; /* lines printed after the diagnostics */
};

/* Whether report fails the check: an error, or with werror a warning. */
inline bool Fails(const Report &report, bool werror)
{
    return report.errors > 0 || (werror && report.warnings > 0);
}

/* Adds d to report; returns it in its place, so that a note can be attached. */
Diagnostic &Append(Report &report, Diagnostic d);

/* Adds a diagnostic without a note; returns it, so that one can be attached. */
Diagnostic &Add(Report &report, Severity severity, Located at, std::string message);

/* Prints every diagnostic of report on standard output. */
void Print(const Report &report);

} // namespace tarvik::check

#endif
