#include "tags/TagWriter.h"

#include "log/Format.h"
#include "tags/TagAPE.h"
#include "tags/TagFLAC.h"
#include "tags/TagID3.h"
#include "tags/TagMP4.h"
#include "tags/TagOgg.h"
#include "tags/TagWMA.h"

#include <limits>

namespace {

// ttNone: remove the tag that belongs to the file's format.
void ClearTag(TTagStream& aStream, TFileFormat aFileFormat, const TTagData& aTagData)
{
    switch (aFileFormat) {
    case ffMp3:
        ClearMp3Tag(aStream);
        return;
    case ffWma:
        AddWMATag(aStream, aTagData, true);
        return;
    case ffOgg:
        AddOGGTag(aStream, aTagData, true);
        return;
    case ffMpc:
    case ffApe:
    case ffOFR:
        AddAPETag(aStream, aTagData, false, true);
        return;
    case ffFlac:
        AddFLACTag(aStream, aTagData, true);
        return;
    case ffMp4:
        AddMPEG4Tag(aStream, aTagData, true);
        return;
    case ffUnknown:
        return;
    }
}

[[noreturn]] void RaiseCannotShift(int64_t aSize, int64_t aExtendOn)
{
    throw ETagStreamError(
        Format(QStringLiteral("Cannot shift the content of a stream of %d bytes by %d bytes"), {aSize, aExtendOn}));
}

} // namespace

TTagData TagData(const QString& aArtist, const QString& aAlbum, const QString& aTitle, uint16_t aTrack,
                 uint16_t aYear, const QString& aComment)
{
    TTagData data;
    data.Artist = aArtist;
    data.Album = aAlbum;
    data.Title = aTitle;
    data.Track = aTrack;
    data.Year = aYear;
    data.Comment = aComment;
    return data;
}

TTagType StrToTagType(const QString& S)
{
    for (int i = 0; i < TagTypeCount; ++i)
        if (S.compare(QLatin1String(TagTypeNames[i]), Qt::CaseInsensitive) == 0)
            return TTagType(i);
    return ttNone;
}

void AddTagToFile(TTagStream& aStream, TFileFormat aFileFormat, TTagType aTagType, const TTagData& aTagData,
                  bool aSkipTagCheck)
{
    switch (aTagType) {
    case ttNone:
        ClearTag(aStream, aFileFormat, aTagData);
        return;
    case ttID3V1:
        AddID3v1xTag(aStream, aTagData, false);
        return;
    case ttID3V11:
        AddID3v1xTag(aStream, aTagData, true);
        return;
    case ttID3V2:
        AddID3v2xTag(aStream, aTagData, aSkipTagCheck);
        return;
    case ttAPE1:
        AddAPETag(aStream, aTagData, false, false);
        return;
    case ttAPE2:
        AddAPETag(aStream, aTagData, true, false);
        return;
    case ttOGG:
        AddOGGTag(aStream, aTagData, false);
        return;
    case ttWMA:
        AddWMATag(aStream, aTagData, false);
        return;
    case ttFLAC:
        AddFLACTag(aStream, aTagData, false);
        return;
    case ttMPEG4:
        AddMPEG4Tag(aStream, aTagData, false);
        return;
    }
    // A tag type outside the enumeration: nothing to write.
}

void ExtendStream(TTagStream& exStream, int64_t ExtendOn)
{
    if (ExtendOn == 0)
        return;
    const int64_t size = exStream.Size();
    const int64_t bufSize = ExtendStreamBufferSize;
    char buffer[ExtendStreamBufferSize];

    if (ExtendOn > 0) {
        if (ExtendOn > std::numeric_limits<int64_t>::max() - size)
            RaiseCannotShift(size, ExtendOn);
        exStream.SetSize(size + ExtendOn);
        // From the end backwards, so no block is overwritten before it is read.
        for (int64_t k = 1; k <= size / bufSize; ++k) {
            exStream.Seek(size - k * bufSize);
            exStream.ReadBuffer(buffer, bufSize);
            exStream.Seek(size + ExtendOn - k * bufSize);
            exStream.Write(buffer, bufSize);
        }
        const int64_t rest = size % bufSize;
        if (rest != 0) {
            exStream.Seek(0);
            exStream.ReadBuffer(buffer, rest);
            exStream.Seek(ExtendOn);
            exStream.Write(buffer, rest);
        }
        return;
    }

    // Removing more than the whole content would cut the file to nothing (or
    // to a negative size): refuse before anything is moved.
    if (ExtendOn < -size)
        RaiseCannotShift(size, ExtendOn);
    const int64_t cut = -ExtendOn;
    const int64_t remaining = size - cut;
    const int64_t blocks = remaining / bufSize;
    for (int64_t k = 0; k < blocks; ++k) {
        exStream.Seek(cut + k * bufSize);
        exStream.ReadBuffer(buffer, bufSize);
        exStream.Seek(k * bufSize);
        exStream.Write(buffer, bufSize);
    }
    const int64_t rest = remaining % bufSize;
    if (rest != 0) {
        exStream.Seek(cut + blocks * bufSize);
        exStream.ReadBuffer(buffer, rest);
        exStream.Seek(blocks * bufSize);
        exStream.Write(buffer, rest);
    }
    exStream.SetSize(remaining);
}

QByteArray ReadTagBytes(TTagStream& aStream, int64_t aOffset, int64_t aCount, const QString& aWhat)
{
    const int64_t size = aStream.Size();
    if (aOffset < 0 || aCount < 0 || aOffset > size || aCount > size - aOffset)
        throw ETagException(Format(QStringLiteral("%s: %d bytes at %d reach past the end of the file (%d bytes)"),
                                   {aWhat, aCount, aOffset, size}));
    aStream.Seek(aOffset);
    return aStream.ReadBytes(aCount);
}
