// FLAC: the Vorbis comment block replaced or inserted, its vendor and flags,
// and the files the writer refuses.
#include "tags/TagFLAC.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <gtest/gtest.h>

using tagtest::Fixture;

namespace {

QByteArray LE32(uint32_t aValue)
{
    return tagtest::Bytes({uint8_t(aValue), uint8_t(aValue >> 8), uint8_t(aValue >> 16), uint8_t(aValue >> 24)});
}

// The test's own walk through the metadata blocks.
struct TBlock {
    qsizetype Start = 0;
    uint8_t Flags = 0;
    QByteArray Content;
    int Type() const { return Flags & 0x7F; }
    bool Last() const { return (Flags & 0x80) != 0; }
    QByteArray Bytes() const
    {
        const qsizetype n = Content.size();
        return QByteArray(1, char(Flags)) + char(n >> 16) + char(n >> 8) + char(n) + Content;
    }
};

QList<TBlock> Blocks(const QByteArray& aFile, qsizetype* aAudioStart = nullptr)
{
    QList<TBlock> blocks;
    qsizetype at = 4;
    for (;;) {
        TBlock b;
        b.Start = at;
        b.Flags = uint8_t(aFile[at]);
        const qsizetype n = (qsizetype(uint8_t(aFile[at + 1])) << 16) | (uint8_t(aFile[at + 2]) << 8)
                            | uint8_t(aFile[at + 3]);
        b.Content = aFile.mid(at + 4, n);
        blocks.append(b);
        at += 4 + n;
        if (b.Last() || at >= aFile.size())
            break;
    }
    if (aAudioStart)
        *aAudioStart = at;
    return blocks;
}

QByteArray CommentBlock(uint8_t aFlags, const QByteArray& aVendor, const QList<QByteArray>& aComments)
{
    TBlock b;
    b.Flags = aFlags;
    b.Content = LE32(uint32_t(aVendor.size())) + aVendor + LE32(uint32_t(aComments.size()));
    for (const QByteArray& c : aComments)
        b.Content += LE32(uint32_t(c.size())) + c;
    return b.Bytes();
}

QByteArray Vendor(const TBlock& aBlock)
{
    const uint32_t n = uint8_t(aBlock.Content[0]) | (uint8_t(aBlock.Content[1]) << 8)
                       | (uint8_t(aBlock.Content[2]) << 16) | (uint32_t(uint8_t(aBlock.Content[3])) << 24);
    return aBlock.Content.mid(4, n);
}

const TTagData& Data()
{
    static const TTagData d = TagData(QStringLiteral("Иван"), QStringLiteral("Façade"), QStringLiteral("Crème"), 7,
                                      2001, QStringLiteral("Note"));
    return d;
}

const QList<QByteArray> Comments{"TITLE=Crème", "ARTIST=Иван", "ALBUM=Façade", "TRACK=7", "TRACKNUMBER=7",
                                 "YEAR=2001", "DATE=2001", "COMMENT=Note"};

} // namespace

