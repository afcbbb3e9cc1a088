// Ogg Vorbis: the page checksum, the rebuilt second page, lacing values, and
// the files the writer refuses.
#include "tags/TagOgg.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using tagtest::Fixture;

namespace {

QByteArray LE32(uint32_t aValue)
{
    return tagtest::Bytes({uint8_t(aValue), uint8_t(aValue >> 8), uint8_t(aValue >> 16), uint8_t(aValue >> 24)});
}

uint32_t GetLE32(const QByteArray& aData, qsizetype aAt)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(aData[aAt + i]);
    return v;
}

// The Ogg CRC bit by bit, independent of the writer's table.
uint32_t BitwiseCRC(const QByteArray& aData)
{
    uint32_t crc = 0;
    for (const char c : aData) {
        crc ^= uint32_t(uint8_t(c)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// One page as the test reads it.
struct TPage {
    qsizetype Start = 0;
    QByteArray Header; // 27 bytes and the lacing values
    QByteArray Data;
    QByteArray Bytes() const { return Header + Data; }
    QByteArray Lacing() const { return Header.mid(27); }
    qsizetype End() const { return Start + Header.size() + Data.size(); }
};

QList<TPage> Pages(const QByteArray& aFile)
{
    QList<TPage> pages;
    qsizetype at = 0;
    while (at + 27 <= aFile.size() && aFile.mid(at, 4) == "OggS") {
        TPage p;
        p.Start = at;
        const int n = uint8_t(aFile[at + 26]);
        p.Header = aFile.mid(at, 27 + n);
        qsizetype size = 0;
        for (const char l : p.Lacing())
            size += uint8_t(l);
        p.Data = aFile.mid(at + 27 + n, size);
        pages.append(p);
        at = p.End();
    }
    return pages;
}

// A page's checksum is right when it matches the bitwise CRC with the field zeroed.
bool ChecksumRight(const TPage& aPage)
{
    QByteArray bytes = aPage.Bytes();
    const uint32_t stored = GetLE32(bytes, 22);
    bytes.replace(22, 4, QByteArray(4, '\0'));
    return stored == BitwiseCRC(bytes);
}

QByteArray Lacing(qsizetype aPacketSize)
{
    return QByteArray(aPacketSize / 255, char(255)) + char(aPacketSize % 255);
}

// A page with its checksum; aLacing describes aData.
QByteArray MakePage(uint32_t aSerial, uint32_t aSequence, uint8_t aFlags, const QByteArray& aLacing,
                    const QByteArray& aData)
{
    QByteArray page = QByteArray("OggS") + '\0' + char(aFlags) + QByteArray(8, '\0') + LE32(aSerial) + LE32(aSequence)
                      + LE32(0) + char(aLacing.size()) + aLacing + aData;
    return page.replace(22, 4, LE32(BitwiseCRC(page)));
}

QByteArray CommentPacket(const QByteArray& aVendor, const QList<QByteArray>& aComments)
{
    QByteArray p = QByteArray("\x03vorbis") + LE32(uint32_t(aVendor.size())) + aVendor
                   + LE32(uint32_t(aComments.size()));
    for (const QByteArray& c : aComments)
        p += LE32(uint32_t(c.size())) + c;
    return p + '\x01';
}

const QByteArray IdPacket = QByteArray("\x01vorbis") + QByteArray(23, '\x11');

// A small stream: identification page, comment packet (and what follows it
// on the second page), and a third page.
QByteArray Stream(const QByteArray& aSecondLacing, const QByteArray& aSecondData, uint32_t aSecondSerial = 77)
{
    return MakePage(77, 0, 0x02, Lacing(IdPacket.size()), IdPacket)
           + MakePage(aSecondSerial, 1, 0, aSecondLacing, aSecondData)
           + MakePage(77, 2, 0x04, Lacing(100), QByteArray(100, 'a'));
}

const TTagData& Data()
{
    static const TTagData d = TagData(QStringLiteral("Иван"), QStringLiteral("Façade"), QStringLiteral("Crème"), 7,
                                      2001, QStringLiteral("Note"));
    return d;
}

} // namespace

TEST(Ogg, ChecksumOfEveryEncoderPage)
{
    EXPECT_EQ(CRC_TABLE[1], 0x04C11DB7u);
    EXPECT_EQ(CalculateCRC(0, "123456789", 9), BitwiseCRC("123456789"));
    const QList<TPage> pages = Pages(Fixture(QStringLiteral("tone.ogg")));
    ASSERT_GE(pages.size(), 3);
    for (const TPage& p : pages) {
        QByteArray bytes = p.Bytes();
        const uint32_t stored = GetLE32(bytes, 22);
        bytes.replace(22, 4, QByteArray(4, '\0'));
        EXPECT_EQ(CalculateCRC(0, bytes.constData(), bytes.size()), stored) << "page at " << p.Start;
    }
}

TEST(Ogg, RebuildsTheSecondPage)
{
    const QByteArray old = Fixture(QStringLiteral("tone.ogg"));
    const QList<TPage> oldPages = Pages(old);
    const TPage& oldSecond = oldPages[1];
    const QByteArray vendor = oldSecond.Data.mid(11, qsizetype(GetLE32(oldSecond.Data, 7)));
    ASSERT_TRUE(vendor.startsWith("Xiph.Org libVorbis"));
    ASSERT_LT(uint8_t(oldSecond.Lacing()[0]), 255); // oggenc's comment packet fits one lacing value
    const qsizetype oldPacket = uint8_t(oldSecond.Lacing()[0]);
    const QByteArray setup = oldSecond.Data.mid(oldPacket);

    const struct {
        const char* name;
        bool clear;
        QList<QByteArray> comments;
    } cases[] = {
        {"write", false,
         {"TITLE=Crème", "ARTIST=Иван", "ALBUM=Façade", "TRACK=7", "TRACKNUMBER=7", "YEAR=2001", "DATE=2001",
          "COMMENT=Note"}},
        {"clear", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryTagStream stream(old);
        AddTagToFile(stream, ffOgg, c.clear ? ttNone : ttOGG, Data(), false);
        const QByteArray now = stream.Data();
        const QList<TPage> pages = Pages(now);
        ASSERT_EQ(pages.size(), oldPages.size());

        // The first page is untouched; the second keeps its flags, granule
        // position, serial and sequence numbers, and its checksum verifies.
        EXPECT_EQ(pages[0].Bytes(), oldPages[0].Bytes());
        EXPECT_EQ(pages[1].Header.mid(4, 18), oldSecond.Header.mid(4, 18));
        EXPECT_TRUE(ChecksumRight(pages[1]));
        // The new comment packet (vendor kept), then the setup header as it was.
        const QByteArray packet = CommentPacket(vendor, c.comments);
        EXPECT_EQ(pages[1].Data, packet + setup);
        EXPECT_EQ(pages[1].Lacing(), Lacing(packet.size()) + oldSecond.Lacing().mid(1));
        // Everything after the second page is unchanged.
        EXPECT_TRUE(now.mid(pages[1].End()) == old.mid(oldSecond.End()));

        // Again with the same values: the same bytes.
        AddTagToFile(stream, ffOgg, c.clear ? ttNone : ttOGG, Data(), false);
        EXPECT_TRUE(stream.Data() == now);
    }
}

TEST(Ogg, LacingValuesOfTheCommentPacket)
{
    const QByteArray vendor("v");
    const QByteArray setup(300, 's');
    const QByteArray file = Stream(Lacing(CommentPacket(vendor, {}).size()) + Lacing(setup.size()),
                                   CommentPacket(vendor, {}) + setup);
    // A packet of 1 + 6 + 4 + 1 + 4 + (4 + 6 + t) + 1 bytes for "TITLE=" and a title of t bytes.
    const struct {
        qsizetype packet;
        QByteArray lacing;
    } cases[] = {
        {254, QByteArray(1, char(254))},
        {255, QByteArray("\xFF\x00", 2)}, // 255 and 0
        {256, QByteArray("\xFF\x01", 2)},
        {510, QByteArray("\xFF\xFF\x00", 3)},
    };
    for (const auto& c : cases) {
        const qsizetype title = c.packet - 27;
        TMemoryTagStream stream(file);
        AddTagToFile(stream, ffOgg, ttOGG, TagData("", "", QString(title, u't'), 0, 0, ""), false);
        const QList<TPage> pages = Pages(stream.Data());
        ASSERT_EQ(pages.size(), 3);
        EXPECT_EQ(pages[1].Lacing(), c.lacing + Lacing(setup.size())) << c.packet;
        EXPECT_EQ(pages[1].Data.size(), c.packet + setup.size());
        EXPECT_TRUE(pages[1].Data.endsWith(QByteArray(1, '\x01') + setup));
        EXPECT_TRUE(ChecksumRight(pages[1]));
    }

    // The same boundary in a real file, which ogginfo and ffmpeg then accept.
    tagtest::FixtureCopy copy(QStringLiteral("tone.ogg"));
    const qsizetype vendorSize = GetLE32(Pages(copy.Bytes())[1].Data, 7);
    {
        TFileTagStream stream(copy.Path());
        AddTagToFile(stream, ffOgg, ttOGG, TagData("", "", QString(255 - 27 - vendorSize + 1, u't'), 0, 0, ""),
                     false);
    }
    const TPage second = Pages(copy.Bytes())[1];
    EXPECT_EQ(second.Lacing().left(2), QByteArray("\xFF\x00", 2));
    const QJsonObject read = tagtest::ReadTags(QStringList{copy.Path()}, true)[copy.Path()].toObject();
    EXPECT_TRUE(read["checks"].toObject().isEmpty()) << QJsonDocument(read).toJson().toStdString();
    EXPECT_EQ(read["title"].toString().size(), 255 - 27 - vendorSize + 1);
}

TEST(Ogg, RefusedFilesStayAsTheyWere)
{
    const QByteArray comment = CommentPacket("vendor", {"TITLE=x"});
    const QByteArray fixture = Fixture(QStringLiteral("tone.ogg"));
    const QList<TPage> pages = Pages(fixture);
    QByteArray badVendor = CommentPacket("vendor", {});
    badVendor.replace(7, 4, LE32(1000));
    // A setup packet that fills 254 lacing values: a comment packet needing
    // two no longer fits.
    const QByteArray bigSetup(254 * 255 - 1, 's');

    const struct {
        const char* name;
        QByteArray file;
        const char* message; // empty: any message
    } cases[] = {
        {"not Ogg", QByteArray(500, 'x'), "WrongFile"},
        {"first page only", fixture.left(pages[0].End()), "WrongFile"},
        {"first page late", QByteArray(300, 'x') + fixture, "WrongFile"},
        {"second page cut", fixture.left(pages[1].End() - 1), ""},
        {"segment table cut", fixture.left(pages[1].Start + 28), ""},
        {"other stream", Stream(Lacing(comment.size()), comment, 78), "WrongFile"},
        {"not a comment packet", Stream(Lacing(12), QByteArray("OpusTags") + LE32(0)), "WrongFile"},
        {"vendor past the packet", Stream(Lacing(badVendor.size()), badVendor), ""},
        {"continues on a third page", Stream(QByteArray(255, char(255)), QByteArray(255 * 255, 'c')),
         "Ogg comment packets that continue on a third page are not supported"},
        {"no room in the segment table",
         Stream(Lacing(comment.size()) + Lacing(bigSetup.size()), comment + bigSetup), ""},
    };
    for (const auto& c : cases) {
        // Clearing shrinks the packet, which then fits.
        const bool room = QByteArray(c.name) == "no room in the segment table";
        const QList<TTagType> types = room ? QList<TTagType>{ttOGG} : QList<TTagType>{ttOGG, ttNone};
        for (TTagType type : types) {
            SCOPED_TRACE(c.name);
            TMemoryTagStream stream(c.file);
            try {
                AddTagToFile(stream, ffOgg, type, TagData("", "", QString(300, u'x'), 0, 0, ""), false);
                ADD_FAILURE() << "no error, type " << int(type);
            } catch (const ETagException& e) {
                if (*c.message) {
                    EXPECT_EQ(e.Message(), QString::fromUtf8(c.message));
                }
            }
            EXPECT_TRUE(stream.Data() == c.file);
        }
    }
}
