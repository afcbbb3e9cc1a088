// The download engine end to end: workers, jobs, pauses, restarts, faults,
// finalization with keys and tags, stopping.
#include "EngineFixture.h"

#include "tags/TagID3.h"
#include "tags/TagWriter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace enginetest;

namespace {

// Runs the event loop (saves, queued calls) for a while.
void Spin(int aMilliseconds)
{
    testutil::WaitFor([] { return false; }, aMilliseconds);
}

int64_t ID3v2Size(const QByteArray& aData)
{
    TMemoryTagStream stream(aData.left(10));
    return TagID3v2Exist(stream);
}

} // namespace

TEST_F(EngineFixture, TenFilesComeThroughAFaultStormByteIdentical)
{
    const std::vector<std::pair<int32_t, int64_t>> files = {
        {1, 1},         {2, 1000},      {3, 102399},    {4, 102400},    {5, 102401},
        {6, 250000},    {7, 333333},    {8, 512000},    {9, 777777},    {10, 1200000},
    };
    AddFiles(files);
    SetFaults(QJsonObject{{"forbidden", 0.3}, {"bad_trailer", 0.05}, {"short_body", 0.05}, {"drop", 0.03}});
    Start();
    ASSERT_EQ(FManager->ThreadCount(), 30);
    ASSERT_TRUE(WaitAllFinished(120000));
    Stop();
    FFiles->FlushPendingSaves(); // the working files go after the finished state is saved

    for (const auto& [id, size] : files) {
        SCOPED_TRACE(id);
        const TFileItem* item = Item(id);
        EXPECT_FALSE(item->DownloadErrorOccured());
        EXPECT_FALSE(item->FilePath().endsWith(QLatin1String(DownloadingExtension)));
        EXPECT_EQ(testutil::ReadFile(item->FilePath()), Plain(id));
    }
    EXPECT_TRUE(FilesEndingWith(DownloadingExtension).isEmpty());
    EXPECT_TRUE(FilesEndingWith(FinalizingExtension).isEmpty());
    ExpectRowsMatchItems();
    for (const auto& [id, row] : Rows())
        EXPECT_EQ(row.FileState, fsFinished);

    // The storm did happen.
    std::map<QString, int> outcomes;
    for (const TServedBlock& b : Served())
        ++outcomes[b.Outcome];
    EXPECT_GT(outcomes["forbidden"], 0);
    EXPECT_GT(outcomes["bad_md5"] + outcomes["short_body"] + outcomes["drop"], 0);
    EXPECT_EQ(FSession->RefreshCalls.load(), int(files.size()));
}

TEST_F(EngineFixture, PausingAFileStopsItsTenWorkersAfterTheirBlocksAndResumingFetchesOnlyFreeBlocks)
{
    const int64_t size = 40 * int64_t(FILE_BLOCK_SIZE);
    AddFiles({{31, size}});
    SetFaults(QJsonObject{{"latency_ms", 300}});
    TFileItem* item = Item(31);
    Start();
    ASSERT_TRUE(testutil::WaitFor([&] { return item->JobCount() == FileJobCount; }, 10000));
    Spin(100);
    EXPECT_EQ(item->JobCount(), FileJobCount); // never more than ten on one file

    item->Pause();
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(testutil::WaitFor([&] { return item->JobCount() == 0; }, 5000));
    EXPECT_LT(timer.elapsed(), 2000); // each worker ends after its current block
    const size_t servedAtPause = Served(31).size();
    Spin(700);
    EXPECT_EQ(Served(31).size(), servedAtPause);
    const int done = item->BlockMap().DoneCount();
    EXPECT_GT(done, 0);
    EXPECT_LT(done, item->BlockMap().Count());
    for (int32_t i = 0; i < item->BlockMap().Count(); ++i)
        EXPECT_NE(item->BlockMap().Blocks(i), bsBusy);

    SetFaults(QJsonObject{{"latency_ms", 0}});
    item->Queue();
    ASSERT_TRUE(WaitAllFinished());
    EXPECT_EQ(testutil::ReadFile(item->FilePath()), Plain(31));
    // Every block was fetched exactly once: the pause lost nothing, the
    // resume took only the free blocks.
    std::multiset<int64_t> starts;
    for (const TServedBlock& b : Served(31))
        starts.insert(b.Start);
    EXPECT_EQ(starts.size(), size_t(item->BlockMap().Count()));
    for (int64_t start : starts)
        EXPECT_EQ(starts.count(start), 1u) << start;
}

