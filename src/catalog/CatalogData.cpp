#include "catalog/CatalogData.h"

#include "app/AppUtils.h"
#include "catalog/CatalogSql.h"
#include "log/Exception.h"
#include "log/Format.h"
#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <sqlite3.h>

#include <cstdio>
#include <strings.h>

TCatalogData* CatalogData = nullptr;

using namespace catalogsql;

namespace {

const char* const CatalogFileName = "svxc.s3db";

const char* const VersionQueryText = "select STRUCTURE, DATA from VERSION";

// The groups of a section. The order is the database's: names padded to 300
// and compared with only the ASCII letters folded; the letter index of the
// browser is built over exactly this order.
const char* const GroupsQueryText =
    "select GroupID, Name \n"
    "from Groups \n"
    "where Volume = :VolumeID \n"
    "order by printf('%-300s',Name) collate nocase";

const char* const AlbumsQueryText =
    "select A.GroupID, A.AlbumID, A.Name, A.Type, A.RDate, A.AlbumType, T.Name as AlbumTypeName, 0 as \"CoverIndex::INTEGER\"\n"
    "from Albums A left join AlbumTypes T on T.ID = A.AlbumType\n"
    "where GroupID = :GroupID \n"
    "order by RDate desc";

const char* const VolumeByGroupText = "select VOLUME from Groups where GroupID = :GroupID";
const char* const VolumeInfoText = "select Name, RussianName from Volumes where VolumeID = :ID";
const char* const GroupInfoText = "select Name, Volume from Groups where GroupID = :ID";
const char* const AlbumInfoText =
    "select Name, Type, RDate, AlbumType from Albums where GroupID = :GroupID and AlbumID = :AlbumID";
const char* const SongInfoText = "select Name, TrackNum, Duration, Bitrate from Songs "
                                 "where GroupID = :GroupID and AlbumID = :AlbumID and SongID = :SongID";

// The deletes are prepared once with parameters, like the replaces, so a
// package of thousands of records compiles each statement once.
const char* const DeleteGroupText = "delete from Groups where GroupID = :GroupID";
const char* const DeleteAlbumText = "delete from Albums where GroupID = :GroupID and AlbumID = :AlbumID";
const char* const DeleteSongText =
    "delete from Songs where GroupID = :GroupID and AlbumID = :AlbumID and SongID = :SongID";
const char* const UpdateGroupText =
    "replace into Groups ( GroupID, Volume, Name) VALUES ( :GroupID, :VolumeID, :Name)";
const char* const UpdateAlbumText = "replace into Albums ( GroupID, AlbumID, Name, Type, RDate, AlbumType) "
                                    "values ( :GroupID, :AlbumID, :Name, :Type, :RDate, :AlbumType)";
const char* const UpdateSongText = "replace into Songs ( GroupID, AlbumID, SongID, Name, TrackNum, Duration, BitRate) "
                                   "values ( :GroupID, :AlbumID, :SongID, :Name, :TrackNum, :Duration, :BitRate)";

void CheckIdentifier(int32_t aID)
{
    if (aID < 0)
        throw EConvertError(Format(QStringLiteral("Catalog identifier %d is out of range"), {aID}));
}

// A lookup whose statement gives no columns has no result set to read.
void CheckResultSet(const TSqlStatement& aQuery)
{
    if (aQuery.ColumnCount() == 0)
        throw Exception(QStringLiteral("Invalid result dataset!"));
}

void BindDate(TSqlStatement& aStatement, int aIndex, const QDate& aDate)
{
    if (!aDate.isValid() || aDate.year() < 1 || aDate.year() > 9999) {
        aStatement.BindNull(aIndex);
        return;
    }
    char text[16];
    const int size = std::snprintf(text, sizeof text, "%04d-%02d-%02d", aDate.year(), aDate.month(), aDate.day());
    aStatement.BindText(aIndex, text, size);
}

} // namespace

