#include "settings/Settings.h"

#include "settings/ServerSettings.h"

#include "app/AppUtils.h"
#include "app/CodePage.h"
#include "log/Exception.h"
#include "log/Format.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringList>

#include <memory>
#include <optional>
#include <zlib.h>

QString DefaultDownloadFileMask;

QString BuildDefaultDownloadFileMask()
{
    const QString sep(PathDelim);
    return QStringLiteral("%G") + sep + QStringLiteral("%A (%Y)") + sep + QStringLiteral("%T - %S");
}

namespace {

std::unique_ptr<TSettings> SettingsObject;

// name=value lines: the first line whose name matches without regard to case wins.
class TValueLines {
public:
    explicit TValueLines(const QString& aText)
    {
        QString text = aText;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        FLines = text.split(QLatin1Char('\n'));
    }

    std::optional<QString> Value(const QString& aKey) const
    {
        for (const QString& line : FLines) {
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq < 0)
                continue;
            if (line.left(eq).compare(aKey, Qt::CaseInsensitive) == 0)
                return line.mid(eq + 1);
        }
        return std::nullopt;
    }

    QString ValueOrEmpty(const QString& aKey) const { return Value(aKey).value_or(QString()); }

private:
    QStringList FLines;
};

// The run-time's Boolean text: a number (non-zero is true) or "True"/"False".
std::optional<bool> TryStrToBool(const QString& aText)
{
    const QString text = aText.trimmed();
    bool ok = false;
    const double number = QLocale::c().toDouble(text, &ok);
    if (ok)
        return number != 0;
    if (text.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0)
        return false;
    return std::nullopt;
}

std::optional<int64_t> TryStrToInt(const QString& aText)
{
    bool ok = false;
    const qlonglong v = aText.trimmed().toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return int64_t(v);
}

// A 16-bit number; a value outside 0..65535 keeps the current one.
void ReadWord(const TValueLines& aLines, const QString& aKey, uint16_t& aValue)
{
    const auto number = TryStrToInt(aLines.ValueOrEmpty(aKey));
    if (number && *number >= 0 && *number <= 0xFFFF)
        aValue = uint16_t(*number);
}

bool IsValidFolder(const QString& aFolder)
{
    for (QChar ch : aFolder) {
        const char16_t u = ch.unicode();
        if (u < 0x20 || u == u'"' || u == u'<' || u == u'>' || u == u'|' || u == u'*' || u == u'?')
            return false;
    }
    return true;
}

QString BoolText(bool aValue)
{
    return aValue ? QStringLiteral("-1") : QStringLiteral("0");
}

QString DecodeSettingsText(const QByteArray& aBytes)
{
    if (aBytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(aBytes.mid(3));
    if (aBytes.startsWith("\xFF\xFE") || aBytes.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(aBytes.startsWith("\xFF\xFE") ? QStringConverter::Utf16LE
                                                                  : QStringConverter::Utf16BE);
        return decoder.decode(aBytes.mid(2));
    }
    return AnsiToString(aBytes);
}

} // namespace

TSettings& Settings()
{
    if (!SettingsObject)
        throw Exception(QStringLiteral("Settings are not created"));
    return *SettingsObject;
}

bool SettingsExist()
{
    return SettingsObject != nullptr;
}

namespace SettingsModule {

void Start()
{
    DefaultDownloadFileMask = BuildDefaultDownloadFileMask();
    SettingsObject = std::make_unique<TSettings>();
    CreateServerSettings();
}

void Stop()
{
    FreeServerSettings();
    SettingsObject.reset();
}

} // namespace SettingsModule

TSettings::TSettings()
{
    Init();
    Load();
}

void TSettings::Init()
{
    FAppFolder = PathJoin(LocalAppDataFolder(), QStringLiteral("SorvelinX"));
    FAppDataFolder = PathJoin(FAppFolder, QStringLiteral("databases"));
    FSettingsFilePath = PathJoin(FAppFolder, QStringLiteral("settings.txt"));

    AlbumGrouping = false;
    AutoDownloading = true;
    DownloadFolder = PathJoin(MusicFolder(), QStringLiteral("SorvelinX")) + QChar(PathDelim);
    if (DefaultDownloadFileMask.isEmpty())
        DefaultDownloadFileMask = BuildDefaultDownloadFileMask();
    DownloadFileNameMask = DefaultDownloadFileMask;
    DownloadFileReplaceSpaces = false;
    TagMp3Type = ttID3V2;
    TagWmaType = ttWMA;
    TagOggType = ttOGG;
    TagMpcType = ttAPE2;
    TagFlacType = ttFLAC;
    Host = QString::fromLatin1(DefaultHost);
    Port = 80;
    Timeout = 5;
    UseProxy = false;
    ProxyServer.clear();
    ProxyPort = 8080;
    UseProxyLogin = false;
    ProxyLogin.clear();
    ProxyPassword.clear();
    Login.clear();
    Password.clear();
    RememberCredentials = false;
    BitrateForPrice = 192;
    CustomContentType.clear();
}

