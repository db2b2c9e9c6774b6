/*
 * Logger.h - hands reports to the system logger (internal to the library).
 */
#ifndef TARVIK_LOGGER_H
#define TARVIK_LOGGER_H

#include "tarvik.h"

#include <ctime>

namespace tarvik
{

/*
 * Reads the logger's settings, once per process: TARVIK_CFG_LOG_FORMAT ("rfc3164", the
 * default, or "rfc5424"), TARVIK_CFG_LOG_SOCKET (the system log socket, "/dev/log"
 * when unset or empty) and TARVIK_CFG_LOG_WAIT (the longest wait for room in the
 * socket's queue, in milliseconds, 0 to kLoggerMaxWaitMs, kLoggerWaitMs when unset),
 * with one diagnostic for a value that cannot be used; then opens the logger's socket.
 * TarvikInit calls it when its logger flag is set.
 */
void StartLogger();

/*
 * Sends the record of m, stamped when, as one datagram to the system log socket, from a
 * socket of the library's own shared by every thread, reconnected when the daemon has
 * been restarted. While the socket's queue is full it waits for room up to the bound of
 * TARVIK_CFG_LOG_WAIT, then drops the record; after such a wait in vain, records do not
 * wait until one gets through again. The first record of a run of lost ones prints a
 * diagnostic, and so does the first one sent after them, with their count. The syslog(3)
 * connection of the program is never touched.
 */
void LogReport(const T_ErrMsg &m, const struct tm &when);

/* The longest that LogReport waits for room in the socket's queue, and its limit. */
inline constexpr int kLoggerWaitMs = 100;
inline constexpr int kLoggerMaxWaitMs = 10000;

} // namespace tarvik

#endif
