#include "app/AppUtils.h"
#include "app/Modules.h"
#include "downloads/UserData.h"
#include "log/Exception.h"
#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

class UserDataTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SettingsModule::Start();
        QDir(Settings().AppDataFolder()).removeRecursively();
    }
    void TearDown() override
    {
        QDir(Settings().AppDataFolder()).removeRecursively();
        SettingsModule::Stop();
    }

    static TFileRec SampleRec(int32_t aID)
    {
        TFileRec rec;
        rec.UniqID = aID;
        rec.FileType = ftMp3VIP;
        rec.GroupName = QStringLiteral("Mr. Smith");
        rec.AlbumName = QStringLiteral("Blue/Green");
        rec.TrackNum = 7;
        rec.SongName = QStringLiteral("Who?");
        rec.AlbumYear = 2001;
        rec.Format = QStringLiteral("VIP MP3 192 kbps");
        rec.FileExtension = QStringLiteral(".mp3");
        rec.FileSize = 250000;
        rec.FileCost = TCurrency::FromDouble(0.15);
        rec.Duration = 215;
        rec.IPPort = QStringLiteral("10.0.0.1:8080");
        return rec;
    }

    static std::vector<TDownloadRow> ReadAll(TUserData& aData, TDownloadsSort aSort)
    {
        std::vector<TDownloadRow> rows;
        std::unique_ptr<SQLite::Statement> query = aData.GetDownloads(aSort);
        while (query->executeStep())
            rows.push_back(TUserData::ReadDownloadRow(*query));
        return rows;
    }

    static QString TableSql(TUserData& aData, const char* aName)
    {
        SQLite::Statement q(aData.UserConnection(), "select sql from sqlite_master where type = 'table' and name = ?");
        q.bind(1, aName);
        return q.executeStep() ? QString::fromStdString(q.getColumn(0).getString()) : QString();
    }
};

// The statement texts SQLite was given, as prepared.
int TraceStatement(unsigned aType, void* aContext, void* aStmt, void* aSql)
{
    if (aType == SQLITE_TRACE_STMT) {
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(aStmt));
        static_cast<std::vector<QString>*>(aContext)->push_back(QString::fromUtf8(sql ? sql : ""));
    }
    return 0;
}

} // namespace

TEST_F(UserDataTest, FirstRunCreatesTheFileAndBothTables)
{
    TUserData data;
    EXPECT_FALSE(data.Active());
    EXPECT_THROW(data.UserConnection(), Exception);
    EXPECT_THROW(data.DeleteDownload(1), Exception);

    data.Init(QStringLiteral("Alice Smith"));
    ASSERT_TRUE(data.Active());
    const QString path = Settings().AppDataFolder() + QStringLiteral("/Alice Smith.s3db");
    EXPECT_EQ(data.DatabasePath(), path);
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(data.SearchHistory(), QString());
    EXPECT_EQ(data.DownloadsUpdateTime(), 0.0);
    EXPECT_TRUE(ReadAll(data, byOrderNo).empty());

    // SQLite keeps the create statements as they were given.
    EXPECT_EQ(TableSql(data, "AppData"), QStringLiteral("CREATE TABLE AppData( Name TEXT PRIMARY KEY, Value TEXT)"));
    EXPECT_EQ(TableSql(data, "Downloads"),
              QStringLiteral("CREATE TABLE Downloads(   ID INTEGER PRIMARY KEY,  FileType INTEGER,  GroupName TEXT,  "
                             "AlbumName TEXT,  SongName  TEXT,  AlbumYear INTEGER,  TrackNum INTEGER,  Format  TEXT,  "
                             "FileExt  TEXT,  FileSize INTEGER,  FileCost FLOAT,  Duration INTEGER,  IPPort  TEXT,  "
                             "FilePath  TEXT,  FileKey  TEXT,  FileState INTEGER,  BlockMap  TEXT,  OrderNo INTEGER)"));
}

