/*
 * ErrDispatch.h - the report: its date stamp, its framed and JSON renderings and its
 * printing (internal to the library).
 */
#ifndef TARVIK_ERRDISPATCH_H
#define TARVIK_ERRDISPATCH_H

#include "TextBuffer.h"
#include "tarvik.h"

#include <ctime>
#include <string_view>

namespace tarvik
{

/*
 * Appends the words of the type bits set in errType (DEBUG, INFORMATION, WARNING, ERROR,
 * FATAL, always in this order), each between quote and quote, with lead before the first
 * and separator between two; nothing when no such bit is set.
 */
void AppendTypeWords(TextBuffer &out, int errType, std::string_view lead,
                     std::string_view separator, std::string_view quote);

/*
 * Writes the local date and time as "08-Dec-126 21:38:05": the year field is the count
 * of years since 1900. From the year 2900 on the stamp is cut to fit its 20 bytes.
 */
void ErrDate(char (&buf)[20]);

/*
 * The local time of the second that stamp (written by ErrDate a moment ago) shows, with
 * its time zone offset; the current time when no second of the last minute matches.
 */
struct tm StampTime(const char *stamp);

/* Appends when as ISO 8601 with the offset from UTC: "2026-12-10T09:14:05+01:00". */
void AppendIsoDate(TextBuffer &out, const struct tm &when);

/* Appends when as a traditional syslog time stamp: "Dec 10 09:14:05", "Dec  9 ...". */
void AppendSyslogDate(TextBuffer &out, const struct tm &when);

/*
 * Appends the lines of the framed report from "Class" to "Extra" (without the banner,
 * the application line and the closing rule), the last one without its newline.
 */
void AppendReportFields(TextBuffer &out, const T_ErrMsg &m);

/* Stores TarvikInit's logger flag: while it is not 0, printed reports also go to the logger. */
void SetSendToLogger(int send);

/* What became of a report. */
enum class Dispatch {
    Printed,     /* written whole on standard output */
    NotRendered, /* no record, or no memory for the text: nothing written */
    NotWritten,  /* writing it on standard output failed */
};

/*
 * Renders the record as the framed report, or as one line of JSON when TARVIK_CFG_OUTPUT
 * is "json", and prints it on standard output with one output call; then hands the
 * record to the logger when the flag is set. Each way but Printed comes with a
 * diagnostic.
 */
Dispatch ErrDispatch(const T_ErrMsg *pErrMsg);

} // namespace tarvik

#endif
