#include "NetTestSupport.h"

#include "app/AppUtils.h"
#include "app/MainThread.h"
#include "common/TestUtils.h"
#include "net/HttpRequest.h"
#include "net/XmlUtils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

using testutil::WaitFor;

// Runs the event loop for a while, so queued completions get their chance.
void ProcessEventsFor(int aMs)
{
    WaitFor([] { return false; }, aMs);
}

// Waits (without running queued calls) until the worker has ended and has
// queued its completion.
void WaitForWorkerEnd(const THttpRequest& aRequest)
{
    QElapsedTimer t;
    t.start();
    while (aRequest.IsInProgress() && t.elapsed() < 10000)
        QThread::msleep(5);
    QThread::msleep(200);
}

QByteArray FileContent(int aSize, int aSeed)
{
    QByteArray pattern;
    for (int i = 0; i < 251; ++i)
        pattern.append(char((i * 7 + aSeed) % 251));
    QByteArray data;
    while (data.size() < aSize)
        data += pattern;
    return data.left(aSize);
}

QString MessageOf(const std::exception_ptr& aError)
{
    try {
        std::rethrow_exception(aError);
    } catch (const Exception& e) {
        return e.Message();
    } catch (...) {
        return QStringLiteral("?");
    }
}

// A request that never needs the network.
class TNoTransferRequest : public THttpRequest {
public:
    using THttpRequest::THttpRequest;
    ~TNoTransferRequest() override { Stop(); }
    int Prepared = 0;

protected:
    bool PrepareRequest() override
    {
        ++Prepared;
        return true;
    }
};

// Exposes the resume preparation of a file request.
class TProbeFileRequest : public TFileRequest {
public:
    using TFileRequest::TFileRequest;
    ~TProbeFileRequest() override { Stop(); }
    bool CallPrepareRequest() { return PrepareRequest(); }
    int64_t StreamPosition() const { return ResponseStream() ? ResponseStream()->Position() : -1; }
};

class HttpRequestTest : public TNetTest {};

} // namespace

