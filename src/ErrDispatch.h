/*
 * ErrDispatch.h - the report: its date stamp, its framed rendering and its printing
 * (internal to the library).
 */
#ifndef TARVIK_ERRDISPATCH_H
#define TARVIK_ERRDISPATCH_H

#include "tarvik.h"

namespace tarvik
{

/*
 * Writes the local date and time as "08-Dec-126 21:38:05": the year field is the count
 * of years since 1900. From the year 2900 on the stamp is cut to fit its 20 bytes.
 */
void ErrDate(char (&buf)[20]);

/* Stores TarvikInit's logger flag: while it is not 0, printed reports also go to the logger. */
void SetSendToLogger(int send);

/*
 * Renders the record as the framed report and prints it on standard output with one
 * output call, then hands it to the logger when the flag is set. Returns 0, or -1 after
 * a diagnostic when the record is NULL or no memory is left for the text.
 */
int ErrDispatch(const T_ErrMsg *pErrMsg);

} // namespace tarvik

#endif
