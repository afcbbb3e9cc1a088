#include "app/sync/SyncOptions.h"
#include "app/sync/SyncProgress.h"

#include <gtest/gtest.h>

TEST(SyncOptions, Parsing)
{
    TSyncOptions o;
    QString error;
    ASSERT_TRUE(ParseSyncOptions({"--login", "me", "--password=p w", "--host", "h.example", "--port", "8080",
                                  "--download-folder", "/tmp/dl", "--debug", "--no-progress"},
                                 o, error));
    EXPECT_EQ(o.Login, QStringLiteral("me"));
    EXPECT_EQ(o.Password, QStringLiteral("p w"));
    EXPECT_EQ(o.Host, QStringLiteral("h.example"));
    EXPECT_EQ(o.Port, 8080);
    EXPECT_EQ(o.DownloadFolder, QStringLiteral("/tmp/dl"));
    EXPECT_TRUE(o.Debug && o.NoProgress && !o.Help);

    ASSERT_TRUE(ParseSyncOptions({}, o, error));
    EXPECT_FALSE(o.Login.has_value());

    struct Bad {
        QStringList args;
        const char* message;
    };
    const Bad bad[] = {
        {{"--login"}, "--login needs a value"},
        {{"--port", "0"}, "--port needs a number from 1 to 65535"},
        {{"--port", "70000"}, "--port needs a number from 1 to 65535"},
        {{"--debug=1"}, "--debug takes no value"},
        {{"extra"}, "unknown argument \"extra\""},
    };
    for (const Bad& b : bad) {
        EXPECT_FALSE(ParseSyncOptions(b.args, o, error)) << b.message;
        EXPECT_TRUE(error.startsWith(QLatin1String(b.message))) << error.toStdString();
    }
}

TEST(SyncProgress, LinesPerActiveFileAndATotal)
{
    std::vector<TSyncFileProgress> active(2);
    active[0].Name = QStringLiteral("Group \\ Album \\ 1 - A very long song name that will not fit");
    active[0].Percent = 42;
    active[0].Speed = 10000;
    active[0].Estimated = 65;
    active[1].Name = QStringLiteral("Short");
    TSyncTotals totals{5, 2, 1, 10000};
    const QStringList lines = RenderProgress(active, totals, 60);
    ASSERT_EQ(lines.size(), 3);
    for (const QString& line : lines)
        EXPECT_LE(line.size(), 60) << line.toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral(" 42%"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("/s"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("1:05"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("..."))) << lines[0].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("Total: 2 of 5 files finished, 1 failed, 2 downloading")));
}
