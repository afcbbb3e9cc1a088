#include "app/AppUtils.h"
#include "common/TestUtils.h"
#include "log/Exception.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

TEST(AppUtils, VersionFromTheRecord)
{
    EXPECT_EQ(GetAppVersion(), QStringLiteral("1.0.6"));
    EXPECT_EQ(GetAppRelease(), 6);
    struct Case {
        const char* record;
        const char* version;
        int release;
    };
    const Case cases[] = {
        {"1.0.6.65", "1.0.6", 6},
        {"2.13.0.1", "2.13.0", 0},
        {"", "", 0},          // no version record
        {"1.0.6", "", 0},     // not a record
        {"1.x.6.65", "", 0},
        {"70000.0.6.65", "", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VersionFromRecord(QString::fromLatin1(c.record)), QString::fromLatin1(c.version)) << c.record;
        EXPECT_EQ(ReleaseFromRecord(QString::fromLatin1(c.record)), c.release) << c.record;
    }
}

TEST(AppUtils, GetFileSize)
{
    QTemporaryDir dir;
    const QString missing = dir.path() + QStringLiteral("/missing.bin");
    try {
        GetFileSize(missing);
        FAIL() << "no error";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message(), QString::fromLocal8Bit(std::strerror(ENOENT)));
    }
    // A sparse 5 GB file: the size is 64-bit.
    const QString big = dir.path() + QStringLiteral("/big.bin");
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(5LL * 1000 * 1000 * 1000));
    f.close();
    EXPECT_EQ(GetFileSize(big), 5LL * 1000 * 1000 * 1000);
}

TEST(AppUtils, FoldersFollowTheEnvironment)
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/tmp/sx-data");
    EXPECT_EQ(LocalAppDataFolder(), QStringLiteral("/tmp/sx-data"));
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(LocalAppDataFolder(), QDir::homePath() + QStringLiteral("/.local/share"));
    qputenv("XDG_DATA_HOME", saved);
    EXPECT_EQ(PathJoin(QStringLiteral("/a/"), QStringLiteral("b")), QStringLiteral("/a/b"));
    EXPECT_EQ(PathJoin(QStringLiteral("/a"), QStringLiteral("b")), QStringLiteral("/a/b"));
}
