// WMA (ASF): the Content Description and Extended Content Description
// objects of the header are rewritten, and added when the file lacks them.
#pragma once

#include "tags/TagWriter.h"

// Writes both objects, or with ClearTag writes them without any value.
void AddWMATag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag);

// The two objects as they are written.
QByteArray BuildWMAContentDescription(const TTagData& aTagData, bool ClearTag);
QByteArray BuildWMAExtendedContentDescription(const TTagData& aTagData, bool ClearTag);