namespace catalogsql {

TSqlStatement::TSqlStatement(SQLite::Database& aDatabase, const char* aText) : FConnection(aDatabase.getHandle())
{
    const int rc = sqlite3_prepare_v2(FConnection, aText, -1, &FHandle, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(FHandle);
        FHandle = nullptr;
        Raise(rc);
    }
}

TSqlStatement::~TSqlStatement()
{
    sqlite3_finalize(FHandle);
}

void TSqlStatement::Raise(int aCode) const
{
    throw SQLite::Exception(FConnection, aCode);
}

int TSqlStatement::ColumnCount() const
{
    return sqlite3_column_count(FHandle);
}

int TSqlStatement::ParameterIndex(const char* aName) const
{
    const int index = sqlite3_bind_parameter_index(FHandle, aName);
    if (index == 0)
        throw Exception(Format(QStringLiteral("Parameter '%s' not found"), {aName}));
    return index;
}

void TSqlStatement::Bind(int aIndex, int64_t aValue)
{
    const int rc = sqlite3_bind_int64(FHandle, aIndex, aValue);
    if (rc != SQLITE_OK)
        Raise(rc);
}

void TSqlStatement::BindNull(int aIndex)
{
    const int rc = sqlite3_bind_null(FHandle, aIndex);
    if (rc != SQLITE_OK)
        Raise(rc);
}

void TSqlStatement::BindStaticText(int aIndex, const char* aText, int aSize)
{
    const int rc = sqlite3_bind_text(FHandle, aIndex, aText, aSize, SQLITE_STATIC);
    if (rc != SQLITE_OK)
        Raise(rc);
}

void TSqlStatement::BindText(int aIndex, const char* aText, int aSize)
{
    const int rc = sqlite3_bind_text(FHandle, aIndex, aText, aSize, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        Raise(rc);
}

bool TSqlStatement::Step()
{
    const int rc = sqlite3_step(FHandle);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    Raise(rc);
}

void TSqlStatement::Execute()
{
    while (Step()) {
    }
}

void TSqlStatement::Reset() noexcept
{
    sqlite3_reset(FHandle);
}

QString ColumnText(sqlite3_stmt* aStatement, int aColumn)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(aStatement, aColumn));
    if (!text)
        return QString();
    return QString::fromUtf8(text, sqlite3_column_bytes(aStatement, aColumn));
}

QDate ColumnDate(sqlite3_stmt* aStatement, int aColumn)
{
    switch (sqlite3_column_type(aStatement, aColumn)) {
    case SQLITE_TEXT: {
        // "yyyy-MM-dd", possibly followed by a time of day.
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(aStatement, aColumn));
        const int size = sqlite3_column_bytes(aStatement, aColumn);
        if (size < 10 || text[4] != '-' || text[7] != '-')
            return QDate();
        int parts[3] = {0, 0, 0};
        const int starts[3] = {0, 5, 8};
        const int lengths[3] = {4, 2, 2};
        for (int p = 0; p < 3; ++p) {
            for (int i = 0; i < lengths[p]; ++i) {
                const char c = text[starts[p] + i];
                if (c < '0' || c > '9')
                    return QDate();
                parts[p] = parts[p] * 10 + (c - '0');
            }
        }
        return QDate(parts[0], parts[1], parts[2]);
    }
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: {
        // A day number as the store counts them.
        const double day = sqlite3_column_double(aStatement, aColumn);
        if (!(day >= -1e7 && day <= 1e7))
            return QDate();
        return CatalogDayToDate(int64_t(day));
    }
    default:
        return QDate();
    }
}

int ColumnIndex(sqlite3_stmt* aStatement, const char* aName)
{
    const int count = sqlite3_column_count(aStatement);
    for (int i = 0; i < count; ++i) {
        const char* name = sqlite3_column_name(aStatement, i);
        if (name && strcasecmp(name, aName) == 0)
            return i;
    }
    throw Exception(Format(QStringLiteral("Field '%s' not found"), {aName}));
}

