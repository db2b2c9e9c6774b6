// Helpers shared by the fuzz targets: typed values read off the fuzz input, a private
// scratch directory, whole-file I/O, standard output captured in a file or through a
// pipe, and the oracle failure that ends a run.
//
// An input is read from both ends: texts (file contents) from the front, the small
// control values (modes, lengths, codes) from the back. A seed that is a plain text
// file thus keeps its text, and its last bytes only steer the run.
#ifndef TARVIK_FUZZ_SUPPORT_H
#define TARVIK_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvik::fuzz
{

class Input
{
  public:
    Input(const std::uint8_t *data, std::size_t size)
        : data_(reinterpret_cast<const char *>(data)), size_(size)
    {
    }

    bool Empty() const { return size_ == 0; }

    // A control byte from the back; 0 once the input is used up.
    std::uint8_t Byte()
    {
        if (size_ == 0)
            return 0;
        return std::uint8_t(data_[--size_]);
    }
    // Low byte first (the operands of | are evaluated in no fixed order).
    std::uint16_t U16()
    {
        const std::uint16_t low = Byte();
        return std::uint16_t(low | Byte() << 8);
    }
    std::uint32_t U32()
    {
        const std::uint32_t low = U16();
        return low | std::uint32_t(U16()) << 16;
    }

    // The text from the front up to the first sep (sep consumed), or all that is left;
    // found tells which.
    std::string_view TakeUntil(std::string_view sep, bool *found)
    {
        const std::string_view rest(data_, size_);
        const std::size_t at = rest.find(sep);
        *found = at != std::string_view::npos;
        const std::string_view text = rest.substr(0, *found ? at : rest.size());
        const std::size_t used = *found ? at + sep.size() : rest.size();
        data_ += used;
        size_ -= used;
        return text;
    }
    // Everything that is left.
    std::string_view Rest()
    {
        const std::string_view text(data_, size_);
        data_ += size_;
        size_ = 0;
        return text;
    }

  private:
    const char *data_;
    std::size_t size_;
};

// Makes a fresh directory under $TMPDIR (or /tmp) named after tag; aborts on failure.
// It is removed with its contents when the process exits.
std::string MakeScratchDir(const char *tag);

// Removes everything inside dir, leaving dir itself.
void EmptyDir(const std::string &dir);

// Writes bytes to path (created or truncated); false when that fails.
bool WriteFile(const std::string &path, std::string_view bytes);
// Creates the directories of path's leading components that do not exist yet.
void MakeParents(const std::string &path);

// Standard output goes to a file of its own (in dir) from now on; Captured() gives what
// was written since the last Restart().
void CaptureStdout(const std::string &dir);
void RestartCapture();
std::string Captured();

// From now on standard output is, as piped says, the capture file or a pipe: a
// non-blocking one of a single page, read by a thread of its own, which each capture
// starts nearly full, so that the library's writes meet a full descriptor and must wait
// for it. RestartCapture() and Captured() work on either. Call it between two captures.
void UsePipe(bool piped);

// Ends the run with a message on standard error: the library broke an oracle.
[[noreturn]] void Fail(const char *what, std::string_view expected, std::string_view actual);

// Text with control bytes and bytes above 127 shown as escapes.
std::string Escape(std::string_view text);

} // namespace tarvik::fuzz

#endif
