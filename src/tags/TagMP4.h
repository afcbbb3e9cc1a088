// MP4 metadata: a udta atom (meta, hdlr, ilst) as the last child of moov.
// The file is rewritten in place; moov's size and every chunk offset that
// lies behind the change are corrected.
#pragma once

#include "tags/TagWriter.h"

// Writes the metadata, or with ClearTag removes moov's udta atom.
void AddMPEG4Tag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag);

// The udta atom as it is written.
QByteArray BuildMPEG4Udta(const TTagData& aTagData);
