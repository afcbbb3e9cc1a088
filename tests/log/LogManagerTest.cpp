#include "common/TestUtils.h"
#include "log/LogManager.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

QByteArray Utf16Le(const QString& aText)
{
    QByteArray out;
    for (QChar c : aText) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

QString FromUtf16Le(const QByteArray& aBytes)
{
    QString s;
    for (int i = 0; i + 1 < aBytes.size(); i += 2)
        s.append(QChar(char16_t(uint8_t(aBytes[i]) | (uint8_t(aBytes[i + 1]) << 8))));
    return s;
}

class LogManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogMngr::StartModule();
        LogMngr::CleanerFirstInterval = 10000;
        LogMsgLevel = lmtInfo;
        ASSERT_TRUE(FDir.isValid());
        FLogDir = FDir.path() + QStringLiteral("/logs");
        LogMngr::Initialize(FLogDir);
    }
    void TearDown() override
    {
        LogMngr::StopModule();
        LogMngr::CleanerFirstInterval = 10000;
        LogMsgLevel = lmtInfo;
    }
    QByteArray LogBytes() { return testutil::ReadFile(LogMngr::GetCurrentLogFilePath()); }

    QTemporaryDir FDir;
    QString FLogDir;
};

TEST_F(LogManagerTest, FileIsNamedByDayInsideTheLogFolder)
{
    const QString expected =
        FLogDir + QStringLiteral("/at") + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
    EXPECT_EQ(LogMngr::GetCurrentLogFilePath(), expected);
    EXPECT_TRUE(QFileInfo(FLogDir).isDir());
}

TEST_F(LogManagerTest, RecordBytesMatchTheFileFormat)
{
    const QDateTime when(QDate(2024, 1, 31), QTime(13, 5, 9));
    const QString time = LogDateTimeToStr(when);

    TMessageRec plain;
    plain.MsgType = lmtWarning;
    plain.MsgTime = when;
    plain.Source = QStringLiteral("TUnit.Run");
    plain.Message = QStringLiteral("Ünïcode текст");
    SaveMessage(plain);

    TMessageRec extra = plain;
    extra.MsgType = lmtInfo;
    extra.ExtraData = QStringLiteral("line1\r\nline2");
    HandleMessage(extra);

    try {
        throw ELogMngrException(QStringLiteral("Src"), QStringLiteral("INVALID_MD5"), QStringLiteral("raw answer"));
    } catch (...) {
        HandleException(QStringLiteral("TStore.Check"));
    }

    const QByteArray bytes = LogBytes();
    const QString text = FromUtf16Le(bytes);
    const QStringList records = text.split(QStringLiteral("\r\n"));
    // The exception record's system data names the class and an address of at least 8 hex digits.
    ASSERT_GE(records.size(), 6);
    const QString excLine = records[4]; // after two records, one with two extra lines
    const QStringList excFields = excLine.split(QLatin1Char('\t'));
    ASSERT_EQ(excFields.size(), 5);
    QRegularExpression addr(QStringLiteral("^ELogMngrException at \\$[0-9A-F]{8,}$"));
    EXPECT_TRUE(addr.match(excFields[4]).hasMatch()) << excFields[4].toStdString();
    const QString excTime = excFields[1];

    const QString expected =
        QStringLiteral("WARNING\t") + time + QStringLiteral("\tTUnit.Run\tÜnïcode текст\t\r\n") +
        QStringLiteral("INFO\t") + time + QStringLiteral("\tTUnit.Run\tÜnïcode текст\t\r\nline1\r\nline2\r\n") +
        QStringLiteral("ERROR\t") + excTime + QStringLiteral("\tTStore.Check\tINVALID_MD5\t") + excFields[4] +
        QStringLiteral("\r\nraw answer\r\n\r\n");
    EXPECT_EQ(bytes, Utf16Le(expected));
    EXPECT_FALSE(bytes.startsWith("\xFF\xFE")); // no byte-order mark
}

TEST_F(LogManagerTest, LevelFiltersFileAndHandlerAndAbortIsSilent)
{
    std::vector<TMessageRec> seen;
    LogMngr::SetObjMessageHandler([&seen](const TMessageRec& r) { seen.push_back(r); });

    HandleMessage(lmtDebug, QStringLiteral("S"), QStringLiteral("hidden"));
    EXPECT_FALSE(QFile::exists(LogMngr::GetCurrentLogFilePath()));
    // The handler sees every message; filtering is its business.
    ASSERT_EQ(seen.size(), 1u);

    LogMsgLevel = lmtDebug;
    HandleMessage(lmtDebug, QStringLiteral("S"), QStringLiteral("shown"));
    EXPECT_TRUE(FromUtf16Le(LogBytes()).startsWith(QStringLiteral("DEBUG\t")));

    const QByteArray before = LogBytes();
    try {
        Abort();
    } catch (...) {
        HandleException(QStringLiteral("S"));
    }
    EXPECT_EQ(LogBytes(), before);
    EXPECT_EQ(seen.size(), 2u);

    // SaveMessage goes to the file only.
    SaveMessage(QStringLiteral("S"), QStringLiteral("file only"));
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_TRUE(FromUtf16Le(LogBytes()).contains(QStringLiteral("INFO\t")));
}

