// The download list: the client's copy of the user's basket, one item per
// bought file with its local state, block map and speed estimator. Loaded
// from the user database, brought up to date from the store's basket
// answers, and every change of an item is written back so that a download
// resumes after a restart.
//
// Threads. The main thread owns the list's membership and runs every
// database write; the download workers take jobs (FindWaitingItem and
// BeginJob under the list's lock), mark blocks done, end jobs (EndJob under
// the lock) and post saves (SaveSafe), which the main thread runs in order.
//
// Membership and lifetime. Items are added and taken out of the list only on
// the main thread and only while holding the list's lock, so a worker that
// holds the lock sees a list that does not change. An item that still has
// jobs when it is removed is not destroyed: it leaves the list at once (no
// new job, no save reaches the database, Queued() turns false so its workers
// stop after their current block) and is destroyed on the main thread after
// its last EndJob. A pointer a worker got from FindWaitingItem therefore
// stays valid until its EndJob returns.
//
// Durability. A block written by a worker is done in the block map at once
// (it is never handed out again), but the saved map claims it only after the
// working file's data has been synced (SyncBlocks), so a map read back after
// a crash or a power cut never claims bytes that did not reach the disk.
//
// Lock order: the list's lock, then an item's sync lock, then a block map's
// lock, the speed estimator's lock or an item's own data lock; never the
// reverse.
#pragma once

#include "downloads/BlockMap.h"
#include "downloads/FileRec.h"
#include "downloads/SpeedFormat.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <pugixml.hpp>

class QObject;
class TFiles;
class TUserData;
struct TDownloadRow;

// Most download jobs (worker threads) on one file at a time.
inline constexpr int FileJobCount = 10;
// Suffix of the working file while a file is being downloaded.
inline constexpr const char* DownloadingExtension = ".downloading";
// Suffix of the temporary file finalization writes beside the target; it is
// renamed onto the target only when complete.
inline constexpr const char* FinalizingExtension = ".finalizing";

// Indexes of the state images of the downloads view.
inline constexpr int IMAGE_WAIT_ENCODING = 0;
inline constexpr int IMAGE_FILE_QUEUED = 1;
inline constexpr int IMAGE_FILE_PAUSED = 2;
inline constexpr int IMAGE_FILE_DOWNLOADING = 3;
inline constexpr int IMAGE_FINISHED = 4;
inline constexpr int IMAGE_ERROR = 5;

// Every backquote becomes an apostrophe.
QString ReplaceApostrophe(const QString& aText);
// The file record of an "updated" element of the basket answer; any value
// that does not convert or is out of range raises "Wrong response format!".
TFileRec XmlToFileRec(const pugi::xml_node& aNode);
// The identifier of a "deleted" element; raises "Wrong response format!".
int32_t XmlToUniqID(const pugi::xml_node& aNode);
// The request body that reports deleted files to the store:
// "FileCount=n" and "FileIDi=id", "FileOEi=0|1" lines, each ended by CR LF.
QString BuildDeleteFilesBody(const std::vector<TFileRec>& aFiles);
// "MP3 kbps" from "VIP MP3 192 kbps": the second and the last item of the
// format read as a comma/blank separated list; fewer than three items give
// the format unchanged.
QString ShortFormatOf(const QString& aFormat);

class TFileItem {
public:
    ~TFileItem();
    TFileItem(const TFileItem&) = delete;
    TFileItem& operator=(const TFileItem&) = delete;

    TFiles& Files() const { return FFiles; }
    // Collection ID, unique for the run (saves find their item by it).
    int ID() const { return FID; }

    // A copy of the record: the main thread may replace it while workers read.
    TFileRec FileRec() const;
    int32_t UniqID() const;

