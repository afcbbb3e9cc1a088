// The block map of one file: which 100 KiB blocks are still to fetch, being
// fetched or on disk. Workers take and complete blocks under the map's lock;
// its text form goes to the user database so a download resumes after a
// restart (blocks being fetched are stored as not done).
//
// Lock order: the download list's lock may be held while a map's lock is
// taken, never the reverse; nothing here calls out while holding the lock.
#pragma once

#include <QString>
#include <cstdint>
#include <mutex>
#include <vector>

inline constexpr uint32_t FILE_BLOCK_SIZE = 102400;
inline constexpr char16_t BLOCK_STATE_FREE = u'0';
inline constexpr char16_t BLOCK_STATE_DONE = u'1';

enum TBlockState : uint8_t {
    bsFree = 0, // to be fetched
    bsBusy = 1, // handed to a worker
    bsDone = 2, // on disk
};

class TFileBlockMap {
public:
    // Sized for a file of aFileSize bytes, every block free. An item creates
    // its map before its record is filled, so a new map usually has no blocks.
    explicit TFileBlockMap(uint32_t aFileSize = 0);
    TFileBlockMap(const TFileBlockMap&) = delete;
    TFileBlockMap& operator=(const TFileBlockMap&) = delete;

    // Sizes the map for aFileSize bytes again, every block free.
    void Reset(uint32_t aFileSize);
    // Every block free.
    void Clear();

    // The lowest free block becomes busy and goes to aBlock; false (aBlock -1)
    // when no block is free.
    bool GetDownloadBlock(int32_t& aBlock);
    // A busy block is on disk; a free or done block stays as it is.
    void DoneBlock(int32_t aBlock);
    // A busy block was not fetched and may be handed out again; a free or done
    // block stays as it is.
    void FreeBlock(int32_t aBlock);
    // Lowest free block, or -1.
    int32_t FindFreeBlock() const;

    // Block indexes outside 0 .. Count()-1 raise an error.
    TBlockState Blocks(int32_t aIndex) const;
    int32_t Count() const;
    int32_t DoneCount() const;
    uint32_t LastBlockSize() const;
    bool HaveFree() const;
    // Some blocks, and every one of them on disk.
    bool Finished() const;
    // Bytes of the blocks on disk.
    uint64_t GetDoneSize() const;
    // Percent of blocks on disk, rounded to nearest (halves to even); 100 when
    // all are, 0 without blocks.
    int ProgressPercent() const;

    // One character per block: "1" on disk, "0" otherwise.
    QString AsString() const;
    // Loads the states from a stored text; a text whose length is not the
    // block count leaves every block free (the file is fetched again).
    void SetAsString(const QString& aValue);

    // Number of blocks of a file of aFileSize bytes.
    static int32_t BlockCountFor(uint32_t aFileSize);

private:
    void ClearLocked();
    int32_t FindFreeBlockLocked() const;
    void CheckIndex(int32_t aIndex) const;

    mutable std::mutex FLock;
    int32_t FBlockCount = 0;
    std::vector<TBlockState> FBlocks;
    int32_t FDoneBlockCount = 0;
    uint32_t FLastBlockSize = 0;
};