TEST(FLAC, ReplacesOrInsertsTheCommentBlock)
{
    const struct {
        const char* fixture;
        bool clear;
        int at;            // index of the comment block after writing
        bool inserted;     // the file had none
    } cases[] = {
        {"tone.flac", false, 2, false},
        {"tone.flac", true, 2, false},
        {"tone-vclast.flac", false, 2, false},
        // Before the last block: STREAMINFO, SEEKTABLE, new block, PADDING.
        {"tone-novc.flac", false, 2, true},
        {"tone-novc.flac", true, 2, true},
        // After STREAMINFO, which stays first; the new block is the last one.
        {"tone-streaminfo.flac", false, 1, true},
        {"tone-streaminfo.flac", true, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 clear=%2").arg(QLatin1String(c.fixture)).arg(c.clear).toStdString());
        const QByteArray old = Fixture(QLatin1String(c.fixture));
        qsizetype oldAudio = 0;
        const QList<TBlock> before = Blocks(old, &oldAudio);

        TMemoryTagStream stream(old);
        AddTagToFile(stream, ffFlac, c.clear ? ttNone : ttFLAC, Data(), false);
        const QByteArray now = stream.Data();
        qsizetype audio = 0;
        const QList<TBlock> after = Blocks(now, &audio);

        // The other blocks and the audio frames are unchanged.
        ASSERT_EQ(after.size(), before.size() + (c.inserted ? 1 : 0));
        EXPECT_TRUE(now.mid(audio) == old.mid(oldAudio));
        QList<QByteArray> others;
        for (int i = 0; i < after.size(); ++i)
            if (i != c.at)
                others.append(after[i].Bytes());
        QList<QByteArray> oldOthers;
        for (const TBlock& b : before)
            if (b.Type() != FlacBlockVorbisComment)
                oldOthers.append(b.Bytes());
        if (QByteArray(c.fixture) == "tone-streaminfo.flac") {
            // STREAMINFO passed the last-block flag on to the new block.
            ASSERT_TRUE(before[0].Last());
            EXPECT_EQ(after[0].Flags, before[0].Flags & 0x7F);
            EXPECT_EQ(after[0].Content, before[0].Content);
        } else {
            EXPECT_EQ(others, oldOthers);
        }

        // The vendor stays, or is " " in a new block; the last-block flag is
        // the old block's, or set only when the new block ends the list.
        const TBlock& block = after[c.at];
        const QByteArray vendor = c.inserted ? QByteArray(" ") : Vendor(before[c.at]);
        if (!c.inserted) {
            EXPECT_TRUE(vendor.startsWith("reference libFLAC"));
        }
        const uint8_t flags = c.inserted ? uint8_t(4 | (c.at == after.size() - 1 ? 0x80 : 0)) : before[c.at].Flags;
        EXPECT_EQ(block.Bytes(), CommentBlock(flags, vendor, c.clear ? QList<QByteArray>() : Comments));
        for (int i = 0; i < after.size(); ++i)
            EXPECT_EQ(after[i].Last(), i == after.size() - 1) << i;

        // Again with the same values: the size and every byte stay.
        AddTagToFile(stream, ffFlac, c.clear ? ttNone : ttFLAC, Data(), false);
        EXPECT_TRUE(stream.Data() == now);
    }
}

TEST(FLAC, RefusedFilesStayAsTheyWere)
{
    const QByteArray flac = Fixture(QStringLiteral("tone.flac"));
    const QList<TBlock> blocks = Blocks(flac);
    QByteArray blockPastEnd = flac.left(4) + QByteArray("\x00\xFF\xFF\xFF", 4) + flac.mid(8);
    QByteArray vendorPastBlock = flac;
    vendorPastBlock.replace(blocks[2].Start + 4, 4, LE32(uint32_t(blocks[2].Content.size())));
    // PADDING without its flag in a file without comments: the walk runs
    // into the first audio frame, whose header is no block that fits.
    QByteArray noLastBlock = Fixture(QStringLiteral("tone-novc.flac"));
    noLastBlock[Blocks(noLastBlock).last().Start] = char(1);

    const struct {
        const char* name;
        QByteArray file;
        const char* message; // empty: any message
    } cases[] = {
        {"not FLAC", QByteArray(100, 'x'), "WrongFile (\"fLaC\" not found)"},
        {"empty", QByteArray(), "WrongFile (\"fLaC\" not found)"},
        {"only the marker", QByteArray("fLaC"), ""},
        {"block header cut", flac.left(6), ""},
        {"block past the end", blockPastEnd, ""},
        {"vendor past the block", vendorPastBlock, ""},
        {"no last block", noLastBlock, ""},
    };
    for (const auto& c : cases) {
        for (TTagType type : {ttFLAC, ttNone}) {
            SCOPED_TRACE(c.name);
            TMemoryTagStream stream(c.file);
            try {
                AddTagToFile(stream, ffFlac, type, Data(), false);
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