    TFileState FileState() const { return TFileState(FFileState.load()); }
    void SetFileState(TFileState aValue) { FFileState.store(aValue); }
    QString FilePath() const;
    void SetFilePath(const QString& aValue);
    QString FileKey() const;
    void SetFileKey(const QString& aValue);
    bool DownloadErrorOccured() const { return FDownloadErrorOccured.load(); }
    void SetDownloadErrorOccured(bool aValue) { FDownloadErrorOccured.store(aValue); }
    bool Mark() const { return FMark; }
    void SetMark(bool aValue) { FMark = aValue; }

    TFileBlockMap& BlockMap() { return FBlockMap; }
    const TFileBlockMap& BlockMap() const { return FBlockMap; }
    TDownloadSpeedCalculator& DwnldSpeedCalc() { return FDwnldSpeedCalc; }
    int JobCount() const { return FJobCount.load(); }
    uint32_t StartTime() const { return FStartTime.load(); }
    // Taken out of the list while jobs were still on it; destroyed after them.
    bool Removed() const { return FRemoved.load(); }

    bool Encoding() const { return FileState() == fsEncoding; }
    bool Paused() const { return FileState() == fsPaused; }
    bool CanDownload() const { return Paused(); }
    // False once the item has left the list, so its workers stop.
    bool Queued() const { return !Removed() && FileState() == fsQueued; }
    bool CanCancelDownload() const { return Queued(); }
    bool Downloading() const { return Queued() && JobCount() > 0; }
    bool Finished() const { return FileState() == fsFinished; }

    // User resume and pause (main thread).
    void Queue();
    void Pause();

    // Writes the item's row now (main thread, under the list's lock).
    void Save();
    // Asks the main thread to write the row; returns at once, from any thread.
    void SaveSafe();
    // The same; aAfter runs on the main thread once the save has been tried
    // (true when the row was written), or at once with false when the item
    // has already left the list.
    void SaveSafe(std::function<void(bool aSaved)> aAfter);
    // Deletes the working file and a temporary finalization file (never a
    // finished file) and the item's row.
    void Cleanup();

    // Job bookkeeping of the engine, under the list's lock. BeginJob prepares
    // the working file for the first job and raises what PrepareFile raises;
    // the job is not counted then.
    void BeginJob();
    void EndJob(bool aSuccess);
    // A block is on disk: done in the block map, and a save is posted.
    void BlockDownloaded(int32_t aBlock);
    // A block has been written to the working file but its bytes may not be
    // durable yet: done in the block map (never handed out again), stored as
    // done only once SyncBlocks has made it durable.
    void BlockWritten(int32_t aBlock);
    // Makes the blocks done since the last sync durable with aSync (which
    // syncs the working file's data) and posts a save, when there are such
    // blocks and aForce is set or aIntervalMs have passed since this file's
    // last sync. Returns true when it synced. Raises what aSync raises; the
    // blocks then stay unsynced. One worker of a file syncs at a time.
    bool SyncBlocks(const std::function<void()>& aSync, bool aForce, uint32_t aIntervalMs);
    int UnsyncedBlockCount() const;
    // The block map text a save stores: blocks not durable yet count as not done.
    QString StoredBlockMap() const;
    // Builds the path if needed and creates or checks the working file.
    // Raises "This file already exists!", "Existing file have unexpected
    // size!", the naming errors and folder creation errors. A target that
    // exists is accepted when it is the item's own output: all blocks done
    // and the working file still there (finalization got as far as the
    // rename, the finished state did not reach the database); the item then
    // goes on to finalization, which replaces it.
    void PrepareFile();
    // FilePath without ".downloading": where finalization puts the file.
    QString TargetPath() const;
    // Removes what a crash may leave of this item: the working file of a
    // finished item and a temporary finalization file (at load).
    void RemoveLeftovers();

    // Back-off of a file whose jobs keep failing (kept by the engine):
    // failures since the last block that arrived, and the tick count
    // (GetTickCount64) before which no new job takes the file.
    int SerialFailures() const { return FSerialFailures.load(); }
    void SetSerialFailures(int aValue) { FSerialFailures.store(aValue); }
    uint64_t RetryAfter() const { return FRetryAfter.load(); }
    void SetRetryAfter(uint64_t aTickCount) { FRetryAfter.store(aTickCount); }

