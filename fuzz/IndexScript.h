// Scripts of lookups and catalogue edits, made from bytes, that hold the indexed lookups
// of ErrGet to the plain scan: shared by the fuzz target fuzz_index and the index tests.
//
// A script writes a compiled catalogue (generated from the bytes by a small grammar that
// favours the odd cases: numbers written oddly, repeated codes, long-line pieces, CR and
// NUL bytes, wrong headers), then runs up to 64 steps. A step either looks a code up or
// edits the catalogue: in place with the same size, the same with the modification time
// put back, replaced by rename, rewritten, truncated, extended, removed, or turned into
// a directory. Every lookup goes through ErrGet, whose result, text and printed output
// must equal what the plain scan of the file finds, read through LookupCode with a
// trace (which never uses an index).
//
// Link-time seams live with the scripts (link with --wrap=clock_gettime,--wrap=read,
// --wrap=pread): the library's real-time clock can run ahead, so that files edited a
// moment ago count as settled and get indexed, and the reads of a scan are counted, which
// tells the lookups that the index answered (they read one piece). Running the clock ahead
// is sound only while every edit leaves the file with an identity that the library has
// not seen at a lookup; after every edit the script checks that, and when the file
// system's clock has not moved on since, it waits for its next tick and edits again.
#ifndef TARVIK_FUZZ_INDEX_SCRIPT_H
#define TARVIK_FUZZ_INDEX_SCRIPT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik::fuzz
{

// Seconds that the library's CLOCK_REALTIME runs ahead of the system's; 0 at start.
extern std::atomic<int> clockAheadSeconds;
// read and pread calls so far, in every thread, that asked for more than one piece (511
// bytes): a scan's reads.
extern std::atomic<long> scanReads;

// Counts of the lookups of the scripts run so far.
struct ScriptCounts {
    long lookups = 0;   // of codes whose catalogue could be opened
    long fromIndex = 0; // of those, answered without a scan's read
};

// Sets the scripts up, once per process: a scratch directory with a configuration whose
// classes all read one catalogue file, standard output captured, the configuration
// loaded, the clock run ahead by a minute.
void SetUpIndexScripts();

// Runs the script made from data; ends the process through Fail() at a difference.
void RunIndexScript(const std::uint8_t *data, std::size_t size);

ScriptCounts IndexScriptCounts();

} // namespace tarvik::fuzz

#endif