TEST_F(UserDataTest, StatementTexts)
{
    TUserData data;
    data.Init(QStringLiteral("bob"));
    std::vector<QString> sql;
    sqlite3_trace_v2(data.UserConnection().getHandle(), SQLITE_TRACE_STMT, TraceStatement, &sql);

    data.SaveDownload(SampleRec(1), fsQueued, QString(), QString(), QString());
    data.UpdateDownloadsOrderNo(1, 5);
    data.DeleteDownload(1);
    data.GetDownloads(byOrderNo)->executeStep();
    data.GetDownloads(byID)->executeStep();
    data.WriteAppDataValue(QStringLiteral("n"), QStringLiteral("v"));
    sqlite3_trace_v2(data.UserConnection().getHandle(), 0, nullptr, nullptr);

    const std::vector<QString> expected = {
        QStringLiteral("REPLACE INTO Downloads ( ID, FileType, GroupName, AlbumName, TrackNum, SongName, AlbumYear, "
                       "Format,FileExt, FileSize, FileCost, Duration, IPPort, FilePath, FileKey, FileState, "
                       "BlockMap)VALUES ( :ID, :FileType, :GroupName, :AlbumName, :TrackNum, :SongName, :AlbumYear, "
                       ":Format,:FileExt, :FileSize, :FileCost, :Duration, :IPPort, :FilePath, :FileKey, :FileState, "
                       ":BlockMap)"),
        QStringLiteral("update Downloads set OrderNo = :OrderNo where ID = :ID"),
        QStringLiteral("delete from Downloads where ID = :ID"),
        QStringLiteral("select * from Downloads order by OrderNo"),
        QStringLiteral("select * from Downloads order by ID"),
        QStringLiteral("REPLACE INTO AppData ( Name, Value) VALUES ( :Name, :Value)"),
    };
    EXPECT_EQ(sql, expected);
}

TEST_F(UserDataTest, EveryFieldRoundTrips)
{
    TUserData data;
    data.Init(QStringLiteral("carol"));

    TFileRec extremes;
    extremes.UniqID = std::numeric_limits<int32_t>::max();
    extremes.FileType = TFileType(9); // a type the store may add later
    extremes.GroupName = QStringLiteral("Группа \"Ä\" 🎵");
    extremes.AlbumName = QStringLiteral("it's `quoted`");
    extremes.TrackNum = 65535;
    extremes.SongName = QStringLiteral("line\r\nbreak");
    extremes.AlbumYear = 4294967295u;
    extremes.Format = QStringLiteral("OE FLAC");
    extremes.FileExtension = QStringLiteral(".flac");
    extremes.FileSize = 4294967295u;
    extremes.FileCost = TCurrency::FromScaled(123456789); // 12345.6789
    extremes.Duration = 65535;
    extremes.IPPort = QStringLiteral("http://files.example:81");

    TFileRec empty; // all zero, all texts empty
    empty.UniqID = -3;

    struct Saved {
        TFileRec rec;
        TFileState state;
        QString path, key, map;
    };
    const Saved saved[] = {
        {SampleRec(17), fsQueued, QStringLiteral("/m/Mr- Smith/07 - Who-.mp3.downloading"), QString(),
         QStringLiteral("101")},
        {extremes, fsFinished, QStringLiteral("/m/ü.flac"), QString(64, QLatin1Char('k')), QString()},
        {empty, fsEncoding, QString(), QString(), QString()},
        {SampleRec(18), fsPaused, QString(), QString(), QStringLiteral("000")},
    };
    for (const Saved& s : saved)
        data.SaveDownload(s.rec, s.state, s.path, s.key, s.map);

    const std::vector<TDownloadRow> rows = ReadAll(data, byID);
    ASSERT_EQ(rows.size(), 4u);
    const Saved* byId[] = {&saved[2], &saved[0], &saved[3], &saved[1]}; // ID order: -3, 17, 18, max
    for (size_t i = 0; i < rows.size(); ++i) {
        const Saved& s = *byId[i];
        EXPECT_EQ(rows[i].FileRec, s.rec) << i;
        EXPECT_EQ(rows[i].FileState, s.state) << i;
        EXPECT_EQ(rows[i].FilePath, s.path) << i;
        EXPECT_EQ(rows[i].FileKey, s.key) << i;
        EXPECT_EQ(rows[i].BlockMap, s.map) << i;
    }

    // Texts are stored as texts, not NULL, and the cost as a number of money units.
    SQLite::Statement q(data.UserConnection(), "select typeof(FileKey), FileCost, OrderNo from Downloads where ID = 17");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getString(), "text");
    EXPECT_DOUBLE_EQ(q.getColumn(1).getDouble(), 0.15);
    EXPECT_TRUE(q.getColumn(2).isNull());
}

