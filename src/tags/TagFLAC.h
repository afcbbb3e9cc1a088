// FLAC: the Vorbis comment metadata block is replaced, or inserted when the
// file has none; its vendor string is kept.
#pragma once

#include "tags/TagWriter.h"

inline constexpr int FlacBlockVorbisComment = 4;

// Writes the comments, or with ClearTag leaves the block with no comments.
void AddFLACTag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag);
