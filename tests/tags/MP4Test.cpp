// MP4 udta bytes, the moov size and chunk offsets after writing and clearing,
// and the files the writer refuses.
#include "tags/TagMP4.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <gtest/gtest.h>

using tagtest::Bytes;
using tagtest::Fixture;

namespace {

QByteArray BE32(uint32_t aValue)
{
    return Bytes({uint8_t(aValue >> 24), uint8_t(aValue >> 16), uint8_t(aValue >> 8), uint8_t(aValue)});
}

uint32_t GetBE32(const QByteArray& aData, qsizetype aAt)
{
    return (uint32_t(uint8_t(aData[aAt])) << 24) | (uint32_t(uint8_t(aData[aAt + 1])) << 16)
           | (uint32_t(uint8_t(aData[aAt + 2])) << 8) | uint8_t(aData[aAt + 3]);
}

void PutBE32(QByteArray& aData, qsizetype aAt, uint32_t aValue)
{
    aData.replace(aAt, 4, BE32(aValue));
}

// The test's own walk through the atoms, independent of the writer's.
struct TAtom {
    qsizetype Start = -1;
    qsizetype Size = 0;
    QByteArray Type;
    qsizetype End() const { return Start + Size; }
};

QList<TAtom> Atoms(const QByteArray& aData, qsizetype aFrom, qsizetype aTo)
{
    QList<TAtom> atoms;
    while (aFrom + 8 <= aTo) {
        TAtom a{aFrom, qsizetype(GetBE32(aData, aFrom)), aData.mid(aFrom + 4, 4)};
        atoms.append(a);
        if (a.Size < 8)
            break;
        aFrom += a.Size;
    }
    return atoms;
}

QList<TAtom> Children(const QByteArray& aData, const TAtom& aParent)
{
    return Atoms(aData, aParent.Start + 8, aParent.End());
}

TAtom Child(const QByteArray& aData, const TAtom& aParent, const char* aType)
{
    for (const TAtom& a : Children(aData, aParent))
        if (a.Type == aType)
            return a;
    return {};
}

TAtom TopLevel(const QByteArray& aData, const char* aType)
{
    for (const TAtom& a : Atoms(aData, 0, aData.size()))
        if (a.Type == aType)
            return a;
    return {};
}

TAtom Stco(const QByteArray& aData)
{
    const TAtom trak = Child(aData, TopLevel(aData, "moov"), "trak");
    return Child(aData, Child(aData, Child(aData, Child(aData, trak, "mdia"), "minf"), "stbl"), "stco");
}

QList<uint32_t> ChunkOffsets(const QByteArray& aData)
{
    const TAtom stco = Stco(aData);
    QList<uint32_t> offsets;
    for (uint32_t i = 0; i < GetBE32(aData, stco.Start + 12); ++i)
        offsets.append(GetBE32(aData, stco.Start + 16 + 4 * i));
    return offsets;
}

QList<uint32_t> Moved(QList<uint32_t> aOffsets, int aBy)
{
    for (uint32_t& o : aOffsets)
        o += aBy;
    return aOffsets;
}

QByteArray TextItem(const char* aType, const QByteArray& aValue)
{
    return BE32(uint32_t(aValue.size() + 24)) + QByteArray(aType, 4) + BE32(uint32_t(aValue.size() + 16)) + "data"
           + BE32(1) + BE32(0) + aValue;
}

const TTagData& Data()
{
    static const TTagData d = TagData(QStringLiteral("Иван Петров"), QStringLiteral("Façade"),
                                      QStringLiteral("Crème"), 7, 2001, QString());
    return d;
}

} // namespace

TEST(MP4, UdtaBytes)
{
    const QByteArray head = BE32(0) + "udta" + BE32(0) + "meta" + BE32(0) + BE32(34) + "hdlr" + QByteArray(8, '\0')
                            + "mdirappl" + QByteArray(10, '\0') + BE32(0) + "ilst";
    const auto sized = [](QByteArray aUdta) {
        PutBE32(aUdta, 0, uint32_t(aUdta.size()));
        PutBE32(aUdta, 8, uint32_t(aUdta.size() - 8));
        PutBE32(aUdta, 54, uint32_t(aUdta.size() - 54));
        return aUdta;
    };

    // Empty values: the four text items without a value, 62 + 4 × 24 bytes.
    const QByteArray empty = BuildMPEG4Udta(TTagData());
    EXPECT_EQ(empty.size(), 158);
    EXPECT_EQ(empty, sized(head + TextItem("\xA9" "ART", "") + TextItem("\xA9" "alb", "")
                           + TextItem("\xA9" "nam", "") + TextItem("\xA9" "cmt", "")));

    const QByteArray trkn = BE32(32) + "trkn" + BE32(24) + "data" + BE32(0) + BE32(0) + BE32(7) + BE32(0);
    EXPECT_EQ(BuildMPEG4Udta(Data()),
              sized(head + TextItem("\xA9" "ART", "Иван Петров") + TextItem("\xA9" "alb", "Façade")
                    + TextItem("\xA9" "nam", "Crème") + TextItem("\xA9" "cmt", "") + trkn
                    + TextItem("\xA9" "day", "2001")));
}

