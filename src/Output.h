/*
 * Output.h - how the library writes to standard output (internal to the library).
 */
#ifndef TARVIK_OUTPUT_H
#define TARVIK_OUTPUT_H

#include <cstddef>

namespace tarvik
{

/*
 * Writes text (length bytes) on standard output as one piece, never interleaved with
 * another thread's, and flushes it. Returns false when the output failed.
 */
bool WriteOutput(const char *text, std::size_t length);

} // namespace tarvik

#endif