TEST_F(EngineFixture, ARestartOfTheEngineMidFileKeepsTheDoneBlocks)
{
    const int64_t size = 30 * int64_t(FILE_BLOCK_SIZE) + 777;
    AddFiles({{41, size}});
    SetFaults(QJsonObject{{"latency_ms", 100}});
    Start();
    ASSERT_TRUE(testutil::WaitFor([&] { return Item(41)->BlockMap().DoneCount() >= 8; }, 20000));
    Stop();
    FFiles->FlushPendingSaves();
    const QString stored = Rows()[41].BlockMap;
    const int storedDone = int(stored.count(QLatin1Char('1')));
    EXPECT_GE(storedDone, 8); // the last job's blocks were synced and saved as it ended
    EXPECT_EQ(stored, Item(41)->BlockMap().AsString());
    const size_t servedBefore = Served(41).size();

    NewList();
    FFiles->Load();
    ASSERT_EQ(Item(41)->BlockMap().DoneCount(), storedDone);
    SetFaults(QJsonObject{{"latency_ms", 0}});
    Start();
    ASSERT_TRUE(WaitAllFinished());
    EXPECT_EQ(testutil::ReadFile(Item(41)->FilePath()), Plain(41));
    const std::vector<TServedBlock> served = Served(41);
    for (size_t i = servedBefore; i < served.size(); ++i) {
        const int32_t block = int32_t(served[i].Start / FILE_BLOCK_SIZE);
        EXPECT_EQ(stored[block], QLatin1Char('0')) << "block " << block << " fetched again";
    }
}

TEST_F(EngineFixture, AStoredKeyIsUsedWithoutAskingTheStore)
{
    AddFiles({{51, 300000}, {52, 300000}});
    Item(51)->SetFileKey(Key(51));
    Item(51)->SaveSafe();
    const auto keyRequests = [this] {
        int n = 0;
        for (const QJsonValue& v : Store().Requests())
            n += v.toObject()["path"].toString() == QStringLiteral("/fileserver/key/51") ? 1 : 0;
        return n;
    };
    const int keyRequestsBefore = keyRequests();
    Start();
    ASSERT_TRUE(WaitAllFinished());
    Stop();
    EXPECT_EQ(testutil::ReadFile(Item(51)->FilePath()), Plain(51));
    EXPECT_EQ(testutil::ReadFile(Item(52)->FilePath()), Plain(52));
    // Only file 52 was finalized with the store.
    EXPECT_EQ(FSession->FinalizeCalls.load(), 1);
    EXPECT_EQ(keyRequests(), keyRequestsBefore);
    EXPECT_EQ(Rows()[52].FileKey, Key(52));
}

TEST_F(EngineFixture, TagsFollowTheExtension)
{
    Settings().TagMp3Type = ttID3V2;
    AddFiles({{61, 250000}}, QStringLiteral("MP3"));
    AddFiles({{62, 250000}}, QStringLiteral("ape"));
    Start();
    ASSERT_TRUE(WaitAllFinished());
    Stop();

    const QString mp3Path = Item(61)->FilePath();
    EXPECT_TRUE(mp3Path.endsWith(QLatin1String(".MP3")));
    const QByteArray mp3 = testutil::ReadFile(mp3Path);
    const int64_t tagSize = ID3v2Size(mp3);
    ASSERT_GT(tagSize, 0);
    EXPECT_EQ(mp3.mid(tagSize), Plain(61));
    EXPECT_TRUE(mp3.left(tagSize).contains("Song 61"));
    EXPECT_TRUE(mp3.left(tagSize).contains("TPE1"));

    EXPECT_EQ(testutil::ReadFile(Item(62)->FilePath()), Plain(62));
}

