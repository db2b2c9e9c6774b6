/*
 * CatalogueIndex.h - where each code's entry starts in the compiled catalogues already
 * read (internal to the library).
 *
 * The index of a catalogue is collected during a scan that reads the whole file, and
 * holds for one identity of the file (device, inode, size, modification and change
 * times): the offset of the first entry piece of every code, and the first bytes of the
 * header line. It caches offsets, never texts: a lookup that the index answers still
 * opens the file, checks its identity and reads the entry's piece from it.
 *
 * Racy timestamps: a file can change twice within one tick of its file system's clock
 * and keep its size and times. A file is therefore indexed only once its last
 * modification and change lie kSettleSeconds in the past; until then every lookup scans.
 *
 * One table serves every thread. Indexes are built without any lock and published
 * whole; readers hold the table's own short lock only to copy one answer out.
 */
#ifndef TARVIK_CATALOGUE_INDEX_H
#define TARVIK_CATALOGUE_INDEX_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/types.h>

namespace tarvik
{

/*
 * How long a file must have been left alone, when its identity is read, for it to be
 * indexed. The clock is read before the identity: any change after that lies at least
 * this long after the file's last stamped time, in a later granule. File systems stamp
 * times from the coarse real-time clock, one tick (at most 10 ms) behind
 * CLOCK_REALTIME, and keep them to their own granularity: nanoseconds on most, one
 * second on some network and older file systems, two seconds for FAT's modification
 * time. A change that keeps size and times happens within one granule and one tick of
 * the time stamped; three seconds cover the coarsest granule with a second to spare for
 * the clock skew between a network file system's server and its clients.
 */
constexpr int kSettleSeconds = 3;

/*
 * A catalogue of at most this many bytes is scanned even when it is indexed: the scan
 * reads it whole in one read no larger than the entry's read, and needs no fstat.
 */
constexpr std::uint64_t kScannedBytes = 511;

/* Bounds: indexes kept, their memory in total, the largest file indexed. */
constexpr int kMaxIndexes = 64;
constexpr std::size_t kMaxIndexBytes = std::size_t(8) << 20;
constexpr std::uint64_t kMaxIndexedFileBytes = UINT32_MAX; /* offsets are 32-bit */

/* The header bytes kept: the longest header a class forms is "!$" and 8 digits. */
constexpr std::size_t kHeaderKept = 10;

/* What must stay the same for an index of a file to hold. */
struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
    timespec readAfter; /* CLOCK_REALTIME just before the rest was read; not compared */
};

/* Fills id from fstat on the open descriptor fd; false when fstat fails or fd is not a
 * regular file. */
bool ReadIdentity(int fd, FileIdentity *id);

/* Whether a and b are the same identity (readAfter aside). */
bool SameIdentity(const FileIdentity &a, const FileIdentity &b);

/* What the index of a catalogue tells of one code, for the file of identity id. */
struct IndexAnswer {
    enum class Kind {
        Unknown, /* the catalogue has no index */
        NoEntry, /* the file has no entry of the code */
        Entry,   /* the code's first entry piece starts at offset */
    } kind = Kind::Unknown;
    FileIdentity id = {};
    std::uint32_t offset = 0;
    char header[kHeaderKept] = {}; /* the first bytes of the file's first piece */
    std::size_t headerLength = 0;
};

/* Looks code up in the index of the catalogue at path. The answer holds only for a file
 * of identity answer.id. */
IndexAnswer QueryIndex(const char *path, int code);

/* Drops the index of path, if there is one. */
void ForgetIndex(const char *path);

struct CatalogueIndex;

/*
 * Collects the index of one catalogue during a scan of the whole file, then publishes it.
 * Collecting stops quietly (the scan goes on unindexed) when memory runs short or the
 * bounds above are passed.
 */
class IndexBuilder
{
  public:
    /* Collects for a file of identity id (none: never) if it may be indexed now. */
    explicit IndexBuilder(const FileIdentity *id);
    ~IndexBuilder();
    IndexBuilder(const IndexBuilder &) = delete;
    IndexBuilder &operator=(const IndexBuilder &) = delete;

    bool Active() const { return index_ != nullptr; }
    /* The file's first piece. */
    void SetHeader(std::string_view piece);
    /* An entry piece (one that begins with '.') starting at offset. */
    void AddEntry(std::string_view piece, std::uint64_t offset);
    /* Publishes the index for path once the scan has read all bytesRead bytes of the file
     * without a read error; nothing happens when they are not the identity's size. */
    void Publish(const char *path, std::uint64_t bytesRead);

  private:
    CatalogueIndex *index_ = nullptr;
    std::size_t capacity_ = 0; /* entries the block has room for */
};

} // namespace tarvik

#endif
