// The user's local settings: preferences and connection parameters kept in
// settings.txt in the application folder. Read by any thread, written only
// on the main thread (no lock).
#pragma once

#include "tags/TagTypes.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

// "%G/%A (%Y)/%T - %S", set by the settings module's start-up.
extern QString DefaultDownloadFileMask;
QString BuildDefaultDownloadFileMask();

class TSettings {
public:
    TSettings(); // Init, then Load

    void Init();
    void Load();
    void Save() const;

    const QString& AppFolder() const { return FAppFolder; }
    const QString& AppDataFolder() const { return FAppDataFolder; }
    const QString& SettingsFilePath() const { return FSettingsFilePath; }

    QString GetCredentials() const;
    void SetCredentials(const QString& aValue);

    // Reads settings from file bytes (BOM-selected encoding, else the code page).
    void LoadFromBytes(const QByteArray& aBytes);
    // The file contents Save writes.
    QByteArray SaveToBytes() const;

    bool AlbumGrouping = false;
    bool AutoDownloading = true;
    QString DownloadFolder;
    QString DownloadFileNameMask;
    bool DownloadFileReplaceSpaces = false;
    TTagType TagMp3Type = ttID3V2;
    TTagType TagWmaType = ttWMA;
    TTagType TagOggType = ttOGG;
    TTagType TagMpcType = ttAPE2;
    TTagType TagFlacType = ttFLAC;
    QString Host;
    uint16_t Port = 80;
    uint16_t Timeout = 5;
    bool UseProxy = false;
    QString ProxyServer;
    uint16_t ProxyPort = 8080;
    bool UseProxyLogin = false;
    QString ProxyLogin;
    QString ProxyPassword;
    QString Login;
    QString Password;
    bool RememberCredentials = false;
    uint16_t BitrateForPrice = 192;
    // Content type of store requests when not empty (the store envelope reads it).
    QString CustomContentType;

private:
    QString FAppFolder;
    QString FAppDataFolder;
    QString FSettingsFilePath;
};

inline constexpr const char* DefaultHost = "store.sorvelinx.com";
inline constexpr uint16_t MinBitrateForPrice = 128;
inline constexpr uint16_t MaxBitrateForPrice = 4096;

// The process-wide settings (created by the settings module's start-up).
TSettings& Settings();
bool SettingsExist();

namespace SettingsModule {
void Start();
void Stop();
} // namespace SettingsModule

QString EncodePassword(const QString& aPassword);
QString DecodePassword(const QString& aPassword);
bool IsDownloadFileNameMaskValid(const QString& aMask);
TTagType GetTagType(const QString& aText, TTagTypes aAvailableTypes, TTagType aDefault);

// The tag types each audio format may use.
inline constexpr TTagTypes Mp3TagTypes = TagTypeBit(ttNone) | TagTypeBit(ttID3V1) | TagTypeBit(ttID3V11) | TagTypeBit(ttID3V2);
inline constexpr TTagTypes WmaTagTypes = TagTypeBit(ttNone) | TagTypeBit(ttWMA);
inline constexpr TTagTypes OggTagTypes = TagTypeBit(ttNone) | TagTypeBit(ttOGG);
inline constexpr TTagTypes MpcTagTypes = TagTypeBit(ttNone) | TagTypeBit(ttAPE1) | TagTypeBit(ttAPE2);
inline constexpr TTagTypes FlacTagTypes = TagTypeBit(ttNone) | TagTypeBit(ttFLAC);