TEST_F(EngineFixture, ThreeFailedFinalizationsSetTheErrorFlagAndQueueingAgainClearsIt)
{
    AddFiles({{71, 150000}});
    FSession->Fail = true;
    Start();
    TFileItem* item = Item(71);
    ASSERT_TRUE(testutil::WaitFor([&] { return item->DownloadErrorOccured(); }, 20000));
    EXPECT_GE(FSession->FinalizeCalls.load(), 3);
    const QString source = QStringLiteral("Group \\ Album \\ Song 71 (3)");
    EXPECT_GE(CountLogged(source, QStringLiteral("Error finalizing file: INVALID_RESPONSE_FORMAT")), 3);
    EXPECT_EQ(item->FileState(), fsQueued);
    EXPECT_EQ(item->ImageIndex(), IMAGE_ERROR);

    item->Pause();
    ASSERT_TRUE(testutil::WaitFor([&] { return item->JobCount() == 0; }, 5000));
    FSession->Fail = false;
    item->Queue();
    EXPECT_FALSE(item->DownloadErrorOccured());
    ASSERT_TRUE(WaitAllFinished());
    EXPECT_EQ(testutil::ReadFile(item->FilePath()), Plain(71));
}

TEST_F(EngineFixture, StoppingWithTransfersInFlightReturnsWithinTwoSeconds)
{
    AddFiles({{81, 3000000}, {82, 3000000}, {83, 3000000}});
    SetFaults(QJsonObject{{"latency_ms", 20000}});
    Start();
    EXPECT_THROW(FManager->StartDownloads(), Exception);
    ASSERT_TRUE(testutil::WaitFor([&] { return Store().Requests().size() >= 25; }, 10000));
    QElapsedTimer timer;
    timer.start();
    FManager->StopDownloads();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(FManager->ThreadCount(), 0);
    for (int32_t id : {81, 82, 83}) {
        EXPECT_EQ(Item(id)->JobCount(), 0);
        EXPECT_EQ(Item(id)->BlockMap().DoneCount(), 0);
    }
    // The pool starts again after a stop.
    SetFaults(QJsonObject{{"latency_ms", 0}});
    FManager->StartDownloads();
    EXPECT_TRUE(WaitAllFinished());
}

TEST_F(EngineFixture, StoppingWakesAWorkerInItsPauseAfterAFailedFinalization)
{
    FOptions.ErrorPauseMs = ErrorPause * 1000; // the product's 30 s
    AddFiles({{91, 1000}});
    FSession->Fail = true;
    Start();
    ASSERT_TRUE(testutil::WaitFor([&] { return FSession->FinalizeCalls.load() >= 1; }, 10000));
    Spin(100);
    QElapsedTimer timer;
    timer.start();
    Stop();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(FSession->FinalizeCalls.load(), 1);
    EXPECT_FALSE(Item(91)->DownloadErrorOccured());
}

TEST_F(EngineFixture, APreparationErrorHoldsTheItemBackWithoutEndingTheWorker)
{
    AddFiles({{101, 200000}, {102, 200000}, {103, 200000}});
    // A user's own file where 101 would go; a working file of the wrong size for 103.
    const QString target = Item(101)->CreateFilePath();
    QDir().mkpath(QFileInfo(target).path());
    testutil::WriteFile(target, "the user's own file");
    Item(103)->BuildFilePath();
    QDir().mkpath(QFileInfo(Item(103)->FilePath()).path());
    testutil::WriteFile(Item(103)->FilePath(), "short");

    FOptions.ThreadCount = 1; // one worker survives both errors and still does the work
    Start();
    // The errors are logged with the files' display names once the list is unlocked.
    ASSERT_TRUE(testutil::WaitFor(
        [&] {
            return Item(102)->Finished() &&
                   LoggedMessage(Item(101)->GetDisplayName(), QStringLiteral("This file already exists!")) &&
                   LoggedMessage(Item(103)->GetDisplayName(), QStringLiteral("Existing file have unexpected size!"));
        },
        20000));
    for (int32_t id : {101, 103}) {
        SCOPED_TRACE(id);
        TFileItem* item = Item(id);
        EXPECT_EQ(item->FileState(), fsPaused);
        EXPECT_TRUE(item->DownloadErrorOccured());
        EXPECT_EQ(item->JobCount(), 0);
    }
    EXPECT_EQ(testutil::ReadFile(target), QByteArray("the user's own file"));
    EXPECT_EQ(testutil::ReadFile(Item(102)->FilePath()), Plain(102));

    // Once the cause is gone, the user resumes it.
    QFile::remove(Item(103)->FilePath());
    Item(103)->Queue();
    EXPECT_FALSE(Item(103)->DownloadErrorOccured());
    ASSERT_TRUE(testutil::WaitFor([&] { return Item(103)->Finished(); }, 20000));
    EXPECT_EQ(testutil::ReadFile(Item(103)->FilePath()), Plain(103));
    EXPECT_FALSE(Item(101)->Finished());
}

