// Crashes of the whole program: a download client in a process of its own
// (sx_download_runner) dies at a named step of finalization or is killed
// with SIGKILL at random moments; the next run must end with every file
// finished and byte-identical, nothing left behind, nothing wedged.
#include "FilesFixture.h"

#include "common/DemoStore.h"
#include "common/TestUtils.h"
#include "downloads/CrashPoint.h"
#include "downloads/UserData.h"
#include "tags/TagID3.h"
#include "tags/TagStream.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <map>
#include <optional>

namespace {

const QString SessionId = QStringLiteral("CRASH-TEST-SESSION");

struct TRunResult {
    bool Killed = false; // ended by a signal
    int ExitCode = -1;
    QByteArray Out;
    QByteArray Err;
};

struct TTestFile {
    int32_t ID;
    int64_t Size;
    QString Ext;
};

class CrashTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FStore = std::make_unique<testutil::TDemoStore>(); }
    static void TearDownTestSuite() { FStore.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(FStore && FStore->IsRunning());
        FStore->Reset();
        FStore->Control(QJsonObject{{"fileserver", QJsonObject{{"sessions", QJsonArray{SessionId}}}}});
        ASSERT_TRUE(FTemp.isValid());
        SettingsModule::Start();
    }

    void TearDown() override { SettingsModule::Stop(); }

    // Serves the files and writes the basket answer that names them.
    void Prepare(const QString& aUser, const std::vector<TTestFile>& aFiles)
    {
        FUser = aUser;
        FFolder = FTemp.path() + QLatin1Char('/') + aUser;
        FFiles = aFiles;
        QString children;
        for (const TTestFile& f : aFiles) {
            FStore->Control(QJsonObject{{"fileserver", QJsonObject{{"files", QJsonObject{{QString::number(f.ID),
                QJsonObject{{"size", double(f.Size)}, {"seed", f.ID}}}}}}}});
            children += filestest::Updated(f.ID, {{"filesize", QString::number(f.Size)},
                                                  {"fileext", f.Ext},
                                                  {"ipport", QStringLiteral("127.0.0.1:%1").arg(FStore->Port())}});
        }
        FBasket = FTemp.path() + QStringLiteral("/basket-%1.xml").arg(aUser);
        testutil::WriteFile(FBasket, filestest::Answer("full", children).toUtf8());
    }

    // Runs the client: to its end, until it crashes, or killed after aKillAfterMs.
    TRunResult Run(const QString& aCrashAt = QString(), int aKillAfterMs = -1, int aThreads = 30)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("SX_CRASH_AT"));
        if (!aCrashAt.isEmpty())
            env.insert(QStringLiteral("SX_CRASH_AT"), aCrashAt);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(SX_DOWNLOAD_RUNNER),
                      {QStringLiteral("--store"), FStore->Url(QString()), QStringLiteral("--session"), SessionId,
                       QStringLiteral("--user"), FUser, QStringLiteral("--folder"), FFolder,
                       QStringLiteral("--basket"), FBasket, QStringLiteral("--threads"), QString::number(aThreads),
                       QStringLiteral("--timeout-ms"), QStringLiteral("30000")});
        TRunResult result;
        if (!process.waitForStarted(10000)) {
            ADD_FAILURE() << "runner did not start";
            return result;
        }
        if (aKillAfterMs >= 0 && !process.waitForFinished(aKillAfterMs))
            process.kill(); // SIGKILL
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(120000)) {
            ADD_FAILURE() << "runner did not end";
            process.kill();
            process.waitForFinished(5000);
        }
        result.Killed = process.exitStatus() == QProcess::CrashExit;
        result.ExitCode = process.exitCode();
        result.Out = process.readAllStandardOutput();
        result.Err = process.readAllStandardError();
        return result;
    }

    QByteArray Plain(int32_t aID)
    {
        return testutil::FetchUrl(FStore->Url(QStringLiteral("/fileserver/plain/%1").arg(aID)), {}, false);
    }

    int ServedBlocks(int32_t aID)
    {
        const QJsonArray log =
            QJsonDocument::fromJson(testutil::FetchUrl(FStore->Url(QStringLiteral("/fileserver/log")), {}, false)).array();
        int n = 0;
        for (const QJsonValue& v : log)
            n += v.toObject()["id"].toInt() == aID ? 1 : 0;
        return n;
    }

    QString Target(const TTestFile& aFile)
    {
        return FFolder + QStringLiteral("/Group/Album (2001)/07 - Song %1.%2").arg(aFile.ID).arg(aFile.Ext);
    }

    // A finished file is the plain content, after an ID3v2 tag for ".mp3"
    // (written once: a second tag would stand where the content begins).
    void ExpectFileContent(const TTestFile& aFile, const QByteArray& aData)
    {
        if (aFile.Ext == QStringLiteral("mp3")) {
            TMemoryTagStream header(aData.left(10));
            const int64_t tag = TagID3v2Exist(header);
            ASSERT_GT(tag, 0);
            EXPECT_TRUE(aData.mid(tag) == Plain(aFile.ID)) << "file " << aFile.ID;
        } else {
            EXPECT_TRUE(aData == Plain(aFile.ID)) << "file " << aFile.ID;
        }
    }

    QStringList Leftovers()
    {
        QStringList found;
        QDirIterator it(FFolder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.endsWith(QLatin1String(DownloadingExtension)) || path.endsWith(QLatin1String(FinalizingExtension)))
                found << path;
        }
        return found;
    }

    std::map<int32_t, TDownloadRow> Rows()
    {
        TUserData userData;
        userData.Init(FUser);
        std::map<int32_t, TDownloadRow> rows;
        std::unique_ptr<SQLite::Statement> query = userData.GetDownloads(byID);
        while (query->executeStep()) {
            TDownloadRow row = TUserData::ReadDownloadRow(*query);
            rows[row.FileRec.UniqID] = row;
        }
        return rows;
    }

    // Every file finished in the database, in place and byte-identical; no
    // working or temporary file left.
    void ExpectAllFinished()
    {
        const std::map<int32_t, TDownloadRow> rows = Rows();
        ASSERT_EQ(rows.size(), FFiles.size());
        for (const TTestFile& f : FFiles) {
            SCOPED_TRACE(f.ID);
            const TDownloadRow& row = rows.at(f.ID);
            EXPECT_EQ(row.FileState, fsFinished);
            EXPECT_EQ(row.FilePath.toStdString(), Target(f).toStdString());
            ExpectFileContent(f, testutil::ReadFile(Target(f)));
        }
        EXPECT_TRUE(Leftovers().isEmpty()) << Leftovers().join(' ').toStdString();
    }

    static inline std::unique_ptr<testutil::TDemoStore> FStore;
    QTemporaryDir FTemp;
    QString FUser;
    QString FFolder;
    QString FBasket;
    std::vector<TTestFile> FFiles;
};

} // namespace

