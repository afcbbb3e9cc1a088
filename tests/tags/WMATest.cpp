// WMA (ASF): the two description objects' bytes, where they go when missing,
// the header's size and count, and the files the writer refuses.
#include "tags/TagStream.h"
#include "tags/TagWMA.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <QUuid>

#include <gtest/gtest.h>

using tagtest::Fixture;

namespace {

QByteArray LE(uint64_t aValue, int aBytes)
{
    QByteArray b;
    for (int i = 0; i < aBytes; ++i)
        b.append(char(aValue >> (8 * i)));
    return b;
}

uint64_t GetLE(const QByteArray& aData, qsizetype aAt, int aBytes)
{
    uint64_t v = 0;
    for (int i = aBytes - 1; i >= 0; --i)
        v = (v << 8) | uint8_t(aData[aAt + i]);
    return v;
}

// A GUID in ASF's byte order: the first three groups little-endian.
QByteArray Guid(const char* aText)
{
    const QUuid u(QString::fromLatin1(aText));
    QByteArray b = LE(u.data1, 4) + LE(u.data2, 2) + LE(u.data3, 2);
    for (const uchar c : u.data4)
        b.append(char(c));
    return b;
}

const QByteArray HeaderGuid = Guid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
const QByteArray CDGuid = Guid("75B22633-668E-11CF-A6D9-00AA0062CE6C");
const QByteArray ECDGuid = Guid("D2D0A440-E307-11D2-97F0-00A0C95EA850");
const QByteArray FilePropertiesGuid = Guid("8CABDCA1-A947-11CF-8EE4-00C00C205365");
const QByteArray DataGuid = Guid("75B22636-668E-11CF-A6D9-00AA0062CE6C");

QByteArray Utf16z(const QString& aText)
{
    QByteArray b;
    for (const QChar c : aText)
        b += LE(c.unicode(), 2);
    return b + LE(0, 2);
}

QByteArray Object(const QByteArray& aGuid, const QByteArray& aContent)
{
    return aGuid + LE(24 + aContent.size(), 8) + aContent;
}

QByteArray Descriptor(const QString& aName, const QString& aValue)
{
    return LE(Utf16z(aName).size(), 2) + Utf16z(aName) + LE(0, 2) + LE(Utf16z(aValue).size(), 2) + Utf16z(aValue);
}

// The test's own walk: the header objects' GUIDs, and each object.
struct TAsf {
    QList<QByteArray> Guids;
    QList<QByteArray> Objects;
    qsizetype HeaderSize = 0;
    uint32_t Count = 0;
};

TAsf Parse(const QByteArray& aFile)
{
    TAsf asf;
    asf.HeaderSize = qsizetype(GetLE(aFile, 16, 8));
    asf.Count = uint32_t(GetLE(aFile, 24, 4));
    qsizetype at = 30;
    for (uint32_t i = 0; i < asf.Count && at + 24 <= asf.HeaderSize; ++i) {
        const qsizetype size = qsizetype(GetLE(aFile, at + 16, 8));
        asf.Guids.append(aFile.mid(at, 16));
        asf.Objects.append(aFile.mid(at, size));
        at += size;
    }
    return asf;
}

QByteArray Header(const QList<QByteArray>& aObjects)
{
    QByteArray content;
    for (const QByteArray& o : aObjects)
        content += o;
    return HeaderGuid + LE(30 + content.size(), 8) + LE(aObjects.size(), 4) + "\x01\x02" + content;
}

const TTagData& Data()
{
    static const TTagData d = TagData(QStringLiteral("Иван"), QStringLiteral("Façade"), QStringLiteral("Crème"), 7,
                                      2001, QStringLiteral("Note"));
    return d;
}

} // namespace

