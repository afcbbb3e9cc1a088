// The tag families and their display names, shared by the settings and the
// tag writer.
#pragma once

#include <QString>
#include <cstdint>

enum TTagType : uint8_t {
    ttNone = 0,
    ttID3V1 = 1,
    ttID3V11 = 2,
    ttID3V2 = 3,
    ttAPE1 = 4,
    ttAPE2 = 5,
    ttOGG = 6,
    ttWMA = 7,
    ttFLAC = 8,
    ttMPEG4 = 9,
};

inline constexpr int TagTypeCount = 10;

inline constexpr const char* TagTypeNames[TagTypeCount] = {
    "None", "ID3v1", "ID3v1.1", "ID3v2", "APE 1.0", "APE 2.0", "OGG", "WMA", "FLAC", "MPEG4",
};

// A set of tag types.
using TTagTypes = uint16_t;
constexpr TTagTypes TagTypeBit(TTagType aType) { return TTagTypes(1u << aType); }
constexpr bool TagTypeIn(TTagType aType, TTagTypes aSet) { return (aSet & TagTypeBit(aType)) != 0; }

inline QString TagTypeName(TTagType aType)
{
    return QString::fromLatin1(TagTypeNames[aType < TagTypeCount ? aType : 0]);
}
