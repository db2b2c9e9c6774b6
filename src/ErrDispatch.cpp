/*
 * ErrDispatch - the report of one error: the date stamp of its record, the framed text
 * or the JSON line assembled from the record, and its printing with one output call.
 *
 * TARVIK_CFG_OUTPUT is read once per process, by the first report: unset, empty or
 * "frame" gives the framed report, "json" one JSON object per line, and any other value
 * one diagnostic and the framed report.
 */
#include "ErrDispatch.h"

#include "Diagnostic.h"
#include "Logger.h"
#include "Output.h"
#include "TextScan.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace tarvik
{
namespace
{

std::atomic<int> SendToLogger; /* logger flag of TarvikInit */

enum class OutputForm { Frame, Json };

pthread_once_t OutputOnce = PTHREAD_ONCE_INIT;
OutputForm Output; /* written once, by ReadOutputForm */

constexpr struct {
    int bit;
    const char *word;
} kTypeWords[] = {{TARVIK_DEBUG, "DEBUG"},
                  {TARVIK_INFORMATION, "INFORMATION"},
                  {TARVIK_WARNING, "WARNING"},
                  {TARVIK_ERROR, "ERROR"},
                  {TARVIK_FATAL, "FATAL"}};

constexpr char kMonth[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

/* A record's size always holds the longest framed report (3339 characters and a blank line). */
constexpr std::size_t kFrameSize = sizeof(T_ErrMsg);
/* Every byte of the record escaped at its widest, and room for the names and numbers. */
constexpr std::size_t kJsonSize = kMaxEscapeGrowth * sizeof(T_ErrMsg) + 1024;

void ReadOutputForm()
{
    const char *value = getenv("TARVIK_CFG_OUTPUT");
    if (value && strcmp(value, "json") == 0) {
        Output = OutputForm::Json;
        return;
    }
    Output = OutputForm::Frame;
    if (value && *value && strcmp(value, "frame") != 0)
        Diagnostic("Tarvik - ErrDispatch() : Valeur inconnue de TARVIK_CFG_OUTPUT (\"%.*s\") : "
                   "rapport encadre\n",
                   kShownTextMax, value);
}

const char *MonthOf(const struct tm &t)
{
    return kMonth[t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0];
}

/* The stamp of ErrDate for the broken-down time t. */
void FormatStamp(const struct tm &t, char (&buf)[20])
{
    char stamp[80];
    snprintf(stamp, sizeof stamp, "%.2d-%s-%.2d %.2d:%.2d:%.2d", t.tm_mday, MonthOf(t), t.tm_year,
             t.tm_hour, t.tm_min, t.tm_sec);
    CopyBounded(buf, stamp);
}

/* The framed report: banner, application, the fields, the closing rule and an empty line. */
void AppendFrame(TextBuffer &out, const T_ErrMsg &m)
{
    out.Format("==== TARVIK MESSAGE ==== %s\nApplication : %s\n", m.Date, m.ApplicationName);
    AppendReportFields(out, m);
    /* The report's own closing newline is followed by one more, as printf("%s\n") gives. */
    out.Append("\n========================\n\n");
}

void AppendJsonMember(TextBuffer &out, const char *name, std::string_view text)
{
    out.Format(",\"%s\":", name);
    AppendJsonString(out, text);
}

/* The record as one JSON object on one line, ended by a newline. */
void AppendJson(TextBuffer &out, const T_ErrMsg &m, const struct tm &when)
{
    out.Append("{\"date\":\"");
    AppendIsoDate(out, when);
    out.Append('"');
    AppendJsonMember(out, "host", m.CpuName);
    AppendJsonMember(out, "application", m.ApplicationName);
    out.Format(",\"application_code\":%d,\"pid\":%d,\"thread\":%u", m.ApplicationCode, m.ProcessId,
               m.ThreadId);
    AppendJsonMember(out, "class", m.ClassPackage);
    out.Format(",\"class_number\":%d,\"code\":%d,\"code_hex\":\"0x%x\",\"type\":[", m.ErrClass,
               m.ErrCode, unsigned(m.ErrCode));
    AppendTypeWords(out, m.ErrType, "", ",", "\"");
    out.Append(']');
    AppendJsonMember(out, "package", m.CallingPackage);
    AppendJsonMember(out, "source", m.Source);
    AppendJsonMember(out, "body", m.Body);
    AppendJsonMember(out, "extra", m.ExtraInfo);
    out.Append("}\n");
}

} // namespace

void ErrDate(char (&buf)[20])
{
    const time_t seconds = time(nullptr);
    struct tm result = {};
    localtime_r(&seconds, &result);
    FormatStamp(result, buf);
}

struct tm StampTime(const char *stamp)
{
    /*
     * The record keeps its date as text only: the second it shows is found by stamping
     * the last seconds the same way, most recent first, so that the offset is that of
     * the stamp's own second even across a change of daylight saving time.
     */
    const time_t now = time(nullptr);
    struct tm t = {};
    for (time_t back = 0; back < 60; ++back) {
        const time_t second = now - back;
        localtime_r(&second, &t);
        char text[20];
        FormatStamp(t, text);
        if (strcmp(text, stamp) == 0)
            return t;
    }
    localtime_r(&now, &t);
    return t;
}

void AppendIsoDate(TextBuffer &out, const struct tm &when)
{
    const long offset = when.tm_gmtoff / 60; /* minutes east of UTC */
    const long minutes = offset < 0 ? -offset : offset;
    out.Format("%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", when.tm_year + 1900, when.tm_mon + 1,
               when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, offset < 0 ? '-' : '+',
               minutes / 60, minutes % 60);
}

void AppendSyslogDate(TextBuffer &out, const struct tm &when)
{
    out.Format("%s %2d %02d:%02d:%02d", MonthOf(when), when.tm_mday, when.tm_hour, when.tm_min,
               when.tm_sec);
}

void AppendTypeWords(TextBuffer &out, int errType, std::string_view lead,
                     std::string_view separator, std::string_view quote)
{
    std::string_view before = lead;
    for (const auto &type : kTypeWords) {
        if (errType & type.bit) {
            out.Append(before);
            out.Append(quote);
            out.Append(type.word);
            out.Append(quote);
            before = separator;
        }
    }
}

void AppendReportFields(TextBuffer &out, const T_ErrMsg &m)
{
    out.Format("Class : %s (%d)\nCode : $%x\nType :", m.ClassPackage, m.ErrClass,
               unsigned(m.ErrCode));
    AppendTypeWords(out, m.ErrType, " ", " ", "");
    out.Format("\nSource : %s\nBody : %s\nExtra : %s", m.Source, m.Body, m.ExtraInfo);
}

void SetSendToLogger(int send)
{
    SendToLogger.store(send);
}

Dispatch ErrDispatch(const T_ErrMsg *pErrMsg)
{
    if (!pErrMsg) {
        Diagnostic("Tarvik - ErrDispatch() : internal error (NULL pointer)\n");
        return Dispatch::NotRendered;
    }
    pthread_once(&OutputOnce, ReadOutputForm);
    const T_ErrMsg &m = *pErrMsg;
    const bool json = Output == OutputForm::Json;
    const bool toLogger = SendToLogger.load() != 0;
    const struct tm when = json || toLogger ? StampTime(m.Date) : tm{};
    bool written;
    {
        TextBuffer report(json ? kJsonSize : kFrameSize);
        if (!report.ok()) {
            Diagnostic("Tarvik - ErrDispatch() : Memoire insuffisante\n");
            return Dispatch::NotRendered;
        }
        if (json)
            AppendJson(report, m, when);
        else
            AppendFrame(report, m);
        written = WriteOutput(report.data(), report.size());
    } /* freed before the logger takes memory of its own */
    if (!written)
        Diagnostic("Tarvik - ErrDispatch() : Impossible d'ecrire le message sur la sortie "
                   "standard\n");
    /* The logger gets the report even when standard output did not. */
    if (toLogger)
        LogReport(m, when);
    return written ? Dispatch::Printed : Dispatch::NotWritten;
}

} // namespace tarvik
