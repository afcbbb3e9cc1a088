// ID3v1 and ID3v2 bytes, presence checks, and replacing tags in real MP3 files.
#include "tags/TagID3.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using tagtest::Bytes;
using tagtest::FixtureCopy;
using tagtest::FixturePath;
using tagtest::Pattern;
using testutil::ReadFile;

namespace {

QByteArray Zeros(int aCount)
{
    return QByteArray(aCount, '\0');
}

// One ID3v2.3 frame with a plain 32-bit size and no flags.
QByteArray Frame(const char* aID, const QByteArray& aContent)
{
    const uint32_t n = uint32_t(aContent.size());
    return QByteArray(aID, 4) + Bytes({uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}) + Zeros(2)
           + aContent;
}

// Sizes of the tags lame wrote into the fixtures.
constexpr int LameID3v2Size = 571;       // id3v2.mp3, with 300 bytes of padding
constexpr int LameBothID3v2Size = 271;   // id3v1v2.mp3

} // namespace

TEST(ID3v1, PresenceNeedsTAGExactly128BytesBeforeTheEnd)
{
    const QByteArray tag = BuildID3v1Tag(TTagData(), false);
    const struct {
        const char* name;
        QByteArray data;
        bool exists;
    } cases[] = {
        {"empty", QByteArray(), false},
        {"only TAG", QByteArray("TAG"), false},
        {"127 bytes starting with TAG", QByteArray("TAG") + Zeros(124), false},
        {"the tag alone", tag, true},
        {"audio and tag", Pattern(1000) + tag, true},
        {"TAG one byte too early", QByteArray("TAG") + Zeros(125) + "x", false},
        {"audio only", Pattern(1000), false},
    };
    for (const auto& c : cases) {
        TMemoryTagStream s(c.data);
        EXPECT_EQ(TagID3v1Exist(s), c.exists) << c.name;
    }
}