TVersionRow ReadVersionRow(SQLite::Database& aDatabase)
{
    TSqlStatement query(aDatabase, VersionQueryText);
    if (!query.Step())
        throw Exception(QStringLiteral("The catalog has no version row"));
    sqlite3_stmt* row = query.Handle();
    if (sqlite3_column_type(row, 0) != SQLITE_INTEGER || sqlite3_column_type(row, 1) != SQLITE_INTEGER)
        throw Exception(QStringLiteral("The catalog's version row is not numeric"));
    const int64_t structure = sqlite3_column_int64(row, 0);
    const int64_t data = sqlite3_column_int64(row, 1);
    if (structure < 0 || data < 0 || structure > int64_t(UINT32_MAX) || data > int64_t(UINT32_MAX))
        throw Exception(QStringLiteral("The catalog's version row is out of range"));
    return {uint32_t(structure), uint32_t(data)};
}

std::unique_ptr<SQLite::Database> OpenCatalogFile(const QString& aPath)
{
    // Read-write without create: a missing file stays missing.
    // Another process holding the file's lock for a moment is waited for.
    auto database =
        std::make_unique<SQLite::Database>(QFile::encodeName(aPath).toStdString(), SQLite::OPEN_READWRITE, 5000);
    return database;
}

} // namespace catalogsql


TAlbum TAlbum::CreateFromDataset(sqlite3_stmt* aDataset)
{
    sqlite3_stmt* row = aDataset;
    TAlbum album;
    album.GroupID = sqlite3_column_int(row, ColumnIndex(aDataset, "GroupID"));
    album.AlbumID = sqlite3_column_int(row, ColumnIndex(aDataset, "AlbumID"));
    album.UID = AlbumUID(album.GroupID, album.AlbumID);
    album.Name = ColumnText(row, ColumnIndex(aDataset, "Name"));
    album.RDate = ColumnDate(row, ColumnIndex(aDataset, "RDate"));
    album.AlbumKind = GetAlbumKindFixed(sqlite3_column_int64(row, ColumnIndex(aDataset, "AlbumType")));
    album.AlbumType = TAlbumType(sqlite3_column_int(row, ColumnIndex(aDataset, "Type")));
    return album;
}

TCatalogData::TCatalogData() : TCatalogData(Settings().AppDataFolder()) {}

TCatalogData::TCatalogData(const QString& aDataFolder)
{
    if (!QFileInfo(aDataFolder).isDir() && !QDir().mkpath(aDataFolder))
        throw Exception(Format(QStringLiteral("Error creating db folder \"%s\""), {aDataFolder}));
    FDBPath = PathJoin(aDataFolder, QString::fromLatin1(CatalogFileName));
    OpenCatalog();
}

TCatalogData::~TCatalogData()
{
    CloseCatalog();
}

void TCatalogData::OpenCatalog()
{
    CloseCatalog();
    try {
        FDatabase = OpenCatalogFile(FDBPath);
        ReadVersion();
    } catch (const std::exception&) {
        // Not there or not a catalog: the module stays closed without a word.
        CloseCatalog();
    }
}

void TCatalogData::CloseCatalog()
{
    for (auto& statement : FStatements)
        statement.reset();
    FDatabase.reset();
    FStructureVersion = 0;
    FDataVersion = 0;
}

SQLite::Database& TCatalogData::Database()
{
    if (!FDatabase)
        throw Exception(QStringLiteral("Catalog is not opened"));
    return *FDatabase;
}

TSqlStatement& TCatalogData::Prepared(TStatementKind aKind)
{
    static const char* const Texts[skCount] = {GroupsQueryText,  AlbumsQueryText, DeleteGroupText,
                                               DeleteAlbumText,  DeleteSongText,  UpdateGroupText,
                                               UpdateAlbumText,  UpdateSongText};
    auto& statement = FStatements[aKind];
    if (!statement)
        statement = std::make_unique<TSqlStatement>(Database(), Texts[aKind]);
    return *statement;
}

void TCatalogData::ReadVersion()
{
    const TVersionRow version = ReadVersionRow(Database());
    FStructureVersion = version.Structure;
    FDataVersion = version.Data;
}

void TCatalogData::UpdateVersion(uint32_t aVersion)
{
    const std::string text = "update Version set Data = " + std::to_string(aVersion) + " where Structure = 1";
    // Without the row the new version would live only in memory.
    if (Database().exec(text) == 0)
        throw Exception(QStringLiteral("The catalog has no version row to update"));
    FDataVersion = aVersion;
}