TEST_F(UserDataTest, ReplaceClearsOrderNoAndDeleteRemovesTheRow)
{
    TUserData data;
    data.Init(QStringLiteral("dave"));
    for (int32_t id : {1, 2, 3})
        data.SaveDownload(SampleRec(id), fsPaused, QString(), QString(), QString());
    data.UpdateDownloadsOrderNo(1, 30);
    data.UpdateDownloadsOrderNo(2, 10);
    data.UpdateDownloadsOrderNo(3, 20);
    std::vector<int32_t> order;
    for (const TDownloadRow& row : ReadAll(data, byOrderNo))
        order.push_back(row.FileRec.UniqID);
    EXPECT_EQ(order, (std::vector<int32_t>{2, 3, 1}));

    TFileRec changed = SampleRec(2);
    changed.SongName = QStringLiteral("Other");
    data.SaveDownload(changed, fsFinished, QStringLiteral("/x.mp3"), QString(), QStringLiteral("111"));
    SQLite::Statement q(data.UserConnection(), "select SongName, FileState, OrderNo from Downloads where ID = 2");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getString(), "Other");
    EXPECT_EQ(q.getColumn(1).getInt(), int(fsFinished));
    EXPECT_TRUE(q.getColumn(2).isNull());
    q.reset();

    data.DeleteDownload(2);
    data.DeleteDownload(99); // no such row: nothing happens
    EXPECT_EQ(ReadAll(data, byID).size(), 2u);
}

TEST_F(UserDataTest, AppDataAndTheSearchHistory)
{
    {
        TUserData data;
        data.Init(QStringLiteral("erin"));
        data.SetSearchHistory(QStringLiteral("first\r\nsecond"));
        data.WriteAppDataValue(QStringLiteral("searchhistory"), QStringLiteral("lower case: not ours"));
        data.WriteAppDataValue(QStringLiteral("Other"), QStringLiteral("kept"));
        data.SetDownloadsUpdateTime(45000.5);
        EXPECT_EQ(data.DownloadsUpdateTime(), 45000.5);
    }
    TUserData data;
    data.Init(QStringLiteral("erin"));
    EXPECT_EQ(data.SearchHistory(), QStringLiteral("first\r\nsecond"));
    EXPECT_EQ(data.DownloadsUpdateTime(), 0.0); // memory only
    SQLite::Statement q(data.UserConnection(), "select count(*) from AppData");
    ASSERT_TRUE(q.executeStep());
    EXPECT_EQ(q.getColumn(0).getInt(), 3);

    // Another user has a file and a history of their own.
    TUserData other;
    other.Init(QStringLiteral("frank"));
    EXPECT_EQ(other.SearchHistory(), QString());
}

TEST_F(UserDataTest, FolderThatCannotBeCreated)
{
    const QString folder = Settings().AppDataFolder();
    QDir().mkpath(QFileInfo(folder).path());
    QFile blocker(folder); // a file where the folder should be
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    TUserData data;
    try {
        data.Init(QStringLiteral("gina"));
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error creating folder \"") + folder + QStringLiteral("\""));
    }
    EXPECT_FALSE(data.Active());
    QFile::remove(folder);
}

TEST_F(UserDataTest, RowsThatDoNotFitTheirFields)
{
    TUserData data;
    data.Init(QStringLiteral("hank"));
    struct Case {
        const char* column;
        const char* value;
    };
    const Case cases[] = {
        {"FileState", "4"},        {"FileState", "-1"},       {"FileType", "256"}, {"TrackNum", "65536"},
        {"Duration", "-1"},        {"FileSize", "4294967296"}, {"AlbumYear", "'abc'"}, {"FileSize", "1.5"},
        {"FileCost", "'cheap'"},   {"ID", "2147483648"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.column) + "=" + c.value);
        data.SaveDownload(SampleRec(5), fsQueued, QString(), QString(), QString());
        data.UserConnection().exec(std::string("update Downloads set ") + c.column + " = " + c.value);
        std::unique_ptr<SQLite::Statement> query = data.GetDownloads(byOrderNo);
        ASSERT_TRUE(query->executeStep());
        try {
            TUserData::ReadDownloadRow(*query);
            ADD_FAILURE() << "no error";
        } catch (const Exception& e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String(c.column))) << e.Message().toStdString();
        }
        query.reset();
        data.UserConnection().exec("delete from Downloads");
    }

    // NULLs read as empty values.
    data.UserConnection().exec("insert into Downloads (ID) values (8)");
    const std::vector<TDownloadRow> rows = ReadAll(data, byID);
    ASSERT_EQ(rows.size(), 1u);
    TFileRec expected;
    expected.UniqID = 8;
    EXPECT_EQ(rows[0].FileRec, expected);
    EXPECT_EQ(rows[0].FileState, fsEncoding);
}

TEST_F(UserDataTest, CreatedSecondAmongTheDataObjectsAndUnopened)
{
    SettingsModule::Stop();
    StartModules();
    CreateDataObjects();
    ASSERT_NE(UserData, nullptr);
    EXPECT_FALSE(UserData->Active());
    UserData->Init(QStringLiteral("ivy"));
    EXPECT_TRUE(UserData->Active());
    FreeDataObjects();
    EXPECT_EQ(UserData, nullptr);
    StopModules();
    SettingsModule::Start();
}