TEST_F(HttpRequestTest, EmptyFieldListSendsGetAndOneFieldMakesAFormPost)
{
    THttpRequest request;
    request.SetURL(Store().Url(QStringLiteral("/_test/echo")));
    request.Perform();
    request.CheckSuccessful();

    const QString value = QStringLiteral("a b+c/=&%Ä€");
    request.Post().append(QStringLiteral("name=") + value);
    request.Perform();

    request.SetPostAsString(QStringLiteral("first=1\r\nsecond=\r\nthird=3\r\n"));
    EXPECT_EQ(request.Post().size(), 3);
    EXPECT_EQ(request.PostAsString(), QStringLiteral("first=1\r\nsecond=\r\nthird=3"));
    request.Perform();

    const QJsonArray seen = RequestsTo(QStringLiteral("/_test/echo"));
    ASSERT_EQ(seen.size(), 3);
    EXPECT_EQ(seen[0].toObject().value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
    EXPECT_EQ(seen[1].toObject().value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
    EXPECT_TRUE(seen[1].toObject().value(QStringLiteral("content_type")).toString()
                    .startsWith(QStringLiteral("application/x-www-form-urlencoded")));
    EXPECT_EQ(FieldsOf(seen[1]), (QList<QPair<QString, QString>>{{QStringLiteral("name"), value}}));
    EXPECT_EQ(FieldsOf(seen[2]), (QList<QPair<QString, QString>>{{QStringLiteral("first"), QStringLiteral("1")},
                                                                  {QStringLiteral("second"), QString()},
                                                                  {QStringLiteral("third"), QStringLiteral("3")}}));
}

TEST_F(HttpRequestTest, CompletionRunsOnTheMainThreadWithTheResponse)
{
    int calls = 0;
    bool onMainThread = false;
    QString body;
    THttpRequest* request = HttpManager->CreateRequest(Store().Url(QStringLiteral("/_test/text?size=25")), true,
                                                       [&](THttpRequest* aRequest) {
                                                           ++calls;
                                                           onMainThread = IsMainThread();
                                                           aRequest->CheckSuccessful();
                                                           body = aRequest->ResponseAsString();
                                                       });
    EXPECT_EQ(HttpManager->RequestCount(), 1);
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(body, QStringLiteral("0123456789012345678901234"));
    EXPECT_TRUE(request->IsSuccessful());
    delete request;
    EXPECT_EQ(HttpManager->RequestCount(), 0);
}

TEST_F(HttpRequestTest, StartingTwiceDeliversOnlyTheSecondCompletion)
{
    int calls = 0;
    QString body;
    THttpRequest request([&](THttpRequest* aRequest) {
        ++calls;
        body = aRequest->IsSuccessful() ? aRequest->ResponseAsString() : QStringLiteral("failed");
    });
    request.SetURL(Store().Url(QStringLiteral("/_test/stall?head=5&seconds=20")));
    request.Start();
    ASSERT_TRUE(WaitForRequestTo(QStringLiteral("/_test/stall")));

    request.SetURL(Store().Url(QStringLiteral("/_test/text?size=10")));
    QElapsedTimer timer;
    timer.start();
    request.Start(); // stops the stalled first run
    EXPECT_LT(timer.elapsed(), 1000);

    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    ProcessEventsFor(300);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(body, QStringLiteral("0123456789"));
    EXPECT_TRUE(request.IsSuccessful());
}

TEST_F(HttpRequestTest, AQueuedCompletionNeverRunsAfterStopOrDestroy)
{
    for (const bool destroy : {true, false}) {
        SCOPED_TRACE(destroy ? "destroy" : "stop");
        int calls = 0;
        auto* request = new THttpRequest([&](THttpRequest*) { ++calls; });
        request->SetURL(Store().Url(QStringLiteral("/_test/text?size=10")));
        request->Start();
        WaitForWorkerEnd(*request);
        ASSERT_TRUE(request->IsSuccessful());
        if (destroy)
            delete request;
        else
            request->Stop();
        ProcessEventsFor(300);
        EXPECT_EQ(calls, 0);
        if (!destroy)
            delete request;
    }
}

TEST_F(HttpRequestTest, ManagerShutdownDestroysLiveRequestsWithoutRunningTheirCompletions)
{
    int calls = 0;
    THttpRequest* finished = HttpManager->CreateRequest(Store().Url(QStringLiteral("/_test/text")), true,
                                                        [&](THttpRequest*) { ++calls; });
    HttpManager->CreateRequest(Store().Url(QStringLiteral("/_test/stall?seconds=20")), true,
                               [&](THttpRequest*) { ++calls; });
    WaitForWorkerEnd(*finished);
    ASSERT_TRUE(WaitForRequestTo(QStringLiteral("/_test/stall")));
    QElapsedTimer timer;
    timer.start();
    HttpModule::Stop();
    EXPECT_LT(timer.elapsed(), 1000);
    ProcessEventsFor(300);
    EXPECT_EQ(calls, 0);
    HttpModule::Start();
}

TEST_F(HttpRequestTest, ProgressCancelEndsInErrorWithASilentAbort)
{
    const QString url = Store().Url(QStringLiteral("/_test/slow?size=100000&chunk=10000&delay=20"));
    int32_t seenMax = -1;
    const auto cancelAfterFirstData = [&](int32_t aPosition, int32_t aMax, bool& aCancel) {
        seenMax = aMax;
        if (aPosition > 0)
            aCancel = true;
    };

    THttpRequest sync;
    sync.SetURL(url);
    sync.SetProgressCallback(cancelAfterFirstData);
    EXPECT_THROW(sync.Perform(), EAbort);
    EXPECT_EQ(sync.State(), hrsError);
    EXPECT_EQ(seenMax, 100000);

    int calls = 0;
    THttpRequest async([&](THttpRequest*) { ++calls; });
    async.SetURL(url);
    async.SetProgressCallback(cancelAfterFirstData);
    async.Start();
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_EQ(async.State(), hrsError);
    ASSERT_TRUE(async.FatalException());
    EXPECT_THROW(std::rethrow_exception(async.FatalException()), EAbort);
    try {
        async.CheckSuccessful();
        ADD_FAILURE() << "CheckSuccessful passed";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "Exception");
        EXPECT_EQ(e.Message(), QStringLiteral("Operation aborted"));
        EXPECT_EQ(e.Address(), async.FatalExceptionAddr());
    }
}

TEST_F(HttpRequestTest, PrepareRequestReturningTrueCompletesWithoutTraffic)
{
    int calls = 0;
    TNoTransferRequest request([&](THttpRequest*) { ++calls; });
    request.SetURL(Store().Url(QStringLiteral("/_test/text")));
    request.Perform();
    EXPECT_TRUE(request.IsSuccessful());
    request.Start();
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_TRUE(request.IsSuccessful());
    EXPECT_EQ(request.Prepared, 2);
    EXPECT_TRUE(Store().Requests().isEmpty());
}

TEST_F(HttpRequestTest, CancelFromAnotherThreadEndsAStalledTransferPromptly)
{
    Settings().Timeout = 30;
    THttpRequest request;
    request.SetURL(Store().Url(QStringLiteral("/_test/stall?head=10&seconds=30")));
    std::atomic<bool> closed{false};
    std::thread worker([&] {
        try {
            request.Perform();
        } catch (const EHttpConnectionClosed&) {
            closed = true;
        } catch (...) {
        }
    });
    ASSERT_TRUE(WaitForRequestTo(QStringLiteral("/_test/stall")));
    QThread::msleep(300); // the transfer now waits for data that never comes
    QElapsedTimer timer;
    timer.start();
    request.Cancel();
    worker.join();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(closed);
    EXPECT_EQ(request.State(), hrsCanceled);
}

TEST_F(HttpRequestTest, CanceledAsyncRequestStillReportsItsCompletion)
{
    int calls = 0;
    THttpRequest request([&](THttpRequest*) { ++calls; });
    request.SetURL(Store().Url(QStringLiteral("/_test/stall?seconds=30")));
    request.Start();
    ASSERT_TRUE(WaitForRequestTo(QStringLiteral("/_test/stall")));
    std::thread([&] { request.Cancel(); }).join();
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }, 2000));
    EXPECT_EQ(request.State(), hrsCanceled);
    EXPECT_THROW(request.CheckSuccessful(), Exception);
}