TEST_F(LogManagerTest, StdExceptionsAreReportedWithTheirClassName)
{
    std::vector<TMessageRec> seen;
    LogMngr::SetObjMessageHandler([&seen](const TMessageRec& r) { seen.push_back(r); });
    try {
        throw std::runtime_error("boom");
    } catch (...) {
        HandleException(QStringLiteral("X.Y"));
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Message, QStringLiteral("boom"));
    EXPECT_EQ(seen[0].SystemData, QStringLiteral("std::runtime_error at $00000000"));
    EXPECT_EQ(seen[0].MsgType, lmtError);
    EXPECT_EQ(seen[0].Options, DefaultMessageOptions);
}

TEST_F(LogManagerTest, ConcurrentWritersNeverInterleave)
{
    constexpr int PerThread = 10000;
    auto writer = [](QString name) {
        for (int i = 0; i < PerThread; ++i)
            HandleMessage(lmtInfo, name, QStringLiteral("message %1 of %2").arg(i).arg(name));
    };
    std::thread a(writer, QStringLiteral("A")), b(writer, QStringLiteral("B"));
    a.join();
    b.join();

    const QString text = FromUtf16Le(LogBytes());
    ASSERT_TRUE(text.endsWith(QStringLiteral("\r\n")));
    const QStringList lines = text.left(text.size() - 2).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 2 * PerThread);
    int next[2] = {0, 0};
    for (const QString& line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        ASSERT_EQ(f.size(), 5) << line.toStdString();
        const int who = f[2] == QLatin1String("A") ? 0 : 1;
        ASSERT_EQ(f[3], QStringLiteral("message %1 of %2").arg(next[who]).arg(f[2]));
        ++next[who];
    }
    EXPECT_EQ(next[0], PerThread);
    EXPECT_EQ(next[1], PerThread);
}

TEST_F(LogManagerTest, CleanerKeepsSevenDaysAndMsgId)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    struct Case {
        const char* name;
        qint64 ageSeconds;
        bool kept;
    };
    const Case cases[] = {
        {"at20240101.log", 7 * 86400, true}, // exactly seven days is kept
        {"at20240102.log", 7 * 86400 + 1, false},
        {"notes.txt", 30 * 86400, false}, // every ordinary file is a candidate
        {"MsgID.txt", 400 * 86400, true},
        {"msgid.TXT", 400 * 86400, true},
        {"fresh.log", 10, true},
    };
    for (const Case& c : cases) {
        const QString path = FLogDir + QLatin1Char('/') + QLatin1String(c.name);
        testutil::WriteFile(path, "x");
        testutil::SetFileTime(path, now.addSecs(-c.ageSeconds));
    }
    LogMngr::ClearExpiredLogFiles(now);
    for (const Case& c : cases)
        EXPECT_EQ(QFile::exists(FLogDir + QLatin1Char('/') + QLatin1String(c.name)), c.kept) << c.name;
}

TEST_F(LogManagerTest, CleanerThreadRunsAfterItsFirstInterval)
{
    LogMngr::StopModule();
    LogMngr::CleanerFirstInterval = 50;
    const QString old = FLogDir + QStringLiteral("/at20000101.log");
    testutil::WriteFile(old, "x");
    testutil::SetFileAge(old, 8 * 86400.0);
    LogMngr::Initialize(FLogDir);
    ASSERT_TRUE(LogMngr::CleanerRunning());
    EXPECT_TRUE(testutil::WaitFor([&] { return !QFile::exists(old); }, 5000));
    // Stopping the module ends the thread at once, whatever it waits for.
    LogMngr::StopModule();
    EXPECT_FALSE(LogMngr::CleanerRunning());
}

TEST_F(LogManagerTest, FailedDeletionIsAWarningAndTheListingGoesOn)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root can delete from a read-only folder";
    const QString sub = FDir.path() + QStringLiteral("/ro");
    testutil::WriteFile(sub + QStringLiteral("/old.log"), "x");
    testutil::SetFileAge(sub + QStringLiteral("/old.log"), 8 * 86400.0);
    LogMngr::SetLogFileOptions(lftByDay, sub + QStringLiteral("/'at'yyyyMMdd'.log'"), false, false);
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    std::vector<TMessageRec> seen;
    LogMngr::SetObjMessageHandler([&seen](const TMessageRec& r) { seen.push_back(r); });
    LogMngr::ClearExpiredLogFiles();
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].MsgType, lmtWarning);
    EXPECT_EQ(seen[0].Source, QStringLiteral("ClearExpiredLogFiles"));
    EXPECT_TRUE(seen[0].Message.startsWith(QStringLiteral("File \"")));
    EXPECT_TRUE(seen[0].Message.contains(QStringLiteral("\" delete error: ")));
}

TEST_F(LogManagerTest, MessagesBeforeSetUpReachOnlyTheHandler)
{
    LogMngr::StopModule();
    std::vector<TMessageRec> seen;
    LogMngr::SetObjMessageHandler([&seen](const TMessageRec& r) { seen.push_back(r); });
    EXPECT_NO_THROW(HandleMessage(lmtError, QStringLiteral("S"), QStringLiteral("early")));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_TRUE(QDir(FLogDir).entryList(QDir::Files).isEmpty());
}

TEST_F(LogManagerTest, UncreatableFolderIsReported)
{
    testutil::WriteFile(FDir.path() + QStringLiteral("/file"), "x");
    const QString bad = FDir.path() + QStringLiteral("/file/logs");
    try {
        LogMngr::Initialize(bad);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Can't create \"%1/\" directory!").arg(bad));
    }
}

} // namespace
