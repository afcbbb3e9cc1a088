#include "catalog/CatalogData.h"
#include "catalog/CatalogTestUtils.h"
#include "common/TestUtils.h"
#include "log/LogManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

using namespace catalogtest;

namespace {

// Catalog version 10: group 1 "Alpha" (section 1) with album 1 (songs 1, 2)
// and album 2 (song 1); group 2 "Beta" (section 5) with album 1 (song 1).
// A trigger refuses songs named "boom", to stand for an engine error.
const char* const BaseRows =
    "insert into Groups values (1, 1, 'Alpha'), (2, 5, 'Beta');"
    "insert into Albums values (1, 1, 'A1', 1, '1999-01-01', 1), (1, 2, 'A2', 2, '2001-01-01', 3),"
    " (2, 1, 'B1', 1, '2005-05-05', 2);"
    "insert into Songs values (1, 1, 1, 'One', 1, 100, 128), (1, 1, 2, 'Two', 2, 200, 192),"
    " (1, 2, 1, 'Solo', 1, 300, 320), (2, 1, 1, 'Theme', 1, 150, 256);"
    "create trigger NoBoom before insert on Songs when new.Name = 'boom'"
    " begin select raise(abort, 'boom refused'); end;";

class CatalogUpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FDir.isValid());
        LogMngr::StartModule();
        LogMngr::Initialize(FDir.path() + QStringLiteral("/logs"));
        MakeCatalog(CatalogPath(), QStringLiteral("empty"), 10);
        ExecSql(CatalogPath(), QString::fromUtf8(BaseRows));
        FData = std::make_unique<TCatalogData>(Folder());
        ASSERT_TRUE(FData->Connected());
        ASSERT_EQ(FData->DataVersion(), 10u);
    }
    void TearDown() override
    {
        FData.reset();
        LogMngr::StopModule();
    }

    QString Folder() const { return FDir.path() + QStringLiteral("/db"); }
    QString CatalogPath() const { return Folder() + QStringLiteral("/svxc.s3db"); }

    // A partial package with the records given, at the version given.
    QString Package(const QString& aRecords, int aVersion = 11, const QString& aRootAttributes = QString())
    {
        const QString attributes =
            aRootAttributes.isNull() ? QStringLiteral("structure=\"1\" version=\"%1\"").arg(aVersion) : aRootAttributes;
        const QString text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update %1>\n%2\n</update>\n")
                                 .arg(attributes, aRecords);
        return PackageBytes(text.toUtf8());
    }
    QString PackageBytes(const QByteArray& aBytes)
    {
        const QString path = FDir.path() + QStringLiteral("/package%1.xml").arg(++FPackages);
        testutil::WriteFile(path, aBytes);
        return path;
    }
    QString Album(int aGroup, int aAlbum) { return QueryText(CatalogPath(), QStringLiteral("select Name || '|' || Type || '|' || RDate || '|' || AlbumType from Albums where GroupID = %1 and AlbumID = %2").arg(aGroup).arg(aAlbum)); }
    QString Song(int aGroup, int aAlbum, int aSong) { return QueryText(CatalogPath(), QStringLiteral("select Name || '|' || TrackNum || '|' || Duration || '|' || Bitrate from Songs where GroupID = %1 and AlbumID = %2 and SongID = %3").arg(aGroup).arg(aAlbum).arg(aSong)); }
    QString Group(int aGroup) { return QueryText(CatalogPath(), QStringLiteral("select Volume || '|' || Name from Groups where GroupID = %1").arg(aGroup)); }

    QTemporaryDir FDir;
    std::unique_ptr<TCatalogData> FData;
    int FPackages = 0;
};

} // namespace

