// The records of the catalog tree shared by the whole program: album kinds
// and access types, groups and albums as the browser lists them, and the
// descriptive records of one volume, group, album or song.
#pragma once

#include <QDate>
#include <QString>
#include <cstdint>
#include <string_view>

struct sqlite3_stmt;

// Layout version of the catalog file this program reads (Version.Structure).
inline constexpr uint32_t CATALOG_VERSION = 1;

// The album kind, kept in the AlbumType column of Albums.
enum class TAlbumKind : uint8_t { Album = 1, Compilation = 2, SingleAlbum = 3, Remix = 4, LiveShow = 5 };

// "Album", "Compilation", "Single", "Remix", "Live show"; "Unknown" for other values.
QString GetAlbumKindName(TAlbumKind aKind);
// The value itself when it is a known kind, Album otherwise.
TAlbumKind GetAlbumKindFixed(int64_t aValue);

// How an album is sold, kept in the Type column of Albums; decides the order page.
enum TAlbumType : uint8_t { atFree = 0, atVIP = 1, atOE = 2, atOEEX = 3 };

// "%d.%d" of the group and the album: the text key of an album.
QString AlbumUID(int32_t aGroupID, int32_t aAlbumID);

struct TGroup {
    int32_t GroupID = 0;
    QString Name;

    TGroup() = default;
    TGroup(int32_t aGroupID, const QString& aName) : GroupID(aGroupID), Name(aName) {}
};

struct TAlbum {
    int32_t GroupID = 0;
    int32_t AlbumID = 0;
    QString UID;
    QString Name;
    QDate RDate; // the release date; null when the row has none
    TAlbumKind AlbumKind = TAlbumKind::Album;
    TAlbumType AlbumType = atFree;

    // From the current row of an albums result. The columns cross: AlbumType
    // holds the kind, Type the access type. Column names match without case.
    static TAlbum CreateFromDataset(sqlite3_stmt* aDataset);
};

struct TVolumeInfo {
    int32_t ID = 0;
    QString EnglishName;
    QString RussianName;
};

struct TGroupInfo {
    TVolumeInfo VolumeInfo;
    uint32_t ID = 0;
    QString Name;
};

struct TAlbumInfo {
    TGroupInfo GroupInfo;
    uint32_t ID = 0;
    QString Name;
    TAlbumType AlbumType = atFree;
    QDate ReleaseDate;
    uint32_t ContentType = 0; // the album kind as stored
};

struct TSongInfo {
    TAlbumInfo AlbumInfo;
    uint32_t ID = 0;
    QString Name;
    uint32_t TrackNum = 0;
    uint32_t Duration = 0; // seconds
    uint32_t Bitrate = 0;  // kilobits per second
};

// Catalog dates: day numbers count from 30 December 1899 (day 0), the
// store's convention; the file keeps them as "yyyy-MM-dd" text.
QDate CatalogDayToDate(int64_t aDay);
int64_t DateToCatalogDay(const QDate& aDate);

// The release date of a package: a decimal number of days with a full stop
// as separator, read the same under every locale; the fraction is dropped.
// Raises EConvertError for anything that is not such a number or lies
// outside the years 1 to 9999.
QDate StrToCatalogDate(const QString& aValue);
// The same from UTF-8 text (the packages' attribute values).
QDate StrToCatalogDate(std::string_view aValue);

// The store's sale code of an album: 5 on-line encoding, 6 its extended
// form, everything else VIP.
TAlbumType ConvertToAlbumType(int64_t aValue);
