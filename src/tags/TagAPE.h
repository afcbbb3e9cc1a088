// APE tags (version 1.0 and 2.0) at the end of a file, before an ID3v1 tag's
// place: a new tag replaces both an APE tag and an ID3v1 tag found there.
#pragma once

#include "tags/TagWriter.h"

#include <cstdint>

inline constexpr int64_t APERecordSize = 32;     // header and footer
inline constexpr uint32_t APEHasHeader = 0x80000000u;
inline constexpr uint32_t APEIsHeader = 0x20000000u;

// The size of the APE tag (header included) that ends id3tag bytes before the
// end of the file; 0 for none. ETagException for a tag that cannot be there.
int64_t TagExistAPE(TTagStream& aStream, int64_t id3tag);

// Writes a version 2.0 (isAPE2) or 1.0 tag, or with ClearTag removes the APE
// and ID3v1 tags at the end.
void AddAPETag(TTagStream& aStream, const TTagData& aTagData, bool isAPE2, bool ClearTag);

// The bytes of the tag as it is written.
QByteArray BuildAPETag(const TTagData& aTagData, bool isAPE2);
