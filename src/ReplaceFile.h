/*
 * ReplaceFile.h - writing a file so that its readers see the old content or the new one,
 * never a part: the bytes go to a temporary file beside it, renamed into place at the end.
 *
 * Header-only, for the programs (the compiler links nothing of the library). A name that
 * is not a regular file (a symbolic link, a device, a directory) is written through in
 * place, as fopen "w" would, and so is a file of several hard links (each of its names
 * then gets the new content, as before) and a file whose directory takes no new file. A
 * file replaced keeps its permission bits; a new one gets 0666 less the umask, as with
 * fopen.
 */
#ifndef TARVIK_REPLACEFILE_H
#define TARVIK_REPLACEFILE_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvik
{

/* Bytes that a temporary name adds to the final one: "." and mkstemp's six letters. */
constexpr std::size_t kReplacementSuffixLen = sizeof ".XXXXXX" - 1;

/* The mode that open(2) with 0666 gives a new file under the current umask. */
inline mode_t NewFileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

/*
 * Opens name for writing. When name is a regular file of one link that may be written,
 * or does not exist, the stream is a new temporary file in the same directory whose name
 * goes to
 * temp (tempSize must exceed strlen(name) + kReplacementSuffixLen); otherwise temp becomes
 * empty and name itself is opened with fopen "w". NULL, errno set, when neither can be.
 */
inline FILE *OpenReplacement(const char *name, char *temp, std::size_t tempSize)
{
    temp[0] = '\0';
    struct stat st;
    const bool exists = lstat(name, &st) == 0;
    bool replace = !exists || (S_ISREG(st.st_mode) && st.st_nlink == 1);
    if (exists && replace) {
        /* What fopen "w" would refuse (a read-only file), a rename must not override. */
        const int fd = open(name, O_WRONLY | O_CLOEXEC);
        replace = fd >= 0;
        if (fd >= 0)
            close(fd);
    }
    const std::size_t n = std::strlen(name);
    if (replace && n + kReplacementSuffixLen < tempSize) {
        std::memcpy(temp, name, n);
        std::memcpy(temp + n, ".XXXXXX", kReplacementSuffixLen + 1);
        const int fd = mkstemp(temp);
        if (fd >= 0 && fchmod(fd, exists ? st.st_mode & 07777 : NewFileMode()) == 0) {
            if (FILE *f = fdopen(fd, "w"))
                return f;
        }
        if (fd >= 0) {
            close(fd);
            unlink(temp);
        }
        temp[0] = '\0'; /* no room for a temporary file: write in place */
    }
    return std::fopen(name, "w");
}

/*
 * Closes a stream of OpenReplacement. With keep, a temporary file is renamed to name;
 * without, it is removed and name stays as it was. Returns false when a write, the
 * close or the rename failed; no temporary file is left in any case.
 */
inline bool CloseReplacement(FILE *f, const char *name, char *temp, bool keep)
{
    bool ok = !std::ferror(f);
    ok = std::fclose(f) == 0 && ok;
    if (temp[0] != '\0') {
        const bool renamed = keep && std::rename(temp, name) == 0;
        if (!renamed)
            unlink(temp);
        ok = ok && renamed == keep;
        temp[0] = '\0';
    }
    return ok;
}

} // namespace tarvik

#endif
