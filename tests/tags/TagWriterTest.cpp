// The tag stream, ExtendStream, StrToTagType and the writer selection.
#include "tags/TagID3.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

using tagtest::Pattern;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {

// A memory stream that records how it is used: the largest single read or
// write and the largest size it ever had, and the bytes read in total.
class TRecordingStream : public TMemoryTagStream {
public:
    explicit TRecordingStream(const QByteArray& aData) : TMemoryTagStream(aData), MaxSize(aData.size()) {}
    int64_t MaxChunk = 0;
    int64_t MaxSize;
    int64_t BytesRead = 0;
    void SetSize(int64_t aSize) override
    {
        MaxSize = std::max(MaxSize, aSize);
        TMemoryTagStream::SetSize(aSize);
    }

protected:
    int64_t DoRead(int64_t aOffset, void* aBuffer, int64_t aCount) override
    {
        MaxChunk = std::max(MaxChunk, aCount);
        const int64_t n = TMemoryTagStream::DoRead(aOffset, aBuffer, aCount);
        BytesRead += n;
        return n;
    }
    void DoWrite(int64_t aOffset, const void* aBuffer, int64_t aCount) override
    {
        MaxChunk = std::max(MaxChunk, aCount);
        TMemoryTagStream::DoWrite(aOffset, aBuffer, aCount);
        MaxSize = std::max(MaxSize, Size());
    }
};

struct ExtendCase {
    int64_t size;
    int64_t by;
};

void PrintTo(const ExtendCase& c, std::ostream* os)
{
    *os << c.size << " bytes by " << c.by;
}

class ExtendStreamTest : public ::testing::TestWithParam<ExtendCase> {};

// What ExtendStream must leave: growing keeps the old content at the end and
// the first bytes unchanged; shrinking drops the first bytes.
QByteArray Expected(const QByteArray& aOld, int64_t aBy)
{
    if (aBy >= 0)
        return aOld.left(qsizetype(std::min<int64_t>(aBy, aOld.size()))) + QByteArray(qsizetype(std::max<int64_t>(aBy - aOld.size(), 0)), '\0') + aOld;
    return aOld.mid(qsizetype(-aBy));
}

} // namespace

TEST_P(ExtendStreamTest, ShiftsAFileInPlace)
{
    const ExtendCase c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("shift.bin"));
    const QByteArray old = Pattern(c.size);
    WriteFile(path, old);
    {
        TFileTagStream stream(path);
        ExtendStream(stream, c.by);
    }
    const QByteArray now = ReadFile(path);
    ASSERT_EQ(now.size(), c.size + c.by);
    EXPECT_TRUE(now == Expected(old, c.by));
}

TEST_P(ExtendStreamTest, MovesEachByteOnceThroughOneBuffer)
{
    const ExtendCase c = GetParam();
    const QByteArray old = Pattern(c.size, 7);
    TRecordingStream stream(old);
    ExtendStream(stream, c.by);
    EXPECT_TRUE(stream.Data() == Expected(old, c.by));
    EXPECT_LE(stream.MaxChunk, ExtendStreamBufferSize);
    // In place: never more room than the result (growing) or the original (shrinking).
    EXPECT_EQ(stream.MaxSize, std::max(c.size, c.size + c.by));
    EXPECT_EQ(stream.BytesRead, c.by == 0 ? 0 : std::min(c.size, c.size + c.by));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExtendStreamTest,
                         ::testing::Values(ExtendCase{20000, 100}, ExtendCase{20000, -100},
                                           ExtendCase{3 * 8192, 100}, ExtendCase{3 * 8192, -100},
                                           ExtendCase{3 * 8192 + 100, -100}, ExtendCase{20000, 30000},
                                           ExtendCase{20000, -20000}, ExtendCase{0, 50}, ExtendCase{5000, 0},
                                           ExtendCase{50, 8192 * 2 + 3}));