// What the writer must leave: aOld with moov's udta (if any) replaced by
// aUdta, or aUdta added as moov's last child, and moov's size and every chunk
// offset behind the change corrected. Built by the test's own walk.
QByteArray Expected(const QByteArray& aOld, const QByteArray& aUdta)
{
    QByteArray bytes = aOld;
    const TAtom moov = TopLevel(bytes, "moov");
    const TAtom udta = Child(bytes, moov, "udta");
    const qsizetype at = udta.Start >= 0 ? udta.Start : moov.End();
    const qsizetype change = aUdta.size() - udta.Size;
    PutBE32(bytes, moov.Start, uint32_t(moov.Size + change));
    const TAtom stco = Stco(bytes);
    for (uint32_t i = 0; i < GetBE32(bytes, stco.Start + 12); ++i)
        PutBE32(bytes, stco.Start + 16 + 4 * i, uint32_t(GetBE32(bytes, stco.Start + 16 + 4 * i) + change));
    return bytes.replace(at, udta.Size, aUdta);
}

TEST(MP4, AddsUdtaAsTheLastChildOfMoov)
{
    const QByteArray old = Fixture(QStringLiteral("tone-noudta.mp4"));
    const TAtom oldMoov = TopLevel(old, "moov");
    ASSERT_EQ(Child(old, oldMoov, "udta").Start, -1);
    const QByteArray udta = BuildMPEG4Udta(Data());

    TMemoryTagStream stream(old);
    AddTagToFile(stream, ffMp4, ttMPEG4, Data(), false);
    const QByteArray now = stream.Data();
    EXPECT_TRUE(now == Expected(old, udta));

    // ftyp, moov grown by the udta (its last child), then ffmpeg's free atom
    // and mdat, unchanged, behind it.
    const TAtom moov = TopLevel(now, "moov");
    EXPECT_EQ(moov.Size, oldMoov.Size + udta.size());
    const QList<TAtom> children = Children(now, moov);
    ASSERT_FALSE(children.isEmpty());
    EXPECT_EQ(children.last().Type, "udta");
    EXPECT_EQ(children.last().End(), moov.End());
    EXPECT_EQ(now.mid(moov.End(), 8), BE32(8) + "free");
    EXPECT_TRUE(now.mid(moov.End()) == old.mid(oldMoov.End()));
    // Every chunk offset moved with the data.
    EXPECT_EQ(ChunkOffsets(now), Moved(ChunkOffsets(old), int(udta.size())));
}

TEST(MP4, StrayBytesAtTheEndOfMoovStayThere)
{
    // moov ending in 4 zero bytes after its last child, as some writers leave it.
    QByteArray old = Fixture(QStringLiteral("tone-noudta.mp4"));
    const TAtom moov = TopLevel(old, "moov");
    PutBE32(old, moov.Start, uint32_t(moov.Size + 4));
    const TAtom stco = Stco(old);
    PutBE32(old, stco.Start + 16, GetBE32(old, stco.Start + 16) + 4);
    old.insert(moov.End(), QByteArray(4, '\0'));

    TMemoryTagStream stream(old);
    AddTagToFile(stream, ffMp4, ttMPEG4, Data(), false);
    const QByteArray udta = BuildMPEG4Udta(Data());
    QByteArray expected = old;
    PutBE32(expected, moov.Start, uint32_t(moov.Size + 4 + udta.size()));
    PutBE32(expected, stco.Start + 16, GetBE32(old, stco.Start + 16) + uint32_t(udta.size()));
    expected.insert(moov.End(), udta); // after the last child, before the stray bytes
    EXPECT_TRUE(stream.Data() == expected);
    // The next write finds that udta.
    AddTagToFile(stream, ffMp4, ttMPEG4, Data(), false);
    EXPECT_TRUE(stream.Data() == expected);
}

