/*
 * Output.h - how the library writes to standard output (internal to the library).
 *
 * Reports and diagnostics go through one path. Standard output may be a pipe that is
 * full for a moment, on a descriptor that is non-blocking, in a program whose signal
 * handlers interrupt system calls: stdio drops its buffer after a write that fails with
 * EINTR or EAGAIN, so the library writes its texts to the descriptor itself and keeps
 * going until every byte is out or the output really fails.
 */
#ifndef TARVIK_OUTPUT_H
#define TARVIK_OUTPUT_H

#include <cstddef>

namespace tarvik
{

/*
 * Writes text (length bytes) on standard output as one piece: under the stream's lock,
 * so that no other thread's report or stdio output comes in between, and after what the
 * program itself had buffered on the stream, which comes out first. A write that is
 * interrupted or partial is carried on; on a non-blocking descriptor that is full the
 * call waits until it takes more. Returns false when a write failed otherwise (errno
 * tells why). Neither the stream's buffering nor the descriptor's flags are changed.
 */
bool WriteOutput(const char *text, std::size_t length);

} // namespace tarvik

#endif
