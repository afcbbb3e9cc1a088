#include "tags/TagAPE.h"

#include "app/CodePage.h"
#include "log/Format.h"
#include "tags/TagBytes.h"
#include "tags/TagID3.h"

#include <limits>

using namespace tagbytes;

namespace {

constexpr uint32_t APEVersion1 = 1000;
constexpr uint32_t APEVersion2 = 2000;

QByteArray Record(uint32_t aVersion, uint32_t aTagSize, uint32_t aCount, uint32_t aFlags)
{
    QByteArray record("APETAGEX");
    AppendLE32(record, aVersion);
    AppendLE32(record, aTagSize);
    AppendLE32(record, aCount);
    AppendLE32(record, aFlags);
    record.append(8, '\0');
    return record;
}

[[noreturn]] void RaiseInvalid(const QString& aWhy)
{
    throw ETagException(Format(QStringLiteral("Invalid APE tag: %s"), {aWhy}));
}

} // namespace

int64_t TagExistAPE(TTagStream& aStream, int64_t id3tag)
{
    const int64_t size = aStream.Size();
    if (size - id3tag < APERecordSize)
        return 0;
    const int64_t end = size - id3tag;
    aStream.Seek(end - APERecordSize);
    const QByteArray footer = aStream.ReadBytes(APERecordSize);
    if (!footer.startsWith("APETAGEX"))
        return 0;
    const int64_t tagSize = GetLE32(footer, 12);
    const uint32_t flags = GetLE32(footer, 20);
    if (tagSize < APERecordSize)
        RaiseInvalid(Format(QStringLiteral("size %d is smaller than its footer"), {tagSize}));
    // The header flag, not the version, tells whether a header precedes the
    // items: a version 2.0 tag without one must not cost the audio 32 bytes.
    const int64_t whole = tagSize + ((flags & APEHasHeader) != 0 ? APERecordSize : 0);
    if (whole > end)
        RaiseInvalid(Format(QStringLiteral("%d bytes in a file of %d bytes"), {whole, size}));
    if ((flags & APEHasHeader) != 0) {
        aStream.Seek(end - whole);
        if (aStream.ReadBytes(8) != "APETAGEX")
            RaiseInvalid(Format(QStringLiteral("the header of the %d-byte tag is missing"), {whole}));
    }
    return whole;
}

QByteArray BuildAPETag(const TTagData& aTagData, bool isAPE2)
{
    // Version 2.0 stores UTF-8; version 1.0 the system's 8-bit text.
    const auto text = [isAPE2](const QString& aText) { return isAPE2 ? aText.toUtf8() : StringToAnsi(aText); };
    QByteArray items;
    uint32_t count = 0;
    const auto add = [&](const char* aKey, const QByteArray& aValue) {
        if (aValue.isEmpty())
            return;
        AppendLE32(items, uint32_t(aValue.size()));
        AppendLE32(items, 0);
        items.append(aKey);
        items.append('\0');
        items.append(aValue);
        ++count;
    };
    add("Title", text(aTagData.Title));
    add("Artist", text(aTagData.Artist));
    add("Album", text(aTagData.Album));
    add("Track", aTagData.Track != 0 ? QByteArray::number(aTagData.Track) : QByteArray());
    add("Year", aTagData.Year != 0 ? QByteArray::number(aTagData.Year) : QByteArray());
    add("Comment", text(aTagData.Comment));

    const int64_t tagSize = items.size() + APERecordSize;
    if (tagSize > std::numeric_limits<uint32_t>::max())
        throw ETagException(Format(QStringLiteral("APE tag of %d bytes is too large"), {tagSize}));
    if (!isAPE2)
        return items + Record(APEVersion1, uint32_t(tagSize), count, 0);
    return Record(APEVersion2, uint32_t(tagSize), count, APEHasHeader | APEIsHeader) + items
           + Record(APEVersion2, uint32_t(tagSize), count, APEHasHeader);
}

void AddAPETag(TTagStream& aStream, const TTagData& aTagData, bool isAPE2, bool ClearTag)
{
    const int64_t id3 = TagID3v1Exist(aStream) ? ID3v1TagSize : 0;
    const int64_t oldTagSize = TagExistAPE(aStream, id3) + id3;
    const int64_t position = aStream.Size() - oldTagSize;
    if (ClearTag) {
        if (oldTagSize > 0)
            aStream.SetSize(position);
        return;
    }
    const QByteArray tag = BuildAPETag(aTagData, isAPE2);
    aStream.Seek(position);
    aStream.Write(tag);
    if (aStream.Size() > aStream.Position())
        aStream.SetSize(aStream.Position());
}
