// report.cpp - archiver, a pretend batch job of the same service, reporting from C++ and
// from several threads at once.
//
// Each report is printed whole by one output call, so reports from different threads
// never interleave (their order varies from run to run). errno belongs to each thread,
// so a -1 report shows the error of the thread that sends it.
#include "tarvik.h"

#include "NET_err.h"
#include "STORE_err.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace
{

// The text of code, without the newline that the library's own "Unknown ..." texts end with.
std::string TextOf(int code)
{
    char text[256];
    ErrGet(code, text, int(sizeof text));
    std::string s = text;
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

// Opens path as the archive step needs it, or reports why it cannot. The source text
// is ready before the call: nothing may run between the failing call and ErrSend.
void OpenStep(const char *path, const char *mode, const char *source)
{
    if (std::FILE *f = std::fopen(path, mode))
        std::fclose(f);
    else
        ErrSend(TARVIK_SYSTEM_ERROR, TARVIK_ERROR, source, path);
}

} // namespace

int main()
{
    TarvikInit("archiver", 0);

    std::vector<std::thread> workers;
    workers.emplace_back(OpenStep, "spool/orders-2024.tar", "r",
                         "archive.reader - open the archive");
    workers.emplace_back(OpenStep, "/tmp", "w", "archive.index - create the index");
    workers.emplace_back([] {
        ErrSend(R_STORE_Locked, TARVIK_INFORMATION, "archive - wait for the spool",
                "retrying in 5 s");
    });
    workers.emplace_back(
        [] { ErrSend(R_NET_HostUnknown, TARVIK_ERROR, "archive.upload", "backup.example"); });
    for (std::thread &w : workers)
        w.join();

    // ErrGet: every text of class STORE, then the first code past its end.
    std::printf("Texts of class STORE:\n");
    for (int code = R_STORE_OpenFailed; code <= R_STORE_Locked + 1; ++code)
        std::printf("  $%x  %s\n", unsigned(code), TextOf(code).c_str());
    return 0;
}
