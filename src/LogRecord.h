/*
 * LogRecord.h - the syslog records of a report (internal to the library).
 */
#ifndef TARVIK_LOGRECORD_H
#define TARVIK_LOGRECORD_H

#include "TextBuffer.h"
#include "tarvik.h"

#include <ctime>

namespace tarvik
{

enum class LogFormat {
    Rfc3164, /* "<PRI>Mmm dd hh:mm:ss IDENT[PID]: message", the local socket's own form */
    Rfc5424, /* "<PRI>1 date host IDENT PID MSGID [tarvik@32473 ...] body", with fields */
};

/* The identifier of the record's structured-data element. */
inline constexpr char kStructuredDataId[] = "tarvik@32473";

/* Room for the longest record of either format. */
constexpr std::size_t kLogRecordSize = kMaxEscapeGrowth * sizeof(T_ErrMsg) + 1024;

/*
 * The syslog priority of a report: facility LOG_USER and the severity of the highest type
 * bit set (FATAL LOG_CRIT, ERROR LOG_ERR, WARNING LOG_WARNING, INFORMATION LOG_INFO,
 * DEBUG LOG_DEBUG), LOG_NOTICE when none is.
 */
int LogPriority(int errType);

/*
 * Appends the record of m, stamped when, in the given format. The identity is the
 * application's name (the program's when it is empty). The RFC 3164 message is the
 * framed report's lines from "Class" to "Extra" joined with " | "; the RFC 5424 record
 * carries the fields as structured data and the body as its message. Texts are made
 * valid UTF-8 (AppendValidUtf8). Returns false
 * when no memory was left to build it.
 */
bool AppendLogRecord(TextBuffer &out, LogFormat format, const T_ErrMsg &m, const struct tm &when);

} // namespace tarvik

#endif
