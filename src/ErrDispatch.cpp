/*
 * ErrDispatch - the report of one error: the date stamp of its record, the framed text
 * assembled from the record, and its printing with one output call.
 */
#include "ErrDispatch.h"

#include "Diagnostic.h"
#include "Logger.h"
#include "Output.h"
#include "TextScan.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace tarvik
{
namespace
{

std::atomic<int> SendToLogger; /* logger flag of TarvikInit */

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

constexpr char kMonth[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr struct {
    int bit;
    const char *word;
} kTypeWords[] = {
    {1, " DEBUG"}, {2, " INFORMATION"}, {4, " WARNING"}, {8, " ERROR"}, {16, " FATAL"}};

/* Appends formatted text at *len in buf (size bytes), never past its end. */
__attribute__((format(printf, 4, 5))) void Append(char *buf, std::size_t size, std::size_t *len,
                                                  const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf + *len, size - *len, format, args);
    va_end(args);
    if (n > 0)
        *len = std::min(*len + std::size_t(n), size - 1);
}

} // namespace

void ErrDate(char (&buf)[20])
{
    const time_t seconds = time(nullptr);
    struct tm result = {};
    localtime_r(&seconds, &result);
    const int month = result.tm_mon >= 0 && result.tm_mon < 12 ? result.tm_mon : 0;
    char stamp[80];
    snprintf(stamp, sizeof stamp, "%.2d-%s-%.2d %.2d:%.2d:%.2d", result.tm_mday, kMonth[month],
             result.tm_year, result.tm_hour, result.tm_min, result.tm_sec);
    CopyBounded(buf, stamp);
}

void SetSendToLogger(int send)
{
    SendToLogger.store(send);
}

int ErrDispatch(const T_ErrMsg *pErrMsg)
{
    if (!pErrMsg) {
        Diagnostic("Tarvik - ErrDispatch() : internal error (NULL pointer)\n");
        return -1;
    }
    /* A record's size always holds the longest report (3339 characters and a blank line). */
    constexpr std::size_t size = sizeof(T_ErrMsg);
    const std::unique_ptr<char, FreeDeleter> Buffer(static_cast<char *>(std::calloc(1, size)));
    if (!Buffer) {
        Diagnostic("Tarvik - ErrDispatch() : Memoire insuffisante\n");
        return -1;
    }
    const T_ErrMsg &m = *pErrMsg;
    std::size_t len = 0;
    Append(Buffer.get(), size, &len,
           "==== TARVIK MESSAGE ==== %s\nApplication : %s\nClass : %s (%d)\nCode : $%x\nType :",
           m.Date, m.ApplicationName, m.ClassPackage, m.ErrClass, unsigned(m.ErrCode));
    for (const auto &type : kTypeWords)
        if (m.ErrType & type.bit)
            Append(Buffer.get(), size, &len, "%s", type.word);
    /* The report's own closing newline is followed by one more, as printf("%s\n") gives. */
    Append(Buffer.get(), size, &len,
           "\nSource : %s\nBody : %s\nExtra : %s\n========================\n\n", m.Source, m.Body,
           m.ExtraInfo);
    WriteOutput(Buffer.get(), len);
    if (SendToLogger.load() != 0)
        LogReport(m.ErrType, Buffer.get());
    return 0;
}

} // namespace tarvik
