#include "FuzzSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
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

void RestartCapture()
{
    fflush(stdout);
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        abort();
}

std::string Captured()
{
    fflush(stdout);
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
