// The download engine: a pool of worker threads that take jobs from the
// download list, fetch the free blocks of a file over HTTP, check each block
// against the MD5 sum sent with it, write it into the working file, and when
// every block is on disk finalize the file: the file key from the store, the
// target written as the working file XORed with that key, the tags, the
// finished state, the working file deleted.
//
// Crash safety. Finalization writes the target under a temporary name beside
// it, syncs it and renames it into place; it starts only once every block is
// stored as done in the database, and the working file is deleted only after
// the finished state has been written there. A crash at any moment therefore
// leaves either the working file (and a later job finalizes again, replacing
// its own earlier output) or the finished file. Blocks are claimed as done in
// the database only once their bytes are durable (TFileItem::SyncBlocks).
//
// Threads. The workers are plain threads; they reach the main thread only
// through the list's deferred saves. StopDownloads (main thread) aborts the
// transfers in flight, wakes every pause, and waits for the workers.
#pragma once

#include "downloads/DownloadSession.h"
#include "downloads/Files.h"
#include "tags/TagWriter.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class THttpClient;
class TSettings;

// Worker threads in the pool.
inline constexpr int DownloadThreadCount = 30;
// Receive buffer of a worker's HTTP connection.
inline constexpr long HTTP_BLOCK_SIZE = 8192;
// Failed finalization attempts in one job before the file is flagged.
inline constexpr int MaxSerialErrorCount = 3;
// Seconds a worker waits after a failed finalization attempt.
inline constexpr int ErrorPause = 30;
// The MD5 trailer of a block answer.
inline constexpr const char* CRC_BEGIN = "#CRCBEGIN#";
inline constexpr const char* CRC_END = "#CRCEND#";
inline constexpr int BlockTrailerSize = 50;
// Sent in every block request.
inline constexpr const char* FileProtocolVersion = "1.4";
// User agent and referer of block requests.
inline constexpr const char* DownloadClientName = "SorvelinX 1.4";

// Timings and switches of the engine; the defaults are the product's.
struct TDownloadOptions {
    int ThreadCount = DownloadThreadCount;
    // Pause after a failed finalization attempt.
    int ErrorPauseMs = ErrorPause * 1000;
    // Idle workers look for work this often.
    int IdleSleepMs = 1000;
    // A file whose jobs keep failing is held back from new jobs: this long
    // after the first failure, twice as long after each further one without
    // a block arriving in between, at most MaxRetryPauseMs.
    int RetryPauseMs = 250;
    int MaxRetryPauseMs = 30000;
    // Durability: the working file's data is synced before a save claims new
    // blocks; those saves come at most this often per file. SyncData off
    // (for measurements only) saves just as often without syncing.
    bool SyncData = true;
    int SyncIntervalMs = 1000;
};

// The block URL: aIPPort, "/", and "file%d|%d|%d-%d|QVX|%s|%s" of the random
// number, the file's identifier, first and last byte, "1.4" and the session.
QString BuildBlockUrl(const QString& aIPPort, int32_t aUniqID, int64_t aStart, int64_t aEnd,
                      const QString& aSessionID, int aRandom);
// The MD5 digest of the bytes as 32 lower-case hexadecimal digits.
QString GetMD5(const char* aData, int64_t aSize);
// Checks and removes the MD5 trailer of a block answer (judged by the last
// "#CRCBEGIN#"); raises ELogMngrException "MD5Missed" or "InvalidBlockCRC: ...".
void PerformContentMD5(QByteArray& aBody);
// Fetches block aBlock of a file of aFileSize bytes with aHttp: the request,
// its debug log lines, the four answer checks and the error mapping (403:
// "TooManyThreads"). Returns exactly the block's bytes.
QByteArray FetchBlock(THttpClient& aHttp, const QString& aIPPort, int32_t aUniqID, uint32_t aFileSize,
                      int32_t aBlock, const QString& aSessionID);

// The tag format and tag type for a file extension (with its "."; any letter
// case) from the settings; false for an extension that gets no tag.
bool TagKindForExtension(const QString& aExtension, const TSettings& aSettings, TFileFormat& aFileFormat,
                         TTagType& aTagType);
