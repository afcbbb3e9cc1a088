#include "net/HttpRequest.h"

#include "app/AppUtils.h"
#include "app/CodePage.h"
#include "app/MainThread.h"
#include "log/Exception.h"
#include "net/XmlUtils.h"
#include "settings/Settings.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <limits>
#include <vector>

THttpManager* HttpManager = nullptr;

namespace {

// A plain error raised as if at the address where the original one was.
class ERequestFailure : public Exception {
public:
    ERequestFailure(const QString& aMessage, const void* aAddress) : Exception(aMessage, aAddress) {}
};

SX_DECLARE_EXCEPTION(ERangeError, Exception)

int32_t CheckedInt32(int64_t aValue)
{
    if (aValue < std::numeric_limits<int32_t>::min() || aValue > std::numeric_limits<int32_t>::max())
        throw ERangeError(QStringLiteral("Range check error"));
    return int32_t(aValue);
}

constexpr int64_t DownloadCopyBuffer = 1024 * 1024;

} // namespace

// ---------------------------------------------------------------- manager

namespace HttpModule {

void Start()
{
    if (!HttpManager)
        HttpManager = new THttpManager;
}

void Stop()
{
    delete HttpManager;
    HttpManager = nullptr;
}

} // namespace HttpModule

THttpManager::~THttpManager()
{
    for (;;) {
        THttpRequest* request = nullptr;
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (FRequests.empty())
                break;
            request = FRequests.back();
        }
        delete request; // leaves the collection in its destructor
    }
}

void THttpManager::Add(THttpRequest* aRequest)
{
    std::lock_guard<std::mutex> lock(FLock);
    FRequests.push_back(aRequest);
}

void THttpManager::Remove(THttpRequest* aRequest)
{
    std::lock_guard<std::mutex> lock(FLock);
    FRequests.erase(std::remove(FRequests.begin(), FRequests.end(), aRequest), FRequests.end());
}

int THttpManager::RequestCount() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return int(FRequests.size());
}

THttpRequest* THttpManager::CreateRequest(const QString& aUrl, bool aAutoStart, TRequestCallback aCallbackProc)
{
    auto request = std::make_unique<THttpRequest>(std::move(aCallbackProc));
    request->SetURL(aUrl);
    if (aAutoStart)
        request->Start();
    return request.release();
}

TXmlRequest* THttpManager::CreateXmlRequest(const QString& aUrl, bool aAutoStart, TRequestCallback aCallbackProc)
{
    auto request = std::make_unique<TXmlRequest>(std::move(aCallbackProc));
    request->SetURL(aUrl);
    if (aAutoStart)
        request->Start();
    return request.release();
}

void THttpManager::Download(const QString& aUrl, const QString& aPost, TStream& aResponse)
{
    auto request = std::make_unique<THttpRequest>();
    request->SetURL(aUrl);
    request->SetPostAsString(aPost);
    request->Perform();
    TStream* source = request->ResponseStream();
    if (!source)
        return;
    source->Seek(0);
    QByteArray buffer(qsizetype(std::min<int64_t>(DownloadCopyBuffer, std::max<int64_t>(1, source->Size()))), '\0');
    for (;;) {
        const int64_t n = source->Read(buffer.data(), buffer.size());
        if (n <= 0)
            break;
        aResponse.Write(buffer.constData(), n);
    }
}

void THttpManager::RequestCompleted(THttpRequest* aRequest)
{
    if (aRequest && aRequest->FCallbackProc)
        aRequest->FCallbackProc(aRequest);
}

// ---------------------------------------------------------------- request

THttpRequest::THttpRequest(TRequestCallback aCallbackProc)
    : FCallbackProc(std::move(aCallbackProc)), FGuard(std::make_shared<TCompletionGuard>())
{
    if (!HttpManager)
        throw Exception(QStringLiteral("HTTP manager is not created"));
    FGuard->Request = this;
    InitHttp();
    HttpManager->Add(this);
}

THttpRequest::~THttpRequest()
{
    Stop();
    {
        std::lock_guard<std::recursive_mutex> lock(FGuard->Lock);
        FGuard->Request = nullptr;
    }
    if (HttpManager)
        HttpManager->Remove(this);
}

void THttpRequest::InitHttp()
{
    FHttp = std::make_unique<THttpClient>();
    FHttp->OnWorkBegin = [this](int64_t aMax) { WorkBeginEvent(aMax); };
    FHttp->OnWork = [this](int64_t aCount) { WorkEvent(aCount); };
    if (SettingsExist())
        FHttp->ApplyTimeoutSetting();
}

void THttpRequest::Start()
{
    Stop();
    FHttp->Reconnect();
    FFatalException = nullptr;
    FFatalMessage.clear();
    FExceptAddr = nullptr;
    FHttpRequestState.store(hrsInProcess);
    uint64_t generation;
    {
        std::lock_guard<std::recursive_mutex> lock(FGuard->Lock);
        generation = FGuard->Generation;
    }
    FThread = std::make_unique<THttpRequestThread>(this, generation);
}

