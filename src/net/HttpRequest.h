// Request objects around the HTTP client: a request knows its URL and form
// fields, runs synchronously (Perform) or on a worker thread of its own
// (Start), and reports the end of an asynchronous run through a callback
// queued onto the main thread. HttpManager keeps every live request.
#pragma once

#include "net/HttpClient.h"
#include "net/Streams.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pugi {
class xml_document;
}

enum THttpRequestState : uint8_t {
    hrsCreated = 0,
    hrsInProcess = 1,
    hrsCompleted = 2,
    hrsCanceled = 3,
    hrsError = 4,
};

struct TRequestHeader {
    uint32_t ContentSize = 0;
    QDateTime ContentTime; // UTC; invalid when the server sent none
};

class THttpRequest;
class THttpRequestThread;
class TXmlRequest;

using TRequestCallback = std::function<void(THttpRequest* aRequest)>;
using TProgressCallback = std::function<void(int32_t aPosition, int32_t aMax, bool& aCancel)>;

class THttpManager {
public:
    THttpManager() = default;
    // Destroys every request still alive.
    ~THttpManager();
    THttpManager(const THttpManager&) = delete;
    THttpManager& operator=(const THttpManager&) = delete;

    THttpRequest* CreateRequest(const QString& aUrl, bool aAutoStart, TRequestCallback aCallbackProc);
    TXmlRequest* CreateXmlRequest(const QString& aUrl, bool aAutoStart, TRequestCallback aCallbackProc);
    // Synchronous GET (empty aPost) or form POST; the whole response is copied
    // into aResponse from its start. The request is destroyed also on failure.
    void Download(const QString& aUrl, const QString& aPost, TStream& aResponse);
    // Runs the request's completion callback (main thread).
    void RequestCompleted(THttpRequest* aRequest);

    int RequestCount() const;

private:
    friend class THttpRequest;
    void Add(THttpRequest* aRequest);
    void Remove(THttpRequest* aRequest);

    mutable std::mutex FLock;
    std::vector<THttpRequest*> FRequests;
};

// The process-wide manager (module start-up to shutdown).
extern THttpManager* HttpManager;

namespace HttpModule {
void Start();
void Stop();
} // namespace HttpModule

class THttpRequest {
public:
    explicit THttpRequest(TRequestCallback aCallbackProc = {});
    // Stops the request first. A class that overrides any of the virtual
    // operations must call Stop() at the start of its own destructor, so the
    // worker is gone before that class's parts are.
    virtual ~THttpRequest();
    THttpRequest(const THttpRequest&) = delete;
    THttpRequest& operator=(const THttpRequest&) = delete;

    // Stop, then run on a new worker thread.
    void Start();
    // Stop, fresh HTTP client, Start.
    void Restart();
    // State canceled; breaks a transfer in progress (any thread).
    void Cancel();
    // Cancels and waits for the worker; a completion it queued never runs.
    void Stop();
    // Runs the transfer in the caller's thread; errors reach the caller.
    void Perform();
    // Raises the failure of the last run (plain error with its message).
    virtual void CheckSuccessful();
    // HEAD of URL: Content-Length (must fit 32 bits) and Last-Modified.
    TRequestHeader ProcessHeader();

    const QString& URL() const { return FURL; }
    void SetURL(const QString& aUrl) { FURL = aUrl; }
    // name=value lines; empty: GET, otherwise a form POST.
    QStringList& Post() { return FPost; }
    const QStringList& Post() const { return FPost; }
    QString PostAsString() const;
    void SetPostAsString(const QString& aText);
    void SetProgressCallback(TProgressCallback aCallback) { FProgressCallback = std::move(aCallback); }
    const TRequestCallback& CallbackProc() const { return FCallbackProc; }

    TStream* ResponseStream() const { return FResponseStream.get(); }
    QString ResponseAsString() { return GetResponseAsString(); }

