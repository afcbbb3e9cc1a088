#include "downloads/DownloadManager.h"

#include "app/CodePage.h"
#include "downloads/CrashPoint.h"
#include "downloads/PrefixedError.h"
#include "log/Exception.h"
#include "log/Format.h"
#include "log/LogManager.h"
#include "net/HttpClient.h"
#include "net/KeyPair.h"
#include "settings/Settings.h"
#include "tags/TagStream.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const ThreadSource = "TDownloadThread";
const char* const CheckSource = "TFileDownloadThread.Execute";
const char* const MD5Source = "TFileDownloadThread.PerformContentMD5";
const char* const FinalizingErrorPrefix = "Error finalizing file: ";

// Reading, decoding and writing a file goes through buffers of this size.
constexpr int64_t DecodeBufferSize = 1 << 20;
// A block answer is kept only up to this much beyond its expected length;
// longer answers are still counted, so the length check reports them.
constexpr int64_t MaxAnswerOverrun = 64 * 1024;
// How often a worker waiting for a save looks whether it was told to stop.
constexpr int SaveWaitSliceMs = 50;

QString Src()
{
    return QLatin1String(ThreadSource);
}

// A file descriptor closed with its owner.
class TFileHandle {
public:
    explicit TFileHandle(int aHandle = -1) : FHandle(aHandle) {}
    ~TFileHandle()
    {
        if (FHandle >= 0)
            ::close(FHandle);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    int Get() const { return FHandle; }
    // Closes now; a failed close (a late write error) raises.
    void Close(const QString& aPath)
    {
        const int handle = FHandle;
        FHandle = -1;
        if (handle >= 0 && ::close(handle) != 0)
            throw EOSError(Format(QStringLiteral("Cannot write file \"%s\": %s"), {aPath, SysErrorMessage(errno)}));
    }

private:
    int FHandle;
};

QByteArray EncodedPath(const QString& aPath)
{
    return QFile::encodeName(aPath);
}

int OpenFile(const QString& aPath, int aFlags, mode_t aMode = 0666)
{
    const int handle = ::open(EncodedPath(aPath).constData(), aFlags | O_CLOEXEC, aMode);
    if (handle < 0)
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\": %s"), {aPath, SysErrorMessage(errno)}));
    return handle;
}