TEST_F(EngineFixture, AFileThatKeepsFailingIsRetriedWithGrowingPauses)
{
    FOptions.RetryPauseMs = 100;
    FOptions.MaxRetryPauseMs = 30000;
    AddFiles({{111, 500000}});
    AddFiles({{112, 2000000}});
    Store().Control(QJsonObject{{"fileserver", QJsonObject{{"files", QJsonObject{{"111", QJsonObject{{"mode", "forbidden"}}}}}}}});
    Start();
    ASSERT_TRUE(testutil::WaitFor([&] { return Item(112)->Finished(); }, 20000));
    Spin(3000);
    // Thirty workers in a tight loop would ask thousands of times; rounds of
    // at most ten jobs after pauses of 0.1 s, 0.2 s, 0.4 s, ... leave a few
    // dozen requests.
    const size_t attempts = Served(111).size();
    EXPECT_GT(attempts, 3u);
    EXPECT_LT(attempts, 100u);
    EXPECT_GE(Item(111)->SerialFailures(), 4);
    EXPECT_EQ(Item(111)->BlockMap().DoneCount(), 0);
}

TEST_F(EngineFixture, DebugLinesOfABlockRequestComeInTheirOrder)
{
    LogMsgLevel = lmtDebug;
    AddFiles({{121, 5000}});
    FOptions.ThreadCount = 1;
    Start();
    ASSERT_TRUE(WaitAllFinished());
    Stop();
    QStringList lines;
    {
        std::lock_guard<std::mutex> lock(FLogLock);
        for (const TMessageRec& rec : FLog)
            if (rec.Source == QStringLiteral("TDownloadThread") && rec.MsgType == lmtDebug)
                lines << rec.Message;
    }
    ASSERT_EQ(lines.size(), 8) << lines.join('\n').toStdString();
    const QString url = QStringLiteral("URL: 127.0.0.1:%1/file").arg(Store().Port());
    EXPECT_TRUE(lines[0].startsWith(url)) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("|121|0-4999|QVX|1.4|") + SessionId));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("HTTP request headers: GET /file")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("User-Agent: SorvelinX 1.4")));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("Job time: ")) && lines[2].endsWith(QStringLiteral(" msec")));
    EXPECT_TRUE(lines[3].startsWith(QStringLiteral("Server header: SorvelinDemoStore/1.0")));
    EXPECT_EQ(lines[4], QStringLiteral("HTTP Response 200 OK"));
    EXPECT_EQ(lines[5], QStringLiteral("Downloaded 5050 bytes"));
    EXPECT_TRUE(lines[6].startsWith(QStringLiteral("HTTP Response: ")));
    EXPECT_TRUE(lines[6].contains(QStringLiteral("Content-Length: 5050")));
    EXPECT_EQ(lines[7], QStringLiteral("FileKey recieved (len 64)"));
}

TEST_F(EngineFixture, DeletingAnItemWhileItIsDownloadedLeavesNothingBehind)
{
    AddFiles({{131, 20 * int64_t(FILE_BLOCK_SIZE)}});
    SetFaults(QJsonObject{{"latency_ms", 150}});
    Start();
    TFileItem* item = Item(131);
    ASSERT_TRUE(testutil::WaitFor([&] { return item->BlockMap().DoneCount() >= 2; }, 10000));
    const QString working = item->FilePath();
    const QString target = item->TargetPath();
    FFiles->DeleteFile(FFiles->IndexOf(item));
    ASSERT_TRUE(testutil::WaitFor([&] { return FFiles->RemovedPendingCount() == 0; }, 5000));
    Spin(300);
    EXPECT_FALSE(QFileInfo::exists(working));
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_TRUE(Rows().empty());
}
