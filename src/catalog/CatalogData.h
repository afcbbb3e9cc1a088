// The local copy of the store's catalog: one SQLite file, svxc.s3db, in the
// database folder. Sections (volumes) hold groups, groups hold albums,
// albums hold songs. The file arrives whole in full update packages and is
// changed afterwards only by partial packages; this program never creates
// or alters its tables. Main thread only.
#pragma once

#include "catalog/CatalogTypes.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace SQLite {
class Database;
}
namespace catalogsql {
class TSqlStatement;
}
namespace pugi {
class xml_node;
}

class TCatalogData {
public:
    // Catalog in Settings().AppDataFolder().
    TCatalogData();
    // Catalog in the given folder (created with its parents when missing).
    explicit TCatalogData(const QString& aDataFolder);
    ~TCatalogData();
    TCatalogData(const TCatalogData&) = delete;
    TCatalogData& operator=(const TCatalogData&) = delete;

    // Opens the file and reads its version row. Failure is silent: the
    // catalog stays closed with both versions 0.
    void OpenCatalog();
    void CloseCatalog();
    bool Connected() const { return FDatabase != nullptr; }
    // The connection, for the browser's and the search's own queries.
    // Raises "Catalog is not opened" while the catalog is closed.
    SQLite::Database& Database();

    void ReadVersion();
    void UpdateVersion(uint32_t aVersion);

    // The groups of a section in catalog order (names padded to 300 and
    // compared with ASCII letters folded).
    void LoadGroups(int32_t aVolumeID, std::vector<TGroup>& aGroups);
    // The albums of a group, newest release first.
    void LoadAlbums(int32_t aGroupID, std::vector<TAlbum>& aAlbums);
    // The section of a group; 0 when the group is unknown.
    int32_t GetVolumeByGroup(int32_t aGroupID);

    TVolumeInfo GetVolumeInfo(int32_t aVolumeID);
    TGroupInfo GetGroupInfo(int32_t aGroupID);
    TAlbumInfo GetAlbumInfo(int32_t aGroupID, int32_t aAlbumID);
    TSongInfo GetSongInfo(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID);

    // Writes of the update packages. Deleting a group or an album removes
    // that row only.
    void DeleteGroup(int32_t aGroupID);
    void DeleteAlbum(int32_t aGroupID, int32_t aAlbumID);
    void DeleteSong(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID);
    void UpdateGroup(int32_t aGroupID, int32_t aVolumeID, const QString& aName);
    void UpdateAlbum(int32_t aGroupID, int32_t aAlbumID, const QString& aName, const QDate& aReleaseDate,
                     TAlbumType aAlbumType, TAlbumKind aAlbumKind);
    void UpdateSong(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID, const QString& aName, int32_t aTrackNum,
                    int32_t aDuration, int32_t aBitrate);

    // Installs a catalog file as the catalog (the file is moved into place).
    // A file that does not open as a catalog is refused with "Catalog is
    // not opened" and the current catalog stays as it is.
    void InstallFullUpdate(const QString& aFilePath);
    // Applies a partial package (XML) in one transaction: all of it or,
    // on any error, nothing.
    void InstallPartialUpdate(const QString& aFilePath);

    const QString& DBPath() const { return FDBPath; }
    uint32_t StructureVersion() const { return FStructureVersion; }
    uint32_t DataVersion() const { return FDataVersion; }

private:
    enum TStatementKind {
        skGroups,
        skAlbums,
        skDeleteGroup,
        skDeleteAlbum,
        skDeleteSong,
        skUpdateGroup,
        skUpdateAlbum,
        skUpdateSong,
        skCount
    };
    catalogsql::TSqlStatement& Prepared(TStatementKind aKind);
    void ExecUpdateGroup(int32_t aGroupID, int32_t aVolumeID, const char* aName, int aNameSize);
    void ExecUpdateAlbum(int32_t aGroupID, int32_t aAlbumID, const char* aName, int aNameSize,
                         const QDate& aReleaseDate, TAlbumType aAlbumType, TAlbumKind aAlbumKind);
    void ExecUpdateSong(int32_t aGroupID, int32_t aAlbumID, int32_t aSongID, const char* aName, int aNameSize,
                        int32_t aTrackNum, int32_t aDuration, int32_t aBitrate);
    void ApplyRecord(const pugi::xml_node& aRecord);

    std::unique_ptr<SQLite::Database> FDatabase;
    // Reused prepared statements of the connection; dropped with it.
    std::array<std::unique_ptr<catalogsql::TSqlStatement>, skCount> FStatements;
    uint32_t FStructureVersion = 0;
    uint32_t FDataVersion = 0;
    QString FDBPath;
};

// The process-wide catalog, created first among the data objects.
extern TCatalogData* CatalogData;