TEST(WMA, DescriptionObjectBytes)
{
    // Title, author, rights, description, rating; each string with its terminator.
    EXPECT_EQ(BuildWMAContentDescription(Data(), false),
              Object(CDGuid, LE(12, 2) + LE(10, 2) + LE(0, 2) + LE(10, 2) + LE(0, 2) + Utf16z("Crème")
                                 + Utf16z("Иван") + Utf16z("Note")));
    // Track 7 is "07"; WM/URL always, with the terminator as its value.
    EXPECT_EQ(BuildWMAExtendedContentDescription(Data(), false),
              Object(ECDGuid, LE(4, 2) + Descriptor("WM/URL", "") + Descriptor("WM/AlbumTitle", "Façade")
                                  + Descriptor("WM/TrackNumber", "07") + Descriptor("WM/Year", "2001")));
    EXPECT_EQ(BuildWMAExtendedContentDescription(TagData("", "", "", 12, 0, ""), false),
              Object(ECDGuid, LE(2, 2) + Descriptor("WM/URL", "") + Descriptor("WM/TrackNumber", "12")));
    // Empty values: no strings, and only WM/URL.
    EXPECT_EQ(BuildWMAContentDescription(TTagData(), false), Object(CDGuid, QByteArray(10, '\0')));
    EXPECT_EQ(BuildWMAExtendedContentDescription(TTagData(), false),
              Object(ECDGuid, LE(1, 2) + Descriptor("WM/URL", "")));
    // Clearing: five zero lengths and no descriptor at all.
    EXPECT_EQ(BuildWMAContentDescription(Data(), true), Object(CDGuid, QByteArray(10, '\0')));
    EXPECT_EQ(BuildWMAExtendedContentDescription(Data(), true), Object(ECDGuid, LE(0, 2)));
}

TEST(WMA, AddsMissingObjectsAtTheEndOfTheHeader)
{
    const QByteArray old = Fixture(QStringLiteral("tone-bare.wma"));
    const TAsf before = Parse(old);
    ASSERT_FALSE(before.Guids.contains(CDGuid));
    ASSERT_FALSE(before.Guids.contains(ECDGuid));

    TMemoryTagStream stream(old);
    AddTagToFile(stream, ffWma, ttWMA, Data(), false);
    const QByteArray now = stream.Data();
    const TAsf after = Parse(now);

    const QByteArray cd = BuildWMAContentDescription(Data(), false);
    const QByteArray ecd = BuildWMAExtendedContentDescription(Data(), false);
    EXPECT_EQ(after.Count, before.Count + 2);
    EXPECT_EQ(after.HeaderSize, before.HeaderSize + cd.size() + ecd.size());
    for (int i = 0; i < before.Objects.size(); ++i) {
        if (before.Guids[i] == FilePropertiesGuid) {
            // The recorded file size follows the new size; the rest stays.
            EXPECT_EQ(GetLE(after.Objects[i], 40, 8), uint64_t(now.size()));
            EXPECT_EQ(GetLE(before.Objects[i], 40, 8), uint64_t(old.size()));
            EXPECT_EQ(after.Objects[i].left(40), before.Objects[i].left(40));
            EXPECT_EQ(after.Objects[i].mid(48), before.Objects[i].mid(48));
        } else {
            EXPECT_EQ(after.Objects[i], before.Objects[i]);
        }
    }
    EXPECT_EQ(after.Objects.mid(before.Objects.size()), (QList<QByteArray>{cd, ecd}));
    EXPECT_EQ(now.mid(after.HeaderSize, 16), DataGuid);
    EXPECT_TRUE(now.mid(after.HeaderSize) == old.mid(before.HeaderSize));

    // Written again: the objects are found and replaced, nothing changes.
    AddTagToFile(stream, ffWma, ttWMA, Data(), false);
    EXPECT_TRUE(stream.Data() == now);
}

TEST(WMA, ReplacesTheObjectsInPlaceAndClears)
{
    const QByteArray old = Fixture(QStringLiteral("tone.wma"));
    const TAsf before = Parse(old);
    const int cdAt = int(before.Guids.indexOf(CDGuid));
    const int ecdAt = int(before.Guids.indexOf(ECDGuid));
    ASSERT_GE(cdAt, 0);
    ASSERT_GE(ecdAt, 0);

    for (const bool clear : {false, true}) {
        SCOPED_TRACE(clear ? "clear" : "write");
        TMemoryTagStream stream(old);
        AddTagToFile(stream, ffWma, clear ? ttNone : ttWMA, Data(), false);
        const QByteArray now = stream.Data();
        const TAsf after = Parse(now);
        EXPECT_EQ(after.Guids, before.Guids);
        EXPECT_EQ(after.Objects[cdAt], BuildWMAContentDescription(Data(), clear));
        EXPECT_EQ(after.Objects[ecdAt], BuildWMAExtendedContentDescription(Data(), clear));
        EXPECT_EQ(qsizetype(GetLE(now, 16, 8)), after.HeaderSize);
        EXPECT_TRUE(now.mid(after.HeaderSize) == old.mid(before.HeaderSize));
        AddTagToFile(stream, ffWma, clear ? ttNone : ttWMA, Data(), false);
        EXPECT_EQ(stream.Data().size(), now.size());
        EXPECT_TRUE(stream.Data() == now);
    }
}

