// The per-user database: the download list with block maps and keys (table
// Downloads) and small application values such as the search history (table
// AppData). One process-wide object, created at start and opened by Init
// after sign-in. Not thread-safe: the main thread is its only user.
#pragma once

#include "downloads/FileRec.h"

#include <QString>
#include <memory>

namespace SQLite {
class Database;
class Statement;
} // namespace SQLite

// One saved row of Downloads, read back.
struct TDownloadRow {
    TFileRec FileRec;
    TFileState FileState = fsEncoding;
    QString FilePath;
    QString FileKey;
    QString BlockMap;
};

class TUserData {
public:
    TUserData();
    ~TUserData();
    TUserData(const TUserData&) = delete;
    TUserData& operator=(const TUserData&) = delete;

    // Creates the application data folder if needed, opens (or creates) the
    // user's "<aUserName>.s3db" there, creates the tables and reads AppData.
    void Init(const QString& aUserName);
    void PrepareData();
    void ReadAppData();

    bool Active() const { return FConnection != nullptr; }
    // The open connection; raises an error before Init.
    SQLite::Database& UserConnection();
    const QString& DatabasePath() const { return FDatabasePath; }

    void WriteAppDataValue(const QString& aName, const QString& aValue);

    // Writes (replaces) the row of aFileRec.UniqID; OrderNo of that row becomes NULL.
    void SaveDownload(const TFileRec& aFileRec, TFileState aFileState, const QString& aFilePath,
                      const QString& aFileKey, const QString& aBlockMap);
    void UpdateDownloadsOrderNo(int32_t aID, int32_t aOrderNo);
    void DeleteDownload(int32_t aID);
    // A new result set over all rows; the caller owns it and steps through it
    // (executeStep) and must free it before the database goes.
    std::unique_ptr<SQLite::Statement> GetDownloads(TDownloadsSort aSortBy);
    // The current row of a GetDownloads result set; a row with a value that
    // does not fit its field raises an error naming the column.
    static TDownloadRow ReadDownloadRow(const SQLite::Statement& aRow);

    const QString& SearchHistory() const { return FSearchHistory; }
    // Keeps the value and writes it to AppData.
    void SetSearchHistory(const QString& aValue);

    // Memory only: 0 at every start.
    double DownloadsUpdateTime() const { return FDownloadsUpdateTime; }
    void SetDownloadsUpdateTime(double aValue) { FDownloadsUpdateTime = aValue; }

private:
    std::unique_ptr<SQLite::Database> FConnection;
    QString FDatabasePath;
    double FDownloadsUpdateTime = 0;
    QString FSearchHistory;
};

// The process-wide user database (created with the other data objects).
extern TUserData* UserData;
