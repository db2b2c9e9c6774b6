/*
 * ToolVersion.h - the version line that every program of the project prints for
 * --version. Header-only, so that the compiler, which links nothing of the library,
 * shares it too.
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

} // namespace tarvik

#endif
