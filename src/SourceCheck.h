/*
 * SourceCheck.h - TarvikCheck --source: catalogue sources checked without writing
 * anything, read line by line by the compiler's own rules (SourceRules.h).
 *
 * Beyond the faults that stop the compiler, it reports what the compiler accepts but
 * is almost always a mistake: lines that look like class lines and are not, texts that
 * were meant to be quoted, names cut short, numbers that the library cannot resolve,
 * duplicates (classes across every source given, errors within a class, macro names
 * across classes) and lines or texts that would be cut.
 */
#ifndef TARVIK_SOURCECHECK_H
#define TARVIK_SOURCECHECK_H

#include "CheckReport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::check
{

/* An error as the compiler would number it. */
struct ErrorDecl {
    std::string name;
    std::uint32_t code;
    Located at;
};

/* A class as the compiler would write it: its name upper-cased. */
struct ClassDecl {
    std::string name;
    int number;
    Located at;
    std::vector<ErrorDecl> errors;
};

/*
 * Reads and checks the sources at paths, in that order, as one set (class names and
 * numbers must be unique across them all). Adds the diagnostics to report and returns
 * the classes declared, in source order.
 */
std::vector<ClassDecl> CheckSources(const std::vector<std::string> &paths, Report &report);

} // namespace tarvik::check

#endif
