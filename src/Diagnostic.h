/*
 * Diagnostic.h - how the library reports a failure: one message on standard output.
 */
#ifndef TARVIK_DIAGNOSTIC_H
#define TARVIK_DIAGNOSTIC_H

namespace tarvik
{

/*
 * The most bytes of a text from outside the library, such as an environment variable's
 * value, that a diagnostic shows ("%.*s"): with it, as with a path, a message stays whole.
 */
constexpr int kShownTextMax = 255;

/*
 * Prints one diagnostic: formats it in full (every message of the library fits in 512
 * bytes, the longest holding one text of at most 255 bytes, a path or a value cut to
 * kShownTextMax), then writes it as one piece
 * through the library's output path (Output.h), which also flushes it, so that the
 * message is not lost in a buffer if the program dies right after. A failed write is
 * not reported: there is nowhere else to report it.
 */
__attribute__((format(printf, 1, 2))) void Diagnostic(const char *format, ...);

} // namespace tarvik

#endif
