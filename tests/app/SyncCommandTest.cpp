// sorvelinx-sync end to end: the real program against the demo store, in its
// own home and download folders.
#include "common/DemoStore.h"
#include "common/TestUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <csignal>
#include <map>

using testutil::TDemoStore;

namespace {

QString SyncProgram()
{
    return testutil::BinaryDir() + QStringLiteral("/src/app/sync/sorvelinx-sync");
}

// The demo's songs and data description, made once in the build folder.
QString DemoSongs()
{
    static const QString dir = [] {
        const QString out = testutil::BinaryDir() + QStringLiteral("/demo-songs");
        const auto r = testutil::Run(testutil::Python(),
                                     {testutil::SourceDir() + QStringLiteral("/tools/demo-songs/make_demo.py"),
                                      QStringLiteral("--out"), out, QStringLiteral("--quiet")});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return out;
    }();
    return dir;
}

// Generated files of several blocks (no tag for ".ape", so each finished file
// equals the store's plain content).
QJsonObject BigBasket(const QList<int>& aIds)
{
    const std::map<int, int> sizes = {{3001, 4000000}, {3002, 3000000}, {3003, 250000}};
    QJsonArray files;
    for (int id : aIds) {
        QJsonObject f;
        f[QStringLiteral("id")] = id;
        f[QStringLiteral("filetype")] = 1;
        f[QStringLiteral("groupname")] = QStringLiteral("Кино Band");
        f[QStringLiteral("albumname")] = QStringLiteral("Long Takes");
        f[QStringLiteral("songname")] = QStringLiteral("Take %1").arg(id);
        f[QStringLiteral("tracknum")] = id - 3000;
        f[QStringLiteral("albumyear")] = 2021;
        f[QStringLiteral("format")] = QStringLiteral("APE 900 kbps");
        f[QStringLiteral("fileext")] = QStringLiteral("ape");
        f[QStringLiteral("filesize")] = sizes.at(id);
        f[QStringLiteral("filecost")] = QStringLiteral("0.5");
        f[QStringLiteral("duration")] = 60;
        f[QStringLiteral("seed")] = 7;
        files.append(f);
    }
    return QJsonObject{{QStringLiteral("basket"), QJsonObject{{QStringLiteral("files"), files}}}};
}

class SyncCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FDir.isValid());
        FHome = FDir.path() + QStringLiteral("/home");
        FDownloads = FDir.path() + QStringLiteral("/downloads");
        QDir().mkpath(FHome);
    }

    QString DataFolder() const { return FHome + QStringLiteral("/.local/share/SorvelinX"); }
    QString UserDatabase() const { return DataFolder() + QStringLiteral("/databases/demo.s3db"); }
    QString CatalogFile() const { return DataFolder() + QStringLiteral("/databases/svxc.s3db"); }

    QStringList Args(const TDemoStore& aStore, const QString& aPassword = QStringLiteral("demo")) const
    {
        return {QStringLiteral("--login"), QStringLiteral("demo"), QStringLiteral("--password"), aPassword,
                QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                QString::number(aStore.Port()), QStringLiteral("--download-folder"), FDownloads};
    }

    void Start(QProcess& aProcess, const QStringList& aArgs)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), FHome);
        env.insert(QStringLiteral("XDG_DATA_HOME"), FHome + QStringLiteral("/.local/share"));
        aProcess.setProcessEnvironment(env);
        aProcess.start(SyncProgram(), aArgs);
        ASSERT_TRUE(aProcess.waitForStarted(10000));
        aProcess.closeWriteChannel();
    }

    int RunToEnd(const QStringList& aArgs, QByteArray* aErr = nullptr)
    {
        QProcess p;
        Start(p, aArgs);
        if (!p.waitForFinished(180000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "sorvelinx-sync did not end";
        }
        const QByteArray err = p.readAllStandardError();
        if (aErr)
            *aErr = err;
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    // Block maps of the saved downloads, by file id.
    std::map<int, QString> SavedBlockMaps() const
    {
        std::map<int, QString> maps;
        try {
            SQLite::Database db(UserDatabase().toStdString(), SQLite::OPEN_READONLY, 2000);
            SQLite::Statement q(db, "select ID, BlockMap from Downloads");
            while (q.executeStep())
                maps[q.getColumn(0).getInt()] = QString::fromStdString(q.getColumn(1).getString());
        } catch (const std::exception&) {
            // not written yet
        }
        return maps;
    }

    // Starts a run, lets it store some blocks (not all), then ends it with aSignal.
    int InterruptMidDownload(TDemoStore& aStore, int aSignal)
    {
        QProcess p;
        Start(p, Args(aStore));
        const bool some = testutil::WaitFor(
            [&] {
                int done = 0;
                for (const auto& [id, map] : SavedBlockMaps())
                    done += int(map.count(QLatin1Char('1')));
                return done >= 3 || p.state() == QProcess::NotRunning;
            },
            60000);
        EXPECT_TRUE(some);
        if (p.state() != QProcess::Running || p.processId() <= 0) {
            ADD_FAILURE() << "the download ended before it was interrupted: " << p.readAllStandardError().toStdString();
            return -1;
        }
        ::kill(pid_t(p.processId()), aSignal);
        p.waitForFinished(30000);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -aSignal;
    }

    // Every finished file under the download folder, relative path → bytes.
    QStringList DownloadedFiles() const
    {
        QStringList list;
        QDirIterator it(FDownloads, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            list << QDir(FDownloads).relativeFilePath(it.next());
        list.sort();
        return list;
    }

    QString BigTarget(int aId) const
    {
        return FDownloads + QStringLiteral("/Кино Band/Long Takes (2021)/%1 - Take %2.ape")
                                .arg(aId - 3000, 2, 10, QLatin1Char('0'))
                                .arg(aId);
    }

    void ExpectPlainContent(TDemoStore& aStore, int aId) const
    {
        int status = 0;
        const QByteArray plain =
            testutil::FetchUrl(aStore.Url(QStringLiteral("/fileserver/plain/%1").arg(aId)), {}, false, &status);
        ASSERT_EQ(status, 200);
        EXPECT_TRUE(testutil::ReadFile(BigTarget(aId)) == plain) << "file " << aId << " differs";
    }

    static QJsonArray BlockLog(TDemoStore& aStore)
    {
        return QJsonDocument::fromJson(testutil::FetchUrl(aStore.Url(QStringLiteral("/fileserver/log")), {}, false))
            .array();
    }

    QTemporaryDir FDir;
    QString FHome;
    QString FDownloads;
};

TEST_F(SyncCommandTest, FreshRunDownloadsTheWholeBasket)
{
    const QString data = DemoSongs() + QStringLiteral("/demo-data.json");
    TDemoStore store({QStringLiteral("--data"), data});
    ASSERT_TRUE(store.IsRunning());

    QByteArray err;
    EXPECT_EQ(RunToEnd(Args(store) << QStringLiteral("--no-progress"), &err), 0) << err.toStdString();

    // Paths by the default mask, audio identical to the originals, tags as the
    // basket names them, the file of size 0 not downloaded, no working file.
    const auto check = testutil::Run(testutil::Python(),
                                     {testutil::SourceDir() + QStringLiteral("/tools/demo-songs/check_downloads.py"),
                                      FDownloads, data});
    EXPECT_EQ(check.exitCode, 0) << check.out.toStdString() << check.err.toStdString();
    EXPECT_FALSE(QFile::exists(DataFolder() + QStringLiteral("/settings.txt"))); // never written

    // The catalog was brought to the store's version on the way.
    SQLite::Database catalog(CatalogFile().toStdString(), SQLite::OPEN_READONLY);
    EXPECT_GT(catalog.execAndGet("select DATA from VERSION").getInt(), 0);

    // A second run finds nothing to do and fetches no block.
    const int blocksBefore = BlockLog(store).size();
    EXPECT_EQ(RunToEnd(Args(store) << QStringLiteral("--no-progress")), 0);
    EXPECT_EQ(BlockLog(store).size(), blocksBefore);
}

TEST_F(SyncCommandTest, KillAndRunAgainFetchesOnlyMissingBlocks)
{
    TDemoStore store;
    store.Control(BigBasket({3001, 3002, 3003}));
    store.Control(QByteArray(R"({"fileserver": {"faults": {"latency_ms": 400}}})"));

    InterruptMidDownload(store, SIGKILL);
    const std::map<int, QString> saved = SavedBlockMaps();
    QSet<QPair<int, qint64>> stored; // blocks the first run stored as done
    for (const auto& [id, map] : saved)
        for (int i = 0; i < map.size(); ++i)
            if (map[i] == QLatin1Char('1'))
                stored.insert({id, qint64(i) * 102400});
    ASSERT_FALSE(stored.isEmpty());

    TDemoStore second;
    second.Control(BigBasket({3001, 3002, 3003}));
    QByteArray err;
    EXPECT_EQ(RunToEnd(Args(second) << QStringLiteral("--no-progress"), &err), 0) << err.toStdString();
    for (const QJsonValue& entry : BlockLog(second)) {
        const QJsonObject block = entry.toObject();
        EXPECT_FALSE(stored.contains({block[QStringLiteral("id")].toInt(), qint64(block[QStringLiteral("start")].toDouble())}))
            << "block fetched again: file " << block[QStringLiteral("id")].toInt() << " at "
            << qint64(block[QStringLiteral("start")].toDouble());
    }
    for (int id : {3001, 3002, 3003})
        ExpectPlainContent(second, id);
    for (const QString& f : DownloadedFiles())
        EXPECT_FALSE(f.endsWith(QStringLiteral(".downloading")) || f.endsWith(QStringLiteral(".finalizing"))) << f.toStdString();
}

TEST_F(SyncCommandTest, CtrlCStopsCleanlyAndTheNextRunResumes)
{
    TDemoStore store;
    store.Control(BigBasket({3001, 3002}));
    store.Control(QByteArray(R"({"fileserver": {"faults": {"latency_ms": 400}}})"));
    EXPECT_EQ(InterruptMidDownload(store, SIGINT), 130);
    int done = 0;
    for (const auto& [id, map] : SavedBlockMaps())
        done += int(map.count(QLatin1Char('1')));
    EXPECT_GE(done, 3); // the blocks so far are kept

    store.Control(QByteArray(R"({"fileserver": {"faults": {"latency_ms": 0}}})"));
    EXPECT_EQ(RunToEnd(Args(store) << QStringLiteral("--no-progress")), 0);
    ExpectPlainContent(store, 3001);
    ExpectPlainContent(store, 3002);
}

TEST_F(SyncCommandTest, AnUnfinishedFileLeftOutOfTheBasketIsRemoved)
{
    TDemoStore store;
    store.Control(BigBasket({3001, 3002, 3003}));
    store.Control(QByteArray(R"({"fileserver": {"faults": {"latency_ms": 400}}})"));
    InterruptMidDownload(store, SIGKILL);
    const QString working = BigTarget(3001) + QStringLiteral(".downloading");
    ASSERT_TRUE(QFile::exists(working));
    ASSERT_EQ(SavedBlockMaps().count(3001), 1u);

    store.Control(BigBasket({3002, 3003}));
    store.Control(QByteArray(R"({"fileserver": {"faults": {"latency_ms": 0}}})"));
    EXPECT_EQ(RunToEnd(Args(store) << QStringLiteral("--no-progress")), 0);
    EXPECT_FALSE(QFile::exists(working));
    EXPECT_FALSE(QFile::exists(BigTarget(3001)));
    EXPECT_EQ(SavedBlockMaps().count(3001), 0u);
    ExpectPlainContent(store, 3002);
    ExpectPlainContent(store, 3003);
}

TEST_F(SyncCommandTest, FailuresHaveTheirExitCodes)
{
    TDemoStore store;
    QByteArray err;
    EXPECT_EQ(RunToEnd(Args(store, QStringLiteral("wrong")), &err), 2);
    EXPECT_TRUE(err.contains("Sign-in failed")) << err.toStdString();

    // A catalog that is up to date, then a newer one whose package is broken.
    store.Control(BigBasket({3003}));
    ASSERT_EQ(RunToEnd(Args(store) << QStringLiteral("--no-progress")), 0);
    const QByteArray before = testutil::ReadFile(CatalogFile());
    ASSERT_FALSE(before.isEmpty());
    int version = 0;
    {
        SQLite::Database catalog(CatalogFile().toStdString(), SQLite::OPEN_READONLY);
        version = catalog.execAndGet("select DATA from VERSION").getInt();
    }
    ASSERT_GT(version, 0);
    store.Control(QJsonDocument(QJsonObject{{QStringLiteral("catalog"),
                                             QJsonObject{{QStringLiteral("version"), version + 1},
                                                         {QStringLiteral("faults"),
                                                          QJsonObject{{QString::number(version + 1), QStringLiteral("bad_xml")}}}}}})
                      .toJson());
    EXPECT_EQ(RunToEnd(Args(store) << QStringLiteral("--no-progress"), &err), 3);
    EXPECT_TRUE(err.contains("Catalog update failed")) << err.toStdString();
    EXPECT_TRUE(testutil::ReadFile(CatalogFile()) == before);

    // A file that keeps failing makes the run end with 1, not hang.
    TDemoStore failing;
    failing.Control(BigBasket({3003}));
    failing.Control(QByteArray(R"({"fileserver": {"files": {"3003": {"mode": "bad_md5"}}}})"));
    QTemporaryDir other;
    FHome = other.path();
    FDownloads = other.path() + QStringLiteral("/dl");
    EXPECT_EQ(RunToEnd(Args(failing) << QStringLiteral("--no-progress"), &err), 1);
    EXPECT_TRUE(err.contains("Not downloaded")) << err.toStdString();

    EXPECT_EQ(RunToEnd({QStringLiteral("--port"), QStringLiteral("x")}), 64);
    EXPECT_EQ(RunToEnd({QStringLiteral("--bogus")}), 64);
}

} // namespace