TEST_F(CatalogUpdateTest, PartialPackageAppliesEveryKindOfRecordInDocumentOrder)
{
    FData->InstallPartialUpdate(Package(QStringLiteral(
        R"(<record rectype="1" group="3" volume="7">Гамма &amp; Co</record>
           <record rectype="1" group="1" volume="1">Alpha Prime</record>
           <record rectype="2" group="3" album="1" sd="36526.75" type="5" albumtype="4">First</record>
           <record rectype="2" group="1" album="2" sd="45000" type="6" albumtype="2">A2 again</record>
           <record rectype="3" group="3" album="1" song="1" track="1" duration="200" bitrate="320">One &lt;new&gt;</record>
           <record action="" rectype="3" group="1" album="1" song="1" track="7" duration="101" bitrate="128">Renamed</record>
           <record action="DEL" rectype="3" group="1" album="1" song="2"/>
           <record action="DEL" rectype="2" group="2" album="1"/>
           <record action="DEL" rectype="1" group="2"/>
           <record action="del" rectype="3" group="1" album="1" song="5" track="5" duration="55" bitrate="192">Small del</record>
           <record rectype="3" group="3" album="1" song="2" track="2" duration="10" bitrate="128">Old</record>
           <record rectype="3" group="3" album="1" song="2" track="2" duration="20" bitrate="128">New</record>
           <record action="DEL" rectype="3" group="1" album="2" song="1"/>
           <record rectype="3" group="1" album="2" song="1" track="1" duration="30" bitrate="128"><![CDATA[Back & forth]]></record>)")));

    EXPECT_EQ(FData->DataVersion(), 11u);
    EXPECT_EQ(Group(3), QStringLiteral("7|Гамма & Co"));
    EXPECT_EQ(Group(1), QStringLiteral("1|Alpha Prime"));
    EXPECT_EQ(Group(2), QStringLiteral("<no row>"));
    EXPECT_EQ(Album(3, 1), QStringLiteral("First|2|2000-01-01|4"));
    EXPECT_EQ(Album(1, 2), QStringLiteral("A2 again|3|2023-03-15|2"));
    EXPECT_EQ(Album(2, 1), QStringLiteral("<no row>"));
    // Deleting a group or an album leaves the rows below it.
    EXPECT_EQ(Song(2, 1, 1), QStringLiteral("Theme|1|150|256"));
    EXPECT_EQ(Song(3, 1, 1), QStringLiteral("One <new>|1|200|320"));
    EXPECT_EQ(Song(1, 1, 1), QStringLiteral("Renamed|7|101|128"));
    EXPECT_EQ(Song(1, 1, 2), QStringLiteral("<no row>"));
    EXPECT_EQ(Song(1, 1, 5), QStringLiteral("Small del|5|55|192"));
    EXPECT_EQ(Song(3, 1, 2), QStringLiteral("New|2|20|128"));
    EXPECT_EQ(Song(1, 2, 1), QStringLiteral("Back & forth|1|30|128"));

    // The version is in the file too.
    FData = std::make_unique<TCatalogData>(Folder());
    EXPECT_EQ(FData->DataVersion(), 11u);
    EXPECT_EQ(FData->GetSongInfo(3, 1, 1).AlbumInfo.GroupInfo.VolumeInfo.EnglishName, QStringLiteral("Classical music"));
}

TEST_F(CatalogUpdateTest, SaleCodesAndReleaseDatesOfAlbums)
{
    const struct {
        const char* type;
        const char* sd;
        TAlbumType stored;
        QDate date;
    } cases[] = {
        {"5", "36526.75", atOE, QDate(2000, 1, 1)}, {"6", "36526", atOEEX, QDate(2000, 1, 1)},
        {"0", "45000.5", atVIP, QDate(2023, 3, 15)}, {"1", "1", atVIP, QDate(1899, 12, 31)},
        {"3", "-1.9", atVIP, QDate(1899, 12, 29)},
    };
    QString records;
    int album = 0;
    for (const auto& c : cases)
        records += QStringLiteral("<record rectype=\"2\" group=\"1\" album=\"%1\" sd=\"%2\" type=\"%3\" albumtype=\"1\">x</record>\n")
                       .arg(++album + 10).arg(QLatin1String(c.sd), QLatin1String(c.type));
    FData->InstallPartialUpdate(Package(records));
    std::vector<TAlbum> albums;
    FData->LoadAlbums(1, albums);
    album = 0;
    for (const auto& c : cases) {
        const int id = ++album + 10;
        const auto found = std::find_if(albums.begin(), albums.end(), [&](const TAlbum& a) { return a.AlbumID == id; });
        ASSERT_NE(found, albums.end()) << id;
        EXPECT_EQ(found->AlbumType, c.stored) << c.type;
        EXPECT_EQ(found->RDate, c.date) << c.sd;
    }
}

TEST_F(CatalogUpdateTest, PackageWithoutRecordsOnlyRaisesTheVersion)
{
    const QString before = DumpCatalog(CatalogPath());
    FData->InstallPartialUpdate(Package(QStringLiteral("  \n  "), 15));
    EXPECT_EQ(FData->DataVersion(), 15u);
    QString expected = before;
    expected.replace(QStringLiteral("1:1|10:1"), QStringLiteral("1:1|15:1"));
    ASSERT_NE(expected, before);
    EXPECT_EQ(DumpCatalog(CatalogPath()), expected);
}

TEST_F(CatalogUpdateTest, RefusedPackagesChangeNothing)
{
    const QString good = QStringLiteral(R"(<record rectype="1" group="1" volume="1">Changed</record>
        <record action="DEL" rectype="3" group="1" album="1" song="1"/>)");
    const struct {
        const char* name;
        QString path;
        const char* message; // nullptr: a conversion error
    } cases[] = {
        {"version equal to the catalog's", Package(good, 10), "Invalid file data version"},
        {"older version", Package(good, 9), "Invalid file data version"},
        {"negative version", Package(good, -1), "Invalid file data version"},
        {"structure 2", Package(good, 11, QStringLiteral("structure=\"2\" version=\"11\"")), "Invalid file structure version"},
        {"structure missing", Package(good, 11, QStringLiteral("version=\"11\"")), nullptr},
        {"structure not a number", Package(good, 11, QStringLiteral("structure=\"one\" version=\"11\"")), nullptr},
        {"version missing", Package(good, 11, QStringLiteral("structure=\"1\"")), nullptr},
        {"rectype 4 in the third record", Package(good + QStringLiteral("<record rectype=\"4\" group=\"1\"/>")), "Invalid node rectype"},
        {"DEL of rectype 0", Package(good + QStringLiteral("<record action=\"DEL\" rectype=\"0\" group=\"1\"/>")), "Invalid node rectype"},
        {"another element", Package(good + QStringLiteral("<item rectype=\"1\" group=\"1\" volume=\"1\">x</item>")), "Invalid node name"},
        {"name in capitals", Package(good + QStringLiteral("<Record rectype=\"1\" group=\"1\" volume=\"1\">x</Record>")), "Invalid node name"},
        {"text between records", Package(good + QStringLiteral("stray text")), "Invalid node name"},
        {"comment between records", Package(good + QStringLiteral("<!-- note -->")), "Invalid node name"},
        {"missing sd", Package(good + QStringLiteral("<record rectype=\"2\" group=\"1\" album=\"9\" type=\"1\" albumtype=\"1\">x</record>")), nullptr},
        {"sd not a number", Package(good + QStringLiteral("<record rectype=\"2\" group=\"1\" album=\"9\" sd=\"36526,5\" type=\"1\" albumtype=\"1\">x</record>")), nullptr},
        {"group not a number", Package(good + QStringLiteral("<record rectype=\"3\" group=\"g\" album=\"1\" song=\"9\" track=\"1\" duration=\"1\" bitrate=\"1\">x</record>")), nullptr},
        {"rectype missing", Package(good + QStringLiteral("<record group=\"1\" volume=\"1\">x</record>")), nullptr},
        {"del in small letters needs the other attributes", Package(good + QStringLiteral("<record action=\"del\" rectype=\"1\" group=\"1\"/>")), nullptr},
        {"album kind beyond a byte", Package(good + QStringLiteral("<record rectype=\"2\" group=\"1\" album=\"9\" sd=\"1\" type=\"1\" albumtype=\"300\">x</record>")), nullptr},
        {"database error", Package(good + QStringLiteral("<record rectype=\"3\" group=\"1\" album=\"1\" song=\"9\" track=\"1\" duration=\"1\" bitrate=\"1\">boom</record>")), "boom refused"},
        {"XML not well formed", Package(good + QStringLiteral("<record rectype=\"1\"")), ""},
        {"no document element", PackageBytes("<?xml version=\"1.0\"?>\n"), ""},
        {"unknown encoding",
         PackageBytes("<?xml version=\"1.0\" encoding=\"x-no-such-codepage\"?><u structure=\"1\" version=\"11\"><record rectype=\"1\" group=\"1\" volume=\"1\">\xc0\xe1</record></u>"),
         "Unsupported XML encoding \"x-no-such-codepage\""},
        {"broken UTF-8", PackageBytes("<u structure=\"1\" version=\"11\"><record rectype=\"1\" group=\"1\" volume=\"1\">\xc3\x28</record></u>"), ""},
    };
    const QString before = DumpCatalog(CatalogPath());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            FData->InstallPartialUpdate(c.path);
            ADD_FAILURE() << "installed";
        } catch (const EConvertError& e) {
            EXPECT_EQ(c.message, nullptr) << e.what();
        } catch (const std::exception& e) {
            ASSERT_NE(c.message, nullptr) << e.what();
            if (*c.message)
                EXPECT_EQ(QString::fromUtf8(e.what()), QString::fromUtf8(c.message));
            else
                EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith(QStringLiteral("XML"))) << e.what();
        }
        EXPECT_TRUE(FData->Connected());
        EXPECT_EQ(FData->DataVersion(), 10u);
        EXPECT_EQ(DumpCatalog(CatalogPath()), before);
    }
    // The transaction is over: the next package installs.
    FData->InstallPartialUpdate(Package(good, 11));
    EXPECT_EQ(Group(1), QStringLiteral("1|Changed"));
    EXPECT_EQ(FData->DataVersion(), 11u);
}