TEST_F(CrashTest, ACrashAtAnyStepOfFinalizationIsRepairedByTheNextRun)
{
    struct Case {
        const char* Point;
        // What the crashed run left, proving where it died.
        bool Temp;
        bool TargetThere;
        std::optional<bool> WorkingThere; // none: the main thread may or may not have got that far
    };
    const Case cases[] = {
        {CrashAfterTempWritten, true, false, true},
        {CrashAfterRename, false, true, true},
        {CrashAfterFinishedPosted, false, true, std::nullopt},
        {CrashAfterFinishedSaved, false, true, true},
        {CrashAfterWorkingDeleted, false, true, false},
    };
    int32_t id = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Point);
        ++id;
        const TTestFile file{id, 350000 + id, id % 2 ? QStringLiteral("mp3") : QStringLiteral("ape")};
        Prepare(QStringLiteral("crash-%1").arg(c.Point), {file});

        const TRunResult crashed = Run(QString::fromLatin1(c.Point));
        ASSERT_TRUE(crashed.Killed) << crashed.Out.toStdString() << crashed.Err.toStdString();
        const QString target = Target(file);
        EXPECT_EQ(QFileInfo::exists(target + QLatin1String(FinalizingExtension)), c.Temp);
        EXPECT_EQ(QFileInfo::exists(target), c.TargetThere);
        if (c.WorkingThere) {
            EXPECT_EQ(QFileInfo::exists(target + QLatin1String(DownloadingExtension)), *c.WorkingThere);
        }
        const int served = ServedBlocks(id);
        EXPECT_EQ(served, 4);

        const TRunResult second = Run();
        EXPECT_FALSE(second.Killed);
        EXPECT_EQ(second.ExitCode, 0) << second.Out.toStdString() << second.Err.toStdString();
        EXPECT_TRUE(second.Out.contains("FINISHED 1 1 0")) << second.Out.toStdString();
        EXPECT_EQ(ServedBlocks(id), served); // no block fetched again
        ExpectAllFinished();
    }
}

TEST_F(CrashTest, TwentyKillsAtRandomMomentsLoseAndWedgeNothing)
{
    std::vector<TTestFile> files;
    for (int i = 0; i < 10; ++i)
        files.push_back({301 + i, 600000 + i * 90001, i % 5 == 0 ? QStringLiteral("mp3") : QStringLiteral("ape")});
    Prepare(QStringLiteral("kill"), files);
    // Slow enough that the twenty runs end in the middle of the work, with
    // some refusals and broken connections on the way.
    FStore->Control(QJsonObject{{"fileserver", QJsonObject{{"faults", QJsonObject{
        {"latency_ms", 200}, {"forbidden", 0.05}, {"drop", 0.02}}}}}});

    const quint32 seed = QRandomGenerator::global()->generate();
    SCOPED_TRACE(QStringLiteral("seed %1").arg(seed).toStdString());
    QRandomGenerator random(seed);
    int kills = 0;
    for (int run = 0; run < 20; ++run) {
        const TRunResult r = Run(QString(), 50 + int(random.bounded(850)), 4);
        if (r.Killed) {
            ++kills;
        } else {
            EXPECT_EQ(r.ExitCode, 0) << r.Out.toStdString() << r.Err.toStdString();
        }
        // A target never exists half-written.
        for (const TTestFile& f : files) {
            const QString target = Target(f);
            if (QFileInfo::exists(target)) {
                SCOPED_TRACE(QStringLiteral("after run %1").arg(run).toStdString());
                ExpectFileContent(f, testutil::ReadFile(target));
            }
        }
    }
    EXPECT_GE(kills, 15); // the kills landed while there was work left

    FStore->Control(QJsonObject{{"fileserver", QJsonObject{{"faults", QJsonObject{{"latency_ms", 0}}}}}});
    const TRunResult last = Run();
    EXPECT_EQ(last.ExitCode, 0) << last.Out.toStdString() << last.Err.toStdString();
    EXPECT_TRUE(last.Out.contains("FINISHED 10 10 0")) << last.Out.toStdString();
    ExpectAllFinished();
}