TEST_F(HttpRequestTest, ReadTimeoutComesFromTheTimeoutSetting)
{
    Settings().Timeout = 1;
    THttpRequest request; // its client takes the setting
    request.SetURL(Store().Url(QStringLiteral("/_test/stall?seconds=30")));
    try {
        request.Perform();
        ADD_FAILURE() << "no time-out";
    } catch (const EHttpError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Read timed out."));
    }
    EXPECT_EQ(request.State(), hrsError);
}

TEST_F(HttpRequestTest, HttpErrorStatusFailsTheRequest)
{
    THttpRequest sync;
    sync.SetURL(Store().Url(QStringLiteral("/_test/status?code=404")));
    try {
        sync.Perform();
        ADD_FAILURE() << "no error";
    } catch (const EHttpProtocolError& e) {
        EXPECT_EQ(e.ErrorCode(), 404);
        EXPECT_TRUE(e.Message().contains(QStringLiteral("404"))) << e.Message().toStdString();
    }
    EXPECT_EQ(sync.State(), hrsError);

    int calls = 0;
    THttpRequest async([&](THttpRequest*) { ++calls; });
    async.SetURL(sync.URL());
    async.Start();
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_EQ(async.State(), hrsError);
    try {
        async.CheckSuccessful();
        ADD_FAILURE() << "CheckSuccessful passed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), MessageOf(async.FatalException()));
    }
}

TEST_F(HttpRequestTest, ProcessHeaderReadsLengthAndLastModified)
{
    Store().Control(QByteArray(R"({"files": {"a.bin": {"size": 1234, "last_modified": 1600000000}}})"));
    THttpRequest request;
    request.SetURL(Store().Url(QStringLiteral("/_test/file/a.bin")));
    const TRequestHeader header = request.ProcessHeader();
    EXPECT_EQ(header.ContentSize, 1234u);
    EXPECT_EQ(header.ContentTime, QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC));
    EXPECT_EQ(RequestsTo(QStringLiteral("/_test/file"))[0].toObject().value(QStringLiteral("method")).toString(),
              QStringLiteral("HEAD"));
}

