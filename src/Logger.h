/*
 * Logger.h - hands reports to the system logger (internal to the library).
 */
#ifndef TARVIK_LOGGER_H
#define TARVIK_LOGGER_H

namespace tarvik
{

/*
 * Opens the system log connection under the application's name, once per process;
 * later calls change nothing. Called under the library lock.
 */
void OpenLogger(const char *appName);

/*
 * Sends one framed report as one log record, facility LOG_USER, with the priority of
 * the highest type bit set: the report's lines, without the closing rule and the empty
 * line after it, joined with " | ". report is the text that ErrDispatch printed.
 */
void LogReport(int errType, const char *report);

} // namespace tarvik

#endif
