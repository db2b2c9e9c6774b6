/*
 * ToolVersion.h - the version line that every program of the project prints for
 * --version, and the end of the checking programs' standard output. Header-only, so
 * that the compiler, which links nothing of the library, shares it too.
 */
#ifndef TARVIK_TOOLVERSION_H
#define TARVIK_TOOLVERSION_H

#include "tarvik.h"

#include <cstdio>

namespace tarvik
{

/* Prints "<program> (Tarvik) <major>.<minor>.<patch>\n" on standard output. */
inline void PrintVersion(const char *program)
{
    std::printf("%s (Tarvik) %d.%d.%d\n", program, TARVIK_VERSION_MAJOR, TARVIK_VERSION_MINOR,
                TARVIK_VERSION_PATCH);
}

/*
 * Flushes standard output and returns status, or 1 when status is 0 and something
 * written there was lost (a full disk, a closed pipe whose signal is ignored): a program
 * whose output did not arrive does not report success.
 */
inline int FinishOutput(int status)
{
    const bool lost = std::fflush(stdout) != 0 || std::ferror(stdout);
    return status == 0 && lost ? 1 : status;
}

} // namespace tarvik

#endif
