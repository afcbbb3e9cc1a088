#include "catalog/CatalogData.h"
#include "catalog/CatalogTestUtils.h"
#include "common/TestUtils.h"
#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>
#include <functional>

using namespace catalogtest;

namespace {

class CatalogDataTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FDir.isValid()); }
    QString Folder() const { return FDir.path() + QStringLiteral("/db"); }
    QString CatalogPath() const { return Folder() + QStringLiteral("/svxc.s3db"); }

    // An empty catalog (sections 1, 5, 7; no groups) with extra SQL run on it.
    void MakeEmpty(const QString& aSql = QString())
    {
        MakeCatalog(CatalogPath(), QStringLiteral("empty"), 3);
        if (!aSql.isEmpty())
            ExecSql(CatalogPath(), aSql);
    }

    QTemporaryDir FDir;
};

QStringList Names(const std::vector<TGroup>& aGroups)
{
    QStringList names;
    for (const TGroup& g : aGroups)
        names << g.Name;
    return names;
}

} // namespace

TEST_F(CatalogDataTest, MissingFileLeavesTheCatalogClosedAndUncreated)
{
    TCatalogData data(Folder());
    EXPECT_TRUE(QFileInfo(Folder()).isDir());
    EXPECT_EQ(data.DBPath(), CatalogPath());
    EXPECT_FALSE(data.Connected());
    EXPECT_EQ(data.StructureVersion(), 0u);
    EXPECT_EQ(data.DataVersion(), 0u);
    EXPECT_FALSE(QFile::exists(CatalogPath()));
    std::vector<TGroup> groups;
    EXPECT_RAISES(data.LoadGroups(1, groups), Exception, "Catalog is not opened");
    EXPECT_RAISES(data.GetSongInfo(1, 1, 1), Exception, "Catalog is not opened");
}