    // FilePath := the target path followed by ".downloading".
    void BuildFilePath();
    // The target path from the download folder and the naming mask; raises
    // "Video is not supported!" and "File extension missed!".
    QString CreateFilePath() const;

    // Replaces the record and sets the mark (main thread).
    void UpdateInfo(const TFileRec& aFileRec);
    void UpdateFileState();

    // Display data (main thread).
    QString GetFullFileName() const;
    QString GetDisplayName() const { return GetFullFileName(); }
    const QString& ShortFormat();
    int ImageIndex() const;
    // Percent of blocks on disk; 0 for a finished item.
    int DownloadProgress() const;
    // Refreshes speed and estimate, at most once per 100 ms of tick count.
    void RefreshDownloadVars();
    void RefreshDownloadVars(uint32_t aTickCount);
    // Empty unless Downloading. Bytes per second.
    std::optional<int64_t> DownloadSpeed();
    // Empty unless Downloading. Time values: whole seconds as a fraction of a day.
    std::optional<double> DownloadElapsedTime() const;
    std::optional<double> DownloadEstimatedTime();
    // The values of the last refresh.
    int64_t LastDownloadSpeed() const { return FDownloadSpeed; }
    int32_t LastEstimatedTime() const { return FEstimatedTime; }

private:
    friend class TFiles;
    TFileItem(TFiles& aFiles, int aID, const TFileRec& aFileRec);

    TFiles& FFiles;
    const int FID;
    mutable std::mutex FDataLock; // FFileRec, FFilePath, FFileKey; nothing is called while held
    TFileRec FFileRec;
    QString FFilePath;
    QString FFileKey;
    bool FMark = false;
    std::atomic<uint8_t> FFileState{fsEncoding};
    std::atomic<uint32_t> FStartTime{0};
    TFileBlockMap FBlockMap;
    std::atomic<bool> FDownloadErrorOccured{false};
    std::atomic<bool> FRemoved{false};
    mutable std::mutex FSyncLock;        // FUnsyncedBlocks, FLastSyncTick
    std::mutex FSyncRunLock;             // one syncing worker per file
    std::vector<int32_t> FUnsyncedBlocks; // done, bytes not known durable
    uint64_t FLastSyncTick = 0;
    std::atomic<bool> FSavePending{false}; // a posted save has not started yet
    std::atomic<int> FSerialFailures{0};
    std::atomic<uint64_t> FRetryAfter{0};
    QString FShortFormat;
    bool FShortFormatDone = false;
    uint32_t FPrevTickCount = 0;
    std::atomic<int> FJobCount{0};
    TDownloadSpeedCalculator FDwnldSpeedCalc{100};
    int64_t FDownloadSpeed = 0;
    int32_t FEstimatedTime = 0;
};

// Notifications of the list; the downloads view (or a headless command)
// implements them. Called on the main thread.
class TFilesObserver {
public:
    virtual ~TFilesObserver() = default;
    // The rows must follow the list (after a basket answer).
    virtual void CreateFilesListItems() {}
    // The queued count may have changed (after a basket answer and deletions).
    virtual void UpdateDownloadInfo() {}
};

// Sends a deletion body to the store (the session's PerformDeleteFiles).
using TDeleteFilesHook = std::function<void(const QString& aFileInfo)>;

class TFiles {
public:
    // Create on the main thread; saves are queued to it.
    explicit TFiles(TUserData& aUserData);
    // The engine must have been stopped.
    ~TFiles();
    TFiles(const TFiles&) = delete;
    TFiles& operator=(const TFiles&) = delete;

    // The list's re-entrant lock (BasicLockable: std::lock_guard<TFiles>).
    void lock() { FLock.lock(); }
    void unlock() { FLock.unlock(); }
    bool try_lock() { return FLock.try_lock(); }

