#include "tags/TagID3.h"

#include "log/Format.h"

#include <cstring>

namespace {

constexpr int64_t ID3v2HeaderSize = 10;
// The largest size a 4-byte sync-safe integer holds.
constexpr int64_t ID3v2MaxSize = (int64_t(1) << 28) - 1;

bool FitsLatin1(const QString& aText)
{
    for (const QChar c : aText)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

// ISO-8859-1 bytes; a character outside it becomes "?" (a surrogate pair is one character).
QByteArray ToLatin1(const QString& aText)
{
    QByteArray bytes;
    bytes.reserve(aText.size());
    for (qsizetype i = 0; i < aText.size(); ++i) {
        const char16_t c = aText[i].unicode();
        if (c <= 0xFF) {
            bytes.append(char(c));
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < aText.size() && aText[i + 1].isLowSurrogate())
            ++i;
        bytes.append('?');
    }
    return bytes;
}

// UTF-16 little-endian with its byte-order mark.
QByteArray ToUtf16WithBom(const QString& aText)
{
    QByteArray bytes;
    bytes.reserve(2 + aText.size() * 2);
    bytes.append("\xFF\xFE", 2);
    for (const QChar c : aText) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// Encoding byte and text of a text frame: ISO-8859-1 when every character
// fits (so plain text gives the classic bytes), otherwise UTF-16, which every
// ID3v2.3 reader understands; no terminator.
QByteArray TextContent(const QString& aText)
{
    if (FitsLatin1(aText))
        return QByteArray(1, '\x00') + ToLatin1(aText);
    return QByteArray(1, '\x01') + ToUtf16WithBom(aText);
}

// Encoding byte, language, empty description and the comment text.
QByteArray CommentContent(const QString& aText)
{
    if (FitsLatin1(aText))
        return QByteArray("\x00" "eng" "\x00", 5) + ToLatin1(aText);
    return QByteArray("\x01" "eng" "\xFF\xFE\x00\x00", 8) + ToUtf16WithBom(aText);
}

void AppendBigEndian32(QByteArray& aBytes, uint32_t aValue)
{
    aBytes.append(char(aValue >> 24));
    aBytes.append(char(aValue >> 16));
    aBytes.append(char(aValue >> 8));
    aBytes.append(char(aValue));
}

void AppendFrame(QByteArray& aTag, const char* aFrameID, const QByteArray& aContent)
{
    aTag.append(aFrameID, 4);
    AppendBigEndian32(aTag, uint32_t(aContent.size()));
    aTag.append("\x00\x00", 2);
    aTag.append(aContent);
}

// A text cut to its field width or filled up with zero bytes.
QByteArray FixedField(const QByteArray& aText, qsizetype aWidth)
{
    QByteArray field = aText.left(aWidth);
    field.append(aWidth - field.size(), '\x00');
    return field;
}

// The ID3v2 tag size, refusing a size field that reaches past aEnd: shifting
// the file by it would cut off audio data.
int64_t CheckedID3v2Size(TTagStream& aStream, int64_t aEnd)
{
    const int64_t size = TagID3v2Exist(aStream);
    if (size > aEnd)
        throw ETagException(
            Format(QStringLiteral("Invalid ID3v2 tag: size %d in a file of %d bytes"), {size, aStream.Size()}));
    return size;
}

} // namespace

bool TagID3v1Exist(TTagStream& aStream)
{
    const int64_t size = aStream.Size();
    if (size < ID3v1TagSize)
        return false;
    char id[3];
    aStream.Seek(size - ID3v1TagSize);
    aStream.ReadBuffer(id, sizeof id);
    return std::memcmp(id, "TAG", 3) == 0;
}

int64_t TagID3v2Exist(TTagStream& aStream)
{
    unsigned char header[ID3v2HeaderSize];
    aStream.Seek(0);
    // A file too short for a whole header has no tag.
    if (aStream.Read(header, ID3v2HeaderSize) != ID3v2HeaderSize || std::memcmp(header, "ID3", 3) != 0)
        return 0;
    return ID3v2HeaderSize + (int64_t(header[6]) << 21) + (int64_t(header[7]) << 14) + (int64_t(header[8]) << 7)
           + int64_t(header[9]);
}

void ClearMp3Tag(TTagStream& aStream)
{
    const bool hasV1 = TagID3v1Exist(aStream);
    const int64_t end = aStream.Size() - (hasV1 ? ID3v1TagSize : 0);
    const int64_t v2Size = CheckedID3v2Size(aStream, end);
    if (hasV1)
        aStream.SetSize(end);
    if (v2Size > 0)
        ExtendStream(aStream, -v2Size);
}

QByteArray BuildID3v1Tag(const TTagData& aTagData, bool aVersion1_1)
{
    QByteArray tag("TAG");
    tag.append(FixedField(ToLatin1(aTagData.Title), 30));
    tag.append(FixedField(ToLatin1(aTagData.Artist), 30));
    tag.append(FixedField(ToLatin1(aTagData.Album), 30));
    tag.append(FixedField(QByteArray::number(aTagData.Year), 4));
    if (aVersion1_1) {
        tag.append(FixedField(ToLatin1(aTagData.Comment), 28));
        tag.append('\x00');
        tag.append(char(aTagData.Track & 0xFF));
    } else {
        tag.append(FixedField(ToLatin1(aTagData.Comment), 30));
    }
    tag.append('\xFF'); // no genre
    return tag;
}

void AddID3v1xTag(TTagStream& aStream, const TTagData& aTagData, bool aVersion1_1)
{
    const QByteArray tag = BuildID3v1Tag(aTagData, aVersion1_1);
    if (tag.size() != ID3v1TagSize)
        throw Exception(QStringLiteral("Invalid tag length"));
    if (TagID3v1Exist(aStream))
        aStream.Seek(-ID3v1TagSize, soEnd);
    else
        aStream.Seek(0, soEnd);
    aStream.Write(tag);
}

QByteArray BuildID3v2Tag(const TTagData& aTagData)
{
    QByteArray tag("ID3\x03\x00\x00\x00\x00\x00\x00", ID3v2HeaderSize);
    AppendFrame(tag, "WXXX", QByteArray("\x00\x00", 2));
    if (!aTagData.Title.isEmpty())
        AppendFrame(tag, "TIT2", TextContent(aTagData.Title));
    if (!aTagData.Artist.isEmpty())
        AppendFrame(tag, "TPE1", TextContent(aTagData.Artist));
    if (!aTagData.Album.isEmpty())
        AppendFrame(tag, "TALB", TextContent(aTagData.Album));
    if (aTagData.Track != 0)
        AppendFrame(tag, "TRCK", TextContent(QString::number(aTagData.Track)));
    if (aTagData.Year != 0)
        AppendFrame(tag, "TYER", TextContent(QString::number(aTagData.Year)));
    if (!aTagData.Comment.isEmpty())
        AppendFrame(tag, "COMM", CommentContent(aTagData.Comment));

    const int64_t size = tag.size() - ID3v2HeaderSize;
    if (size > ID3v2MaxSize)
        throw ETagException(Format(QStringLiteral("ID3v2 tag of %d bytes is too large"), {size}));
    tag[6] = char((size >> 21) & 0x7F);
    tag[7] = char((size >> 14) & 0x7F);
    tag[8] = char((size >> 7) & 0x7F);
    tag[9] = char(size & 0x7F);
    return tag;
}

void AddID3v2xTag(TTagStream& aStream, const TTagData& aTagData, bool aSkipID3v1Tag)
{
    const QByteArray tag = BuildID3v2Tag(aTagData);
    const bool cutV1 = !aSkipID3v1Tag && TagID3v1Exist(aStream);
    const int64_t end = aStream.Size() - (cutV1 ? ID3v1TagSize : 0);
    const int64_t oldSize = CheckedID3v2Size(aStream, end);
    if (cutV1)
        aStream.SetSize(end);
    // One shift by the exact difference puts the audio right after the new tag.
    ExtendStream(aStream, tag.size() - oldSize);
    aStream.Seek(0);
    aStream.Write(tag);
}
