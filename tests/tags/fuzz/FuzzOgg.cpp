// Fuzz target: malformed files for the Ogg tag writer.
#include "TagFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    return tagfuzz::Run(aData, aSize, ffOgg, ttOGG, true);
}