TEST(ExtendStream, RefusesToShrinkByMoreThanTheSize)
{
    const QByteArray old = Pattern(1000);
    TMemoryTagStream stream(old);
    EXPECT_THROW(ExtendStream(stream, -1001), ETagStreamError);
    EXPECT_THROW(ExtendStream(stream, std::numeric_limits<int64_t>::min()), ETagStreamError);
    EXPECT_TRUE(stream.Data() == old);
}

TEST(TagStream, PositionsReadsAndWrites)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.bin"));
    WriteFile(path, "0123456789");
    TFileTagStream file(path);
    TMemoryTagStream memory(QByteArray("0123456789"));
    for (TTagStream* s : {static_cast<TTagStream*>(&file), static_cast<TTagStream*>(&memory)}) {
        SCOPED_TRACE(s == &file ? "file" : "memory");
        EXPECT_EQ(s->Seek(-3, soEnd), 7);
        EXPECT_EQ(s->ReadBytes(3), QByteArray("789"));
        char c;
        EXPECT_EQ(s->Read(&c, 1), 0);
        EXPECT_THROW(s->ReadBuffer(&c, 1), ETagStreamError);
        EXPECT_THROW(s->Seek(-11, soEnd), ETagStreamError);
        // A write past the end leaves zero bytes in the gap.
        s->Seek(12);
        s->Write(QByteArray("AB"));
        EXPECT_EQ(s->Size(), 14);
        s->Seek(0);
        EXPECT_EQ(s->ReadBytes(14), QByteArray("0123456789\0\0AB", 14));
        s->SetSize(4);
        EXPECT_EQ(s->Size(), 4);
        s->SetSize(6);
        s->Seek(0);
        EXPECT_EQ(s->ReadBytes(6), QByteArray("0123\0\0", 6));
    }
}

TEST(TagStream, ErrorsOfTheFileReachTheCaller)
{
    QTemporaryDir dir;
    EXPECT_THROW(TFileTagStream(dir.filePath(QStringLiteral("missing.mp3"))), ETagStreamError);

    // A descriptor open for reading only: the writer fails and the file is unchanged.
    const QString path = dir.filePath(QStringLiteral("ro.mp3"));
    const QByteArray old = Pattern(30000);
    WriteFile(path, old);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    {
        TFileTagStream stream(fd);
        EXPECT_THROW(AddTagToFile(stream, ffMp3, ttID3V2, TagData("A", "B", "C", 1, 2000, ""), false), ETagStreamError);
        EXPECT_THROW(AddTagToFile(stream, ffMp3, ttID3V1, TagData("A", "B", "C", 1, 2000, ""), false), ETagStreamError);
    }
    ::close(fd);
    EXPECT_TRUE(ReadFile(path) == old);
}

