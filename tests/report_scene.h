// Helpers of the reporting tests: a scene (a temporary directory with hand-written
// configuration and catalogues) in which a body runs in a fresh child process, the
// expected text of a framed report, and the masking of its date stamp.
//
// The library loads its configuration once per process and keeps it, so every scene
// runs in a child of its own: the child moves into the scene's directory, starts
// without any TARVIK_CFG_* variable, sets the ones the scene asks for, and hands
// results back to the parent through a shared memory block.
#ifndef TARVIK_TESTS_REPORT_SCENE_H
#define TARVIK_TESTS_REPORT_SCENE_H

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <regex>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tarvik::test
{

// What a report shows in place of its date stamp once masked.
inline constexpr char kDate[] = "<date>";
inline constexpr char kBanner[] = "==== TARVIK MESSAGE ==== ";

// The report stamp: day, English month, years since 1900, time of day.
inline bool IsDateStamp(const std::string &stamp)
{
    static const std::regex form("^[0-3][0-9]-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-"
                                 "[0-9]{3} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$");
    return std::regex_match(stamp, form);
}

// The stamps of every report in out, in order.
inline std::vector<std::string> DateStamps(const std::string &out)
{
    std::vector<std::string> stamps;
    for (std::size_t at = out.find(kBanner); at != std::string::npos;
         at = out.find(kBanner, at + 1)) {
        const std::size_t from = at + sizeof kBanner - 1;
        stamps.push_back(out.substr(from, out.find('\n', from) - from));
    }
    return stamps;
}

// Replaces the stamp of every report in out by kDate. A stamp of another form fails the
// current test and stays in place, so that the comparison of the text fails as well.
inline std::string MaskDates(const std::string &out)
{
    std::string masked;
    std::size_t copied = 0;
    for (std::size_t at = out.find(kBanner); at != std::string::npos;
         at = out.find(kBanner, at + 1)) {
        const std::size_t from = at + sizeof kBanner - 1;
        const std::size_t to = std::min(out.find('\n', from), out.size());
        const std::string stamp = out.substr(from, to - from);
        masked += out.substr(copied, from - copied);
        if (IsDateStamp(stamp)) {
            masked += kDate;
        } else {
            ADD_FAILURE() << "date stamp of another form: " << testing::PrintToString(stamp);
            masked += stamp;
        }
        copied = to;
    }
    return masked + out.substr(copied);
}

// The local time now, stamped as a report stamps it.
inline std::string LocalStamp()
{
    static const char *const month[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%02d-%s-%02d %02d:%02d:%02d", t.tm_mday, month[t.tm_mon],
             t.tm_year, t.tm_hour, t.tm_min, t.tm_sec);
    return stamp;
}

// The fields that a framed report shows.
struct ReportText {
    std::string app;
    std::string pkg; // class name, empty when the class is not configured or for -1
    int cls = 0;     // class number
    unsigned code = 0;
    std::string type; // the type words, each with its leading space
    std::string source;
    std::string body;
    std::string extra;
};

inline std::string Hex(unsigned v)
{
    char text[16];
    snprintf(text, sizeof text, "%x", v);
    return text;
}

// The exact bytes that ErrSend prints for r, with kDate as the stamp.
inline std::string Report(const ReportText &r)
{
    return std::string(kBanner) + kDate + "\nApplication : " + r.app + "\nClass : " + r.pkg + " (" +
           std::to_string(r.cls) + ")\nCode : $" + Hex(r.code) + "\nType :" + r.type +
           "\nSource : " + r.source + "\nBody : " + r.body + "\nExtra : " + r.extra +
           "\n========================\n\n";
}

// Compares long byte strings and shows the neighbourhood of their first difference.
inline testing::AssertionResult SameBytes(const std::string &expected, const std::string &actual)
{
    if (expected == actual)
        return testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    const std::size_t from = at < 60 ? 0 : at - 60;
    return testing::AssertionFailure()
           << "sizes " << expected.size() << " and " << actual.size() << ", first difference at "
           << at << "\nexpected: ..." << testing::PrintToString(expected.substr(from, 160))
           << "\nactual:   ..." << testing::PrintToString(actual.substr(from, 160));
}

// Results that a child hands back to its parent. Plain data in a shared mapping.
struct Handback {
    static constexpr int kValues = 64;
    static constexpr int kTexts = 16;
    static constexpr std::size_t kTextSize = 1200;

    int count = 0;
    int value[kValues] = {};
    bool skipped = false; // the child found that the scene cannot run here
    std::size_t textSize[kTexts] = {};
    char text[kTexts][kTextSize] = {};

    // Appends one value, typically a function's result.
    void Add(int v)
    {
        if (count < kValues)
            value[count++] = v;
    }
    // Stores n raw bytes (terminators and padding included) as text number slot.
    void Put(int slot, const char *bytes, std::size_t n)
    {
        n = std::min(n, kTextSize);
        memcpy(text[slot], bytes, n);
        textSize[slot] = n;
    }
    void Put(int slot, const std::string &bytes) { Put(slot, bytes.data(), bytes.size()); }

    std::vector<int> Values() const { return {value, value + count}; }
    std::string Text(int slot) const { return {text[slot], textSize[slot]}; }
};

using Env = std::vector<std::pair<std::string, std::string>>;

// A temporary directory with the files of one scenario, and a fresh child to run it in.
class Scene
{
  public:
    Scene()
    {
        void *block = mmap(nullptr, sizeof(Handback), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            std::abort(); // no way to hand results back
        back_ = new (block) Handback;
    }
    ~Scene() { munmap(back_, sizeof(Handback)); }
    Scene(const Scene &) = delete;
    Scene &operator=(const Scene &) = delete;

    const TempDir &dir() const { return dir_; }
    std::string Path(const std::string &name) const { return dir_ / name; }
    void Write(const std::string &name, const std::string &bytes) { WriteFile(dir_ / name, bytes); }

    // Runs body in a fresh child whose current directory is the scene's, with no
    // TARVIK_CFG_* variable but those of env. Returns the child's standard output with
    // the date stamps masked; the child must end normally.
    std::string Run(const std::function<void(Handback &)> &body, const Env &env = {})
    {
        back_->~Handback();
        new (back_) Handback;
        const Outcome outcome = RunInChild([&] {
            if (chdir(dir_.path().c_str()) != 0)
                return 126;
            for (const char *name :
                 {"TARVIK_CFG_DIR", "TARVIK_CFG_FILE", "TARVIK_CFG_DIR_USER", "TARVIK_CFG_OUTPUT",
                  "TARVIK_CFG_LOG_FORMAT", "TARVIK_CFG_LOG_SOCKET", "TARVIK_CFG_LOG_WAIT"})
                unsetenv(name);
            for (const auto &[name, value] : env)
                setenv(name.c_str(), value.c_str(), 1);
            tzset();
            body(*back_);
            return 0;
        });
        EXPECT_EQ(outcome.status, 0) << "output: " << testing::PrintToString(outcome.out);
        raw_ = outcome.out;
        return MaskDates(outcome.out);
    }

    // What the last child handed back, and its output as it came.
    const Handback &back() const { return *back_; }
    const std::string &raw() const { return raw_; }

  private:
    TempDir dir_;
    Handback *back_ = nullptr;
    std::string raw_;
};

} // namespace tarvik::test

#endif