void TSettings::Load()
{
    QFile file(FSettingsFilePath);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly))
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"), {FSettingsFilePath, file.errorString()}));
    LoadFromBytes(file.readAll());
}

void TSettings::LoadFromBytes(const QByteArray& aBytes)
{
    const TValueLines lines(DecodeSettingsText(aBytes));

    AlbumGrouping = lines.ValueOrEmpty(QStringLiteral("AlbumGrouping")) == QLatin1String("1");
    AutoDownloading = lines.ValueOrEmpty(QStringLiteral("AutoDownloading")) != QLatin1String("0");

    const QString folder = lines.ValueOrEmpty(QStringLiteral("DownloadFolder"));
    if (!folder.isEmpty() && IsValidFolder(folder))
        DownloadFolder = folder.endsWith(PathDelim) ? folder : folder + QChar(PathDelim);

    const QString mask = lines.ValueOrEmpty(QStringLiteral("DownloadFileNameMask"));
    if (!mask.isEmpty() && IsDownloadFileNameMaskValid(mask))
        DownloadFileNameMask = mask;

    DownloadFileReplaceSpaces =
        TryStrToBool(lines.ValueOrEmpty(QStringLiteral("DownloadFileReplaceSpaces"))).value_or(false);

    TagMp3Type = GetTagType(lines.ValueOrEmpty(QStringLiteral("Mp3Tag")), Mp3TagTypes, TagMp3Type);
    TagWmaType = GetTagType(lines.ValueOrEmpty(QStringLiteral("WmaTag")), WmaTagTypes, TagWmaType);
    TagOggType = GetTagType(lines.ValueOrEmpty(QStringLiteral("OggTag")), OggTagTypes, TagOggType);
    TagMpcType = GetTagType(lines.ValueOrEmpty(QStringLiteral("MpcTag")), MpcTagTypes, TagMpcType);
    TagFlacType = GetTagType(lines.ValueOrEmpty(QStringLiteral("FlacTag")), FlacTagTypes, TagFlacType);

    const QString host = lines.ValueOrEmpty(QStringLiteral("Host"));
    if (!host.isEmpty())
        Host = host;
    ReadWord(lines, QStringLiteral("Port"), Port);
    ReadWord(lines, QStringLiteral("Timeout"), Timeout);
    UseProxy = TryStrToBool(lines.ValueOrEmpty(QStringLiteral("UseProxy"))).value_or(UseProxy);
    ProxyServer = lines.ValueOrEmpty(QStringLiteral("ProxyServer"));
    ReadWord(lines, QStringLiteral("ProxyPort"), ProxyPort);
    UseProxyLogin = TryStrToBool(lines.ValueOrEmpty(QStringLiteral("UseProxyLogin"))).value_or(UseProxyLogin);
    ProxyLogin = lines.ValueOrEmpty(QStringLiteral("ProxyLogin"));
    ProxyPassword = DecodePassword(lines.ValueOrEmpty(QStringLiteral("ProxyPassword")));

    const QString credentials = lines.ValueOrEmpty(QStringLiteral("Credentials"));
    if (!credentials.isEmpty()) {
        RememberCredentials = true;
        SetCredentials(credentials);
    }

    if (const auto bitrate = TryStrToInt(lines.ValueOrEmpty(QStringLiteral("BitrateForPrice"))))
        BitrateForPrice = uint16_t(std::clamp<int64_t>(*bitrate, MinBitrateForPrice, MaxBitrateForPrice));
    else
        BitrateForPrice = std::clamp<uint16_t>(BitrateForPrice, MinBitrateForPrice, MaxBitrateForPrice);

    if (const auto contentType = lines.Value(QStringLiteral("CustomContentType")))
        CustomContentType = *contentType;
}

QByteArray TSettings::SaveToBytes() const
{
    QStringList lines;
    auto add = [&lines](const char* aKey, const QString& aValue) {
        if (!aValue.isEmpty())
            lines << QString::fromLatin1(aKey) + QLatin1Char('=') + aValue;
    };
    add("AlbumGrouping", AlbumGrouping ? QStringLiteral("1") : QStringLiteral("0"));
    add("BitrateForPrice", QString::number(BitrateForPrice));
    add("AutoDownloading", AutoDownloading ? QStringLiteral("1") : QStringLiteral("0"));
    add("DownloadFolder", DownloadFolder);
    add("DownloadFileNameMask", DownloadFileNameMask);
    add("DownloadFileReplaceSpaces", BoolText(DownloadFileReplaceSpaces));
    add("Mp3Tag", TagTypeName(TagMp3Type));
    add("WmaTag", TagTypeName(TagWmaType));
    add("OggTag", TagTypeName(TagOggType));
    add("MpcTag", TagTypeName(TagMpcType));
    add("FlacTag", TagTypeName(TagFlacType));
    add("Host", Host);
    add("Port", QString::number(Port));
    add("Timeout", QString::number(Timeout));
    add("UseProxy", BoolText(UseProxy));
    add("ProxyServer", ProxyServer);
    add("ProxyPort", QString::number(ProxyPort));
    add("UseProxyLogin", BoolText(UseProxyLogin));
    add("ProxyLogin", ProxyLogin);
    add("ProxyPassword", EncodePassword(ProxyPassword));
    if (RememberCredentials)
        add("Credentials", GetCredentials());
    add("CustomContentType", CustomContentType);

    QString text;
    for (const QString& line : lines)
        text += line + QStringLiteral("\r\n");
    return StringToAnsi(text);
}

