/*
 * LogRecord - a report as a syslog record, in the two framings that local syslog
 * daemons accept on their socket.
 *
 * RFC 3164 (the default) is what syslog(3) sends and what every daemon and the journal
 * parse: priority, time, identity and process id, then a human-readable line. RFC 5424
 * adds one structured-data element with the report's fields, so that a pipeline can
 * filter on them without parsing the text.
 */
#include "LogRecord.h"

#include "ErrDispatch.h"
#include "TextScan.h"

#include <cerrno>
#include <string_view>
#include <syslog.h>

namespace tarvik
{
namespace
{

/* Header fields of the syslog protocol are at most 48 bytes (APP-NAME). */
constexpr std::size_t kMaxIdentity = 48;
constexpr std::size_t kMaxHostName = 255;

/* The identity of records: the application's name, or the program's when it has none. */
std::string_view Identity(const T_ErrMsg &m)
{
    if (m.ApplicationName[0] != '\0')
        return m.ApplicationName;
#if defined(__GLIBC__) || defined(__linux__)
    return program_invocation_short_name;
#else
    return {};
#endif
}

/*
 * Appends text as valid UTF-8 with each newline turned into separator: a record is one
 * line, and readers such as the journal show it as text.
 */
void AppendJoinedLines(TextBuffer &out, std::string_view text, std::string_view separator)
{
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
        AppendValidUtf8(out, Head(text, end));
        out.Append(separator);
        text.remove_prefix(end + 1);
    }
    AppendValidUtf8(out, text);
}

bool AppendRfc3164(TextBuffer &out, const T_ErrMsg &m, const struct tm &when)
{
    TextBuffer fields(sizeof(T_ErrMsg));
    if (!fields.ok())
        return false;
    AppendReportFields(fields, m);
    out.Format("<%d>", LogPriority(m.ErrType));
    AppendSyslogDate(out, when);
    out.Append(' ');
    AppendHeaderToken(out, Identity(m), kMaxIdentity);
    out.Format("[%d]: ", m.ProcessId);
    AppendJoinedLines(out, fields.view(), " | ");
    return true;
}

void AppendParam(TextBuffer &out, const char *name, std::string_view value)
{
    out.Format(" %s=\"", name);
    AppendParamValue(out, value);
    out.Append('"');
}

void AppendRfc5424(TextBuffer &out, const T_ErrMsg &m, const struct tm &when)
{
    out.Format("<%d>1 ", LogPriority(m.ErrType));
    AppendIsoDate(out, when);
    out.Append(' ');
    AppendHeaderToken(out, m.CpuName, kMaxHostName);
    out.Append(' ');
    AppendHeaderToken(out, Identity(m), kMaxIdentity);
    out.Format(" %d 0x%x [%s", m.ProcessId, unsigned(m.ErrCode), kStructuredDataId);
    AppendParam(out, "application", m.ApplicationName);
    out.Format(" application_code=\"%d\"", m.ApplicationCode);
    AppendParam(out, "class", m.ClassPackage);
    out.Format(" class_number=\"%d\" code=\"%d\" code_hex=\"0x%x\" type=\"", m.ErrClass, m.ErrCode,
               unsigned(m.ErrCode));
    AppendTypeWords(out, m.ErrType, "", " ", "");
    out.Append('"');
    AppendParam(out, "package", m.CallingPackage);
    AppendParam(out, "source", m.Source);
    AppendParam(out, "extra", m.ExtraInfo);
    out.Append(']');
    if (m.Body[0] != '\0') {
        out.Append(' ');
        AppendValidUtf8(out, m.Body);
    }
}

} // namespace

int LogPriority(int errType)
{
    constexpr struct {
        int bit, severity;
    } kByType[] = {{TARVIK_FATAL, LOG_CRIT},
                   {TARVIK_ERROR, LOG_ERR},
                   {TARVIK_WARNING, LOG_WARNING},
                   {TARVIK_INFORMATION, LOG_INFO},
                   {TARVIK_DEBUG, LOG_DEBUG}};
    for (const auto &type : kByType)
        if (errType & type.bit)
            return LOG_USER | type.severity;
    return LOG_USER | LOG_NOTICE;
}

bool AppendLogRecord(TextBuffer &out, LogFormat format, const T_ErrMsg &m, const struct tm &when)
{
    if (format == LogFormat::Rfc3164)
        return AppendRfc3164(out, m, when);
    AppendRfc5424(out, m, when);
    return true;
}

} // namespace tarvik