TEST_F(CatalogUpdateTest, FailedCommitKeepsTheVersion)
{
    const QString before = DumpCatalog(CatalogPath());
    const QString package = Package(QStringLiteral(R"(<record rectype="1" group="1" volume="1">Changed</record>)"));
    {
        // A reader in the middle of a read keeps the commit from taking its lock.
        SQLite::Database reader(CatalogPath().toStdString(), SQLite::OPEN_READONLY);
        SQLite::Statement reading(reader, "select * from Songs");
        ASSERT_TRUE(reading.executeStep());
        EXPECT_THROW(FData->InstallPartialUpdate(package), SQLite::Exception);
        EXPECT_EQ(FData->DataVersion(), 10u);
    }
    EXPECT_EQ(DumpCatalog(CatalogPath()), before);
    FData->InstallPartialUpdate(package);
    EXPECT_EQ(FData->DataVersion(), 11u);
}

TEST_F(CatalogUpdateTest, PartialPackageNeedsAnOpenCatalogAndAFile)
{
    const QString before = DumpCatalog(CatalogPath());
    EXPECT_THROW(FData->InstallPartialUpdate(FDir.path() + QStringLiteral("/missing.xml")), EOSError);
    EXPECT_EQ(DumpCatalog(CatalogPath()), before);

    const QString empty = FDir.path() + QStringLiteral("/none");
    TCatalogData closed(empty);
    EXPECT_RAISES(closed.InstallPartialUpdate(Package(QString())), Exception, "Catalog is not opened");
    EXPECT_FALSE(QFile::exists(closed.DBPath()));
}