// The 64 bytes laid along a file to decode it: byte k is byte k of the key's
// 8-bit text (the key repeated when shorter). Raises for an empty key.
QByteArray FileKeyPattern(const QString& aKey);
// Writes aTarget (created or emptied) as aSource XORed with aKeyPattern laid
// along the file, through large buffers; then aTagger on the open target;
// then, with aSync, syncs the target's data. aCancelled is asked between
// buffers and ends the work with EAbort. Raises EOSError on file errors.
void WriteDecodedFile(const QString& aSource, const QString& aTarget, const QByteArray& aKeyPattern,
                      const std::function<void(TTagStream&)>& aTagger, bool aSync,
                      const std::function<bool()>& aCancelled = {});
// Renames aFrom onto aTo (replacing it); with aSync also syncs the folder so
// the new name survives a power cut.
void ReplaceFile(const QString& aFrom, const QString& aTo, bool aSync);

class TDownloadManager;

class TDownloadThread {
public:
    // Starts the thread at once.
    explicit TDownloadThread(TDownloadManager& aManager);
    // Tells the thread to stop and waits for it.
    ~TDownloadThread();
    TDownloadThread(const TDownloadThread&) = delete;
    TDownloadThread& operator=(const TDownloadThread&) = delete;

    // From any thread: the thread stops at its next look, the transfer in
    // flight ends at once and every pause or wait wakes.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    void WaitFor();

private:
    void Execute();
    void DoJob();
    void DoDownloadJob();
    void DoDecodingJob();
    void DecodingAttempt();
    void DownloadBlock(int32_t aBlock);
    void MarkBlockDone(int32_t aBlock);
    void SyncWorkingFile(bool aForce);
    void WorkEvent(int64_t aWorkCount);
    void AddTagToFile(TTagStream& aStream, const QString& aTargetPath);
    // Posts a save of the current item and waits until the main thread ran
    // it; true when the row was written. EAbort when told to stop meanwhile.
    bool SaveAndWait();
    // Sleeps, waking early when told to stop.
    void Pause(int aMilliseconds);

    TDownloadManager& FManager;
    TFileItem* FFileItem = nullptr;
    int FFileStm = -1; // the working file during a download job
    std::unique_ptr<THttpClient> FHttp;
    std::mutex FHttpLock; // FHttp as seen from Terminate
    int64_t FPrevWorkCount = 0;
    std::atomic<bool> FTerminated{false};
    std::mutex FWakeLock;
    std::condition_variable FWake;
    std::thread FThread; // last: started once everything above exists
};

class TDownloadManager {
public:
    // aFiles and aSession must outlive the manager.
    TDownloadManager(TFiles& aFiles, TDownloadSession& aSession, const TDownloadOptions& aOptions = {});
    // StopDownloads.
    ~TDownloadManager();
    TDownloadManager(const TDownloadManager&) = delete;
    TDownloadManager& operator=(const TDownloadManager&) = delete;

    // Creates and starts the workers; "Unexpected" when they already exist.
    void StartDownloads();
    // Tells every worker to stop and waits for them all. Transfers in flight
    // and pauses end at once, so it returns within moments (a finalization in
    // progress finishes its current step).
    void StopDownloads();

    // Holding the list's lock: the next waiting item with a job begun on it.
    // When beginning the job fails (the working file's preparation), the job
    // is not counted, the error is logged with the file's display name as
    // its source, and the item is held back: paused, with the error flag, so
    // the user sees it and can resume it. False when there is no job.
    bool GetJob(TFileItem*& aFileItem);
    // Holding the list's lock: ends the job.
    void DoneJob(TFileItem* aFileItem, bool aSuccess);
    // A job on the item failed at transfer level: new jobs wait (growing pause).
    void HoldBack(TFileItem* aFileItem);

    TFiles& Files() const { return FFiles; }
    TDownloadSession& Session() const { return FSession; }
    const TDownloadOptions& Options() const { return FOptions; }
    bool Stopping() const { return FStopping.load(); }
    int ThreadCount() const { return int(FThreads.size()); }

private:
    TFiles& FFiles;
    TDownloadSession& FSession;
    const TDownloadOptions FOptions;
    std::vector<std::unique_ptr<TDownloadThread>> FThreads;
    std::atomic<bool> FStopping{false};
};