TEST_F(HttpRequestTest, FileRequestWritesTheFileStampsItAndDeletesItWhenDestroyed)
{
    Store().Control(QByteArray(R"({"files": {"b.bin": {"size": 300000, "seed": 3, "last_modified": 1500000000}}})"));
    const QString path = testutil::HomeDir() + QStringLiteral("/b.bin");
    {
        TFileRequest request;
        request.SetURL(Store().Url(QStringLiteral("/_test/file/b.bin")));
        request.SetFilePath(path);
        request.Perform();
        request.CheckSuccessful();
        EXPECT_EQ(testutil::ReadFile(path), FileContent(300000, 3));
        EXPECT_EQ(FileModificationTime(path), QDateTime::fromSecsSinceEpoch(1500000000, Qt::UTC));
        EXPECT_THROW(request.ResponseAsString(), Exception);
    }
    EXPECT_FALSE(QFile::exists(path));
}

TEST_F(HttpRequestTest, ResumePreparationFollowsTheRules)
{
    const qint64 stamp = 1700000000;
    Store().Control(QJsonObject{{QStringLiteral("files"),
                                 QJsonObject{{QStringLiteral("c.bin"), QJsonObject{{QStringLiteral("size"), 2000000},
                                                                                     {QStringLiteral("seed"), 5},
                                                                                     {QStringLiteral("last_modified"), stamp}}}}}});
    struct TCase {
        const char* Name;
        int LocalSize;
        qint64 LocalTime;
        int64_t Offset; // -1: started over (file truncated)
    };
    const TCase cases[] = {
        {"large partial file", 1000000, stamp, 475712},
        {"small partial file", 300000, stamp, 0},
        {"time stamp differs", 1000000, stamp - 1, -1},
        {"complete file", 2000000, stamp, -1},
    };
    const QString path = testutil::HomeDir() + QStringLiteral("/c.bin");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const QByteArray local(c.LocalSize, 'L');
        testutil::WriteFile(path, local);
        testutil::SetFileTime(path, QDateTime::fromSecsSinceEpoch(c.LocalTime, Qt::UTC));
        TProbeFileRequest request;
        request.SetURL(Store().Url(QStringLiteral("/_test/file/c.bin")));
        request.SetFilePath(path);
        request.SetAllowDownloadingResume(true);
        EXPECT_FALSE(request.CallPrepareRequest());
        if (c.Offset < 0) {
            EXPECT_EQ(request.DownloadedSize(), 0);
            EXPECT_EQ(GetFileSize(path), 0); // created anew
        } else {
            EXPECT_EQ(request.DownloadedSize(), c.Offset);
            EXPECT_EQ(request.StreamPosition(), c.Offset);
            EXPECT_EQ(request.Http().RangeStart, c.Offset);
            EXPECT_EQ(testutil::ReadFile(path), local); // kept, not re-created
        }
    }
}

TEST_F(HttpRequestTest, ResumedDownloadFetchesTheRestAndCompletesTheFile)
{
    const qint64 stamp = 1700000000;
    Store().Control(QByteArray(R"({"files": {"d.bin": {"size": 2000000, "seed": 9, "last_modified": 1700000000}}})"));
    const QString path = testutil::HomeDir() + QStringLiteral("/d.bin");
    const QByteArray content = FileContent(2000000, 9);
    testutil::WriteFile(path, content.left(1000000));
    testutil::SetFileTime(path, QDateTime::fromSecsSinceEpoch(stamp, Qt::UTC));

    TFileRequest request;
    request.SetURL(Store().Url(QStringLiteral("/_test/file/d.bin")));
    request.SetFilePath(path);
    request.SetAllowDownloadingResume(true);
    int32_t firstPos = -1, lastPos = -1, max = -1;
    request.SetProgressCallback([&](int32_t aPos, int32_t aMax, bool&) {
        if (firstPos < 0)
            firstPos = aPos;
        lastPos = aPos;
        max = aMax;
    });
    request.Perform();
    request.CheckSuccessful();
    EXPECT_EQ(testutil::ReadFile(path), content);
    EXPECT_EQ(FileModificationTime(path), QDateTime::fromSecsSinceEpoch(stamp, Qt::UTC));
    EXPECT_EQ(max, 2000000);
    EXPECT_EQ(firstPos, 0);
    EXPECT_EQ(lastPos, 2000000);

    const QJsonArray seen = RequestsTo(QStringLiteral("/_test/file/d.bin"));
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[0].toObject().value(QStringLiteral("method")).toString(), QStringLiteral("HEAD"));
    EXPECT_EQ(seen[1].toObject().value(QStringLiteral("headers")).toObject().value(QStringLiteral("range")).toString(),
              QStringLiteral("bytes=475712-"));
}

