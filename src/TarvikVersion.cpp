/*
 * TarvikVersion - the version of the library that runs.
 */
#include "tarvik.h"

/* The number is compiled in here, so it is the library's, not the caller's header's. */
int TarvikVersion(void)
{
    return TARVIK_VERSION_NUMBER;
}