TEST(MP4, ReplacesUdtaAndClearsIt)
{
    const QByteArray old = Fixture(QStringLiteral("tone.mp4"));
    const TAtom oldUdta = Child(old, TopLevel(old, "moov"), "udta");
    ASSERT_GT(oldUdta.Size, 0); // ffmpeg's items

    TMemoryTagStream stream(old);
    AddTagToFile(stream, ffMp4, ttMPEG4, Data(), false);
    const QByteArray written = stream.Data();
    EXPECT_TRUE(written == Expected(old, BuildMPEG4Udta(Data())));

    // The same values again: not a byte changes, the offsets stay.
    AddTagToFile(stream, ffMp4, ttMPEG4, Data(), false);
    EXPECT_TRUE(stream.Data() == written);

    // Clearing removes the udta: moov and every chunk offset lower by its size.
    const int udtaSize = int(BuildMPEG4Udta(Data()).size());
    AddTagToFile(stream, ffMp4, ttNone, Data(), false);
    const QByteArray cleared = stream.Data();
    EXPECT_TRUE(cleared == Expected(written, QByteArray()));
    EXPECT_EQ(cleared.size(), written.size() - udtaSize);
    EXPECT_EQ(TopLevel(cleared, "moov").Size, TopLevel(written, "moov").Size - udtaSize);
    EXPECT_EQ(ChunkOffsets(cleared), Moved(ChunkOffsets(written), -udtaSize));
    EXPECT_EQ(Child(cleared, TopLevel(cleared, "moov"), "udta").Start, -1);

    // Clearing a file without udta changes nothing.
    AddTagToFile(stream, ffMp4, ttNone, Data(), false);
    EXPECT_TRUE(stream.Data() == cleared);
}

TEST(MP4, RefusedFilesStayAsTheyWere)
{
    const QByteArray mp4 = Fixture(QStringLiteral("tone.mp4"));
    const TAtom moov = TopLevel(mp4, "moov");
    const TAtom udta = Child(mp4, moov, "udta");
    const TAtom stco = Stco(mp4);

    QByteArray co64 = mp4;
    co64.replace(stco.Start + 4, 4, "co64");
    QByteArray wide = mp4;
    PutBE32(wide, udta.Start, 1); // a 64-bit size follows the type
    QByteArray moovPastEnd = mp4;
    PutBE32(moovPastEnd, moov.Start, uint32_t(mp4.size()));
    QByteArray childPastMoov = mp4;
    PutBE32(childPastMoov, udta.Start, uint32_t(udta.Size + 9));
    QByteArray stcoCount = mp4;
    PutBE32(stcoCount, stco.Start + 12, 2); // two offsets in room for one
    QByteArray zeroChild = mp4;
    PutBE32(zeroChild, udta.Start, 0);
    QByteArray twoUdta = mp4;
    twoUdta.replace(Child(mp4, moov, "trak").Start + 4, 4, "udta");
    QByteArray isom = mp4;
    isom.replace(8, 4, "isom");

    const struct {
        const char* name;
        QByteArray file;
        const char* message; // empty: any message
    } cases[] = {
        {"brand M4A", Fixture(QStringLiteral("tone.m4a")), "Wrong File Format (not MP4)"},
        {"brand isom", isom, "Wrong File Format (not MP4)"},
        {"mdat before moov", Fixture(QStringLiteral("tone-mdatfirst.mp4")), "Wrong File Format (not MP4)"},
        {"no moov", mp4.left(moov.Start), "Wrong File Format (not MP4)"},
        {"empty", QByteArray(), "Wrong File Format (not MP4)"},
        {"co64", co64, "MP4 files with 64-bit chunk offsets (co64) are not supported"},
        {"64-bit atom size", wide, ""},
        {"truncated in moov", mp4.left(moov.Start + 300), ""},
        {"moov past the end", moovPastEnd, ""},
        {"child past moov", childPastMoov, ""},
        {"size 0 inside moov", zeroChild, ""},
        {"two udta in moov", twoUdta, ""},
        {"stco count", stcoCount, ""},
    };
    for (const auto& c : cases) {
        for (TTagType type : {ttMPEG4, ttNone}) {
            SCOPED_TRACE(c.name);
            TMemoryTagStream stream(c.file);
            try {
                AddTagToFile(stream, ffMp4, type, Data(), false);
                ADD_FAILURE() << "no error, type " << int(type);
            } catch (const ETagException& e) {
                if (*c.message) {
                    EXPECT_EQ(e.Message(), QString::fromUtf8(c.message));
                }
            }
            EXPECT_TRUE(stream.Data() == c.file);
        }
    }

    // A chunk offset that would pass 4 GiB when the udta grows.
    QByteArray overflow = mp4;
    PutBE32(overflow, stco.Start + 16, 0xFFFFFFF0u);
    TMemoryTagStream stream(overflow);
    const TTagData longer = TagData("Artist", "Album", QString(200, u'x'), 1, 2000, "");
    ASSERT_GT(BuildMPEG4Udta(longer).size(), udta.Size);
    EXPECT_THROW(AddTagToFile(stream, ffMp4, ttMPEG4, longer, false), ETagException);
    EXPECT_TRUE(stream.Data() == overflow);
}
