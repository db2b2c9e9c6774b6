// Fuzz target: scripts of lookups and catalogue edits (IndexScript.h), which hold every
// answer of ErrGet, taken from the catalogue's index whenever one holds, to the plain
// scan of the file as it is at that moment.
#include "IndexScript.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tarvik::fuzz::SetUpIndexScripts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    tarvik::fuzz::RunIndexScript(data, size);
    return 0;
}