    THttpRequestState State() const { return FHttpRequestState.load(); }
    bool IsInProgress() const { return State() == hrsInProcess; }
    bool IsSuccessful() const { return State() == hrsCompleted; }
    bool IsCanceled() const { return State() == hrsCanceled; }
    // What ended the last run with an error (empty otherwise).
    std::exception_ptr FatalException() const;
    QString FatalExceptionMessage() const;
    const void* FatalExceptionAddr() const;

    THttpClient& Http() { return *FHttp; }
    int32_t DownloadedSize() const { return FDownloadedSize; }

protected:
    virtual void WorkBeginEvent(int64_t aWorkCountMax);
    virtual void WorkEvent(int64_t aWorkCount);
    // True: the request needs no transfer.
    virtual bool PrepareRequest();
    virtual void PrepareResponse();
    virtual std::unique_ptr<TStream> CreateResponseStream();
    virtual QString GetResponseAsString();

    void InitHttp();
    void DoProgressCallback(int64_t aPos);

    std::unique_ptr<TStream> FResponseStream;
    int32_t FDownloadedSize = 0;
    int32_t FWorkCountMax = 0;

private:
    friend class THttpRequestThread;
    friend class THttpManager;

    // Shared with queued completions: they run only while the request lives
    // and its generation has not moved on (Stop and the destructor move it).
    struct TCompletionGuard {
        std::recursive_mutex Lock;
        THttpRequest* Request = nullptr;
        uint64_t Generation = 0;
    };

    void PerformRequest(bool aOnWorker);
    bool SetStateUnlessCanceled(THttpRequestState aState);
    void RecordFailure(std::exception_ptr aError);
    void QueueCompletion(uint64_t aGeneration);

    TRequestCallback FCallbackProc;
    std::atomic<THttpRequestState> FHttpRequestState{hrsCreated};
    std::unique_ptr<THttpClient> FHttp;
    QString FURL;
    QStringList FPost;
    std::unique_ptr<THttpRequestThread> FThread;
    std::exception_ptr FFatalException;
    QString FFatalMessage;
    const void* FExceptAddr = nullptr;
    TProgressCallback FProgressCallback;
    std::shared_ptr<TCompletionGuard> FGuard;
};

class THttpRequestThread {
public:
    THttpRequestThread(THttpRequest* aRequest, uint64_t aGeneration);
    // Waits for the thread to end.
    ~THttpRequestThread();
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }

private:
    void Execute();
    void DoTerminate();

    THttpRequest* FRequest;
    uint64_t FGeneration;
    std::atomic<bool> FTerminated{false};
    std::thread FThread;
};

class TXmlRequest : public THttpRequest {
public:
    explicit TXmlRequest(TRequestCallback aCallbackProc = {});
    ~TXmlRequest() override;
    pugi::xml_document* XmlResponse() const { return FXmlResponse.get(); }
    void CheckSuccessful() override;

protected:
    void PrepareResponse() override;

private:
    std::unique_ptr<pugi::xml_document> FXmlResponse;
};

class TFileRequest : public THttpRequest {
public:
    explicit TFileRequest(TRequestCallback aCallbackProc = {});
    // Stops, then deletes the file.
    ~TFileRequest() override;

    const QString& FilePath() const { return FFilePath; }
    void SetFilePath(const QString& aPath) { FFilePath = aPath; }
    bool AllowDownloadingResume() const { return FAllowDownloadingResume; }
    void SetAllowDownloadingResume(bool aValue) { FAllowDownloadingResume = aValue; }

    // Bytes re-fetched from the end of a partial file.
    static constexpr int64_t ResumeOverlap = 524288;

protected:
    void WorkBeginEvent(int64_t aWorkCountMax) override;
    bool PrepareRequest() override;
    void PrepareResponse() override;
    std::unique_ptr<TStream> CreateResponseStream() override;
    QString GetResponseAsString() override;

private:
    QString FFilePath;
    bool FAllowDownloadingResume = false;
};