void TCatalogData::LoadGroups(int32_t aVolumeID, std::vector<TGroup>& aGroups)
{
    TSqlStatement& query = Prepared(skGroups);
    TStatementReset reset(query);
    query.Bind(":VolumeID", aVolumeID);
    sqlite3_stmt* row = query.Handle();
    std::vector<TGroup> groups;
    while (query.Step())
        groups.emplace_back(sqlite3_column_int(row, 0), ColumnText(row, 1));
    aGroups.swap(groups);
}

void TCatalogData::LoadAlbums(int32_t aGroupID, std::vector<TAlbum>& aAlbums)
{
    TSqlStatement& query = Prepared(skAlbums);
    TStatementReset reset(query);
    query.Bind(":GroupID", aGroupID);
    std::vector<TAlbum> albums;
    while (query.Step())
        albums.push_back(TAlbum::CreateFromDataset(query.Handle()));
    aAlbums.swap(albums);
}

int32_t TCatalogData::GetVolumeByGroup(int32_t aGroupID)
{
    TSqlStatement query(Database(), VolumeByGroupText);
    query.Bind(":GroupID", aGroupID);
    if (query.ColumnCount() == 0 || !query.Step())
        return 0;
    return sqlite3_column_int(query.Handle(), 0);
}

TVolumeInfo TCatalogData::GetVolumeInfo(int32_t aVolumeID)
{
    CheckIdentifier(aVolumeID);
    TSqlStatement query(Database(), VolumeInfoText);
    query.Bind(":ID", aVolumeID);
    CheckResultSet(query);
    if (!query.Step())
        throw Exception(QStringLiteral("Volume not found!"));
    sqlite3_stmt* row = query.Handle();
    TVolumeInfo info;
    info.ID = aVolumeID;
    info.EnglishName = ColumnText(row, 0);
    info.RussianName = ColumnText(row, 1);
    return info;
}

TGroupInfo TCatalogData::GetGroupInfo(int32_t aGroupID)
{
    CheckIdentifier(aGroupID);
    TSqlStatement query(Database(), GroupInfoText);
    query.Bind(":ID", aGroupID);
    CheckResultSet(query);
    if (!query.Step())
        throw Exception(QStringLiteral("Group not found!"));
    sqlite3_stmt* row = query.Handle();
    TGroupInfo info;
    info.Name = ColumnText(row, 0);
    const int32_t volume = sqlite3_column_int(row, 1);
    query.Reset();
    info.VolumeInfo = GetVolumeInfo(volume);
    info.ID = uint32_t(aGroupID);
    return info;
}

TAlbumInfo TCatalogData::GetAlbumInfo(int32_t aGroupID, int32_t aAlbumID)
{
    CheckIdentifier(aAlbumID);
    TAlbumInfo info;
    info.GroupInfo = GetGroupInfo(aGroupID);
    TSqlStatement query(Database(), AlbumInfoText);
    query.Bind(":GroupID", aGroupID);
    query.Bind(":AlbumID", aAlbumID);
    CheckResultSet(query);
    if (!query.Step())
        throw Exception(QStringLiteral("Album not found!"));
    sqlite3_stmt* row = query.Handle();
    info.ID = uint32_t(aAlbumID);
    info.Name = ColumnText(row, 0);
    info.AlbumType = TAlbumType(sqlite3_column_int(row, 1));
    info.ReleaseDate = ColumnDate(row, 2);
    info.ContentType = uint32_t(sqlite3_column_int64(row, 3));
    return info;
}

TSongInfo TCatalogData::GetSongInfo(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID)
{
    CheckIdentifier(aSongID);
    TSongInfo info;
    info.AlbumInfo = GetAlbumInfo(aGroupID, aAlbumID);
    TSqlStatement query(Database(), SongInfoText);
    query.Bind(":GroupID", aGroupID);
    query.Bind(":AlbumID", aAlbumID);
    query.Bind(":SongID", aSongID);
    CheckResultSet(query);
    if (!query.Step())
        throw Exception(QStringLiteral("Song not found!"));
    sqlite3_stmt* row = query.Handle();
    info.ID = uint32_t(aSongID);
    info.Name = ColumnText(row, 0);
    info.TrackNum = uint32_t(sqlite3_column_int64(row, 1));
    info.Duration = uint32_t(sqlite3_column_int64(row, 2));
    info.Bitrate = uint32_t(sqlite3_column_int64(row, 3));
    return info;
}

