#include "downloads/UserData.h"

#include "app/AppUtils.h"
#include "log/Exception.h"
#include "log/Format.h"
#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <SQLiteCpp/SQLiteCpp.h>

#include <cmath>
#include <limits>

TUserData* UserData = nullptr;

namespace {

const char* const CreateAppDataSQL = "create table if not exists AppData( Name TEXT PRIMARY KEY, Value TEXT)";
const char* const CreateDownloadsSQL =
    "create table if not exists Downloads(   ID INTEGER PRIMARY KEY,  FileType INTEGER,  GroupName TEXT,  "
    "AlbumName TEXT,  SongName  TEXT,  AlbumYear INTEGER,  TrackNum INTEGER,  Format  TEXT,  FileExt  TEXT,  "
    "FileSize INTEGER,  FileCost FLOAT,  Duration INTEGER,  IPPort  TEXT,  FilePath  TEXT,  FileKey  TEXT,  "
    "FileState INTEGER,  BlockMap  TEXT,  OrderNo INTEGER)";
const char* const SelectAppDataSQL = "select Name, Value from AppData";
const char* const ReplaceAppDataSQL = "REPLACE INTO AppData ( Name, Value) VALUES ( :Name, :Value)";
const char* const SaveDownloadSQL =
    "REPLACE INTO Downloads ( ID, FileType, GroupName, AlbumName, TrackNum, SongName, AlbumYear, Format,"
    "FileExt, FileSize, FileCost, Duration, IPPort, FilePath, FileKey, FileState, BlockMap)VALUES ( :ID, "
    ":FileType, :GroupName, :AlbumName, :TrackNum, :SongName, :AlbumYear, :Format,:FileExt, :FileSize, "
    ":FileCost, :Duration, :IPPort, :FilePath, :FileKey, :FileState, :BlockMap)";
const char* const UpdateOrderNoSQL = "update Downloads set OrderNo = :OrderNo where ID = :ID";
const char* const DeleteDownloadSQL = "delete from Downloads where ID = :ID";
const char* const SelectDownloadsSQL = "select * from Downloads order by %s";

const char* const SearchHistoryName = "SearchHistory";

std::string Utf8(const QString& aText)
{
    return aText.toStdString();
}

QString ColumnText(const SQLite::Column& aColumn)
{
    if (aColumn.isNull())
        return QString();
    const char* text = aColumn.getText(); // converts first, then the length is right
    return QString::fromUtf8(text, aColumn.getBytes());
}

[[noreturn]] void BadColumn(const char* aName)
{
    throw Exception(Format(QStringLiteral("Invalid value in column \"%s\" of the saved download"), {aName}));
}

// An integer column; NULL reads as 0, anything else that is not an integer
// in [aMin, aMax] makes the row unreadable.
int64_t IntColumn(const SQLite::Statement& aRow, const char* aName, int64_t aMin, int64_t aMax)
{
    const SQLite::Column column = aRow.getColumn(aName);
    if (column.isNull())
        return 0;
    if (!column.isInteger())
        BadColumn(aName);
    const int64_t value = column.getInt64();
    if (value < aMin || value > aMax)
        BadColumn(aName);
    return value;
}

// Another process reading the file (a backup, a second look at it) holds its
// lock for moments only: wait for it rather than fail.
constexpr int DatabaseBusyTimeoutMs = 5000;

} // namespace

TUserData::TUserData() = default;
TUserData::~TUserData() = default;

SQLite::Database& TUserData::UserConnection()
{
    if (!FConnection)
        throw Exception(QStringLiteral("The user database is not open!"));
    return *FConnection;
}

void TUserData::Init(const QString& aUserName)
{
    const QString folder = Settings().AppDataFolder();
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder))
        throw Exception(Format(QStringLiteral("Error creating folder \"%s\""), {folder}));

    FConnection.reset();
    FSearchHistory.clear();
    FDatabasePath = PathJoin(folder, aUserName + QStringLiteral(".s3db"));
    FConnection = std::make_unique<SQLite::Database>(QFile::encodeName(FDatabasePath).toStdString(),
                                                     SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE,
                                                     DatabaseBusyTimeoutMs);
    PrepareData();
    ReadAppData();
}

void TUserData::PrepareData()
{
    SQLite::Database& db = UserConnection();
    db.exec(CreateAppDataSQL);
    db.exec(CreateDownloadsSQL);
}

void TUserData::ReadAppData()
{
    SQLite::Statement query(UserConnection(), SelectAppDataSQL);
    while (query.executeStep()) {
        if (ColumnText(query.getColumn(0)) == QLatin1String(SearchHistoryName)) {
            FSearchHistory = ColumnText(query.getColumn(1));
            break;
        }
    }
}

void TUserData::WriteAppDataValue(const QString& aName, const QString& aValue)
{
    SQLite::Statement command(UserConnection(), ReplaceAppDataSQL);
    command.bind(":Name", Utf8(aName));
    command.bind(":Value", Utf8(aValue));
    command.exec();
}

