// The tag writer's entry point and the types every tag family shares.
// Each family lives in its own source file; AddTagToFile picks the writer.
#pragma once

#include "log/Exception.h"
#include "tags/TagStream.h"
#include "tags/TagTypes.h"

#include <QString>
#include <cstdint>

// The values to write. Texts are Unicode: each family encodes them the way
// its readers expect (ID3: ISO-8859-1 where it fits, else UTF-16; WMA:
// UTF-16LE; APE 1.0: the 8-bit code page; the others: UTF-8).
struct TTagData {
    QString Artist;
    QString Album;
    QString Title;
    uint16_t Track = 0; // 0: no track number
    uint16_t Year = 0;  // 0: no year
    QString Comment;    // empty: no comment
};

enum TFileFormat : uint8_t {
    ffUnknown = 0,
    ffMp3 = 1,
    ffWma = 2,
    ffOgg = 3,
    ffMpc = 4,
    ffApe = 5,
    ffFlac = 6,
    ffOFR = 7,
    ffMp4 = 8,
};

// A file does not have the structure its tag family expects.
SX_DECLARE_EXCEPTION(ETagException, Exception)

TTagData TagData(const QString& aArtist, const QString& aAlbum, const QString& aTitle, uint16_t aTrack,
                 uint16_t aYear, const QString& aComment);

// The tag type whose display name equals S regardless of case; ttNone when none does.
TTagType StrToTagType(const QString& S);

// Writes aTagData in the family aTagType into the whole file aStream, in place.
// ttNone removes the tag that belongs to aFileFormat. aSkipTagCheck matters
// only for ID3v2: it keeps an existing ID3v1 tag. Stream errors propagate.
void AddTagToFile(TTagStream& aStream, TFileFormat aFileFormat, TTagType aTagType, const TTagData& aTagData,
                  bool aSkipTagCheck);

// Grows (ExtendOn > 0) or shrinks (ExtendOn < 0) the stream at its start by
// moving its content in place through one 8192-byte buffer. After growing,
// the first ExtendOn bytes still hold old content for the caller to overwrite.
void ExtendStream(TTagStream& exStream, int64_t ExtendOn);

// For the families' parsers, which check a file completely before they change
// it: the aCount bytes at aOffset, or ETagException "<aWhat>: ..." when the
// file ends before them.
QByteArray ReadTagBytes(TTagStream& aStream, int64_t aOffset, int64_t aCount, const QString& aWhat);

inline constexpr int64_t ExtendStreamBufferSize = 8192;
