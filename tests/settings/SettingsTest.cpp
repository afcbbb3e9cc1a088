#include "app/AppUtils.h"
#include "common/TestUtils.h"
#include "log/Exception.h"
#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <gtest/gtest.h>

#include <functional>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(SettingsPath());
        SettingsModule::Start();
    }
    void TearDown() override
    {
        SettingsModule::Stop();
        QFile::remove(SettingsPath());
    }
    static QString SettingsPath()
    {
        return LocalAppDataFolder() + QStringLiteral("/SorvelinX/settings.txt");
    }
    // A fresh object that reads the given file contents.
    static TSettings Loaded(const QByteArray& aBytes)
    {
        TSettings s;
        s.LoadFromBytes(aBytes);
        return s;
    }
};

TEST_F(SettingsTest, FoldersAndDefaults)
{
    const TSettings& s = Settings();
    EXPECT_EQ(s.AppFolder(), LocalAppDataFolder() + QStringLiteral("/SorvelinX"));
    EXPECT_EQ(s.AppFolder(), QDir::cleanPath(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/SorvelinX")));
    EXPECT_EQ(s.AppDataFolder(), s.AppFolder() + QStringLiteral("/databases"));
    EXPECT_EQ(s.SettingsFilePath(), s.AppFolder() + QStringLiteral("/settings.txt"));
    EXPECT_EQ(SaveStateFilePath(), s.AppFolder() + QStringLiteral("/form_state.dat"));
    EXPECT_EQ(s.DownloadFolder, MusicFolder() + QStringLiteral("/SorvelinX/"));
    EXPECT_EQ(s.DownloadFileNameMask, QStringLiteral("%G/%A (%Y)/%T - %S"));
    EXPECT_EQ(DefaultDownloadFileMask, s.DownloadFileNameMask);
    EXPECT_TRUE(s.AutoDownloading);
    EXPECT_FALSE(s.AlbumGrouping);
    EXPECT_EQ(s.TagMp3Type, ttID3V2);
    EXPECT_EQ(s.TagMpcType, ttAPE2);
    EXPECT_EQ(s.Port, 80);
    EXPECT_EQ(s.Timeout, 5);
    EXPECT_EQ(s.ProxyPort, 8080);
    EXPECT_EQ(s.BitrateForPrice, 192);
    EXPECT_FALSE(QFile::exists(s.SettingsFilePath())); // nothing written by reading
}

TEST_F(SettingsTest, ReadingRules)
{
    const QString def = TSettings().DownloadFolder;
    struct Case {
        const char* what;
        QByteArray file;
        std::function<void(const TSettings&)> check;
    };
    const QString tabCreds = EncodePassword(QStringLiteral("user\tpa\tss"));
    const QString goodCreds = EncodePassword(QStringLiteral("user\tsecret"));
    const Case cases[] = {
        {"AutoDownloading=false stays on", "AutoDownloading=false\r\n", [](const TSettings& s) { EXPECT_TRUE(s.AutoDownloading); }},
        {"AutoDownloading=0 turns it off", "AutoDownloading=0\r\n", [](const TSettings& s) { EXPECT_FALSE(s.AutoDownloading); }},
        {"AlbumGrouping=true stays off", "AlbumGrouping=true\r\n", [](const TSettings& s) { EXPECT_FALSE(s.AlbumGrouping); }},
        {"AlbumGrouping=1", "AlbumGrouping=1\r\n", [](const TSettings& s) { EXPECT_TRUE(s.AlbumGrouping); }},
        {"bitrate low", "BitrateForPrice=64\r\n", [](const TSettings& s) { EXPECT_EQ(s.BitrateForPrice, 128); }},
        {"bitrate high", "BitrateForPrice=5000\r\n", [](const TSettings& s) { EXPECT_EQ(s.BitrateForPrice, 4096); }},
        {"bitrate text", "BitrateForPrice=abc\r\n", [](const TSettings& s) { EXPECT_EQ(s.BitrateForPrice, 192); }},
        {"Mp3Tag case differs", "Mp3Tag=id3v2\r\nFlacTag=None\r\n", [](const TSettings& s) {
             EXPECT_EQ(s.TagMp3Type, ttID3V2);
             EXPECT_EQ(s.TagFlacType, ttNone);
         }},
        {"Mp3Tag not allowed", "Mp3Tag=WMA\r\nMpcTag=APE 1.0\r\n", [](const TSettings& s) {
             EXPECT_EQ(s.TagMp3Type, ttID3V2);
             EXPECT_EQ(s.TagMpcType, ttAPE1);
         }},
        {"Mp3Tag=None", "Mp3Tag=None\r\n", [](const TSettings& s) { EXPECT_EQ(s.TagMp3Type, ttNone); }},
        {"mask with ..", "DownloadFileNameMask=%G/../%S\r\n", [](const TSettings& s) { EXPECT_EQ(s.DownloadFileNameMask, DefaultDownloadFileMask); }},
        {"mask with =", "DownloadFileNameMask=%G=%S\r\n", [](const TSettings& s) { EXPECT_EQ(s.DownloadFileNameMask, DefaultDownloadFileMask); }},
        {"mask with only %s", "DownloadFileNameMask=%G - %s\r\n", [](const TSettings& s) { EXPECT_EQ(s.DownloadFileNameMask, DefaultDownloadFileMask); }},
        {"good mask", "DownloadFileNameMask=%L/%G/%T %S\r\n", [](const TSettings& s) { EXPECT_EQ(s.DownloadFileNameMask, QStringLiteral("%L/%G/%T %S")); }},
        {"credentials with a TAB in the password", "Credentials=" + tabCreds.toLatin1() + "\r\n", [](const TSettings& s) {
             EXPECT_TRUE(s.RememberCredentials);
             EXPECT_TRUE(s.Login.isEmpty());
             EXPECT_TRUE(s.Password.isEmpty());
         }},
        {"credentials", "Credentials=" + goodCreds.toLatin1() + "\r\n", [](const TSettings& s) {
             EXPECT_TRUE(s.RememberCredentials);
             EXPECT_EQ(s.Login, QStringLiteral("user"));
             EXPECT_EQ(s.Password, QStringLiteral("secret"));
         }},
        {"undecodable credentials", "Credentials=@@@\r\nProxyPassword=%%%\r\n", [](const TSettings& s) {
             EXPECT_TRUE(s.RememberCredentials);
             EXPECT_TRUE(s.Login.isEmpty());
             EXPECT_TRUE(s.ProxyPassword.isEmpty());
         }},
        {"blank before =", "Host =blank.example\r\n", [](const TSettings& s) { EXPECT_EQ(s.Host, QLatin1String(DefaultHost)); }},
        {"lower-case key, first wins", "host=first.example\r\nHost=second.example\r\n", [](const TSettings& s) { EXPECT_EQ(s.Host, QStringLiteral("first.example")); }},
        {"value keeps blanks and =", "ProxyServer= a=b \r\n", [](const TSettings& s) { EXPECT_EQ(s.ProxyServer, QStringLiteral(" a=b ")); }},
        {"out-of-range port keeps the value", "Port=70000\r\nTimeout=-1\r\nProxyPort=3128\r\n", [](const TSettings& s) {
             EXPECT_EQ(s.Port, 80);
             EXPECT_EQ(s.Timeout, 5);
             EXPECT_EQ(s.ProxyPort, 3128);
         }},
        {"port not a number", "Port=eighty\r\n", [](const TSettings& s) { EXPECT_EQ(s.Port, 80); }},
        {"Boolean texts", "UseProxy=True\r\nUseProxyLogin=maybe\r\nDownloadFileReplaceSpaces=-1\r\n", [](const TSettings& s) {
             EXPECT_TRUE(s.UseProxy);
             EXPECT_FALSE(s.UseProxyLogin);
             EXPECT_TRUE(s.DownloadFileReplaceSpaces);
         }},
        {"replace spaces junk is false", "DownloadFileReplaceSpaces=yes\r\n", [](const TSettings& s) { EXPECT_FALSE(s.DownloadFileReplaceSpaces); }},
        {"folder without separator", "DownloadFolder=/data/music\r\n", [](const TSettings& s) { EXPECT_EQ(s.DownloadFolder, QStringLiteral("/data/music/")); }},
        {"folder with wildcard", "DownloadFolder=/data/m*\r\n", [def](const TSettings& s) { EXPECT_EQ(s.DownloadFolder, def); }},
        {"UTF-8 BOM", "\xEF\xBB\xBFHost=h\xC3\xB6st\r\n", [](const TSettings& s) { EXPECT_EQ(s.Host, QStringLiteral("höst")); }},
        {"UTF-16LE BOM", QByteArray("\xFF\xFEH\0o\0s\0t\0=\0\xF6\0\r\0\n\0", 18), [](const TSettings& s) { EXPECT_EQ(s.Host, QStringLiteral("ö")); }},
        {"UTF-16BE BOM", QByteArray("\xFE\xFF\0H\0o\0s\0t\0=\x04\x10\0\r\0\n", 18), [](const TSettings& s) { EXPECT_EQ(s.Host, QStringLiteral("А")); }},
        {"no BOM is the code page (UTF-8)", "Host=\xD0\xB9\n", [](const TSettings& s) { EXPECT_EQ(s.Host, QStringLiteral("й")); }},
        {"custom content type", "CustomContentType=text/plain\r\n", [](const TSettings& s) { EXPECT_EQ(s.CustomContentType, QStringLiteral("text/plain")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.check(Loaded(c.file));
    }
}

TEST_F(SettingsTest, MaskValidity)
{
    EXPECT_TRUE(IsDownloadFileNameMaskValid(QStringLiteral("%G/%A (%Y)/%T - %S")));
    for (const char* bad : {"%G\\%S", "%G/../%S", "a:%S", "%S*", "%S?", "%S\"", "<%S", "%S>", "%S|", "%G /%S",
                            "%G/ %S", "./%S", "%G/.%S", "%S=", "%s", ""})
        EXPECT_FALSE(IsDownloadFileNameMaskValid(QString::fromUtf8(bad))) << bad;
}

TEST_F(SettingsTest, PasswordEncoding)
{
    EXPECT_EQ(EncodePassword(QString()), QString());
    EXPECT_EQ(DecodePassword(QString()), QString());
    const QString text = QStringLiteral("pässwörd пароль");
    const QString encoded = EncodePassword(text);
    // A zlib stream with its header, Base64 without line breaks.
    const QByteArray raw = QByteArray::fromBase64(encoded.toLatin1());
    ASSERT_GE(raw.size(), 2);
    EXPECT_EQ(uint8_t(raw[0]), 0x78);
    EXPECT_EQ(DecodePassword(encoded), text);
    const QString longText(3000, QLatin1Char('q'));
    EXPECT_FALSE(EncodePassword(longText + QStringLiteral("xyz")).contains(QLatin1Char('\n')));
    EXPECT_EQ(DecodePassword(QStringLiteral("not base64!")), QString());
    EXPECT_EQ(DecodePassword(QStringLiteral("AAAA")), QString());
}

TEST_F(SettingsTest, SaveAndLoadRoundTripEveryKey)
{
    TSettings& s = Settings();
    s.AlbumGrouping = true;
    s.AutoDownloading = false;
    s.DownloadFolder = QStringLiteral("/srv/müsic/");
    s.DownloadFileNameMask = QStringLiteral("%L/%G/%T %S");
    s.DownloadFileReplaceSpaces = true;
    s.TagMp3Type = ttID3V11;
    s.TagWmaType = ttNone;
    s.TagOggType = ttNone;
    s.TagMpcType = ttAPE1;
    s.TagFlacType = ttNone;
    s.Host = QStringLiteral("store.example");
    s.Port = 8081;
    s.Timeout = 30;
    s.UseProxy = true;
    s.ProxyServer = QStringLiteral("proxy.example");
    s.ProxyPort = 3128;
    s.UseProxyLogin = true;
    s.ProxyLogin = QStringLiteral("px");
    s.ProxyPassword = QStringLiteral("p=x\tq");
    s.Login = QString(200, QLatin1Char('L'));
    s.Password = QString(300, QChar(0x0439));
    s.RememberCredentials = true;
    s.BitrateForPrice = 320;
    s.CustomContentType = QStringLiteral("application/x-test");
    s.Save();

    const QByteArray bytes = testutil::ReadFile(s.SettingsFilePath());
    EXPECT_TRUE(bytes.endsWith("\r\n"));
    EXPECT_TRUE(bytes.startsWith("AlbumGrouping=1\r\nBitrateForPrice=320\r\nAutoDownloading=0\r\n"));
    EXPECT_TRUE(bytes.contains("\r\nDownloadFileReplaceSpaces=-1\r\nMp3Tag=ID3v1.1\r\n"));
    EXPECT_EQ(QFileInfo(s.SettingsFilePath()).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);

    SettingsModule::Stop();
    SettingsModule::Start();
    const TSettings& r = Settings();
    EXPECT_EQ(r.AlbumGrouping, true);
    EXPECT_EQ(r.AutoDownloading, false);
    EXPECT_EQ(r.DownloadFolder, QStringLiteral("/srv/müsic/"));
    EXPECT_EQ(r.DownloadFileNameMask, QStringLiteral("%L/%G/%T %S"));
    EXPECT_EQ(r.DownloadFileReplaceSpaces, true);
    EXPECT_EQ(r.TagMp3Type, ttID3V11);
    EXPECT_EQ(r.TagWmaType, ttNone);
    EXPECT_EQ(r.TagOggType, ttNone);
    EXPECT_EQ(r.TagMpcType, ttAPE1);
    EXPECT_EQ(r.TagFlacType, ttNone);
    EXPECT_EQ(r.Host, QStringLiteral("store.example"));
    EXPECT_EQ(r.Port, 8081);
    EXPECT_EQ(r.Timeout, 30);
    EXPECT_EQ(r.UseProxy, true);
    EXPECT_EQ(r.ProxyServer, QStringLiteral("proxy.example"));
    EXPECT_EQ(r.ProxyPort, 3128);
    EXPECT_EQ(r.UseProxyLogin, true);
    EXPECT_EQ(r.ProxyLogin, QStringLiteral("px"));
    EXPECT_EQ(r.ProxyPassword, QStringLiteral("p=x\tq"));
    EXPECT_EQ(r.Login, QString(200, QLatin1Char('L')));
    EXPECT_EQ(r.Password, QString(300, QChar(0x0439)));
    EXPECT_EQ(r.RememberCredentials, true);
    EXPECT_EQ(r.BitrateForPrice, 320);
    EXPECT_EQ(r.CustomContentType, QStringLiteral("application/x-test"));
}

TEST_F(SettingsTest, SaveWithoutRememberingWritesNoCredentialsAndSkipsEmptyValues)
{
    TSettings& s = Settings();
    s.Login = QStringLiteral("someone");
    s.Password = QStringLiteral("pw");
    s.RememberCredentials = false;
    s.Save();
    const QByteArray bytes = testutil::ReadFile(s.SettingsFilePath());
    EXPECT_FALSE(bytes.contains("Credentials="));
    EXPECT_FALSE(bytes.contains("ProxyServer="));
    EXPECT_FALSE(bytes.contains("CustomContentType="));
    const TSettings r;
    EXPECT_TRUE(r.Login.isEmpty());
    EXPECT_TRUE(r.Password.isEmpty());
    EXPECT_FALSE(r.RememberCredentials);
}

TEST_F(SettingsTest, SaveReportsAnUncreatableFolder)
{
    const QString appFolder = Settings().AppFolder();
    QDir(appFolder).removeRecursively();
    testutil::WriteFile(appFolder, "a file where the folder should be");
    try {
        Settings().Save();
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error creating directory \"%1/\"").arg(appFolder));
    }
    QFile::remove(appFolder);
}

TEST(TagTypes, GetTagTypeNeedsTheExactName)
{
    EXPECT_EQ(GetTagType(QStringLiteral("ID3v1.1"), Mp3TagTypes, ttNone), ttID3V11);
    EXPECT_EQ(GetTagType(QStringLiteral("id3v1.1"), Mp3TagTypes, ttNone), ttNone);
    EXPECT_EQ(GetTagType(QStringLiteral("unknown"), Mp3TagTypes, ttID3V1), ttID3V1);
    EXPECT_EQ(GetTagType(QStringLiteral("OGG"), Mp3TagTypes, ttID3V2), ttID3V2);
}

} // namespace