    void SetObserver(TFilesObserver* aObserver) { FObserver = aObserver; }
    void SetDeleteFilesHook(TDeleteFilesHook aHook) { FDeleteFilesHook = std::move(aHook); }

    // Fills the list from the user database; a bad row is logged and skipped.
    void Load();

    // Applies a basket answer; true when changes were applied. A document
    // without "mydownloads" raises INVALID_RESPONSE_FORMAT; every later error
    // is logged ("Downloads refreshing") and gives false, keeping what was
    // applied before it. The observer is notified in every case.
    bool UpdateFiles(const pugi::xml_document& aXmlDoc, double& aLastRequestDate);
    void ApplyFile(const TFileRec& aFileRec);
    void MarkFile(int32_t aUniqID, bool aMark);
    void ClearMarks();
    void SetMarks();
    void RemoveUnMarkedItems();

    // User deletion: cleans up and destroys the items and reports the
    // unfinished ones to the store through the hook. Errors of the report
    // reach the caller after the items are gone.
    void DeleteFile(int aIndex);
    void DeleteFinished();
    void DeleteFiles(const std::vector<TFileItem*>& aList);

    // The next item a worker should work on, or nullptr. Call it holding the
    // lock, and BeginJob before letting the lock go. An item held back after
    // failing jobs (RetryAfter) is passed over until its time.
    TFileItem* FindWaitingItem();

    // Queues SaveItem(aFileItem->ID()) on the main thread; aAfter as for
    // TFileItem::SaveSafe. A save reads the item when it runs, so a request
    // without aAfter is dropped while a save of that item is still waiting to
    // run: that save writes the newer state as well.
    void SaveItemSafe(TFileItem* aFileItem, std::function<void(bool aSaved)> aAfter = {});
    // Writes the item with that collection ID if it is still in the list;
    // true when it did.
    bool SaveItem(int aID);
    // Saves posted and not run yet.
    int PendingSaveCount() const { return FPendingSaves.load(); }
    // Runs the saves queued so far now, in order (main thread). The list
    // does it when destroyed, so the last state of every item is written.
    void FlushPendingSaves();

    // Main thread reads.
    int Count() const { return int(FItems.size()); }
    TFileItem* Items(int aIndex) const;
    int IndexOf(const TFileItem* aItem) const;
    TFileItem* FindByID(int aID) const;
    TFileItem* FindByUniqID(int32_t aUniqID) const;
    int QueuedCount() const;
    bool CanDeleteFinished() const;
    // Items removed while jobs were on them and not destroyed yet.
    int RemovedPendingCount();

    double LastUpdateDate() const { return FLastRequestDate; }
    void SetLastUpdateDate(double aValue) { FLastRequestDate = aValue; }

    TUserData& UserData() const { return FUserData; }

private:
    friend class TFileItem;

    bool ApplyBasket(const pugi::xml_document& aXmlDoc, double& aLastRequestDate);
    TFileItem* AddItem(const TFileRec& aFileRec);
    void CreateFromDB(const TDownloadRow& aRow);
    // Takes the item out of the list; destroys it now or after its last job.
    void DestroyItem(TFileItem* aItem);
    void JobsEnded(TFileItem* aItem);
    void PurgeRemovedItems();
    void NotifyListChanged();
    void NotifyDownloadInfo();

    TUserData& FUserData;
    std::recursive_mutex FLock;
    std::vector<std::unique_ptr<TFileItem>> FItems;
    std::vector<std::unique_ptr<TFileItem>> FRemovedItems; // under FLock
    int FNextID = 1;
    double FLastRequestDate = 0;
    std::atomic<int> FPendingSaves{0};
    std::unique_ptr<QObject> FQueueContext; // queued calls die with the list
    TFilesObserver* FObserver = nullptr;
    TDeleteFilesHook FDeleteFilesHook;
};
