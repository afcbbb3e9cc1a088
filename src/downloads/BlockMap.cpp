#include "downloads/BlockMap.h"

#include "log/Exception.h"
#include "log/Format.h"

#include <cmath>

TFileBlockMap::TFileBlockMap(uint32_t aFileSize)
{
    Reset(aFileSize);
}

int32_t TFileBlockMap::BlockCountFor(uint32_t aFileSize)
{
    return int32_t(aFileSize / FILE_BLOCK_SIZE + (aFileSize % FILE_BLOCK_SIZE != 0 ? 1 : 0));
}

void TFileBlockMap::Reset(uint32_t aFileSize)
{
    std::lock_guard<std::mutex> lock(FLock);
    FBlockCount = BlockCountFor(aFileSize);
    FLastBlockSize = FBlockCount > 0 ? uint32_t(aFileSize - uint32_t(FBlockCount - 1) * FILE_BLOCK_SIZE) : 0;
    FBlocks.assign(size_t(FBlockCount), bsFree);
    ClearLocked();
}

void TFileBlockMap::Clear()
{
    std::lock_guard<std::mutex> lock(FLock);
    ClearLocked();
}

void TFileBlockMap::ClearLocked()
{
    std::fill(FBlocks.begin(), FBlocks.end(), bsFree);
    FDoneBlockCount = 0;
}

void TFileBlockMap::CheckIndex(int32_t aIndex) const
{
    if (aIndex < 0 || aIndex >= FBlockCount)
        throw Exception(Format(QStringLiteral("Block index %d out of range (%d blocks)"), {aIndex, FBlockCount}));
}

int32_t TFileBlockMap::FindFreeBlockLocked() const
{
    for (int32_t i = 0; i < FBlockCount; ++i)
        if (FBlocks[size_t(i)] == bsFree)
            return i;
    return -1;
}

int32_t TFileBlockMap::FindFreeBlock() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FindFreeBlockLocked();
}

bool TFileBlockMap::GetDownloadBlock(int32_t& aBlock)
{
    std::lock_guard<std::mutex> lock(FLock);
    aBlock = FindFreeBlockLocked();
    if (aBlock != -1)
        FBlocks[size_t(aBlock)] = bsBusy;
    return aBlock != -1;
}

void TFileBlockMap::DoneBlock(int32_t aBlock)
{
    std::lock_guard<std::mutex> lock(FLock);
    CheckIndex(aBlock);
    if (FBlocks[size_t(aBlock)] == bsBusy) {
        FBlocks[size_t(aBlock)] = bsDone;
        ++FDoneBlockCount;
    }
}

void TFileBlockMap::FreeBlock(int32_t aBlock)
{
    std::lock_guard<std::mutex> lock(FLock);
    CheckIndex(aBlock);
    if (FBlocks[size_t(aBlock)] == bsBusy)
        FBlocks[size_t(aBlock)] = bsFree;
}

TBlockState TFileBlockMap::Blocks(int32_t aIndex) const
{
    std::lock_guard<std::mutex> lock(FLock);
    CheckIndex(aIndex);
    return FBlocks[size_t(aIndex)];
}

int32_t TFileBlockMap::Count() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FBlockCount;
}

int32_t TFileBlockMap::DoneCount() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FDoneBlockCount;
}

uint32_t TFileBlockMap::LastBlockSize() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FLastBlockSize;
}

bool TFileBlockMap::HaveFree() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FindFreeBlockLocked() != -1;
}

bool TFileBlockMap::Finished() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FBlockCount > 0 && FDoneBlockCount == FBlockCount;
}

uint64_t TFileBlockMap::GetDoneSize() const
{
    std::lock_guard<std::mutex> lock(FLock);
    if (FBlockCount == 0)
        return 0;
    uint64_t size = 0;
    const size_t last = size_t(FBlockCount - 1);
    for (size_t i = 0; i < last; ++i)
        if (FBlocks[i] == bsDone)
            size += FILE_BLOCK_SIZE;
    if (FBlocks[last] == bsDone)
        size += FLastBlockSize;
    return size;
}

int TFileBlockMap::ProgressPercent() const
{
    std::lock_guard<std::mutex> lock(FLock);
    if (FBlockCount == 0)
        return 0;
    if (FDoneBlockCount == FBlockCount)
        return 100;
    return int(std::nearbyint(double(FDoneBlockCount) / double(FBlockCount) * 100.0));
}

QString TFileBlockMap::AsString() const
{
    // Taken under the lock as well: a consistent snapshot costs one short wait.
    std::lock_guard<std::mutex> lock(FLock);
    QString text(FBlockCount, QChar(BLOCK_STATE_FREE));
    for (int32_t i = 0; i < FBlockCount; ++i)
        if (FBlocks[size_t(i)] == bsDone)
            text[i] = QChar(BLOCK_STATE_DONE);
    return text;
}

void TFileBlockMap::SetAsString(const QString& aValue)
{
    std::lock_guard<std::mutex> lock(FLock);
    ClearLocked();
    if (aValue.size() != FBlockCount)
        return;
    for (int32_t i = 0; i < FBlockCount; ++i) {
        if (aValue[i] == QChar(BLOCK_STATE_DONE)) {
            FBlocks[size_t(i)] = bsDone;
            ++FDoneBlockCount;
        }
    }
}