TEST_F(CatalogUpdateTest, PackagesInOtherEncodingsAreConverted)
{
    const QString utf16Text = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><u structure=\"1\" version=\"11\">"
        "<record rectype=\"1\" group=\"5\" volume=\"1\">Ярослава</record></u>");
    QStringEncoder toUtf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    FData->InstallPartialUpdate(PackageBytes(toUtf16(utf16Text)));
    EXPECT_EQ(Group(5), QStringLiteral("1|Ярослава"));

    FData->InstallPartialUpdate(PackageBytes(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><u structure=\"1\" version=\"12\">"
        "<record rectype=\"1\" group=\"6\" volume=\"1\">Caf\xe9</record></u>"));
    EXPECT_EQ(Group(6), QStringLiteral("1|Café"));
    EXPECT_EQ(FData->DataVersion(), 12u);

    // The store's packages may come in windows-1251.
    FData->InstallPartialUpdate(PackageBytes(
        "<?xml version=\"1.0\" encoding=\"windows-1251\"?><u structure=\"1\" version=\"13\">"
        "<record rectype=\"1\" group=\"7\" volume=\"5\">\xc0\xe1\xe2 \xb8</record></u>"));
    EXPECT_EQ(Group(7), QStringLiteral("5|Абв ё"));
    EXPECT_EQ(FData->DataVersion(), 13u);
}

TEST_F(CatalogUpdateTest, FullPackageReplacesTheCatalog)
{
    const QString package = FDir.path() + QStringLiteral("/unzipped/svxc.s3db");
    MakeCatalog(package, QStringLiteral("tiny"), 20);
    const QString expected = DumpCatalog(package);

    FData->InstallFullUpdate(package);
    EXPECT_TRUE(FData->Connected());
    EXPECT_EQ(FData->StructureVersion(), 1u);
    EXPECT_EQ(FData->DataVersion(), 20u);
    EXPECT_FALSE(QFile::exists(package));
    EXPECT_FALSE(QFile::exists(CatalogPath() + QStringLiteral(".new")));
    EXPECT_EQ(DumpCatalog(CatalogPath()), expected);
    std::vector<TGroup> groups;
    FData->LoadGroups(1, groups);
    EXPECT_EQ(groups.size(), 3u);

    QStringDecoder decoder(QStringDecoder::Utf16LE);
    const QString log = decoder(testutil::ReadFile(LogMngr::GetCurrentLogFilePath()));
    EXPECT_TRUE(log.contains(QStringLiteral("InstallFullUpdate\tInstalling full catalog"))) << log.toStdString();

    // No version comparison: an older full catalog replaces a newer one too.
    MakeCatalog(package, QStringLiteral("empty"), 2);
    FData->InstallFullUpdate(package);
    EXPECT_EQ(FData->DataVersion(), 2u);
}