void THttpRequest::Restart()
{
    Stop();
    InitHttp();
    Start();
}

void THttpRequest::Cancel()
{
    FHttpRequestState.store(hrsCanceled);
    if (FHttp)
        FHttp->Disconnect();
}

void THttpRequest::Stop()
{
    if (FThread)
        FThread->Terminate();
    Cancel();
    {
        std::lock_guard<std::recursive_mutex> lock(FGuard->Lock);
        ++FGuard->Generation;
    }
    FThread.reset();
    FResponseStream.reset();
}

void THttpRequest::Perform()
{
    FHttp->Reconnect();
    FFatalException = nullptr;
    FFatalMessage.clear();
    FExceptAddr = nullptr;
    FHttpRequestState.store(hrsInProcess);
    PerformRequest(false);
}

bool THttpRequest::SetStateUnlessCanceled(THttpRequestState aState)
{
    THttpRequestState current = FHttpRequestState.load();
    while (current != hrsCanceled) {
        if (FHttpRequestState.compare_exchange_weak(current, aState))
            return true;
    }
    return false;
}

void THttpRequest::RecordFailure(std::exception_ptr aError)
{
    FFatalException = aError;
    try {
        std::rethrow_exception(aError);
    } catch (const Exception& e) {
        FFatalMessage = e.Message();
        FExceptAddr = e.Address();
    } catch (const std::exception& e) {
        FFatalMessage = QString::fromLocal8Bit(e.what());
    } catch (...) {
        FFatalMessage = QStringLiteral("Unknown exception");
    }
}

void THttpRequest::PerformRequest(bool aOnWorker)
{
    try {
        if (PrepareRequest()) {
            SetStateUnlessCanceled(hrsCompleted);
            return;
        }
        SetStateUnlessCanceled(hrsInProcess);
        const THttpClient::TSink sink = [this](const char* aData, int64_t aSize) {
            FResponseStream->Write(aData, aSize);
        };
        if (FPost.isEmpty())
            FHttp->Get(FURL, sink);
        else
            FHttp->Post(FURL, FPost, sink);
        PrepareResponse();
        SetStateUnlessCanceled(hrsCompleted);
    } catch (...) {
        // The failure is on record before the state says the run is over, so
        // an owner that polls the state always finds it.
        RecordFailure(std::current_exception());
        SetStateUnlessCanceled(hrsError);
        if (aOnWorker)
            return;
        throw;
    }
}

void THttpRequest::QueueCompletion(uint64_t aGeneration)
{
    std::shared_ptr<TCompletionGuard> guard = FGuard;
    QueueMainThreadCall([guard, aGeneration] {
        std::lock_guard<std::recursive_mutex> lock(guard->Lock);
        if (!guard->Request || guard->Generation != aGeneration || !HttpManager)
            return;
        HttpManager->RequestCompleted(guard->Request);
    });
}

void THttpRequest::CheckSuccessful()
{
    if (IsSuccessful())
        return;
    if (FFatalException)
        throw ERequestFailure(FFatalMessage, FExceptAddr);
    switch (State()) {
    case hrsCanceled: throw Exception(QStringLiteral("Request canceled"));
    case hrsInProcess: throw Exception(QStringLiteral("Request is in progress"));
    default: throw Exception(QStringLiteral("Request is not completed"));
    }
}

std::exception_ptr THttpRequest::FatalException() const
{
    return FFatalException;
}

QString THttpRequest::FatalExceptionMessage() const
{
    return FFatalMessage;
}

const void* THttpRequest::FatalExceptionAddr() const
{
    return FExceptAddr;
}

TRequestHeader THttpRequest::ProcessHeader()
{
    FHttp->Head(FURL);
    TRequestHeader header;
    const int64_t size = FHttp->ContentLength();
    if (size > int64_t(std::numeric_limits<uint32_t>::max()))
        throw ERangeError(QStringLiteral("Range check error"));
    header.ContentSize = size < 0 ? 0 : uint32_t(size);
    header.ContentTime = FHttp->LastModified();
    return header;
}

QString THttpRequest::PostAsString() const
{
    return FPost.join(QStringLiteral("\r\n"));
}

void THttpRequest::SetPostAsString(const QString& aText)
{
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    FPost = aText.split(lineBreak);
    if (!FPost.isEmpty() && FPost.last().isEmpty())
        FPost.removeLast();
}

void THttpRequest::WorkBeginEvent(int64_t aWorkCountMax)
{
    FWorkCountMax = CheckedInt32(aWorkCountMax + FDownloadedSize);
    DoProgressCallback(0);
}

void THttpRequest::WorkEvent(int64_t aWorkCount)
{
    DoProgressCallback(aWorkCount + FDownloadedSize);
}

