#include "tags/TagOgg.h"

#include "log/Format.h"
#include "tags/TagBytes.h"

using namespace tagbytes;

namespace {

constexpr std::array<uint32_t, 256> MakeCRCTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    return table;
}

// How far into the file the first page may start.
constexpr int64_t OggFirstPageWindow = 256;

[[noreturn]] void RaiseWrongFile()
{
    throw ETagException(QStringLiteral("WrongFile"));
}

// One page as it is in the file: the header with its segment table, where
// it starts and how much data follows the header.
struct TOggPage {
    int64_t Start = 0;
    QByteArray Header; // 27 bytes and the segment table
    int64_t DataSize = 0;

    int Segments() const { return At(Header, 26); }
    uint8_t Lacing(int aIndex) const { return At(Header, OggPageHeaderSize + aIndex); }
    int64_t End() const { return Start + Header.size() + DataSize; }
};

TOggPage ReadPage(TTagStream& aStream, int64_t aStart, int64_t aFileSize)
{
    TOggPage page;
    page.Start = aStart;
    if (aStart + OggPageHeaderSize > aFileSize)
        RaiseWrongFile();
    aStream.Seek(aStart);
    page.Header = aStream.ReadBytes(OggPageHeaderSize);
    if (!page.Header.startsWith("OggS"))
        RaiseWrongFile();
    page.Header += ReadTagBytes(aStream, aStart + OggPageHeaderSize, page.Segments(),
                                QStringLiteral("Invalid Ogg file: segment table"));
    for (int i = 0; i < page.Segments(); ++i)
        page.DataSize += page.Lacing(i);
    if (page.End() > aFileSize)
        throw ETagException(Format(QStringLiteral("Invalid Ogg file: the page at %d reaches past the end of the file"),
                                   {aStart}));
    return page;
}

} // namespace

const std::array<uint32_t, 256> CRC_TABLE = MakeCRCTable();

uint32_t CalculateCRC(uint32_t CRC, const void* Data, int64_t Size)
{
    const auto* p = static_cast<const uint8_t*>(Data);
    for (int64_t i = 0; i < Size; ++i)
        CRC = CRC_TABLE[((CRC >> 24) ^ p[i]) & 0xFF] ^ (CRC << 8);
    return CRC;
}

QList<QByteArray> VorbisComments(const TTagData& aTagData)
{
    QList<QByteArray> comments;
    const auto add = [&comments](const char* aName, const QString& aValue) {
        if (!aValue.isEmpty())
            comments.append(QByteArray(aName) + aValue.toUtf8());
    };
    add("TITLE=", aTagData.Title);
    add("ARTIST=", aTagData.Artist);
    add("ALBUM=", aTagData.Album);
    if (aTagData.Track != 0) {
        comments.append("TRACK=" + QByteArray::number(aTagData.Track));
        comments.append("TRACKNUMBER=" + QByteArray::number(aTagData.Track));
    }
    if (aTagData.Year != 0) {
        comments.append("YEAR=" + QByteArray::number(aTagData.Year));
        comments.append("DATE=" + QByteArray::number(aTagData.Year));
    }
    add("COMMENT=", aTagData.Comment);
    return comments;
}

QByteArray BuildVorbisCommentList(const QByteArray& aVendor, const QList<QByteArray>& aComments)
{
    QByteArray list;
    AppendLE32(list, uint32_t(aVendor.size()));
    list.append(aVendor);
    AppendLE32(list, uint32_t(aComments.size()));
    for (const QByteArray& comment : aComments) {
        AppendLE32(list, uint32_t(comment.size()));
        list.append(comment);
    }
    return list;
}

QByteArray ReadVorbisVendor(const QByteArray& aData, qsizetype aOffset, qsizetype aEnd, const QString& aWhat)
{
    if (aEnd > aData.size() || aOffset + 4 > aEnd)
        throw ETagException(Format(QStringLiteral("%s: no vendor string"), {aWhat}));
    const int64_t length = GetLE32(aData, aOffset);
    if (length > aEnd - aOffset - 4)
        throw ETagException(Format(QStringLiteral("%s: vendor string of %d bytes in %d bytes"),
                                   {aWhat, length, int64_t(aEnd - aOffset - 4)}));
    return aData.mid(aOffset + 4, qsizetype(length));
}

void AddOGGTag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag)
{
    // Everything is read and checked, and the new pages built, before the
    // file changes: a file the writer cannot handle stays as it was.
    const int64_t fileSize = aStream.Size();
    aStream.Seek(0);
    char window[OggFirstPageWindow + 3];
    const int64_t got = aStream.Read(window, sizeof window);
    const qsizetype first = QByteArray::fromRawData(window, qsizetype(got)).indexOf("OggS");
    if (first < 0)
        RaiseWrongFile();
    const TOggPage page1 = ReadPage(aStream, first, fileSize);
    const TOggPage page2 = ReadPage(aStream, page1.End(), fileSize);
    // The comment packet must start the second page of the same stream.
    if (page2.Header.mid(14, 4) != page1.Header.mid(14, 4) || (At(page2.Header, 5) & 0x01) != 0)
        RaiseWrongFile();

    // The comment packet's lacing values end with the first one below 255.
    int packetSegments = 0;
    int64_t oldPacketSize = 0;
    while (packetSegments < page2.Segments() && page2.Lacing(packetSegments) == 255)
        oldPacketSize += page2.Lacing(packetSegments++);
    if (packetSegments == page2.Segments())
        throw ETagException(QStringLiteral("Ogg comment packets that continue on a third page are not supported"));
    oldPacketSize += page2.Lacing(packetSegments++);

    aStream.Seek(page2.Start + page2.Header.size());
    const QByteArray data = aStream.ReadBytes(page2.DataSize);
    if (oldPacketSize < 7 || !data.startsWith("\x03vorbis"))
        RaiseWrongFile();
    const QByteArray vendor =
        ReadVorbisVendor(data, 7, qsizetype(oldPacketSize), QStringLiteral("Invalid Ogg Vorbis comment packet"));

    QByteArray packet("\x03vorbis");
    packet += BuildVorbisCommentList(vendor, ClearTag ? QList<QByteArray>() : VorbisComments(aTagData));
    packet += '\x01'; // framing bit

    QByteArray lacing(qsizetype(packet.size() / 255), char(255));
    lacing += char(packet.size() % 255);
    lacing += page2.Header.mid(OggPageHeaderSize + packetSegments);
    if (lacing.size() > OggMaxSegments)
        throw ETagException(Format(QStringLiteral("The Ogg comment packet of %d bytes does not fit the second page"),
                                   {int64_t(packet.size())}));

    QByteArray page = page2.Header.left(OggPageHeaderSize);
    page[26] = char(lacing.size());
    PutLE32(page, 22, 0);
    page += lacing;
    page += packet;
    page += data.mid(qsizetype(oldPacketSize));
    PutLE32(page, 22, CalculateCRC(0, page.constData(), page.size()));

    aStream.Seek(0);
    const QByteArray image = aStream.ReadBytes(page2.Start) + page;
    ExtendStream(aStream, int64_t(page.size()) - (page2.End() - page2.Start));
    aStream.Seek(0);
    aStream.Write(image);
}
