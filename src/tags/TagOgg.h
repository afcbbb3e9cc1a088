// Ogg Vorbis comments: the comment packet that starts the second page of the
// stream is rebuilt, with the page's segment table and checksum. The comment
// list itself is shared with the FLAC writer.
#pragma once

#include "tags/TagWriter.h"

#include <QByteArray>
#include <QList>
#include <array>
#include <cstdint>

// The comments the Ogg and FLAC writers store, in their order: "NAME=value",
// UTF-8, each only when its value is set.
QList<QByteArray> VorbisComments(const TTagData& aTagData);

// A Vorbis comment list without the framing byte: vendor length, vendor,
// comment count, and each comment as length and bytes.
QByteArray BuildVorbisCommentList(const QByteArray& aVendor, const QList<QByteArray>& aComments);

// The vendor string of the comment list at aOffset of aData (its length
// field first); ETagException "<aWhat>..." when it does not end by aEnd.
QByteArray ReadVorbisVendor(const QByteArray& aData, qsizetype aOffset, qsizetype aEnd, const QString& aWhat);

// The Ogg page checksum: CRC-32 with polynomial 0x04C11DB7, most significant
// bit first, initial value 0, no final inversion.
extern const std::array<uint32_t, 256> CRC_TABLE;
uint32_t CalculateCRC(uint32_t CRC, const void* Data, int64_t Size);

// Writes the comments, or with ClearTag leaves the packet with the vendor and no comments.
void AddOGGTag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag);

inline constexpr int64_t OggPageHeaderSize = 27;
// The largest number of lacing values a page holds.
inline constexpr int OggMaxSegments = 255;