void WriteAt(int aHandle, const char* aData, int64_t aSize, int64_t aOffset, const QString& aPath)
{
    while (aSize > 0) {
        const ssize_t n = ::pwrite(aHandle, aData, size_t(aSize), off_t(aOffset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EOSError(Format(QStringLiteral("Cannot write file \"%s\": %s"), {aPath, SysErrorMessage(errno)}));
        }
        aData += n;
        aSize -= n;
        aOffset += n;
    }
}

void SyncData(int aHandle, const QString& aPath)
{
    if (::fdatasync(aHandle) != 0)
        throw EOSError(Format(QStringLiteral("Cannot write file \"%s\": %s"), {aPath, SysErrorMessage(errno)}));
}

// The reason phrase of the status line ("OK" of "HTTP/1.1 200 OK").
QString StatusText(const THttpClient& aHttp)
{
    const QString& line = aHttp.ResponseText();
    const qsizetype first = line.indexOf(QLatin1Char(' '));
    if (first < 0)
        return QString();
    const qsizetype second = line.indexOf(QLatin1Char(' '), first + 1);
    return second < 0 ? QString() : line.mid(second + 1);
}

// A block answer for the log: bytes taken as Windows-1251 text.
QString Windows1251Text(const QByteArray& aBytes)
{
    QStringDecoder decoder("windows-1251");
    if (!decoder.isValid())
        return QString::fromLatin1(aBytes);
    return decoder.decode(aBytes);
}

bool DebugLogging()
{
    return LogMsgLevel <= lmtDebug;
}

void LogDebug(const QString& aFormat, std::initializer_list<FormatArg> aArgs)
{
    HandleMessageFmt(lmtDebug, Src(), aFormat, aArgs);
}

// The error being handled says that the connection was closed.
bool ConnectionClosedError()
{
    try {
        throw;
    } catch (const EHttpConnectionClosed&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Block protocol

QString BuildBlockUrl(const QString& aIPPort, int32_t aUniqID, int64_t aStart, int64_t aEnd,
                      const QString& aSessionID, int aRandom)
{
    return aIPPort + QLatin1Char('/') +
           Format(QStringLiteral("file%d|%d|%d-%d|QVX|%s|%s"),
                  {aRandom, aUniqID, aStart, aEnd, QString::fromLatin1(FileProtocolVersion), aSessionID});
}

QString GetMD5(const char* aData, int64_t aSize)
{
    // Every block passes through here: OpenSSL's digest is the fast one.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(aData, size_t(aSize), digest, &length, EVP_md5(), nullptr) != 1)
        throw Exception(QStringLiteral("MD5 digest failed"));
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

void PerformContentMD5(QByteArray& aBody)
{
    const qsizetype beginLength = qsizetype(std::strlen(CRC_BEGIN));
    // The last occurrence; position 0 itself is not tried.
    qsizetype begin = -1;
    for (qsizetype i = aBody.size() - beginLength; i > 0; --i) {
        if (std::memcmp(aBody.constData() + i, CRC_BEGIN, size_t(beginLength)) == 0) {
            begin = i;
            break;
        }
    }
    if (begin < 0)
        throw ELogMngrException(QLatin1String(MD5Source), QStringLiteral("MD5Missed"), Windows1251Text(aBody));
    const qsizetype end = aBody.indexOf(CRC_END, begin);
    if (end < 0)
        throw ELogMngrException(QLatin1String(MD5Source), QStringLiteral("MD5Missed"), Windows1251Text(aBody));
    const QString received = QString::fromLatin1(aBody.mid(begin + beginLength, end - begin - beginLength));
    const QString computed = GetMD5(aBody.constData(), begin);
    if (received.compare(computed, Qt::CaseInsensitive) != 0)
        throw ELogMngrException(QLatin1String(MD5Source),
                                QStringLiteral("InvalidBlockCRC") +
                                    Format(QStringLiteral(": Recv: %s; Calc: %s"), {received, computed}),
                                Windows1251Text(aBody));
    aBody.truncate(begin);
}

QByteArray FetchBlock(THttpClient& aHttp, const QString& aIPPort, int32_t aUniqID, uint32_t aFileSize,
                      int32_t aBlock, const QString& aSessionID)
{
    const int64_t start = int64_t(aBlock) * FILE_BLOCK_SIZE;
    int64_t end = (int64_t(aBlock) + 1) * FILE_BLOCK_SIZE - 1;
    if (end > int64_t(aFileSize) - 1)
        end = int64_t(aFileSize) - 1;
    const int64_t partSize = end - start + 1;
    const int64_t expected = partSize + BlockTrailerSize;

    const QString url = BuildBlockUrl(aIPPort, aUniqID, start, end, aSessionID,
                                      int(QRandomGenerator::global()->bounded(2147483647)));
    const bool debug = DebugLogging();
    aHttp.CaptureRequestHeaders = debug;
    if (debug)
        LogDebug(QStringLiteral("URL: %s"), {url});

    QByteArray body;
    body.reserve(qsizetype(expected));
    int64_t received = 0;
    const int64_t keep = expected + MaxAnswerOverrun;
    const auto sink = [&](const char* aData, int64_t aSize) {
        received += aSize;
        const int64_t room = keep - body.size();
        if (room > 0)
            body.append(aData, qsizetype(std::min(room, aSize)));
    };
    QElapsedTimer timer;
    timer.start();
    try {
        aHttp.Get(url, sink);
    } catch (const EHttpConnectionClosed&) {
        if (debug)
            LogDebug(QStringLiteral("HTTP request headers: %s"), {aHttp.RequestHeaderLines().join(QLatin1Char(','))});
        throw;
    } catch (const EHttpProtocolError& e) {
        if (debug)
            LogDebug(QStringLiteral("HTTP request headers: %s"), {aHttp.RequestHeaderLines().join(QLatin1Char(','))});
        if (e.ErrorCode() == 403)
            throw Exception(QStringLiteral("TooManyThreads"));
        throw;
    } catch (...) {
        if (debug)
            LogDebug(QStringLiteral("HTTP request headers: %s"), {aHttp.RequestHeaderLines().join(QLatin1Char(','))});
        throw;
    }
    const int64_t jobTime = timer.elapsed();
    const int code = aHttp.ResponseCode();
    const QString statusText = StatusText(aHttp);
    if (debug) {
        LogDebug(QStringLiteral("HTTP request headers: %s"), {aHttp.RequestHeaderLines().join(QLatin1Char(','))});
        LogDebug(QStringLiteral("Job time: %d msec"), {jobTime});
        LogDebug(QStringLiteral("Server header: %s"), {aHttp.HeaderValue(QStringLiteral("Server"))});
        LogDebug(QStringLiteral("HTTP Response %d %s"), {code, statusText});
        LogDebug(QStringLiteral("Downloaded %d bytes"), {received});
        LogDebug(QStringLiteral("HTTP Response: %s"), {aHttp.ResponseHeaderLines().join(QLatin1Char(','))});
    }

    try {
        if (code != 200)
            throw Exception(Format(QStringLiteral("Invalid HTTP response %d: %s"), {code, statusText}));
        if (received != expected)
            throw Exception(Format(QStringLiteral("Invalid content length %d (%d declared, %d expected): %s"),
                                   {received, aHttp.ContentLength(), expected, statusText}));
        PerformContentMD5(body);
        if (body.size() != partSize)
            throw Exception(QStringLiteral("Downloaded file part size does not match expected value!"));
    } catch (const ELogMngrException&) {
        HandleMessageFmt(lmtInfo, Src(), QStringLiteral("Downloaded %d bytes"), {received});
        throw;
    } catch (const Exception& e) {
        HandleMessageFmt(lmtInfo, Src(), QStringLiteral("Downloaded %d bytes"), {received});
        throw ELogMngrException(QLatin1String(CheckSource), e.Message(), Windows1251Text(body));
    }
    return body;
}

// ---------------------------------------------------------------------------
// Finalization pieces

bool TagKindForExtension(const QString& aExtension, const TSettings& aSettings, TFileFormat& aFileFormat,
                         TTagType& aTagType)
{
    const struct {
        const char* Extension;
        TFileFormat Format;
        TTagType TSettings::*Setting;
    } kinds[] = {
        {".mp3", ffMp3, &TSettings::TagMp3Type}, {".wma", ffWma, &TSettings::TagWmaType},
        {".ogg", ffOgg, &TSettings::TagOggType}, {".mpc", ffMpc, &TSettings::TagMpcType},
        {".flac", ffFlac, &TSettings::TagFlacType},
    };
    for (const auto& kind : kinds) {
        if (aExtension.compare(QLatin1String(kind.Extension), Qt::CaseInsensitive) == 0) {
            aFileFormat = kind.Format;
            aTagType = aSettings.*kind.Setting;
            return true;
        }
    }
    return false;
}

QByteArray FileKeyPattern(const QString& aKey)
{
    const QByteArray key = StringToAnsi(aKey);
    if (key.isEmpty())
        throw Exception(QStringLiteral("The file key is empty"));
    // A key is applied to every 64-byte piece from its first byte on.
    QByteArray pattern(64, '\0');
    for (int k = 0; k < 64; ++k)
        pattern[k] = key[k % key.size()];
    return pattern;
}

void WriteDecodedFile(const QString& aSource, const QString& aTarget, const QByteArray& aKeyPattern,
                      const std::function<void(TTagStream&)>& aTagger, bool aSync,
                      const std::function<bool()>& aCancelled)
{
    if (aKeyPattern.size() != 64)
        throw Exception(QStringLiteral("The file key pattern must have 64 bytes"));
    TFileHandle source(OpenFile(aSource, O_RDONLY));
    TFileHandle target(OpenFile(aTarget, O_RDWR | O_CREAT | O_TRUNC));
    ::posix_fadvise(source.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    std::vector<char> buffer(static_cast<size_t>(DecodeBufferSize));
    int64_t position = 0;
    for (;;) {
        if (aCancelled && aCancelled())
            Abort();
        const ssize_t n = ::read(source.Get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EOSError(Format(QStringLiteral("Cannot read file \"%s\": %s"), {aSource, SysErrorMessage(errno)}));
        }
        if (n == 0)
            break;
        XORBuffer(buffer.data(), n, position, int(aKeyPattern.size()), aKeyPattern.constData());
        WriteAt(target.Get(), buffer.data(), n, position, aTarget);
        position += n;
    }
    if (aTagger) {
        TFileTagStream stream(target.Get());
        aTagger(stream);
    }
    if (aSync)
        SyncData(target.Get(), aTarget);
    target.Close(aTarget);
}

void ReplaceFile(const QString& aFrom, const QString& aTo, bool aSync)
{
    if (::rename(EncodedPath(aFrom).constData(), EncodedPath(aTo).constData()) != 0)
        throw EOSError(Format(QStringLiteral("Cannot rename \"%s\" to \"%s\": %s"),
                              {aFrom, aTo, SysErrorMessage(errno)}));
    if (!aSync)
        return;
    const QString folder = QFileInfo(aTo).absolutePath();
    TFileHandle dir(OpenFile(folder, O_RDONLY | O_DIRECTORY));
    if (::fsync(dir.Get()) != 0)
        throw EOSError(Format(QStringLiteral("Cannot write folder \"%s\": %s"), {folder, SysErrorMessage(errno)}));
}

// ---------------------------------------------------------------------------
// TDownloadThread

TDownloadThread::TDownloadThread(TDownloadManager& aManager)
    : FManager(aManager), FThread([this] { Execute(); })
{
}

TDownloadThread::~TDownloadThread()
{
    Terminate();
    WaitFor();
}

void TDownloadThread::Terminate()
{
    FTerminated.store(true);
    {
        std::lock_guard<std::mutex> lock(FHttpLock);
        if (FHttp)
            FHttp->Disconnect();
    }
    std::lock_guard<std::mutex> lock(FWakeLock);
    FWake.notify_all();
}

void TDownloadThread::WaitFor()
{
    if (FThread.joinable())
        FThread.join();
}

void TDownloadThread::Pause(int aMilliseconds)
{
    std::unique_lock<std::mutex> lock(FWakeLock);
    FWake.wait_for(lock, std::chrono::milliseconds(std::max(0, aMilliseconds)), [this] { return Terminated(); });
}

void TDownloadThread::Execute()
{
    ::pthread_setname_np(::pthread_self(), ThreadSource);
    while (!Terminated()) {
        TFileItem* item = nullptr;
        bool haveJob = false;
        try {
            haveJob = FManager.GetJob(item);
        } catch (...) {
            HandleException(QStringLiteral("TDownloadThread.Execute"));
        }
        if (!haveJob) {
            Pause(FManager.Options().IdleSleepMs);
            continue;
        }
        FFileItem = item;
        bool success = true;
        try {
            DoJob();
        } catch (const EAbort&) {
            success = false;
        } catch (...) {
            success = false;
            if (!Terminated())
                FManager.HoldBack(item);
        }
        FFileItem = nullptr;
        try {
            FManager.DoneJob(item, success);
        } catch (...) {
            HandleException(QStringLiteral("TDownloadThread.Execute"));
        }
    }
}

void TDownloadThread::DoJob()
{
    DoDownloadJob();
    DoDecodingJob();
}

void TDownloadThread::DoDownloadJob()
{
    TFileItem& item = *FFileItem;
    const QString path = item.FilePath();
    TFileHandle file(OpenFile(path, O_RDWR));
    FFileStm = file.Get();
    struct TForget {
        int& Handle;
        ~TForget() { Handle = -1; }
    } forget{FFileStm};

    auto http = std::make_unique<THttpClient>();
    http->ApplyTimeoutSetting();
    http->BufferSize = HTTP_BLOCK_SIZE;
    http->ApplyProxySettings();
    http->UserAgent = QLatin1String(DownloadClientName);
    http->Referer = QLatin1String(DownloadClientName);
    http->OnWork = [this](int64_t aWorkCount) { WorkEvent(aWorkCount); };
    {
        std::lock_guard<std::mutex> lock(FHttpLock);
        FHttp = std::move(http);
        if (Terminated())
            FHttp->Disconnect();
    }
    FPrevWorkCount = 0;

    std::exception_ptr error;
    try {
        int32_t block = -1;
        while (!Terminated() && item.Queued() && item.BlockMap().GetDownloadBlock(block)) {
            try {
                DownloadBlock(block);
                MarkBlockDone(block);
            } catch (...) {
                item.BlockMap().FreeBlock(block);
                throw;
            }
            item.BlockMap().FreeBlock(block);
        }
    } catch (...) {
        error = std::current_exception();
    }
    // What this job wrote is made durable and stored before the job ends.
    try {
        SyncWorkingFile(true);
    } catch (...) {
        if (!error)
            error = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(FHttpLock);
        FHttp.reset();
    }
    if (error)
        std::rethrow_exception(error);
}

void TDownloadThread::DownloadBlock(int32_t aBlock)
{
    const TFileRec rec = FFileItem->FileRec();
    FPrevWorkCount = 0;
    const QByteArray data =
        FetchBlock(*FHttp, rec.IPPort, rec.UniqID, rec.FileSize, aBlock, FManager.Session().SessionID());
    // Written only now that every check has passed.
    WriteAt(FFileStm, data.constData(), data.size(), int64_t(aBlock) * FILE_BLOCK_SIZE, FFileItem->FilePath());
}

void TDownloadThread::MarkBlockDone(int32_t aBlock)
{
    FFileItem->BlockWritten(aBlock);
    SyncWorkingFile(false);
    FFileItem->SetSerialFailures(0);
}

void TDownloadThread::SyncWorkingFile(bool aForce)
{
    const int handle = FFileStm;
    const QString path = FFileItem->FilePath();
    const bool sync = FManager.Options().SyncData;
    FFileItem->SyncBlocks(
        [handle, &path, sync] {
            if (sync)
                SyncData(handle, path);
        },
        aForce, uint32_t(std::max(0, FManager.Options().SyncIntervalMs)));
}

void TDownloadThread::WorkEvent(int64_t aWorkCount)
{
    if (Terminated())
        Abort();
    if (FHttp->ResponseCode() != 200)
        return;
    FFileItem->DwnldSpeedCalc().Add(aWorkCount - FPrevWorkCount);
    FPrevWorkCount = aWorkCount;
}

void TDownloadThread::DoDecodingJob()
{
    TFileItem& item = *FFileItem;
    // Another worker still on the file finalizes it when its job ends, or a
    // later job does.
    if (!item.BlockMap().Finished() || item.JobCount() > 1)
        return;
    int errorCount = 0;
    while (!Terminated() && item.Queued()) {
        try {
            DecodingAttempt();
            return;
        } catch (const EAbort&) {
            throw; // told to stop, or the item left the list
        } catch (...) {
            if (Terminated() && ConnectionClosedError())
                return;
            const TFileRec rec = item.FileRec();
            HandleExceptionPrefixed(Format(QStringLiteral("%s \\ %s \\ %s (3)"),
                                           {rec.GroupName, rec.AlbumName, rec.SongName}),
                                    QLatin1String(FinalizingErrorPrefix));
        }
        if (MaxSerialErrorCount != 0 && ++errorCount >= MaxSerialErrorCount) {
            item.SetDownloadErrorOccured(true);
            Abort();
        }
        if (!Terminated())
            Pause(FManager.Options().ErrorPauseMs);
    }
}

bool TDownloadThread::SaveAndWait()
{
    struct TWait {
        std::mutex Lock;
        std::condition_variable Done;
        bool Finished = false;
        bool Saved = false;
    };
    const auto wait = std::make_shared<TWait>();
    FFileItem->SaveSafe([wait](bool aSaved) {
        {
            std::lock_guard<std::mutex> lock(wait->Lock);
            wait->Finished = true;
            wait->Saved = aSaved;
        }
        wait->Done.notify_all();
    });
    std::unique_lock<std::mutex> lock(wait->Lock);
    while (!wait->Finished) {
        if (Terminated())
            Abort();
        wait->Done.wait_for(lock, std::chrono::milliseconds(SaveWaitSliceMs));
    }
    return wait->Saved;
}

void TDownloadThread::DecodingAttempt()
{
    TFileItem& item = *FFileItem;
    const TFileRec rec = item.FileRec();
    QString key = item.FileKey();
    if (key.size() != 64) {
        key = FManager.Session().FinalizeFile(rec.UniqID, rec.FileType == ftOnlineEncode);
        if (key.size() != 64)
            throw ELogMngrException(QStringLiteral("TConnection.FinalizeFile"),
                                    QStringLiteral("INVALID_RESPONSE_FORMAT"), key);
        item.SetFileKey(key);
        item.SaveSafe();
        HandleMessageFmt(lmtDebug, Src(), QStringLiteral("FileKey recieved (len %d)"), {int(key.size())});
    }

    const QString source = item.FilePath();
    if (!source.endsWith(QLatin1String(DownloadingExtension), Qt::CaseInsensitive))
        throw Exception(QStringLiteral("Unexpected state!"));
    const QString target = item.TargetPath();
    const QString temp = target + QLatin1String(FinalizingExtension);
    const bool sync = FManager.Options().SyncData;

    // The target appears only after every block is stored as done, so a
    // target found later next to a complete working file is known to be this
    // item's own output (see TFileItem::PrepareFile).
    if (item.UnsyncedBlockCount() > 0) {
        TFileHandle handle(OpenFile(source, O_RDONLY));
        const int fd = handle.Get();
        item.SyncBlocks(
            [fd, &source, sync] {
                if (sync)
                    SyncData(fd, source);
            },
            true, 0);
    }
    if (!SaveAndWait()) {
        if (item.Removed())
            Abort(); // deleted by the user meanwhile
        throw Exception(QStringLiteral("The download state of the file could not be saved"));
    }

    try {
        WriteDecodedFile(
            source, temp, FileKeyPattern(key), [&](TTagStream& aStream) { AddTagToFile(aStream, target); }, sync,
            [this] { return Terminated(); });
        CrashPoint(CrashAfterTempWritten);
        // A file deleted by the user meanwhile never appears.
        if (item.Removed())
            Abort();
        ReplaceFile(temp, target, sync);
    } catch (...) {
        QFile::remove(temp);
        throw;
    }
    CrashPoint(CrashAfterRename);

    item.SetFileState(fsFinished);
    item.SetFilePath(target);
    // The working file goes only once the finished state is in the database.
    TDownloadSession* session = &FManager.Session();
    item.SaveSafe([source, session](bool aSaved) {
        if (!aSaved)
            return;
        CrashPoint(CrashAfterFinishedSaved);
        QFile::remove(source);
        CrashPoint(CrashAfterWorkingDeleted);
        session->RefreshBalance();
    });
    CrashPoint(CrashAfterFinishedPosted);
}

void TDownloadThread::AddTagToFile(TTagStream& aStream, const QString& aTargetPath)
{
    const TFileRec rec = FFileItem->FileRec();
    const QString fileName = QFileInfo(aTargetPath).fileName();
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    TFileFormat format = ffUnknown;
    TTagType tagType = ttNone;
    if (dot < 0 || !TagKindForExtension(fileName.mid(dot), Settings(), format, tagType))
        return;
    // A year that does not fit the tags' 16 bits is left out.
    const uint16_t year = rec.AlbumYear <= 65535 ? uint16_t(rec.AlbumYear) : 0;
    ::AddTagToFile(aStream, format, tagType,
                   TagData(rec.GroupName, rec.AlbumName, rec.SongName, rec.TrackNum, year, QString()), false);
}

// ---------------------------------------------------------------------------
// TDownloadManager

TDownloadManager::TDownloadManager(TFiles& aFiles, TDownloadSession& aSession, const TDownloadOptions& aOptions)
    : FFiles(aFiles), FSession(aSession), FOptions(aOptions)
{
}

TDownloadManager::~TDownloadManager()
{
    StopDownloads();
}

void TDownloadManager::StartDownloads()
{
    if (!FThreads.empty())
        throw Exception(QStringLiteral("Unexpected"));
    for (int i = 0; i < FOptions.ThreadCount; ++i)
        FThreads.push_back(std::make_unique<TDownloadThread>(*this));
}

void TDownloadManager::StopDownloads()
{
    FStopping.store(true);
    for (const auto& thread : FThreads)
        thread->Terminate();
    // Each destruction waits for its worker.
    while (!FThreads.empty())
        FThreads.pop_back();
    FStopping.store(false);
}

bool TDownloadManager::GetJob(TFileItem*& aFileItem)
{
    aFileItem = nullptr;
    for (;;) {
        std::exception_ptr error;
        QString name;
        {
            std::lock_guard<TFiles> lock(FFiles);
            TFileItem* item = FFiles.FindWaitingItem();
            if (!item)
                return false;
            try {
                item->BeginJob();
                aFileItem = item;
                return true;
            } catch (...) {
                error = std::current_exception();
                name = item->GetDisplayName();
                // Held back until the user resumes it, with the error image;
                // no job is left counted on it.
                item->SetFileState(fsPaused);
                item->SetDownloadErrorOccured(true);
                item->SaveSafe();
            }
        }
        try {
            std::rethrow_exception(error);
        } catch (...) {
            HandleException(name);
        }
        // The next waiting item, if there is one.
    }
}

void TDownloadManager::DoneJob(TFileItem* aFileItem, bool aSuccess)
{
    std::lock_guard<TFiles> lock(FFiles);
    aFileItem->EndJob(aSuccess);
}

void TDownloadManager::HoldBack(TFileItem* aFileItem)
{
    // Jobs that were already running when the file was held back fail in the
    // same round: the pause grows once per round of retries.
    std::lock_guard<TFiles> lock(FFiles);
    const uint64_t now = GetTickCount64();
    if (now < aFileItem->RetryAfter())
        return;
    const int failures = aFileItem->SerialFailures() + 1;
    aFileItem->SetSerialFailures(failures);
    const int64_t pause = std::min<int64_t>(int64_t(FOptions.RetryPauseMs) << std::min(failures - 1, 20),
                                            FOptions.MaxRetryPauseMs);
    aFileItem->SetRetryAfter(now + uint64_t(std::max<int64_t>(0, pause)));
}
