// Program version, per-user folders and small file helpers.
#pragma once

#include <QString>
#include <cstdint>

// Major.minor.release of the program's version record; empty when it has none.
QString GetAppVersion();
// The release number alone; 0 when there is no version record.
int GetAppRelease();
// The same from a version record text "major.minor.release.build" (empty or
// malformed: no record).
QString VersionFromRecord(const QString& aRecord);
int ReleaseFromRecord(const QString& aRecord);

// Size of a file in bytes; a missing file raises EOSError with the system's text.
int64_t GetFileSize(const QString& aPath);

// The user's local application data folder ($XDG_DATA_HOME, else ~/.local/share).
QString LocalAppDataFolder();
// The user's music folder.
QString MusicFolder();
// Joins a folder and a name with one separator.
QString PathJoin(const QString& aFolder, const QString& aName);
// The saved window state file.
QString SaveStateFilePath();

// Path separator of the platform.
inline constexpr char16_t PathDelim = u'/';
