#include "FuzzSupport.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tarvik::fuzz
{
namespace
{

std::vector<std::string> &ScratchDirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

int RemoveInside(const char *path, const struct stat *, int, struct FTW *ftw)
{
    return ftw->level == 0 ? 0 : remove(path);
}

void RemoveScratchDirs()
{
    for (const std::string &dir : ScratchDirs())
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int captureFd = -1;

// Standard output through a pipe: its descriptors, and what its reader has taken so far.
// NUL bytes, which no output of the library holds, are the harness's own: each capture
// starts with a filler of them that leaves the pipe nearly full, so that the library's
// first write finds it so, and Captured() writes one more, a mark, and waits for it.
struct Pipe {
    int readFd = -1, writeFd = -1;
    std::mutex lock;
    std::condition_variable marked; // the reader met the mark
    std::string bytes;              // the library's bytes since the capture started
    std::size_t nuls = 0;           // the harness's bytes read since then
    std::size_t marks = 0;          // marks written since then
};
Pipe *pipeCapture; // made on first use and kept for the life of the process
bool piped;
constexpr std::size_t kFiller = 3500; // of the pipe's 4096 bytes

void ReadPipe(Pipe *p)
{
    char chunk[512];
    for (;;) {
        const ssize_t n = read(p->readFd, chunk, sizeof chunk);
        if (n == 0)
            return; // not while the process lives: the write end stays open
        if (n < 0)
            continue; // interrupted
        std::lock_guard<std::mutex> hold(p->lock);
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] != '\0')
                p->bytes += chunk[i];
            else if (++p->nuls > kFiller)
                p->marked.notify_one();
        }
    }
}

Pipe *MakePipe()
{
    auto *p = new Pipe;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETPIPE_SZ, 4096) < 0 ||
        fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
        fprintf(stderr, "cannot make the output pipe: %s\n", strerror(errno));
        abort();
    }
    p->readFd = fds[0];
    p->writeFd = fds[1];
    std::thread(ReadPipe, p).detach();
    return p;
}

// Writes count NUL bytes into the non-blocking pipe, waiting whenever it is full.
void WriteNuls(Pipe *p, std::size_t count)
{
    static const char nuls[kFiller + 1] = {};
    while (count > 0) {
        const ssize_t n = write(p->writeFd, nuls, count);
        if (n > 0) {
            count -= std::size_t(n);
        } else {
            pollfd wait = {p->writeFd, POLLOUT, 0};
            poll(&wait, 1, -1);
        }
    }
}

// Starts a capture: forgets what was read, and fills the pipe nearly up.
void StartPipe(Pipe *p)
{
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->bytes.clear();
        p->nuls = p->marks = 0;
    }
    WriteNuls(p, kFiller);
}

// Writes the mark and waits until the reader has met it: everything before is read.
std::string DrainPipe(Pipe *p)
{
    const std::size_t upTo = kFiller + ++p->marks;
    WriteNuls(p, 1);
    std::unique_lock<std::mutex> hold(p->lock);
    p->marked.wait(hold, [p, upTo] { return p->nuls >= upTo; });
    return p->bytes;
}

} // namespace

std::string MakeScratchDir(const char *tag)
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvik-" + tag + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        fprintf(stderr, "mkdtemp %s: %s\n", pattern.c_str(), strerror(errno));
        abort();
    }
    if (ScratchDirs().empty())
        atexit(RemoveScratchDirs);
    ScratchDirs().push_back(pattern);
    return pattern;
}

void EmptyDir(const std::string &dir)
{
    nftw(dir.c_str(), RemoveInside, 16, FTW_DEPTH | FTW_PHYS);
}

bool WriteFile(const std::string &path, std::string_view bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

void MakeParents(const std::string &path)
{
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0700);
}

void CaptureStdout(const std::string &dir)
{
    fflush(stdout);
    const std::string path = dir + "/stdout";
    captureFd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (captureFd < 0 || dup2(captureFd, STDOUT_FILENO) < 0) {
        fprintf(stderr, "cannot capture standard output in %s: %s\n", path.c_str(),
                strerror(errno));
        abort();
    }
}

void UsePipe(bool on)
{
    fflush(stdout);
    if (on && !pipeCapture)
        pipeCapture = MakePipe();
    if (on != piped && dup2(on ? pipeCapture->writeFd : captureFd, STDOUT_FILENO) < 0)
        abort();
    piped = on;
}

void RestartCapture()
{
    fflush(stdout);
    if (piped) {
        StartPipe(pipeCapture);
        return;
    }
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        abort();
}

std::string Captured()
{
    fflush(stdout);
    if (piped)
        return DrainPipe(pipeCapture);
    std::string bytes;
    char chunk[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(captureFd, chunk, sizeof chunk, at);
        if (n <= 0)
            break;
        bytes.append(chunk, std::size_t(n));
        at += n;
    }
    return bytes;
}

std::string Escape(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\n') {
            out += "\\n\n";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void Fail(const char *what, std::string_view expected, std::string_view actual)
{
    fprintf(stderr, "\n*** %s\n--- expected:\n%s\n--- actual:\n%s\n", what,
            Escape(expected).c_str(), Escape(actual).c_str());
    abort();
}

} // namespace tarvik::fuzz