TEST(ID3v1, RecordLayout)
{
    TTagData d;
    d.Title = QStringLiteral("Hello");
    d.Artist = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ123456789"); // 35 bytes
    d.Album = QString();
    d.Year = 0;
    d.Comment = QStringLiteral("123456789012345678901234567890"); // exactly 30
    d.Track = 300;

    const QByteArray v10 = BuildID3v1Tag(d, false);
    const QByteArray head = QByteArray("TAG") + "Hello" + Zeros(25) + "ABCDEFGHIJKLMNOPQRSTUVWXYZ1234" + Zeros(30)
                            + QByteArray("0") + Zeros(3);
    EXPECT_EQ(v10, head + "123456789012345678901234567890" + Bytes({0xFF}));

    // 1.1: the comment shrinks to 28, then a zero and the low 8 bits of the track (300 -> 44).
    const QByteArray v11 = BuildID3v1Tag(d, true);
    EXPECT_EQ(v11, head + "1234567890123456789012345678" + Bytes({0x00, 44, 0xFF}));

    d.Title = d.Artist; // a 35-byte title is cut to 30 as well
    EXPECT_EQ(BuildID3v1Tag(d, false).mid(3, 30), QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZ1234"));
    d.Year = 2004;
    EXPECT_EQ(BuildID3v1Tag(d, false).mid(93, 4), QByteArray("2004"));
    d.Year = 65535; // five digits are cut to the field's four
    EXPECT_EQ(BuildID3v1Tag(d, false).mid(93, 4), QByteArray("6553"));
}

TEST(ID3v1, TextIsLatin1WithQuestionMarks)
{
    const struct {
        QString text;
        QByteArray bytes;
    } cases[] = {
        {QStringLiteral("Café Ünïcödé"), QByteArray("Caf\xE9 \xDCn\xEF" "c\xF6" "d\xE9")},
        {QStringLiteral("Привет"), QByteArray("??????")},
        {QStringLiteral("a\U0001F600b"), QByteArray("a?b")}, // one character outside the BMP, one "?"
        {QStringLiteral("Ж").repeated(40), QByteArray(30, '?')},
    };
    for (const auto& c : cases) {
        TTagData d;
        d.Title = c.text;
        const QByteArray tag = BuildID3v1Tag(d, false);
        ASSERT_EQ(tag.size(), 128);
        EXPECT_EQ(tag.mid(3, 30), c.bytes + Zeros(30 - int(c.bytes.size()))) << c.text.toStdString();
    }
}

TEST(ID3v1, SecondWriteOverwritesTheFirst)
{
    FixtureCopy file(QStringLiteral("plain.mp3"));
    const QByteArray audio = file.Bytes();
    const TTagData first = TagData("First", "", "", 1, 1990, "");
    const TTagData second = TagData("Second", "Album", "Title", 2, 2000, "");
    {
        TFileTagStream s(file.Path());
        AddID3v1xTag(s, first, false);
        AddID3v1xTag(s, second, true);
    }
    EXPECT_TRUE(file.Bytes() == audio + BuildID3v1Tag(second, true));
}

TEST(ID3v1, ReplacesLamesTagAndLeavesTheID3v2Tag)
{
    for (const char* name : {"id3v1.mp3", "id3v1v2.mp3"}) {
        FixtureCopy file(QString::fromLatin1(name));
        const QByteArray old = file.Bytes();
        const TTagData d = TagData("Artist", "Album", "Title", 9, 2009, "");
        {
            TFileTagStream s(file.Path());
            AddTagToFile(s, ffMp3, ttID3V1, d, false);
        }
        EXPECT_TRUE(file.Bytes() == old.left(old.size() - 128) + BuildID3v1Tag(d, false)) << name;
    }
}

TEST(ID3v2, PresenceAndSize)
{
    const struct {
        const char* name;
        QByteArray data;
        int64_t size;
    } cases[] = {
        {"no tag", Pattern(100), 0},
        {"empty file", QByteArray(), 0},
        {"header cut short", QByteArray("ID3\x03\x00\x00\x00", 7), 0},
        {"257 bytes after the header", QByteArray("ID3\x03\x00\x00\x00\x00\x02\x01", 10) + Zeros(300), 267},
        {"every size byte", QByteArray("ID3\x03\x00\x00\x01\x02\x03\x04", 10), 10 + (1 << 21) + (2 << 14) + (3 << 7) + 4},
        {"lowercase id3", QByteArray("id3\x03\x00\x00\x00\x00\x02\x01", 10), 0},
    };
    for (const auto& c : cases) {
        TMemoryTagStream s(c.data);
        EXPECT_EQ(TagID3v2Exist(s), c.size) << c.name;
    }
}

TEST(ID3v2, EmptyDataGivesA22ByteTag)
{
    TMemoryTagStream s;
    AddID3v2xTag(s, TTagData(), false);
    EXPECT_EQ(s.Data(), QByteArray("ID3\x03\x00\x00\x00\x00\x00\x0C"
                                   "WXXX\x00\x00\x00\x02\x00\x00\x00\x00",
                                   22));
    EXPECT_EQ(TagID3v2Exist(s), 22);
}

TEST(ID3v2, Latin1TextGivesTheClassicBytes)
{
    const TTagData d = TagData("Artist", "Album", "Title", 7, 2001, "Hi");
    const QByteArray expected("ID3\x03\x00\x00\x00\x00\x00\x69"
                              "WXXX\x00\x00\x00\x02\x00\x00\x00\x00"
                              "TIT2\x00\x00\x00\x06\x00\x00\x00Title"
                              "TPE1\x00\x00\x00\x07\x00\x00\x00" "Artist"
                              "TALB\x00\x00\x00\x06\x00\x00\x00" "Album"
                              "TRCK\x00\x00\x00\x02\x00\x00\x00" "7"
                              "TYER\x00\x00\x00\x05\x00\x00\x00" "2001"
                              "COMM\x00\x00\x00\x07\x00\x00\x00" "eng\x00Hi",
                              115);
    EXPECT_EQ(BuildID3v2Tag(d), expected);

    // Accented Latin stays ISO-8859-1 with encoding byte 0.
    TTagData latin;
    latin.Title = QStringLiteral("Café");
    EXPECT_EQ(BuildID3v2Tag(latin).mid(22), Frame("TIT2", Bytes({0x00, 'C', 'a', 'f', 0xE9})));
}

TEST(ID3v2, OtherTextIsUtf16WithByteOrderMark)
{
    TTagData d;
    d.Title = QStringLiteral("Привет");
    d.Artist = QStringLiteral("Café Ж"); // one character outside Latin-1 makes the whole text UTF-16
    d.Album = QStringLiteral("\U0001F600");
    d.Comment = QStringLiteral("Ж");
    d.Year = 1988;
    const QByteArray expected =
        Frame("WXXX", Zeros(2))
        + Frame("TIT2", Bytes({0x01, 0xFF, 0xFE, 0x1F, 0x04, 0x40, 0x04, 0x38, 0x04, 0x32, 0x04, 0x35, 0x04, 0x42, 0x04}))
        + Frame("TPE1", Bytes({0x01, 0xFF, 0xFE, 'C', 0, 'a', 0, 'f', 0, 0xE9, 0, ' ', 0, 0x16, 0x04}))
        + Frame("TALB", Bytes({0x01, 0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}))
        + Frame("TYER", QByteArray("\x00" "1988", 5))
        // Empty description: a byte-order mark and a two-byte terminator.
        + Frame("COMM", Bytes({0x01, 'e', 'n', 'g', 0xFF, 0xFE, 0x00, 0x00, 0xFF, 0xFE, 0x16, 0x04}));
    const QByteArray tag = BuildID3v2Tag(d);
    EXPECT_EQ(tag.mid(10), expected);
    EXPECT_EQ(tag.left(10), QByteArray("ID3\x03\x00\x00\x00\x00\x00", 9) + char(expected.size()));
}

TEST(ID3v2, SizeIsSyncSafe)
{
    const struct {
        int titleLength;
        QByteArray sizeBytes;
    } cases[] = {
        {300, Bytes({0x00, 0x00, 0x02, 0x43})},      // 323
        {20000, Bytes({0x00, 0x01, 0x1C, 0x37})},    // 20023
    };
    for (const auto& c : cases) {
        TTagData d;
        d.Title = QString(c.titleLength, QLatin1Char('a'));
        TMemoryTagStream s;
        AddID3v2xTag(s, d, false);
        EXPECT_EQ(s.Data().mid(6, 4), c.sizeBytes) << c.titleLength;
        EXPECT_EQ(TagID3v2Exist(s), s.Size());
    }
}

TEST(ID3v2, ReplacingShiftsTheAudioByTheSizeDifference)
{
    FixtureCopy file(QStringLiteral("id3v2.mp3"));
    const QByteArray old = file.Bytes();
    const QByteArray audio = old.mid(LameID3v2Size);
    TFileTagStream s(file.Path());
    ASSERT_EQ(TagID3v2Exist(s), LameID3v2Size);

    // Smaller than lame's padded tag: the file shrinks.
    const TTagData small = TagData("Artist", "Album", "Title", 1, 2001, "");
    AddTagToFile(s, ffMp3, ttID3V2, small, false);
    const QByteArray smallTag = BuildID3v2Tag(small);
    ASSERT_LT(smallTag.size(), LameID3v2Size);
    EXPECT_TRUE(ReadFile(file.Path()) == smallTag + audio);

    // Larger: the file grows by the difference; the audio is unchanged again.
    TTagData large = small;
    large.Title = QStringLiteral("Длинное название ").repeated(800);
    AddTagToFile(s, ffMp3, ttID3V2, large, false);
    const QByteArray largeTag = BuildID3v2Tag(large);
    ASSERT_GT(largeTag.size(), 3 * ExtendStreamBufferSize);
    EXPECT_TRUE(ReadFile(file.Path()) == largeTag + audio);

    // The same tag again: same size, nothing moves.
    AddTagToFile(s, ffMp3, ttID3V2, large, false);
    EXPECT_TRUE(ReadFile(file.Path()) == largeTag + audio);
}

TEST(ID3v2, RemovesID3v1UnlessSkipped)
{
    const TTagData d = TagData("Artist", "Album", "Title", 1, 2001, "");
    for (bool skip : {false, true}) {
        FixtureCopy file(QStringLiteral("id3v1v2.mp3"));
        const QByteArray old = file.Bytes();
        {
            TFileTagStream s(file.Path());
            AddTagToFile(s, ffMp3, ttID3V2, d, skip);
        }
        const QByteArray audio = old.mid(LameBothID3v2Size, old.size() - LameBothID3v2Size - 128);
        const QByteArray expected = BuildID3v2Tag(d) + audio + (skip ? old.right(128) : QByteArray());
        EXPECT_TRUE(file.Bytes() == expected) << "skip " << skip;
    }
}

TEST(ID3, ClearingRemovesBothTags)
{
    const struct {
        const char* name;
        int v2;
        int v1;
    } cases[] = {
        {"plain.mp3", 0, 0},
        {"id3v1.mp3", 0, 128},
        {"id3v2.mp3", LameID3v2Size, 0},
        {"id3v1v2.mp3", LameBothID3v2Size, 128},
    };
    for (const auto& c : cases) {
        FixtureCopy file(QString::fromLatin1(c.name));
        const QByteArray old = file.Bytes();
        {
            TFileTagStream s(file.Path());
            ClearMp3Tag(s);
        }
        EXPECT_TRUE(file.Bytes() == old.mid(c.v2, old.size() - c.v2 - c.v1)) << c.name;
    }
}

TEST(ID3, TagSizePastTheEndIsRefusedWithoutChange)
{
    // The size field claims 1 MiB in a file of a few kilobytes: shifting by it
    // would cut the audio; the file stays as it was.
    const QByteArray corrupt = QByteArray("ID3\x03\x00\x00\x00\x40\x00\x00", 10) + Pattern(5000)
                               + BuildID3v1Tag(TagData("Old", "", "", 0, 0, ""), false);
    const TTagData d = TagData("Artist", "Album", "Title", 1, 2001, "");
    {
        TMemoryTagStream s(corrupt);
        EXPECT_THROW(AddID3v2xTag(s, d, false), ETagException);
        EXPECT_TRUE(s.Data() == corrupt);
    }
    {
        TMemoryTagStream s(corrupt);
        EXPECT_THROW(AddTagToFile(s, ffMp3, ttNone, d, false), ETagException);
        EXPECT_TRUE(s.Data() == corrupt);
    }
    // A tag that ends inside the ID3v1 record that is about to be cut.
    const QByteArray overlap = QByteArray("ID3\x03\x00\x00\x00\x00\x01\x00", 10) + Pattern(100)
                               + BuildID3v1Tag(TTagData(), false);
    TMemoryTagStream s(overlap);
    EXPECT_THROW(ClearMp3Tag(s), ETagException);
    EXPECT_TRUE(s.Data() == overlap);
}
