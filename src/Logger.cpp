/*
 * Logger - the hand-off of reports to syslog when TarvikInit's logger flag is set.
 *
 * The identity passed to openlog must stay valid while the process logs, so it is
 * copied once into a buffer of the module's own and never written again; syslog
 * itself may be called from any thread.
 */
#include "Logger.h"

#include "TextScan.h"
#include "tarvik.h"

#include <cstring>
#include <syslog.h>

namespace tarvik
{
namespace
{

char LogIdent[40]; /* written once, before openlog, under the library lock */
bool LogOpened;    /* under the library lock */

constexpr char kRecordSeparator[] = " | ";
constexpr char kClosingRule[] = "\n========================\n\n";

/* The priority of the highest type bit set; LOG_NOTICE when none is. */
int Priority(int errType)
{
    constexpr struct {
        int bit, priority;
    } kByType[] = {{TARVIK_FATAL, LOG_CRIT},
                   {TARVIK_ERROR, LOG_ERR},
                   {TARVIK_WARNING, LOG_WARNING},
                   {TARVIK_INFORMATION, LOG_INFO},
                   {TARVIK_DEBUG, LOG_DEBUG}};
    for (const auto &type : kByType)
        if (errType & type.bit)
            return type.priority;
    return LOG_NOTICE;
}

} // namespace

void OpenLogger(const char *appName)
{
    if (LogOpened)
        return;
    CopyBounded(LogIdent, appName);
    /* An empty name leaves the identity to the system: the program's name. */
    openlog(LogIdent[0] ? LogIdent : nullptr, LOG_PID, LOG_USER);
    LogOpened = true;
}

void LogReport(int errType, const char *report)
{
    /* Every newline may become the three-byte separator. */
    char record[3 * sizeof(T_ErrMsg)];
    std::size_t length = strlen(report);
    constexpr std::size_t ruleLength = sizeof kClosingRule - 1;
    if (length >= ruleLength && strcmp(report + length - ruleLength, kClosingRule) == 0)
        length -= ruleLength;
    std::size_t n = 0;
    for (std::size_t i = 0; i < length && n < sizeof record - 4; ++i) {
        if (report[i] == '\n') {
            memcpy(record + n, kRecordSeparator, sizeof kRecordSeparator - 1);
            n += sizeof kRecordSeparator - 1;
        } else {
            record[n++] = report[i];
        }
    }
    record[n] = '\0';
    syslog(LOG_USER | Priority(errType), "%s", record);
}

} // namespace tarvik