TEST_F(CatalogDataTest, FilesThatAreNotCatalogsStayClosed)
{
    const struct {
        const char* name;
        std::function<void(const QString&)> make;
    } cases[] = {
        {"not SQLite", [](const QString& p) { testutil::WriteFile(p, QByteArray("this is not a database").repeated(300)); }},
        {"empty file", [](const QString& p) { testutil::WriteFile(p, QByteArray()); }},
        {"no version table", [](const QString& p) { CreateDatabase(p, "create table Groups (GroupID integer)"); }},
        {"no version row", [](const QString& p) { CreateDatabase(p, "create table Version (Structure integer, Data integer)"); }},
        {"negative data version",
         [](const QString& p) { CreateDatabase(p, "create table Version (Structure, Data); insert into Version values (1, -5)"); }},
        {"negative structure",
         [](const QString& p) { CreateDatabase(p, "create table Version (Structure, Data); insert into Version values (-1, 5)"); }},
        {"text version",
         [](const QString& p) { CreateDatabase(p, "create table Version (Structure, Data); insert into Version values (1, 'x')"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(CatalogPath());
        QDir().mkpath(Folder());
        c.make(CatalogPath());
        const QByteArray before = testutil::ReadFile(CatalogPath());
        TCatalogData data(Folder());
        EXPECT_FALSE(data.Connected());
        EXPECT_EQ(data.StructureVersion(), 0u);
        EXPECT_EQ(data.DataVersion(), 0u);
        EXPECT_EQ(testutil::ReadFile(CatalogPath()), before);
    }
}

TEST_F(CatalogDataTest, OpensAndReadsTheVersionRow)
{
    MakeCatalog(CatalogPath(), QStringLiteral("tiny"), 7);
    TCatalogData data(Folder());
    EXPECT_TRUE(data.Connected());
    EXPECT_EQ(data.StructureVersion(), CATALOG_VERSION);
    EXPECT_EQ(data.DataVersion(), 7u);
    data.UpdateVersion(9);
    EXPECT_EQ(data.DataVersion(), 9u);
    EXPECT_EQ(QueryText(CatalogPath(), QStringLiteral("select Data from Version")), QStringLiteral("9"));
}

TEST_F(CatalogDataTest, DefaultCatalogLivesInTheDatabaseFolder)
{
    SettingsModule::Start();
    {
        TCatalogData data;
        EXPECT_EQ(data.DBPath(), Settings().AppDataFolder() + QStringLiteral("/svxc.s3db"));
        EXPECT_TRUE(QFileInfo(Settings().AppDataFolder()).isDir());
        EXPECT_FALSE(data.Connected());
    }
    SettingsModule::Stop();

    testutil::WriteFile(FDir.path() + QStringLiteral("/file"), "x");
    const QString blocked = FDir.path() + QStringLiteral("/file/db");
    EXPECT_RAISES(TCatalogData data(blocked), Exception, QStringLiteral("Error creating db folder \"%1\"").arg(blocked));
}

TEST_F(CatalogDataTest, GroupsComeInCatalogOrder)
{
    MakeEmpty(QStringLiteral(
        "insert into Groups values (1, 1, 'Zeta'), (2, 1, 'Égal'), (3, 1, 'ABD'), (4, 1, 'abc'), (5, 1, '?why'),"
        " (6, 1, '3 Doors Down'), (7, 1, '(paren'), (8, 1, '[bracket'), (9, 1, 'Ярослава'), (10, 1, '{curly'),"
        " (11, 1, 'zz top'), (12, 5, 'Other section')"));
    TCatalogData data(Folder());
    std::vector<TGroup> groups;
    data.LoadGroups(1, groups);
    EXPECT_EQ(Names(groups), QStringList({"(paren", "3 Doors Down", "?why", "[bracket", "abc", "ABD", "Zeta",
                                          "zz top", "{curly", "Égal", "Ярослава"}));
    EXPECT_EQ(groups.front().GroupID, 7);

    data.LoadGroups(5, groups);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].GroupID, 12);
    data.LoadGroups(7, groups);
    EXPECT_TRUE(groups.empty());
}

TEST_F(CatalogDataTest, AlbumsComeNewestFirstWithTheirKindFixed)
{
    // AlbumType holds the kind, Type the access type.
    MakeEmpty(QStringLiteral(
        "insert into Groups values (1, 1, 'G'), (2, 1, 'No albums');"
        "insert into Albums values (1, 1, 'Zero kind', 1, '2001-05-01', 0),"
        " (1, 2, 'Kind six', 2, '2003-01-01', 6), (1, 3, 'No kind', 3, '1999-12-31', NULL),"
        " (1, 4, 'Empty kind', 0, '2002-02-02', ''), (1, 5, 'Live', 1, '2010-10-10', 5)"));
    TCatalogData data(Folder());
    std::vector<TAlbum> albums;
    data.LoadAlbums(1, albums);
    const struct {
        int album;
        const char* name;
        TAlbumKind kind;
        TAlbumType type;
        QDate date;
    } expected[] = {
        {5, "Live", TAlbumKind::LiveShow, atVIP, QDate(2010, 10, 10)},
        {2, "Kind six", TAlbumKind::Album, atOE, QDate(2003, 1, 1)},
        {4, "Empty kind", TAlbumKind::Album, atFree, QDate(2002, 2, 2)},
        {1, "Zero kind", TAlbumKind::Album, atVIP, QDate(2001, 5, 1)},
        {3, "No kind", TAlbumKind::Album, atOEEX, QDate(1999, 12, 31)},
    };
    ASSERT_EQ(albums.size(), std::size(expected));
    for (size_t i = 0; i < albums.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(albums[i].GroupID, 1);
        EXPECT_EQ(albums[i].AlbumID, expected[i].album);
        EXPECT_EQ(albums[i].UID, QStringLiteral("1.%1").arg(expected[i].album));
        EXPECT_EQ(albums[i].Name, QString::fromUtf8(expected[i].name));
        EXPECT_EQ(albums[i].AlbumKind, expected[i].kind);
        EXPECT_EQ(albums[i].AlbumType, expected[i].type);
        EXPECT_EQ(albums[i].RDate, expected[i].date);
    }
    data.LoadAlbums(2, albums);
    EXPECT_TRUE(albums.empty());
}

TEST_F(CatalogDataTest, VolumeByGroupIsZeroForAnUnknownGroup)
{
    MakeEmpty(QStringLiteral("insert into Groups values (40, 5, 'Score')"));
    TCatalogData data(Folder());
    EXPECT_EQ(data.GetVolumeByGroup(40), 5);
    EXPECT_EQ(data.GetVolumeByGroup(41), 0);
}

TEST_F(CatalogDataTest, SongInfoCarriesTheWholeChain)
{
    MakeEmpty(QStringLiteral(
        "insert into Groups values (40, 5, 'Хроники Севера');"
        "insert into Albums values (40, 3, 'Main Titles', 3, '2004-03-01', 4);"
        "insert into Songs values (40, 3, 8, 'The Chase', 2, 245, 320)"));
    TCatalogData data(Folder());
    const TSongInfo song = data.GetSongInfo(40, 3, 8);
    EXPECT_EQ(song.ID, 8u);
    EXPECT_EQ(song.Name, QStringLiteral("The Chase"));
    EXPECT_EQ(song.TrackNum, 2u);
    EXPECT_EQ(song.Duration, 245u);
    EXPECT_EQ(song.Bitrate, 320u);
    EXPECT_EQ(song.AlbumInfo.ID, 3u);
    EXPECT_EQ(song.AlbumInfo.Name, QStringLiteral("Main Titles"));
    EXPECT_EQ(song.AlbumInfo.AlbumType, atOEEX);
    EXPECT_EQ(song.AlbumInfo.ReleaseDate, QDate(2004, 3, 1));
    EXPECT_EQ(song.AlbumInfo.ContentType, 4u);
    EXPECT_EQ(song.AlbumInfo.GroupInfo.ID, 40u);
    EXPECT_EQ(song.AlbumInfo.GroupInfo.Name, QStringLiteral("Хроники Севера"));
    EXPECT_EQ(song.AlbumInfo.GroupInfo.VolumeInfo.ID, 5);
    EXPECT_EQ(song.AlbumInfo.GroupInfo.VolumeInfo.EnglishName, QStringLiteral("Soundtracks"));
    EXPECT_EQ(song.AlbumInfo.GroupInfo.VolumeInfo.RussianName, QStringLiteral("Саундтреки"));
}

TEST_F(CatalogDataTest, InfoLookupsNameTheMissingLevel)
{
    MakeEmpty(QStringLiteral(
        "insert into Groups values (1, 1, 'G'), (2, 42, 'Lost section');"
        "insert into Albums values (1, 1, 'A', 1, '2000-01-01', 1), (2, 1, 'B', 1, '2000-01-01', 1);"
        "insert into Songs values (1, 1, 1, 'S', 1, 100, 128), (2, 1, 1, 'S', 1, 100, 128)"));
    TCatalogData data(Folder());
    const struct {
        const char* name;
        std::function<void()> lookup;
        const char* message;
    } cases[] = {
        {"volume", [&] { data.GetVolumeInfo(99); }, "Volume not found!"},
        {"group", [&] { data.GetGroupInfo(99); }, "Group not found!"},
        {"group of a missing section", [&] { data.GetGroupInfo(2); }, "Volume not found!"},
        {"album", [&] { data.GetAlbumInfo(1, 2); }, "Album not found!"},
        {"album of a missing group", [&] { data.GetAlbumInfo(3, 1); }, "Group not found!"},
        {"song", [&] { data.GetSongInfo(1, 1, 2); }, "Song not found!"},
        {"song of a missing album", [&] { data.GetSongInfo(1, 2, 1); }, "Album not found!"},
        {"song under a missing section", [&] { data.GetSongInfo(2, 1, 1); }, "Volume not found!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_RAISES(c.lookup(), Exception, c.message);
    }
    EXPECT_THROW(data.GetSongInfo(1, 1, -1), EConvertError);
    EXPECT_THROW(data.GetGroupInfo(-1), EConvertError);
    EXPECT_EQ(data.GetSongInfo(1, 1, 1).Name, QStringLiteral("S"));
}

TEST_F(CatalogDataTest, WritesReplaceByKeyAndDeleteOneRowOnly)
{
    MakeEmpty();
    TCatalogData data(Folder());
    data.UpdateGroup(1, 1, QStringLiteral("First"));
    data.UpdateGroup(1, 7, QStringLiteral("Érable"));
    data.UpdateAlbum(1, 2, QStringLiteral("Album"), QDate(2000, 1, 1), atOE, TAlbumKind::Remix);
    data.UpdateSong(1, 2, 3, QStringLiteral("Song"), 4, 200, 192);
    data.UpdateSong(1, 2, 3, QStringLiteral("Song again"), 5, 201, 256);

    EXPECT_EQ(data.GetVolumeByGroup(1), 7);
    const TSongInfo song = data.GetSongInfo(1, 2, 3);
    EXPECT_EQ(song.Name, QStringLiteral("Song again"));
    EXPECT_EQ(song.TrackNum, 5u);
    EXPECT_EQ(song.AlbumInfo.ReleaseDate, QDate(2000, 1, 1));
    EXPECT_EQ(song.AlbumInfo.AlbumType, atOE);
    EXPECT_EQ(song.AlbumInfo.ContentType, uint32_t(TAlbumKind::Remix));
    EXPECT_EQ(song.AlbumInfo.GroupInfo.Name, QStringLiteral("Érable"));
    EXPECT_EQ(QueryText(CatalogPath(), QStringLiteral("select RDate from Albums")), QStringLiteral("2000-01-01"));

    data.DeleteGroup(1);
    EXPECT_EQ(data.GetVolumeByGroup(1), 0);
    EXPECT_EQ(QueryText(CatalogPath(), QStringLiteral("select count(*) from Albums")), QStringLiteral("1"));
    data.DeleteAlbum(1, 2);
    EXPECT_EQ(QueryText(CatalogPath(), QStringLiteral("select count(*) from Songs")), QStringLiteral("1"));
    data.DeleteSong(1, 2, 3);
    EXPECT_EQ(QueryText(CatalogPath(), QStringLiteral("select count(*) from Songs")), QStringLiteral("0"));
}

TEST(CatalogTypes, AlbumKindNamesAndFixing)
{
    const struct {
        int value;
        const char* name;
        TAlbumKind fixed;
    } cases[] = {
        {0, "Unknown", TAlbumKind::Album},         {1, "Album", TAlbumKind::Album},
        {2, "Compilation", TAlbumKind::Compilation}, {3, "Single", TAlbumKind::SingleAlbum},
        {4, "Remix", TAlbumKind::Remix},           {5, "Live show", TAlbumKind::LiveShow},
        {6, "Unknown", TAlbumKind::Album},         {255, "Unknown", TAlbumKind::Album},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(GetAlbumKindName(TAlbumKind(c.value)), QString::fromUtf8(c.name));
        EXPECT_EQ(GetAlbumKindFixed(c.value), c.fixed);
    }
    EXPECT_EQ(GetAlbumKindFixed(-1), TAlbumKind::Album);
    EXPECT_EQ(GetAlbumKindFixed(257), TAlbumKind::Album);
}

TEST(CatalogTypes, SaleCodesMapToAccessTypes)
{
    const struct {
        int code;
        TAlbumType type;
    } cases[] = {{0, atVIP}, {1, atVIP}, {2, atVIP}, {3, atVIP}, {4, atVIP}, {5, atOE}, {6, atOEEX}, {7, atVIP}, {-5, atVIP}};
    for (const auto& c : cases)
        EXPECT_EQ(ConvertToAlbumType(c.code), c.type) << c.code;
}

TEST(CatalogTypes, CatalogDatesIgnoreTheLocaleAndDropTheFraction)
{
    // A locale whose decimal separator is a comma must not change anything.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const std::string savedC = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");

    const struct {
        const char* text;
        QDate date;
    } good[] = {
        {"36526.75", QDate(2000, 1, 1)}, {"36526", QDate(2000, 1, 1)},     {"36526.999", QDate(2000, 1, 1)},
        {"45000", QDate(2023, 3, 15)},   {"0", QDate(1899, 12, 30)},       {"-0.5", QDate(1899, 12, 30)},
        {"-1.5", QDate(1899, 12, 29)},   {" 36527 ", QDate(2000, 1, 2)},   {"3.6526e4", QDate(2000, 1, 1)},
        {"+2", QDate(1900, 1, 1)},
    };
    for (const auto& c : good)
        EXPECT_EQ(StrToCatalogDate(QString::fromLatin1(c.text)), c.date) << c.text;
    for (const char* bad : {"36526,75", "1,000", "", " ", "abc", "12abc", "nan", "inf", "1e300", "0x10", "--1", "+-1"})
        EXPECT_THROW(StrToCatalogDate(QString::fromLatin1(bad)), EConvertError) << bad;

    std::setlocale(LC_NUMERIC, savedC.c_str());
    QLocale::setDefault(saved);
}
