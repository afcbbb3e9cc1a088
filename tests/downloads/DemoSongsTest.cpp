// The demo's real songs (tools/demo-songs: MP3, Ogg Vorbis, FLAC, WMA,
// Musepack, MP4 audio) downloaded from the demo store by the download client
// and checked by the demo's checker: names by the mask, audio identical to
// the originals, tags as the basket names them.
#include "FilesFixture.h"

#include "common/DemoStore.h"
#include "common/TestUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

TEST(DemoSongs, TheDemoBasketDownloadsWithAudioAndTagsIntact)
{
    const QString out = testutil::BinaryDir() + QStringLiteral("/demo-songs");
    const testutil::ProcessResult made = testutil::Run(
        testutil::Python(), {testutil::SourceDir() + QStringLiteral("/tools/demo-songs/make_demo.py"),
                             QStringLiteral("--out"), out, QStringLiteral("--quiet")},
        300000);
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    const QString data = out + QStringLiteral("/demo-data.json");

    testutil::TDemoStore store({QStringLiteral("--data"), data});
    ASSERT_TRUE(store.IsRunning());
    const QString session = QStringLiteral("DEMO-SONGS-SESSION");
    store.Control(QJsonObject{{"fileserver", QJsonObject{{"sessions", QJsonArray{session}}}}});

    // The basket answer the store would send for its data description.
    const QJsonArray files = QJsonDocument::fromJson(testutil::ReadFile(data))["basket"]["files"].toArray();
    ASSERT_FALSE(files.isEmpty());
    QString children;
    for (const QJsonValue& value : files) {
        const QJsonObject f = value.toObject();
        const auto text = [&f](const char* aName) {
            const QJsonValue v = f[QLatin1String(aName)];
            return v.isString() ? v.toString() : QString::number(qint64(v.toDouble()));
        };
        children += filestest::Updated(int(f["id"].toDouble()),
                                       {{"filetype", text("filetype")},
                                        {"groupname", text("groupname")},
                                        {"albumname", text("albumname")},
                                        {"songname", text("songname")},
                                        {"tracknum", text("tracknum")},
                                        {"albumyear", text("albumyear")},
                                        {"format", text("format")},
                                        {"fileext", text("fileext")},
                                        {"filesize", text("filesize")},
                                        {"filecost", text("filecost")},
                                        {"duration", text("duration")},
                                        {"ipport", QStringLiteral("127.0.0.1:%1").arg(store.Port())}});
    }
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString basket = temp.path() + QStringLiteral("/basket.xml");
    testutil::WriteFile(basket, filestest::Answer("full", children).toUtf8());
    const QString folder = temp.path() + QStringLiteral("/music");

    QProcess runner;
    runner.start(QStringLiteral(SX_DOWNLOAD_RUNNER),
                 {QStringLiteral("--store"), store.Url(QString()), QStringLiteral("--session"), session,
                  QStringLiteral("--user"), QStringLiteral("demo"), QStringLiteral("--folder"), folder,
                  QStringLiteral("--basket"), basket});
    ASSERT_TRUE(runner.waitForFinished(120000));
    const QByteArray runOut = runner.readAllStandardOutput();
    EXPECT_EQ(runner.exitCode(), 0) << runOut.toStdString() << runner.readAllStandardError().toStdString();

    const testutil::ProcessResult check = testutil::Run(
        testutil::Python(), {testutil::SourceDir() + QStringLiteral("/tools/demo-songs/check_downloads.py"), folder, data});
    EXPECT_EQ(check.exitCode, 0) << check.out.toStdString() << check.err.toStdString();
}
