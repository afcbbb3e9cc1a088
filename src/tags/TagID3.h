// ID3v1 (a 128-byte record at the end of an MP3 file) and ID3v2.3 (a header
// and frames at its start).
#pragma once

#include "tags/TagWriter.h"

#include <cstdint>

inline constexpr int64_t ID3v1TagSize = 128;

// True when the file ends with an ID3v1 record; a file shorter than 128 bytes has none.
bool TagID3v1Exist(TTagStream& aStream);
// The size of the ID3v2 tag at the start of the file, header included; 0 for none.
int64_t TagID3v2Exist(TTagStream& aStream);

// Removes both ID3 tags.
void ClearMp3Tag(TTagStream& aStream);
// Writes an ID3v1.0 or ID3v1.1 record over the old one, or appends it.
void AddID3v1xTag(TTagStream& aStream, const TTagData& aTagData, bool aVersion1_1);
// Replaces the ID3v2 tag (or puts one in front), shifting the file once by the
// size difference; removes an ID3v1 record unless aSkipID3v1Tag.
void AddID3v2xTag(TTagStream& aStream, const TTagData& aTagData, bool aSkipID3v1Tag);

// The bytes of the two tags, as they are written.
QByteArray BuildID3v1Tag(const TTagData& aTagData, bool aVersion1_1);
QByteArray BuildID3v2Tag(const TTagData& aTagData);
