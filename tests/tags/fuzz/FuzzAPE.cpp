// Fuzz target: malformed files for the APE tag writer (versions 2.0 and 1.0).
#include "TagFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize)
{
    tagfuzz::Run(aData, aSize, ffApe, ttAPE2, false);
    return tagfuzz::Run(aData, aSize, ffApe, ttAPE1, false);
}