TEST_F(HttpRequestTest, ResumeAgainstAServerIgnoringRangesFailsWithoutCorruptingTheFile)
{
    Store().Control(QByteArray(
        R"({"files": {"e.bin": {"size": 2000000, "seed": 2, "last_modified": 1700000000, "ignore_range": true}}})"));
    const QString path = testutil::HomeDir() + QStringLiteral("/e.bin");
    const QByteArray partial = FileContent(2000000, 2).left(1000000);
    testutil::WriteFile(path, partial);
    testutil::SetFileTime(path, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
    TFileRequest request;
    request.SetURL(Store().Url(QStringLiteral("/_test/file/e.bin")));
    request.SetFilePath(path);
    request.SetAllowDownloadingResume(true);
    EXPECT_THROW(request.Perform(), EHttpError);
    EXPECT_EQ(request.State(), hrsError);
    request.Stop();
    EXPECT_EQ(testutil::ReadFile(path), partial);
}

TEST_F(HttpRequestTest, XmlRequestDecodesTheDeclaredEncoding)
{
    for (const char* encoding : {"utf-8", "windows-1251", "koi8-r"}) {
        SCOPED_TRACE(encoding);
        TXmlRequest request;
        request.SetURL(Store().Url(QStringLiteral("/_test/xml?encoding=%1").arg(QLatin1String(encoding))));
        request.Perform();
        request.CheckSuccessful();
        const pugi::xml_node item = request.XmlResponse()->document_element().child("item");
        EXPECT_EQ(xml::Attr(item, "name"), QStringLiteral("Привет"));
        EXPECT_EQ(xml::Text(item), QStringLiteral("Здравствуй, мир"));
    }
}

TEST_F(HttpRequestTest, XmlRequestWithANonXmlAnswerFails)
{
    int calls = 0;
    TXmlRequest request([&](THttpRequest*) { ++calls; });
    request.SetURL(Store().Url(QStringLiteral("/_test/text?size=20")));
    EXPECT_THROW(request.Perform(), EXmlError);
    request.Start();
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_EQ(request.State(), hrsError);
    try {
        request.CheckSuccessful();
        ADD_FAILURE() << "CheckSuccessful passed";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("XML parse error"))) << e.Message().toStdString();
    }
}

TEST_F(HttpRequestTest, DownloadCopiesTheResponseAndReleasesTheRequest)
{
    TMemoryStream out;
    HttpManager->Download(Store().Url(QStringLiteral("/_test/echo")), QStringLiteral("a=1\r\nb=2"), out);
    EXPECT_TRUE(out.Data().contains("\"POST\""));
    EXPECT_EQ(FieldsOf(RequestsTo(QStringLiteral("/_test/echo"))[0]).size(), 2);
    EXPECT_EQ(HttpManager->RequestCount(), 0);

    TMemoryStream failed;
    EXPECT_THROW(HttpManager->Download(Store().Url(QStringLiteral("/_test/status?code=500")), QString(), failed),
                 EHttpProtocolError);
    EXPECT_EQ(HttpManager->RequestCount(), 0);
}

TEST_F(HttpRequestTest, ConnectionRefusedIsAnError)
{
    THttpRequest request;
    request.SetURL(QStringLiteral("http://127.0.0.1:1/"));
    EXPECT_THROW(request.Perform(), EHttpError);
    EXPECT_EQ(request.State(), hrsError);
}