void THttpRequest::DoProgressCallback(int64_t aPos)
{
    const int32_t pos = CheckedInt32(aPos);
    if (!FProgressCallback)
        return;
    bool cancel = false;
    FProgressCallback(pos, FWorkCountMax, cancel);
    if (cancel)
        Abort();
}

bool THttpRequest::PrepareRequest()
{
    FDownloadedSize = 0;
    FHttp->RangeStart = -1;
    FResponseStream.reset();
    FResponseStream = CreateResponseStream();
    return false;
}

void THttpRequest::PrepareResponse()
{
    if (FResponseStream)
        FResponseStream->Seek(0);
}

std::unique_ptr<TStream> THttpRequest::CreateResponseStream()
{
    return std::make_unique<TMemoryStream>();
}

QString THttpRequest::GetResponseAsString()
{
    if (const auto* memory = dynamic_cast<const TMemoryStream*>(FResponseStream.get()))
        return AnsiToString(memory->Data());
    return FResponseStream ? AnsiToString(FResponseStream->ReadAllFromStart()) : QString();
}

// ---------------------------------------------------------------- worker

THttpRequestThread::THttpRequestThread(THttpRequest* aRequest, uint64_t aGeneration)
    : FRequest(aRequest), FGeneration(aGeneration)
{
    FThread = std::thread([this] {
        Execute();
        DoTerminate();
    });
}

THttpRequestThread::~THttpRequestThread()
{
    if (FThread.joinable())
        FThread.join();
}

void THttpRequestThread::Execute()
{
    // A failure is kept on the request as its fatal exception.
    FRequest->PerformRequest(true);
}

void THttpRequestThread::DoTerminate()
{
    if (FRequest->FCallbackProc)
        FRequest->QueueCompletion(FGeneration);
}

// ---------------------------------------------------------------- XML

TXmlRequest::TXmlRequest(TRequestCallback aCallbackProc) : THttpRequest(std::move(aCallbackProc)) {}

TXmlRequest::~TXmlRequest()
{
    Stop();
}

void TXmlRequest::PrepareResponse()
{
    THttpRequest::PrepareResponse();
    FXmlResponse.reset();
    FXmlResponse = xml::LoadXmlDocument(FResponseStream->ReadAllFromStart());
}

void TXmlRequest::CheckSuccessful()
{
    THttpRequest::CheckSuccessful();
    if (!FXmlResponse)
        throw Exception(QStringLiteral("Xml is not assigned!"));
    if (!FXmlResponse->document_element())
        throw Exception(QStringLiteral("Xml DocumentElement is not assigned!"));
}

// ---------------------------------------------------------------- file

TFileRequest::TFileRequest(TRequestCallback aCallbackProc) : THttpRequest(std::move(aCallbackProc)) {}

TFileRequest::~TFileRequest()
{
    Stop();
    if (!FFilePath.isEmpty() && QFileInfo::exists(FFilePath))
        QFile::remove(FFilePath);
}

std::unique_ptr<TStream> TFileRequest::CreateResponseStream()
{
    return std::make_unique<TFileStream>(FFilePath, TFileStream::fmCreate);
}

void TFileRequest::PrepareResponse()
{
    // Closed, so the owner can open the finished file.
    FResponseStream.reset();
}

QString TFileRequest::GetResponseAsString()
{
    throw Exception(QStringLiteral("ResponseAsString is not available for file requests"));
}

void TFileRequest::WorkBeginEvent(int64_t aWorkCountMax)
{
    // The resume check compares this time stamp with the server's
    // Last-Modified; the stream keeps it through the writes that follow.
    if (auto* file = dynamic_cast<TFileStream*>(FResponseStream.get())) {
        const QDateTime modified = Http().LastModified();
        if (modified.isValid())
            file->PinModificationTime(modified);
    }
    THttpRequest::WorkBeginEvent(aWorkCountMax);
}

bool TFileRequest::PrepareRequest()
{
    if (!FAllowDownloadingResume || !QFileInfo::exists(FFilePath))
        return THttpRequest::PrepareRequest();

    const TRequestHeader header = ProcessHeader();
    const QDateTime localTime = FileModificationTime(FFilePath);
    const int64_t localSize = GetFileSize(FFilePath);
    if (!header.ContentTime.isValid() || localTime != header.ContentTime || localSize >= int64_t(header.ContentSize))
        return THttpRequest::PrepareRequest();

    FResponseStream.reset();
    auto stream = std::make_unique<TFileStream>(FFilePath, TFileStream::fmOpenReadWrite);
    const int64_t offset = localSize > ResumeOverlap ? localSize - ResumeOverlap : 0;
    if (offset == int64_t(header.ContentSize))
        throw Exception(QStringLiteral("Unexpected state!"));
    FDownloadedSize = CheckedInt32(offset);
    stream->Seek(offset);
    Http().RangeStart = offset;
    FResponseStream = std::move(stream);
    return false;
}
