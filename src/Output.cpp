/*
 * Output - the library's writes to standard output.
 */
#include "Output.h"

#include <cstdio>

namespace tarvik
{

bool WriteOutput(const char *text, std::size_t length)
{
    /* One output call and its flush under one stream lock, so pieces never interleave. */
    flockfile(stdout);
    const bool written = fwrite(text, 1, length, stdout) == length;
    const bool flushed = fflush(stdout) == 0;
    funlockfile(stdout);
    return written && flushed;
}

} // namespace tarvik