void TSettings::Save() const
{
    const QString folder = FAppFolder + QChar(PathDelim);
    if (!QFileInfo(FAppFolder).isDir() && !QDir().mkpath(FAppFolder))
        throw Exception(Format(QStringLiteral("Error creating directory \"%s\""), {folder}));

    // Written under a temporary name and renamed, so a failed write keeps the old file.
    // The file holds an encoded password: readable and writable by the user only.
    QSaveFile file(FSettingsFilePath);
    if (!file.open(QIODevice::WriteOnly))
        throw EOSError(Format(QStringLiteral("Cannot create file \"%s\". %s"), {FSettingsFilePath, file.errorString()}));
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray bytes = SaveToBytes();
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw EOSError(Format(QStringLiteral("Cannot write file \"%s\". %s"), {FSettingsFilePath, file.errorString()}));
}

QString TSettings::GetCredentials() const
{
    return EncodePassword(Login + QLatin1Char('\t') + Password);
}

void TSettings::SetCredentials(const QString& aValue)
{
    const QStringList pieces = DecodePassword(aValue).split(QLatin1Char('\t'), Qt::KeepEmptyParts);
    if (pieces.size() == 2) {
        Login = pieces[0];
        Password = pieces[1];
    }
}

QString EncodePassword(const QString& aPassword)
{
    if (aPassword.isEmpty())
        return QString();
    QByteArray utf16;
    utf16.resize(aPassword.size() * 2);
    for (int i = 0; i < aPassword.size(); ++i) {
        const char16_t u = aPassword[i].unicode();
        utf16[2 * i] = char(u & 0xFF);
        utf16[2 * i + 1] = char(u >> 8);
    }
    uLongf size = compressBound(uLong(utf16.size()));
    QByteArray packed(int(size), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(utf16.constData()),
                  uLong(utf16.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
        throw Exception(QStringLiteral("Password compression failed"));
    packed.resize(int(size));
    return QString::fromLatin1(packed.toBase64());
}

QString DecodePassword(const QString& aPassword)
{
    if (aPassword.isEmpty())
        return QString();
    const auto decoded = QByteArray::fromBase64Encoding(aPassword.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return QString();
    const QByteArray& packed = decoded.decoded;

    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return QString();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.constData()));
    stream.avail_in = uInt(packed.size());
    QByteArray out;
    char buffer[4096];
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        rc = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, int(sizeof buffer - stream.avail_out));
        if (rc == Z_BUF_ERROR && stream.avail_in == 0)
            break;
    }
    inflateEnd(&stream);
    if (rc != Z_STREAM_END || out.size() % 2 != 0)
        return QString();
    QString text(out.size() / 2, Qt::Uninitialized);
    for (int i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(uint8_t(out[2 * i]) | (uint8_t(out[2 * i + 1]) << 8)));
    return text;
}

bool IsDownloadFileNameMaskValid(const QString& aMask)
{
    // The platform separator takes the role the backslash has on Windows: "/"
    // is the folder separator, and the backslash itself is refused.
    static const char* const InvalidStrings[14] = {
        "\\", "..", ":", "*", "?", "\"", "<", ">", "|", " /", "/ ", "./", "/.", "=",
    };
    if (!aMask.contains(QStringLiteral("%S"), Qt::CaseSensitive))
        return false;
    for (const char* invalid : InvalidStrings)
        if (aMask.contains(QLatin1String(invalid)))
            return false;
    return true;
}

TTagType GetTagType(const QString& aText, TTagTypes aAvailableTypes, TTagType aDefault)
{
    TTagType found = ttNone;
    for (int i = 0; i < TagTypeCount; ++i) {
        if (aText.compare(QLatin1String(TagTypeNames[i]), Qt::CaseInsensitive) == 0) {
            found = TTagType(i);
            break;
        }
    }
    if (aText == QLatin1String(TagTypeNames[found]) && TagTypeIn(found, aAvailableTypes))
        return found;
    return aDefault;
}