void TCatalogData::DeleteGroup(int32_t aGroupID)
{
    TSqlStatement& statement = Prepared(skDeleteGroup);
    TStatementReset reset(statement);
    statement.Bind(1, aGroupID);
    statement.Execute();
}

void TCatalogData::DeleteAlbum(int32_t aGroupID, int32_t aAlbumID)
{
    TSqlStatement& statement = Prepared(skDeleteAlbum);
    TStatementReset reset(statement);
    statement.Bind(1, aGroupID);
    statement.Bind(2, aAlbumID);
    statement.Execute();
}

void TCatalogData::DeleteSong(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID)
{
    TSqlStatement& statement = Prepared(skDeleteSong);
    TStatementReset reset(statement);
    statement.Bind(1, aGroupID);
    statement.Bind(2, aAlbumID);
    statement.Bind(3, aSongID);
    statement.Execute();
}

void TCatalogData::ExecUpdateGroup(int32_t aGroupID, int32_t aVolumeID, const char* aName, int aNameSize)
{
    TSqlStatement& statement = Prepared(skUpdateGroup);
    TStatementReset reset(statement);
    statement.Bind(1, aGroupID);
    statement.Bind(2, aVolumeID);
    statement.BindStaticText(3, aName, aNameSize);
    statement.Execute();
}

void TCatalogData::ExecUpdateAlbum(int32_t aGroupID, int32_t aAlbumID, const char* aName, int aNameSize,
                                   const QDate& aReleaseDate, TAlbumType aAlbumType, TAlbumKind aAlbumKind)
{
    TSqlStatement& statement = Prepared(skUpdateAlbum);
    TStatementReset reset(statement);
    statement.Bind(1, aGroupID);
    statement.Bind(2, aAlbumID);
    statement.BindStaticText(3, aName, aNameSize);
    statement.Bind(4, int(aAlbumType));
    BindDate(statement, 5, aReleaseDate);
    statement.Bind(6, int(aAlbumKind));
    statement.Execute();
}

void TCatalogData::ExecUpdateSong(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID, const char* aName,
                                  int aNameSize, int32_t aTrackNum, int32_t aDuration, int32_t aBitrate)
{
    TSqlStatement& statement = Prepared(skUpdateSong);
    TStatementReset reset(statement);
    statement.Bind(1, aGroupID);
    statement.Bind(2, aAlbumID);
    statement.Bind(3, aSongID);
    statement.BindStaticText(4, aName, aNameSize);
    statement.Bind(5, aTrackNum);
    statement.Bind(6, aDuration);
    statement.Bind(7, aBitrate);
    statement.Execute();
}

void TCatalogData::UpdateGroup(int32_t aGroupID, int32_t aVolumeID, const QString& aName)
{
    const QByteArray name = aName.toUtf8();
    ExecUpdateGroup(aGroupID, aVolumeID, name.constData(), int(name.size()));
}

void TCatalogData::UpdateAlbum(int32_t aGroupID, int32_t aAlbumID, const QString& aName, const QDate& aReleaseDate,
                               TAlbumType aAlbumType, TAlbumKind aAlbumKind)
{
    const QByteArray name = aName.toUtf8();
    ExecUpdateAlbum(aGroupID, aAlbumID, name.constData(), int(name.size()), aReleaseDate, aAlbumType, aAlbumKind);
}

void TCatalogData::UpdateSong(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID, const QString& aName,
                              int32_t aTrackNum, int32_t aDuration, int32_t aBitrate)
{
    const QByteArray name = aName.toUtf8();
    ExecUpdateSong(aGroupID, aAlbumID, aSongID, name.constData(), int(name.size()), aTrackNum, aDuration, aBitrate);
}