TEST(StrToTagType, MatchesNamesRegardlessOfCase)
{
    const struct {
        const char* text;
        TTagType type;
    } cases[] = {
        {"id3V1.1", ttID3V11}, {"ID3v3", ttNone},   {"ID3v1", ttID3V1}, {"id3v2", ttID3V2}, {"ape 1.0", ttAPE1},
        {"APE 2.0", ttAPE2},   {"ogg", ttOGG},      {"Wma", ttWMA},     {"flac", ttFLAC},   {"mpeg4", ttMPEG4},
        {"none", ttNone},      {"", ttNone},        {"APE2.0", ttNone}, {" ID3v2", ttNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StrToTagType(QString::fromUtf8(c.text)), c.type) << c.text;
}

TEST(TagData, KeepsItsSixValues)
{
    const TTagData d = TagData(QStringLiteral("Artist"), QStringLiteral("Album"), QStringLiteral("Title"), 3, 1999,
                               QStringLiteral("Note"));
    EXPECT_EQ(d.Artist, QStringLiteral("Artist"));
    EXPECT_EQ(d.Album, QStringLiteral("Album"));
    EXPECT_EQ(d.Title, QStringLiteral("Title"));
    EXPECT_EQ(d.Track, 3);
    EXPECT_EQ(d.Year, 1999);
    EXPECT_EQ(d.Comment, QStringLiteral("Note"));
}

TEST(AddTagToFile, SelectsTheWriterByTagType)
{
    const QByteArray audio = Pattern(5000);
    const QByteArray v2 = BuildID3v2Tag(TagData("Old", "", "", 0, 0, ""));
    const QByteArray v1 = BuildID3v1Tag(TagData("Old", "", "", 0, 0, ""), false);
    const TTagData data = TagData("Artist", "Album", "Title", 4, 2004, "");
    const QByteArray tagged = v2 + audio + v1;

    struct Case {
        const char* name;
        TFileFormat format;
        TTagType type;
        bool skip;
        QByteArray expected;
    };
    const Case cases[] = {
        {"mp3 none clears both", ffMp3, ttNone, false, audio},
        {"unknown none keeps", ffUnknown, ttNone, false, tagged},
        {"out of range keeps", ffMp3, TTagType(42), false, tagged},
        {"id3v1 overwrites", ffMp3, ttID3V1, false, v2 + audio + BuildID3v1Tag(data, false)},
        {"id3v1.1 overwrites", ffMp3, ttID3V11, false, v2 + audio + BuildID3v1Tag(data, true)},
        {"id3v2 drops v1", ffMp3, ttID3V2, false, BuildID3v2Tag(data) + audio},
        {"id3v2 skip keeps v1", ffMp3, ttID3V2, true, BuildID3v2Tag(data) + audio + v1},
        // The format is not consulted for a tag type other than ttNone.
        {"id3v2 into any format", ffFlac, ttID3V2, false, BuildID3v2Tag(data) + audio},
    };
    for (const Case& c : cases) {
        TMemoryTagStream stream(tagged);
        AddTagToFile(stream, c.format, c.type, data, c.skip);
        EXPECT_TRUE(stream.Data() == c.expected) << c.name;
    }
}

TEST(AddTagToFile, ReachesEveryFamily)
{
    // Each family refuses a file without its structure in its own words, so
    // the message shows which writer ran; the file stays as it was.
    const QByteArray old = Pattern(3000);
    const TTagData data = TagData("Artist", "Album", "Title", 4, 2004, "");
    const struct {
        TFileFormat format;
        TTagType type;
        const char* message;
    } cases[] = {
        {ffMp3, ttOGG, "WrongFile"},
        {ffMp3, ttWMA, "WrongFile"},
        {ffMp3, ttFLAC, "WrongFile (\"fLaC\" not found)"},
        {ffMp3, ttMPEG4, "Wrong File Format (not MP4)"},
        {ffOgg, ttNone, "WrongFile"},
        {ffWma, ttNone, "WrongFile"},
        {ffFlac, ttNone, "WrongFile (\"fLaC\" not found)"},
        {ffMp4, ttNone, "Wrong File Format (not MP4)"},
    };
    for (const auto& c : cases) {
        TMemoryTagStream stream(old);
        try {
            AddTagToFile(stream, c.format, c.type, data, false);
            ADD_FAILURE() << "no error for format " << int(c.format) << " type " << int(c.type);
        } catch (const ETagException& e) {
            EXPECT_EQ(e.Message(), QString::fromUtf8(c.message));
        }
        EXPECT_TRUE(stream.Data() == old);
    }
    // APE needs no structure: the tag is appended, and the clearing mode of
    // the APE-tagged formats removes it again.
    for (TTagType type : {ttAPE1, ttAPE2})
        for (TFileFormat format : {ffMpc, ffApe, ffOFR}) {
            TMemoryTagStream stream(old);
            AddTagToFile(stream, ffMp3, type, data, false);
            EXPECT_TRUE(stream.Data().startsWith(old));
            EXPECT_TRUE(stream.Data().right(32).startsWith(QByteArray("APETAGEX") + (type == ttAPE2 ? "\xD0\x07" : "\xE8\x03")));
            AddTagToFile(stream, format, ttNone, data, false);
            EXPECT_TRUE(stream.Data() == old);
        }
}
