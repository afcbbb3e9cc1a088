#include "catalog/CatalogTestUtils.h"

#include "common/TestUtils.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <gtest/gtest.h>

namespace catalogtest {

QString Generator()
{
    return testutil::SourceDir() + QStringLiteral("/tools/catalog-gen/make_catalog.py");
}

void RunGenerator(const QStringList& aArgs)
{
    const testutil::ProcessResult r = testutil::Run(testutil::Python(), QStringList{Generator()} + aArgs);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
}

void MakeCatalog(const QString& aPath, const QString& aSize, int aVersion, int aSeed)
{
    static QTemporaryDir cache;
    static QMap<QString, QString> made;
    const QString key = QStringLiteral("%1-%2-%3").arg(aSize).arg(aVersion).arg(aSeed);
    if (!made.contains(key)) {
        const QString path = cache.path() + QLatin1Char('/') + key + QStringLiteral(".s3db");
        RunGenerator({QStringLiteral("catalog"), path, QStringLiteral("--size"), aSize, QStringLiteral("--version"),
                      QString::number(aVersion), QStringLiteral("--seed"), QString::number(aSeed)});
        made.insert(key, path);
    }
    QDir().mkpath(QFileInfo(aPath).path());
    QFile::remove(aPath);
    ASSERT_TRUE(QFile::copy(made.value(key), aPath));
    QFile::setPermissions(aPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void CreateDatabase(const QString& aPath, const char* aSql)
{
    SQLite::Database db(aPath.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db.exec(aSql);
}

void ExecSql(const QString& aPath, const QString& aSql)
{
    SQLite::Database db(aPath.toStdString(), SQLite::OPEN_READWRITE);
    db.exec(aSql.toStdString());
}

QString DumpCatalog(const QString& aPath)
{
    SQLite::Database db(aPath.toStdString(), SQLite::OPEN_READONLY);
    const QStringList queries = {
        QStringLiteral("select * from Version"),
        QStringLiteral("select * from Volumes order by VolumeID"),
        QStringLiteral("select * from AlbumTypes order by ID"),
        QStringLiteral("select * from Groups order by GroupID"),
        QStringLiteral("select * from Albums order by GroupID, AlbumID"),
        QStringLiteral("select * from Songs order by GroupID, AlbumID, SongID"),
    };
    QString out;
    for (const QString& sql : queries) {
        out += sql + QLatin1Char('\n');
        SQLite::Statement q(db, sql.toStdString());
        while (q.executeStep()) {
            QStringList cells;
            for (int i = 0; i < q.getColumnCount(); ++i) {
                const SQLite::Column c = q.getColumn(i);
                cells << (c.isNull() ? QStringLiteral("NULL")
                                     : QString::fromUtf8(c.getText()) + QLatin1Char(':') + QString::number(c.getType()));
            }
            out += cells.join(QLatin1Char('|')) + QLatin1Char('\n');
        }
    }
    return out;
}

QString QueryText(const QString& aPath, const QString& aSql)
{
    SQLite::Database db(aPath.toStdString(), SQLite::OPEN_READONLY);
    SQLite::Statement q(db, aSql.toStdString());
    if (!q.executeStep())
        return QStringLiteral("<no row>");
    return q.getColumn(0).isNull() ? QStringLiteral("NULL") : QString::fromUtf8(q.getColumn(0).getText());
}

} // namespace catalogtest
