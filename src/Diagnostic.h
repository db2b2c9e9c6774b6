/*
 * Diagnostic.h - how the library reports a failure: one message on standard output.
 */
#ifndef TARVIK_DIAGNOSTIC_H
#define TARVIK_DIAGNOSTIC_H

#include <cstdarg>
#include <cstdio>

namespace tarvik
{

/*
 * Prints one diagnostic with a single printf-family call, then flushes standard output
 * so that the message is not lost in a buffer if the program dies right after.
 */
__attribute__((format(printf, 1, 2))) inline void Diagnostic(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

} // namespace tarvik

#endif
