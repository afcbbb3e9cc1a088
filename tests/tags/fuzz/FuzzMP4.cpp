// Fuzz target: malformed files for the MP4 tag writer.
#include "TagFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    return tagfuzz::Run(aData, aSize, ffMp4, ttMPEG4, true);
}
