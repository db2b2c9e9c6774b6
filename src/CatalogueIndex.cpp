/*
 * CatalogueIndex - the process-wide table of catalogue indexes.
 *
 * Each index is one heap block: a header, then the entries sorted by code, 8 bytes each.
 * The table holds at most kMaxIndexes of them and kMaxIndexBytes in all; publishing a
 * new one evicts the least recently used until it fits. Every access to the table and
 * to the indexes in it happens under TableLock, and nothing of an index but its use
 * stamp changes once it is in the table, so a reader never meets one half-built and an
 * index is freed only once nobody can reach it. The lock is held for a few hundred
 * nanoseconds at most (a search of the table and of one index); allocations and frees
 * happen outside it. Lookups write nothing shared but the lock (and a use stamp once
 * after each publication), so that threads looking up at once pass few cache lines
 * between them.
 * pthread_atfork takes the lock around fork(), so that a child never starts with it held
 * by a thread that the child does not have.
 */
#include "CatalogueIndex.h"

#include "Catalogue.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>

namespace tarvik
{

struct IndexEntry {
    std::int32_t code;
    std::uint32_t offset; /* where the code's first entry piece starts */
};

/* The index of one catalogue; its entries follow it in the same block. */
struct CatalogueIndex {
    CatalogueIndex *nextFree; /* chains indexes taken out of the table, to free unlocked */
    std::uint64_t lastUse;    /* TableEpoch when it was published or last answered */
    std::size_t bytes;        /* size of the block */
    std::uint32_t pathHash;
    char path[256];
    FileIdentity id;
    char header[kHeaderKept];
    std::size_t headerLength;
    std::size_t count; /* entries */
};

namespace
{

IndexEntry *Entries(CatalogueIndex *index)
{
    return reinterpret_cast<IndexEntry *>(index + 1);
}

constexpr std::size_t BlockBytes(std::size_t entries)
{
    return sizeof(CatalogueIndex) + entries * sizeof(IndexEntry);
}

constexpr std::size_t kFirstCapacity = 512;
constexpr std::size_t kMaxEntries = (kMaxIndexBytes - sizeof(CatalogueIndex)) / sizeof(IndexEntry);

/* A lock on a cache line of its own. */
struct alignas(64) LineLock {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};
LineLock TableLock;

pthread_once_t ForkHandlersOnce = PTHREAD_ONCE_INIT;
bool ForkSafe;                      /* the fork handlers are in place: the table may be used */
CatalogueIndex *Table[kMaxIndexes]; /* empty slots are NULL */
std::size_t TableBytes;             /* the blocks of the table, in all */
std::uint64_t TableEpoch;           /* counts publications: use stamps, for eviction */

void LockTableForFork()
{
    pthread_mutex_lock(&TableLock.mutex);
}

void UnlockTableAfterFork()
{
    pthread_mutex_unlock(&TableLock.mutex);
}

void InstallForkHandlers()
{
    ForkSafe = pthread_atfork(LockTableForFork, UnlockTableAfterFork, UnlockTableAfterFork) == 0;
}

/* Takes the table's lock; false (not taken) when the table cannot be used safely. */
bool LockTable()
{
    pthread_once(&ForkHandlersOnce, InstallForkHandlers);
    if (!ForkSafe)
        return false;
    pthread_mutex_lock(&TableLock.mutex);
    return true;
}

/* FNV-1a, to tell most paths apart without comparing them. */
std::uint32_t HashPath(const char *path)
{
    std::uint32_t hash = 2166136261u;
    for (; *path; ++path)
        hash = (hash ^ std::uint8_t(*path)) * 16777619u;
    return hash;
}

/* The slot of path's index in the table, or -1. Under the lock. */
int FindSlot(const char *path, std::uint32_t hash)
{
    for (int i = 0; i < kMaxIndexes; ++i)
        if (Table[i] && Table[i]->pathHash == hash && strcmp(Table[i]->path, path) == 0)
            return i;
    return -1;
}

/* Takes the index of slot out of the table, onto the chain *freed. Under the lock. */
void TakeOut(int slot, CatalogueIndex **freed)
{
    CatalogueIndex *index = Table[slot];
    TableBytes -= index->bytes;
    index->nextFree = *freed;
    *freed = index;
    Table[slot] = nullptr;
}

/* An empty slot, evicting the least recently used indexes until one is free and bytes
 * more fit in the total. Under the lock. */
int MakeRoom(std::size_t bytes, CatalogueIndex **freed)
{
    for (;;) {
        int empty = -1, oldest = -1;
        for (int i = 0; i < kMaxIndexes; ++i) {
            if (!Table[i])
                empty = i;
            else if (oldest < 0 || Table[i]->lastUse < Table[oldest]->lastUse)
                oldest = i;
        }
        if (empty >= 0 && TableBytes + bytes <= kMaxIndexBytes)
            return empty;
        TakeOut(oldest, freed);
    }
}

bool SameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/* Whether t lies at least kSettleSeconds before now. */
bool SettledBy(const timespec &t, const timespec &now)
{
    const time_t limit = now.tv_sec - kSettleSeconds;
    return t.tv_sec < limit || (t.tv_sec == limit && t.tv_nsec <= now.tv_nsec);
}

/* Whether a file of identity id may be indexed: small enough, and settled when its
 * identity was read. */
bool MayIndex(const FileIdentity &id)
{
    return id.size > 0 && std::uint64_t(id.size) <= kMaxIndexedFileBytes &&
           SettledBy(id.modified, id.readAfter) && SettledBy(id.changed, id.readAfter);
}

/* The entry of code in index, or NULL. Compiled catalogues number their codes without
 * gaps, so the code's distance from the first one is tried before a binary search. */
const IndexEntry *FindCode(CatalogueIndex *index, int code)
{
    IndexEntry *first = Entries(index), *last = first + index->count;
    if (index->count == 0)
        return nullptr;
    const std::uint64_t guess = std::uint64_t(std::int64_t(code) - first->code);
    if (guess < index->count && first[guess].code == code)
        return first + guess;
    const IndexEntry *at =
        std::lower_bound(first, last, code, [](const IndexEntry &e, int c) { return e.code < c; });
    return at != last && at->code == code ? at : nullptr;
}

/* Sorts the entries by code and keeps the first (lowest offset) of every code. */
void KeepFirstOfEachCode(CatalogueIndex *index)
{
    IndexEntry *first = Entries(index), *last = first + index->count;
    const auto byCode = [](const IndexEntry &a, const IndexEntry &b) { return a.code < b.code; };
    if (!std::is_sorted(first, last, byCode))
        std::sort(first, last, [](const IndexEntry &a, const IndexEntry &b) {
            return a.code != b.code ? a.code < b.code : a.offset < b.offset;
        });
    const auto sameCode = [](const IndexEntry &a, const IndexEntry &b) { return a.code == b.code; };
    index->count = std::size_t(std::unique(first, last, sameCode) - first);
}

} // namespace

bool SameIdentity(const FileIdentity &a, const FileIdentity &b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           SameTime(a.modified, b.modified) && SameTime(a.changed, b.changed);
}

bool ReadIdentity(int fd, FileIdentity *id)
{
    struct stat st;
    if (clock_gettime(CLOCK_REALTIME, &id->readAfter) != 0 || fstat(fd, &st) != 0 ||
        !S_ISREG(st.st_mode))
        return false;
    id->device = st.st_dev;
    id->inode = st.st_ino;
    id->size = st.st_size;
    id->modified = st.st_mtim;
    id->changed = st.st_ctim;
    return true;
}

IndexAnswer QueryIndex(const char *path, int code)
{
    IndexAnswer answer;
    const std::uint32_t hash = HashPath(path);
    if (!LockTable())
        return answer;
    const int slot = FindSlot(path, hash);
    if (slot >= 0) {
        CatalogueIndex *index = Table[slot];
        if (index->lastUse != TableEpoch) /* written once per publication, not per use */
            index->lastUse = TableEpoch;
        answer.id = index->id;
        memcpy(answer.header, index->header, sizeof answer.header);
        answer.headerLength = index->headerLength;
        const IndexEntry *entry = FindCode(index, code);
        answer.kind = entry ? IndexAnswer::Kind::Entry : IndexAnswer::Kind::NoEntry;
        answer.offset = entry ? entry->offset : 0;
    }
    pthread_mutex_unlock(&TableLock.mutex);
    return answer;
}

void ForgetIndex(const char *path)
{
    const std::uint32_t hash = HashPath(path);
    if (!LockTable())
        return;
    CatalogueIndex *freed = nullptr;
    const int slot = FindSlot(path, hash);
    if (slot >= 0)
        TakeOut(slot, &freed);
    pthread_mutex_unlock(&TableLock.mutex);
    free(freed);
}

IndexBuilder::IndexBuilder(const FileIdentity *id)
{
    if (!id || !MayIndex(*id))
        return;
    index_ = static_cast<CatalogueIndex *>(malloc(BlockBytes(kFirstCapacity)));
    if (!index_)
        return;
    capacity_ = kFirstCapacity;
    index_->id = *id;
    memset(index_->header, 0, sizeof index_->header);
    index_->headerLength = 0;
    index_->count = 0;
}

IndexBuilder::~IndexBuilder()
{
    free(index_);
}

void IndexBuilder::SetHeader(std::string_view piece)
{
    if (!index_)
        return;
    index_->headerLength = std::min(piece.size(), kHeaderKept);
    memcpy(index_->header, piece.data(), index_->headerLength);
}

void IndexBuilder::AddEntry(std::string_view piece, std::uint64_t offset)
{
    if (!index_)
        return;
    if (index_->count == capacity_) {
        const std::size_t grown = std::min(2 * capacity_, kMaxEntries);
        void *block = grown > capacity_ ? realloc(index_, BlockBytes(grown)) : nullptr;
        if (!block) {
            free(index_);
            index_ = nullptr;
            return;
        }
        index_ = static_cast<CatalogueIndex *>(block);
        capacity_ = grown;
    }
    int code;
    std::string_view text;
    ParseEntry(piece, &code, &text);
    Entries(index_)[index_->count++] = {code, std::uint32_t(offset)};
}

void IndexBuilder::Publish(const char *path, std::uint64_t bytesRead)
{
    const std::size_t pathLength = strlen(path);
    if (!index_ || bytesRead != std::uint64_t(index_->id.size) || pathLength >= sizeof index_->path)
        return;
    KeepFirstOfEachCode(index_);
    std::size_t bytes = BlockBytes(capacity_);
    if (void *block = realloc(index_, BlockBytes(index_->count))) {
        index_ = static_cast<CatalogueIndex *>(block);
        bytes = BlockBytes(index_->count);
    }
    CatalogueIndex *index = index_;
    index_ = nullptr;
    index->bytes = bytes;
    memcpy(index->path, path, pathLength + 1);
    index->pathHash = HashPath(path);

    CatalogueIndex *freed = nullptr;
    if (LockTable()) {
        const int old = FindSlot(index->path, index->pathHash);
        if (old >= 0)
            TakeOut(old, &freed);
        const int slot = MakeRoom(index->bytes, &freed);
        index->lastUse = ++TableEpoch;
        Table[slot] = index;
        TableBytes += index->bytes;
        pthread_mutex_unlock(&TableLock.mutex);
    } else {
        index->nextFree = nullptr;
        freed = index;
    }
    while (freed) {
        CatalogueIndex *next = freed->nextFree;
        free(freed);
        freed = next;
    }
}

} // namespace tarvik
