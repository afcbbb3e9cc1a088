// Shared by the download list, the engine and the downloads view: the tick
// counters, the moving-window speed estimator and the display texts of sizes,
// costs and durations.
#pragma once

#include "downloads/FileRec.h"

#include <QString>
#include <QVariant>
#include <cstdint>
#include <mutex>
#include <vector>

// Milliseconds of a monotonic clock. The 32-bit count wraps around every
// 49.7 days like the system tick counter; TickCountDiff measures across it.
uint64_t GetTickCount64();
uint32_t GetTickCount32();

// aEnd - aStart, allowing for one wrap of the 32-bit counter in between.
uint32_t TickCountDiff(uint32_t aStart, uint32_t aEnd);

struct TDownloadHistroyRec {
    int64_t Time = 0;  // tick count / 100 (tenths of a second)
    int64_t Value = 0; // bytes added since the last reset, up to this slot
};

// Bytes per second over the last aCount tenth-of-a-second steps in which data
// arrived. Add runs on worker threads, GetSpeed and Reset anywhere; the
// estimator's own lock serialises them.
class TDownloadSpeedCalculator {
public:
    // aCount must be above 0.
    explicit TDownloadSpeedCalculator(uint32_t aCount);

    void Add(int64_t aBlockSize);
    // Add at a given tick count in milliseconds (Add uses GetTickCount64).
    void AddAt(int64_t aBlockSize, uint64_t aTickCount);
    int64_t GetSpeed() const;
    void Reset();

private:
    int32_t CalcNextIndex() const;

    mutable std::mutex FLock;
    uint32_t FCount;
    std::vector<TDownloadHistroyRec> FHistory;
    int32_t FIndex = -1;
    bool FFilled = false;
};

// "0.49 KB", "1.0 KB", "4.77 MB", "2.79 GB" (decimal thresholds, binary
// units), with the user's decimal separator.
QString FileSizeToStr(uint32_t aSize);
// A number taken as a 32-bit size; empty for a value that is not a number.
QString FileSizeToStr(const QVariant& aSize);
// "$0.15", with the user's decimal separator.
QString FileCostToStr(TCurrency aCost);
// "0:59", "1:01", "1:02:05".
QString SecondsToStr(uint32_t Value);