TEST(WMA, PlacesOfMissingObjects)
{
    const QByteArray a = Object(Guid("11111111-2222-3333-4444-555555555555"), "a");
    const QByteArray oldCD = Object(CDGuid, QByteArray(10, '\0'));
    const QByteArray oldECD = Object(ECDGuid, LE(0, 2));
    const QByteArray cd = BuildWMAContentDescription(Data(), false);
    const QByteArray ecd = BuildWMAExtendedContentDescription(Data(), false);
    const QByteArray audio("data object");
    const struct {
        const char* name;
        QList<QByteArray> objects, expected;
    } cases[] = {
        {"neither", {a}, {a, cd, ecd}},
        {"no CD: before the ECD", {oldECD, a}, {cd, ecd, a}},
        {"no ECD: after the CD", {oldCD, a}, {cd, ecd, a}},
        {"ECD before CD", {oldECD, a, oldCD}, {ecd, a, cd}},
        {"no objects", {}, {cd, ecd}},
    };
    for (const auto& c : cases) {
        TMemoryTagStream stream(Header(c.objects) + audio);
        AddTagToFile(stream, ffWma, ttWMA, Data(), false);
        QByteArray expected = Header(c.expected);
        expected.replace(24, 4, LE(c.expected.size(), 4));
        EXPECT_EQ(stream.Data(), expected + audio) << c.name;
    }
}

TEST(WMA, RefusedFilesStayAsTheyWere)
{
    const QByteArray wma = Fixture(QStringLiteral("tone.wma"));
    QByteArray headerPastEnd = wma;
    headerPastEnd.replace(16, 8, LE(wma.size() + 1, 8));
    QByteArray headerTooSmall = wma;
    headerTooSmall.replace(16, 8, LE(29, 8));
    QByteArray objectPastHeader = wma;
    objectPastHeader.replace(30 + 16, 8, LE(GetLE(wma, 16, 8), 8));
    QByteArray objectTooSmall = wma;
    objectTooSmall.replace(30 + 16, 8, LE(23, 8));
    QByteArray tooManyObjects = wma;
    tooManyObjects.replace(24, 4, LE(GetLE(wma, 24, 4) + 1, 4));
    QByteArray hugeSize = wma;
    hugeSize.replace(16, 8, LE(~uint64_t(0), 8));

    const struct {
        const char* name;
        QByteArray file;
        TTagData data;
        const char* message; // empty: any message
    } cases[] = {
        {"not ASF", QByteArray(100, 'x'), Data(), "WrongFile"},
        {"shorter than a GUID", HeaderGuid.left(10), Data(), "WrongFile"},
        {"header cut", wma.left(20), Data(), ""},
        {"header size past the end", headerPastEnd, Data(), ""},
        {"header size 2^64 - 1", hugeSize, Data(), ""},
        {"header smaller than itself", headerTooSmall, Data(), ""},
        {"object past the header", objectPastHeader, Data(), ""},
        {"object smaller than its header", objectTooSmall, Data(), ""},
        {"more objects than fit", tooManyObjects, Data(), ""},
        // A 16-bit length cannot hold it.
        {"title too long", wma, TagData("", "", QString(40000, u'x'), 0, 0, ""), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryTagStream stream(c.file);
        try {
            AddTagToFile(stream, ffWma, ttWMA, c.data, false);
            ADD_FAILURE() << "no error";
        } catch (const ETagException& e) {
            if (*c.message) {
                EXPECT_EQ(e.Message(), QString::fromUtf8(c.message));
            }
        }
        EXPECT_TRUE(stream.Data() == c.file);
    }
}