TEST_F(CatalogUpdateTest, FullPackageOpensACatalogThatWasMissing)
{
    TCatalogData missing(FDir.path() + QStringLiteral("/fresh"));
    ASSERT_FALSE(missing.Connected());
    const QString package = FDir.path() + QStringLiteral("/pkg.s3db");
    MakeCatalog(package, QStringLiteral("tiny"), 4);
    missing.InstallFullUpdate(package);
    EXPECT_TRUE(missing.Connected());
    EXPECT_EQ(missing.DataVersion(), 4u);
}

TEST_F(CatalogUpdateTest, CorruptFullPackageKeepsTheCatalog)
{
    const QString package = FDir.path() + QStringLiteral("/unzipped/svxc.s3db");
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"not SQLite", [&] { testutil::WriteFile(package, QByteArray("PK\x03\x04 garbage ").repeated(500)); }},
        {"empty file", [&] { testutil::WriteFile(package, QByteArray()); }},
        {"no version table", [&] { CreateDatabase(package, "create table Groups (GroupID integer, Volume integer, Name text)"); }},
        {"negative version", [&] {
             MakeCatalog(package, QStringLiteral("tiny"), 20);
             ExecSql(package, QStringLiteral("update Version set Data = -3"));
         }},
    };
    const QByteArray catalogBytes = testutil::ReadFile(CatalogPath());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(package);
        QDir().mkpath(QFileInfo(package).path());
        c.make();
        const QByteArray packageBytes = testutil::ReadFile(package);
        EXPECT_RAISES(FData->InstallFullUpdate(package), Exception, "Catalog is not opened");
        EXPECT_TRUE(FData->Connected());
        EXPECT_EQ(FData->DataVersion(), 10u);
        EXPECT_EQ(FData->GetSongInfo(1, 1, 2).Name, QStringLiteral("Two"));
        EXPECT_EQ(testutil::ReadFile(CatalogPath()), catalogBytes);
        EXPECT_FALSE(QFile::exists(CatalogPath() + QStringLiteral(".new")));
        // The package is left where it was.
        EXPECT_EQ(testutil::ReadFile(package), packageBytes);
    }
    // The next start finds the old catalog.
    FData = std::make_unique<TCatalogData>(Folder());
    EXPECT_EQ(FData->DataVersion(), 10u);
}

TEST_F(CatalogUpdateTest, FullPackageFromAnotherFileSystemIsCopied)
{
    QTemporaryDir other(QStringLiteral("/dev/shm/sx-catalog-XXXXXX"));
    if (!other.isValid())
        GTEST_SKIP() << "no /dev/shm";
    const QString package = other.path() + QStringLiteral("/svxc.s3db");
    MakeCatalog(package, QStringLiteral("tiny"), 30);
    FData->InstallFullUpdate(package);
    EXPECT_EQ(FData->DataVersion(), 30u);
    EXPECT_FALSE(QFile::exists(package));
    EXPECT_TRUE(QFileInfo(CatalogPath()).isFile());
}

TEST_F(CatalogUpdateTest, GeneratedPackagesInstallAsTheirSqlDoes)
{
    // The generator writes a package and applies the same changes as SQL to
    // a copy; installing the package must give the same catalog.
    for (const char* size : {"tiny", "demo"}) {
        SCOPED_TRACE(size);
        const QString reference = FDir.path() + QStringLiteral("/reference-%1.s3db").arg(QLatin1String(size));
        const QString package = FDir.path() + QStringLiteral("/partial-%1.xml").arg(QLatin1String(size));
        MakeCatalog(CatalogPath(), QLatin1String(size), 5, 3);
        MakeCatalog(reference, QLatin1String(size), 5, 3);
        const QString original = DumpCatalog(reference);
        RunGenerator({QStringLiteral("partial"), reference, package, QStringLiteral("--records"), QStringLiteral("120"),
                      QStringLiteral("--to-version"), QStringLiteral("7"), QStringLiteral("--seed"), QStringLiteral("4"),
                      QStringLiteral("--apply")});
        FData = std::make_unique<TCatalogData>(Folder());
        ASSERT_EQ(FData->DataVersion(), 5u);
        FData->InstallPartialUpdate(package);
        EXPECT_EQ(FData->DataVersion(), 7u);
        FData.reset();
        EXPECT_EQ(DumpCatalog(CatalogPath()), DumpCatalog(reference));
        EXPECT_NE(DumpCatalog(reference), original);
    }
}
