// Helpers shared by the test programs: temporary directories, whole-file I/O, and
// running code or programs in a fresh process with its standard output captured.
//
// The library keeps process-wide state (a once-created lock, a lazily loaded class
// table), so every test of that state runs in a child process of its own.
#ifndef TARVIK_TESTSUPPORT_H
#define TARVIK_TESTSUPPORT_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::test
{

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes bytes to path (created or truncated); fails the current test on error.
void WriteFile(const std::string &path, const std::string &bytes);
// Whole content of path; fails the current test when it cannot be read.
std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
// Leaves a socket file at path, as a server that has gone away would; fails the current
// test when it cannot.
void MakeSocketFile(const std::string &path);

// What a child process left behind.
struct Outcome {
    std::string out; // everything it wrote to standard output
    int status = -1; // exit status, or 128 + signal number when killed by a signal
};

// Runs body in a forked child whose standard output is captured; the child exits with
// body's result. The child starts with the parent's environment and directory.
Outcome RunInChild(const std::function<int()> &body);

// Options of RunProgram.
struct ProgramRun {
    std::vector<std::string> args;                        // argv[1...]
    std::string cwd;                                      // empty: inherit
    std::vector<std::pair<std::string, std::string>> env; // set on top of the parent's
    std::vector<std::string> unset;                       // removed from the environment
    std::string input;                                    // piped to standard input
    std::string output; // when not empty: standard output goes to this file, uncaptured
};

// Runs the program at path with the options above and captures its standard output.
Outcome RunProgram(const std::string &path, const ProgramRun &run = {});

// Sets name to value, or removes it from the environment when value is NULL.
void SetEnv(const char *name, const char *value);

// Ends the calling process with status 124, after a line on standard error, if it is
// still running after the given number of seconds: in a child whose scenario hangs, the
// test then fails at once with a clear message. A thread of its own keeps the time, so
// the process's signals and timers stay the scenario's.
void ExitIfHung(int seconds);

// Ends the calling process at once with status, as _exit does: no exit handlers, no
// stdio flush. In a coverage build (TARVIK_COVERAGE) it first writes the process's
// coverage counters, which only a normal exit would write. Every child that the tests
// fork ends through it.
[[noreturn]] void ExitChild(int status);

} // namespace tarvik::test

#endif
