// Fuzz target: malformed files for the FLAC tag writer.
#include "TagFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    return tagfuzz::Run(aData, aSize, ffFlac, ttFLAC, true);
}
