#include "tags/TagWMA.h"

#include "log/Format.h"
#include "tags/TagBytes.h"

#include <QList>

#include <limits>

using namespace tagbytes;

namespace {

// The ASF GUIDs in their stored byte order (the first three groups little-endian).
const QByteArray HeaderObject("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
const QByteArray ContentDescriptionObject("\x33\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
const QByteArray ExtendedContentDescriptionObject("\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xA0\xC9\x5E\xA8\x50",
                                                  16);
const QByteArray FilePropertiesObject("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);

constexpr int64_t HeaderObjectSize = 30; // GUID, size, object count, two reserved bytes
constexpr int64_t ObjectHeaderSize = 24; // GUID, size
constexpr qsizetype FilePropertiesFileSize = 40;
constexpr int64_t MaxLength = std::numeric_limits<uint16_t>::max();

[[noreturn]] void RaiseInvalid(const QString& aWhy)
{
    throw ETagException(Format(QStringLiteral("Invalid WMA file: %s"), {aWhy}));
}

// UTF-16LE with a terminating zero. The text is Unicode already, so no code
// page is involved.
QByteArray AnsiToWideRus(const QString& aText)
{
    return ToUtf16LE(aText) + QByteArray(2, '\0');
}

// A 16-bit length, or ETagException for a text that does not fit one.
uint16_t Length16(qsizetype aLength)
{
    if (aLength > MaxLength)
        throw ETagException(Format(QStringLiteral("WMA tag text of %d bytes is too long"), {int64_t(aLength)}));
    return uint16_t(aLength);
}

// A string of the Content Description Object: empty, or UTF-16LE with its terminator.
QByteArray DescriptionString(const QString& aText)
{
    return aText.isEmpty() ? QByteArray() : AnsiToWideRus(aText);
}

void AppendDescriptor(QByteArray& aObject, const QString& aName, const QString& aValue)
{
    const QByteArray name = AnsiToWideRus(aName);
    const QByteArray value = AnsiToWideRus(aValue);
    AppendLE16(aObject, Length16(name.size()));
    aObject.append(name);
    AppendLE16(aObject, 0); // a text value
    AppendLE16(aObject, Length16(value.size()));
    aObject.append(value);
}

QByteArray Object(const QByteArray& aGuid, const QByteArray& aContent)
{
    QByteArray object = aGuid;
    AppendLE64(object, uint64_t(ObjectHeaderSize + aContent.size()));
    return object + aContent;
}

struct TAsfObject {
    int64_t Start = 0;
    int64_t Size = 0;
    QByteArray Guid;
};

} // namespace

QByteArray BuildWMAContentDescription(const TTagData& aTagData, bool ClearTag)
{
    // Title, author, rights notice, description, rating.
    const QByteArray strings[5] = {
        ClearTag ? QByteArray() : DescriptionString(aTagData.Title),
        ClearTag ? QByteArray() : DescriptionString(aTagData.Artist),
        QByteArray(),
        ClearTag ? QByteArray() : DescriptionString(aTagData.Comment),
        QByteArray(),
    };
    QByteArray content;
    for (const QByteArray& s : strings)
        AppendLE16(content, Length16(s.size()));
    for (const QByteArray& s : strings)
        content.append(s);
    return Object(ContentDescriptionObject, content);
}

QByteArray BuildWMAExtendedContentDescription(const TTagData& aTagData, bool ClearTag)
{
    QByteArray descriptors;
    uint16_t count = 0;
    if (!ClearTag) {
        AppendDescriptor(descriptors, QStringLiteral("WM/URL"), QString());
        ++count;
        if (!aTagData.Album.isEmpty()) {
            AppendDescriptor(descriptors, QStringLiteral("WM/AlbumTitle"), aTagData.Album);
            ++count;
        }
        if (aTagData.Track != 0) {
            AppendDescriptor(descriptors, QStringLiteral("WM/TrackNumber"),
                             QString::number(aTagData.Track).rightJustified(2, u'0'));
            ++count;
        }
        if (aTagData.Year != 0) {
            AppendDescriptor(descriptors, QStringLiteral("WM/Year"), QString::number(aTagData.Year));
            ++count;
        }
    }
    QByteArray content;
    AppendLE16(content, count);
    return Object(ExtendedContentDescriptionObject, content + descriptors);
}

void AddWMATag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag)
{
    // The header is read and checked completely, and rebuilt in memory,
    // before the file changes.
    const int64_t fileSize = aStream.Size();
    aStream.Seek(0);
    char guid[16];
    if (aStream.Read(guid, sizeof guid) != sizeof guid || QByteArray::fromRawData(guid, sizeof guid) != HeaderObject)
        throw ETagException(QStringLiteral("WrongFile"));
    const QByteArray start = ReadTagBytes(aStream, 0, HeaderObjectSize, QStringLiteral("Invalid WMA file"));
    const uint64_t headerSize = GetLE64(start, 16);
    if (headerSize < uint64_t(HeaderObjectSize) || headerSize > uint64_t(fileSize))
        RaiseInvalid(Format(QStringLiteral("header size %d in a file of %d bytes"), {headerSize, fileSize}));
    const uint32_t objectCount = GetLE32(start, 24);
    aStream.Seek(0);
    const QByteArray header = aStream.ReadBytes(int64_t(headerSize));

    QList<TAsfObject> objects;
    int64_t position = HeaderObjectSize;
    for (uint32_t i = 0; i < objectCount; ++i) {
        if (position + ObjectHeaderSize > int64_t(headerSize))
            RaiseInvalid(Format(QStringLiteral("the header holds %d objects, not %d"), {int64_t(i), objectCount}));
        const uint64_t size = GetLE64(header, qsizetype(position + 16));
        if (size < uint64_t(ObjectHeaderSize) || size > uint64_t(int64_t(headerSize) - position))
            RaiseInvalid(Format(QStringLiteral("the header object at %d has the size %d, which does not fit"), {position, size}));
        objects.append({position, int64_t(size), header.mid(qsizetype(position), 16)});
        position += int64_t(size);
    }
    const int64_t objectsEnd = position;

    // The last of each counts, as when the header is read front to back.
    int cd = -1;
    int ecd = -1;
    for (int i = 0; i < objects.size(); ++i) {
        if (objects[i].Guid == ContentDescriptionObject)
            cd = i;
        else if (objects[i].Guid == ExtendedContentDescriptionObject)
            ecd = i;
    }
    const QByteArray newCD = BuildWMAContentDescription(aTagData, ClearTag);
    const QByteArray newECD = BuildWMAExtendedContentDescription(aTagData, ClearTag);

    // A missing Content Description goes before the Extended one, a missing
    // Extended one right after the Content Description; both missing: after
    // the last header object.
    QByteArray image = header.left(HeaderObjectSize);
    qsizetype fileSizeField = -1;
    for (int i = 0; i < objects.size(); ++i) {
        if (i == cd) {
            image += newCD;
            if (ecd < 0)
                image += newECD;
        } else if (i == ecd) {
            if (cd < 0)
                image += newCD;
            image += newECD;
        } else {
            // The file size the File Properties Object records follows the
            // change, where it was right (a broadcast file has none).
            const qsizetype field = qsizetype(objects[i].Start) + FilePropertiesFileSize;
            if (objects[i].Guid == FilePropertiesObject && objects[i].Size >= FilePropertiesFileSize + 8
                && int64_t(GetLE64(header, field)) == fileSize)
                fileSizeField = image.size() + FilePropertiesFileSize;
            image += header.mid(qsizetype(objects[i].Start), qsizetype(objects[i].Size));
        }
    }
    if (cd < 0 && ecd < 0)
        image += newCD + newECD;
    image += header.mid(qsizetype(objectsEnd));

    const int64_t change = image.size() - int64_t(headerSize);
    PutLE64(image, 16, uint64_t(image.size()));
    PutLE32(image, 24, objectCount + (cd < 0 ? 1 : 0) + (ecd < 0 ? 1 : 0));
    if (fileSizeField >= 0)
        PutLE64(image, fileSizeField, uint64_t(fileSize + change));

    ExtendStream(aStream, change);
    aStream.Seek(0);
    aStream.Write(image);
}
