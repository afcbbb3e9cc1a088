// APE tag bytes, and replacing and removing the tags at the end of a file.
#include "tags/TagAPE.h"
#include "tags/TagID3.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <gtest/gtest.h>

using tagtest::Bytes;
using tagtest::Fixture;
using tagtest::Pattern;

namespace {

QByteArray LE32(uint32_t aValue)
{
    return Bytes({uint8_t(aValue), uint8_t(aValue >> 8), uint8_t(aValue >> 16), uint8_t(aValue >> 24)});
}

QByteArray Record(uint32_t aVersion, uint32_t aSize, uint32_t aCount, uint32_t aFlags)
{
    return QByteArray("APETAGEX") + LE32(aVersion) + LE32(aSize) + LE32(aCount) + LE32(aFlags) + QByteArray(8, '\0');
}

QByteArray Item(const char* aKey, const QByteArray& aValue)
{
    return LE32(uint32_t(aValue.size())) + LE32(0) + QByteArray(aKey) + '\0' + aValue;
}

} // namespace

TEST(APE, ItemBytesAndRecords)
{
    // Title "Ab": 02 00 00 00, 00 00 00 00, "Title", 00, "Ab".
    const QByteArray ab = BuildAPETag(TagData("", "", "Ab", 0, 0, ""), true);
    EXPECT_EQ(ab.mid(32, 16), Bytes({2, 0, 0, 0, 0, 0, 0, 0}) + "Title" + '\0' + "Ab");

    // Empty values: version 2.0 is header and footer (64 bytes, size 32,
    // no items); version 1.0 the footer alone.
    EXPECT_EQ(BuildAPETag(TTagData(), true), Record(2000, 32, 0, 0xA0000000) + Record(2000, 32, 0, 0x80000000));
    EXPECT_EQ(BuildAPETag(TTagData(), false), Record(1000, 32, 0, 0));

    // All six items in their order; version 2.0 in UTF-8, the header and the
    // footer with the same size and count.
    const TTagData d = TagData(QStringLiteral("Иван"), QStringLiteral("Façade"), QStringLiteral("Ab"), 7, 2001,
                               QStringLiteral("Note"));
    const QByteArray items = Item("Title", "Ab") + Item("Artist", "Иван") + Item("Album", "Façade")
                             + Item("Track", "7") + Item("Year", "2001") + Item("Comment", "Note");
    const uint32_t size = uint32_t(items.size() + 32);
    EXPECT_EQ(BuildAPETag(d, true), Record(2000, size, 6, 0xA0000000) + items + Record(2000, size, 6, 0x80000000));
    EXPECT_EQ(BuildAPETag(d, false), items + Record(1000, size, 6, 0));
}

TEST(APE, ReplacesTheTagsAtTheEnd)
{
    const QByteArray audio = Pattern(5000);
    const QByteArray id3v1 = BuildID3v1Tag(TagData("Old", "", "", 0, 0, ""), true);
    const TTagData longer = TagData("Artist", "Album", "A long title", 3, 1999, "A comment");
    const TTagData shorter = TagData("", "", "T", 0, 0, "");
    const QByteArray old2 = BuildAPETag(longer, true);
    const QByteArray old1 = BuildAPETag(longer, false);

    const struct {
        const char* name;
        QByteArray file;
        bool isAPE2;
        QByteArray expected;
    } cases[] = {
        // The ID3v1 tag goes: the file ends with the APE footer.
        {"id3v1 only", audio + id3v1, true, audio + BuildAPETag(shorter, true)},
        {"no tag", audio, false, audio + BuildAPETag(shorter, false)},
        // The old tag is found by its footer and replaced; the file shrinks.
        {"2.0 over 2.0", audio + old2, true, audio + BuildAPETag(shorter, true)},
        {"1.0 over 2.0 and id3v1", audio + old2 + id3v1, false, audio + BuildAPETag(shorter, false)},
        {"2.0 over 1.0", audio + old1, true, audio + BuildAPETag(shorter, true)},
    };
    for (const auto& c : cases) {
        TMemoryTagStream stream(c.file);
        AddAPETag(stream, shorter, c.isAPE2, false);
        EXPECT_TRUE(stream.Data() == c.expected) << c.name;
        // Written again with the same values: the same bytes.
        AddAPETag(stream, shorter, c.isAPE2, false);
        EXPECT_TRUE(stream.Data() == c.expected) << c.name << " twice";
    }

    // The fixture with lame's ID3v1 tag.
    const QByteArray mp3 = Fixture(QStringLiteral("id3v1.mp3"));
    TMemoryTagStream stream(mp3);
    AddTagToFile(stream, ffMp3, ttAPE2, longer, false);
    EXPECT_TRUE(stream.Data() == mp3.left(mp3.size() - 128) + old2);
}

TEST(APE, ClearingCutsTheTagsOff)
{
    const QByteArray audio = Pattern(5000);
    const QByteArray id3v1 = BuildID3v1Tag(TTagData(), false);
    const QByteArray v2 = BuildAPETag(TagData("A", "B", "C", 1, 2000, ""), true);
    // A version 2.0 tag without a header, as some writers leave it: its
    // footer's flags, not its version, say so, and the audio stays whole.
    const QByteArray items = Item("Title", "C");
    const QByteArray headerless = items + Record(2000, uint32_t(items.size() + 32), 1, 0);
    const QByteArray mpc = Fixture(QStringLiteral("tone.mpc"));
    const struct {
        const char* name;
        TFileFormat format;
        QByteArray file;
        QByteArray expected;
    } cases[] = {
        {"2.0: tag size + 32", ffMpc, audio + v2, audio},
        {"2.0 and id3v1", ffApe, audio + v2 + id3v1, audio},
        {"id3v1 alone", ffOFR, audio + id3v1, audio},
        {"2.0 without header", ffMpc, audio + headerless, audio},
        {"1.0", ffApe, audio + BuildAPETag(TagData("A", "", "", 0, 0, ""), false), audio},
        {"nothing", ffMpc, audio, audio},
        // mpcenc's tag: 142 bytes of items and footer, and its header.
        {"mpcenc", ffMpc, mpc, mpc.left(mpc.size() - 142 - 32)},
    };
    for (const auto& c : cases) {
        TMemoryTagStream stream(c.file);
        AddTagToFile(stream, c.format, ttNone, TTagData(), false);
        EXPECT_TRUE(stream.Data() == c.expected) << c.name;
    }
}

TEST(APE, MalformedTagsFailAndLeaveTheFile)
{
    const QByteArray audio = Pattern(300);
    const struct {
        const char* name;
        QByteArray file;
    } cases[] = {
        {"size past the start", audio + Record(2000, 400, 0, 0)},
        {"size past the start with id3v1", audio + Record(1000, 350, 0, 0) + BuildID3v1Tag(TTagData(), false)},
        {"header past the start", audio.left(10) + Record(2000, 32, 0, 0x80000000)},
        {"size below the footer", audio + Record(2000, 31, 0, 0)},
        {"header flag, no header", audio + Item("Title", "C") + Record(2000, 32 + 15, 1, 0x80000000)},
    };
    for (const auto& c : cases) {
        for (TTagType type : {ttAPE1, ttAPE2, ttNone}) {
            TMemoryTagStream stream(c.file);
            EXPECT_THROW(AddTagToFile(stream, ffApe, type, TagData("A", "B", "C", 1, 2, ""), false), ETagException)
                << c.name;
            EXPECT_TRUE(stream.Data() == c.file) << c.name;
        }
    }
}