void TUserData::SaveDownload(const TFileRec& aFileRec, TFileState aFileState, const QString& aFilePath,
                             const QString& aFileKey, const QString& aBlockMap)
{
    SQLite::Statement command(UserConnection(), SaveDownloadSQL);
    command.bind(":ID", int32_t(aFileRec.UniqID));
    command.bind(":FileType", int32_t(uint8_t(aFileRec.FileType)));
    command.bind(":GroupName", Utf8(aFileRec.GroupName));
    command.bind(":AlbumName", Utf8(aFileRec.AlbumName));
    command.bind(":TrackNum", int32_t(aFileRec.TrackNum));
    command.bind(":SongName", Utf8(aFileRec.SongName));
    command.bind(":AlbumYear", int64_t(aFileRec.AlbumYear));
    command.bind(":Format", Utf8(aFileRec.Format));
    command.bind(":FileExt", Utf8(aFileRec.FileExtension));
    command.bind(":FileSize", int64_t(aFileRec.FileSize));
    command.bind(":FileCost", aFileRec.FileCost.ToDouble());
    command.bind(":Duration", int32_t(aFileRec.Duration));
    command.bind(":IPPort", Utf8(aFileRec.IPPort));
    command.bind(":FilePath", Utf8(aFilePath));
    command.bind(":FileKey", Utf8(aFileKey));
    command.bind(":FileState", int32_t(uint8_t(aFileState)));
    command.bind(":BlockMap", Utf8(aBlockMap));
    command.exec();
}

void TUserData::UpdateDownloadsOrderNo(int32_t aID, int32_t aOrderNo)
{
    SQLite::Statement command(UserConnection(), UpdateOrderNoSQL);
    command.bind(":OrderNo", aOrderNo);
    command.bind(":ID", aID);
    command.exec();
}

void TUserData::DeleteDownload(int32_t aID)
{
    SQLite::Statement command(UserConnection(), DeleteDownloadSQL);
    command.bind(":ID", aID);
    command.exec();
}

std::unique_ptr<SQLite::Statement> TUserData::GetDownloads(TDownloadsSort aSortBy)
{
    if (aSortBy != byID && aSortBy != byOrderNo)
        throw Exception(QStringLiteral("Invalid sort order of the downloads!"));
    const QString sql = Format(QLatin1String(SelectDownloadsSQL), {Sorting[aSortBy]});
    return std::make_unique<SQLite::Statement>(UserConnection(), Utf8(sql));
}

TDownloadRow TUserData::ReadDownloadRow(const SQLite::Statement& aRow)
{
    constexpr int64_t Int32Min = std::numeric_limits<int32_t>::min();
    constexpr int64_t Int32Max = std::numeric_limits<int32_t>::max();
    constexpr int64_t UInt32Max = std::numeric_limits<uint32_t>::max();

    TDownloadRow row;
    TFileRec& rec = row.FileRec;
    rec.UniqID = int32_t(IntColumn(aRow, "ID", Int32Min, Int32Max));
    rec.FileType = TFileType(IntColumn(aRow, "FileType", 0, 255));
    rec.GroupName = ColumnText(aRow.getColumn("GroupName"));
    rec.AlbumName = ColumnText(aRow.getColumn("AlbumName"));
    rec.TrackNum = uint16_t(IntColumn(aRow, "TrackNum", 0, 65535));
    rec.SongName = ColumnText(aRow.getColumn("SongName"));
    rec.AlbumYear = uint32_t(IntColumn(aRow, "AlbumYear", 0, UInt32Max));
    rec.Format = ColumnText(aRow.getColumn("Format"));
    rec.FileExtension = ColumnText(aRow.getColumn("FileExt"));
    rec.FileSize = uint32_t(IntColumn(aRow, "FileSize", 0, UInt32Max));
    {
        const SQLite::Column cost = aRow.getColumn("FileCost");
        if (!cost.isNull()) {
            if (!cost.isFloat() && !cost.isInteger())
                BadColumn("FileCost");
            const double value = cost.getDouble();
            // Within the range of the fixed-point money type.
            if (!std::isfinite(value) || std::fabs(value) > 9.0e14)
                BadColumn("FileCost");
            rec.FileCost = TCurrency::FromDouble(value);
        }
    }
    rec.Duration = uint16_t(IntColumn(aRow, "Duration", 0, 65535));
    rec.IPPort = ColumnText(aRow.getColumn("IPPort"));
    row.FilePath = ColumnText(aRow.getColumn("FilePath"));
    row.FileKey = ColumnText(aRow.getColumn("FileKey"));
    row.FileState = TFileState(IntColumn(aRow, "FileState", 0, FileStateCount - 1));
    row.BlockMap = ColumnText(aRow.getColumn("BlockMap"));
    return row;
}

void TUserData::SetSearchHistory(const QString& aValue)
{
    FSearchHistory = aValue;
    WriteAppDataValue(QLatin1String(SearchHistoryName), aValue);
}
