// Helpers of the tag writer tests: fixtures, patterned data, the mutagen reader.
#pragma once

#include "common/TestUtils.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>

// Readable failure messages for Qt values.
inline void PrintTo(const QString& aText, std::ostream* aOs)
{
    *aOs << '"' << aText.toStdString() << '"';
}
inline void PrintTo(const QJsonArray& aArray, std::ostream* aOs)
{
    *aOs << QJsonDocument(aArray).toJson(QJsonDocument::Compact).toStdString();
}
inline void PrintTo(const QJsonValue& aValue, std::ostream* aOs)
{
    *aOs << QJsonDocument(QJsonArray{aValue}).toJson(QJsonDocument::Compact).toStdString();
}

namespace tagtest {

inline QString FixturePath(const QString& aName)
{
    return testutil::SourceDir() + QStringLiteral("/tests/tags/fixtures/") + aName;
}

inline QByteArray Fixture(const QString& aName)
{
    return testutil::ReadFile(FixturePath(aName));
}

inline QByteArray Bytes(std::initializer_list<uint8_t> aBytes)
{
    QByteArray b;
    for (uint8_t x : aBytes)
        b.append(char(x));
    return b;
}

// A copy of a fixture in a temporary folder.
class FixtureCopy {
public:
    explicit FixtureCopy(const QString& aName) : FPath(FDir.filePath(aName))
    {
        EXPECT_TRUE(QFile::copy(FixturePath(aName), FPath));
        QFile::setPermissions(FPath, QFile::ReadOwner | QFile::WriteOwner);
    }
    const QString& Path() const { return FPath; }
    QByteArray Bytes() const { return testutil::ReadFile(FPath); }

private:
    QTemporaryDir FDir;
    QString FPath;
};

// Bytes without a period of 8192 or any other small period, so a block
// moved to the wrong place shows.
inline QByteArray Pattern(int64_t aSize, uint32_t aSeed = 1)
{
    QByteArray bytes(qsizetype(aSize), Qt::Uninitialized);
    uint32_t x = aSeed * 2654435761u + 12345u;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

// Runs the mutagen reader on the files; the JSON object keyed by file name.
// aVerify: the formats' own tools check each file as well (see read_tags.py).
inline QJsonObject ReadTags(const QStringList& aFiles, bool aVerify = false)
{
    const QString script = testutil::SourceDir() + QStringLiteral("/tests/tags/read_tags.py");
    QStringList args{script};
    if (aVerify)
        args << QStringLiteral("--verify");
    const testutil::ProcessResult r = testutil::Run(testutil::Python(), args + aFiles);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
    return doc.object();
}

} // namespace tagtest
