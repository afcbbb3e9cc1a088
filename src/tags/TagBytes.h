// Byte-order helpers of the tag families: numbers appended to, read from and
// patched into byte arrays, and UTF-16LE text. Readers take offsets the caller
// has checked against the array's size.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace tagbytes {

inline uint8_t At(const QByteArray& aBytes, qsizetype aOffset)
{
    return uint8_t(aBytes[aOffset]);
}

inline void AppendLE16(QByteArray& aBytes, uint16_t aValue)
{
    aBytes.append(char(aValue));
    aBytes.append(char(aValue >> 8));
}

inline void AppendLE32(QByteArray& aBytes, uint32_t aValue)
{
    for (int i = 0; i < 4; ++i)
        aBytes.append(char(aValue >> (8 * i)));
}

inline void AppendLE64(QByteArray& aBytes, uint64_t aValue)
{
    for (int i = 0; i < 8; ++i)
        aBytes.append(char(aValue >> (8 * i)));
}

inline void AppendBE32(QByteArray& aBytes, uint32_t aValue)
{
    for (int i = 3; i >= 0; --i)
        aBytes.append(char(aValue >> (8 * i)));
}

inline uint16_t GetLE16(const QByteArray& aBytes, qsizetype aOffset)
{
    return uint16_t(At(aBytes, aOffset) | (At(aBytes, aOffset + 1) << 8));
}

inline uint32_t GetLE32(const QByteArray& aBytes, qsizetype aOffset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | At(aBytes, aOffset + i);
    return value;
}

inline uint64_t GetLE64(const QByteArray& aBytes, qsizetype aOffset)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | At(aBytes, aOffset + i);
    return value;
}

inline uint32_t GetBE32(const QByteArray& aBytes, qsizetype aOffset)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | At(aBytes, aOffset + i);
    return value;
}

inline uint32_t GetBE24(const QByteArray& aBytes, qsizetype aOffset)
{
    return (uint32_t(At(aBytes, aOffset)) << 16) | (uint32_t(At(aBytes, aOffset + 1)) << 8)
           | At(aBytes, aOffset + 2);
}

inline void PutLE16(QByteArray& aBytes, qsizetype aOffset, uint16_t aValue)
{
    aBytes[aOffset] = char(aValue);
    aBytes[aOffset + 1] = char(aValue >> 8);
}

inline void PutLE32(QByteArray& aBytes, qsizetype aOffset, uint32_t aValue)
{
    for (int i = 0; i < 4; ++i)
        aBytes[aOffset + i] = char(aValue >> (8 * i));
}

inline void PutLE64(QByteArray& aBytes, qsizetype aOffset, uint64_t aValue)
{
    for (int i = 0; i < 8; ++i)
        aBytes[aOffset + i] = char(aValue >> (8 * i));
}

inline void PutBE32(QByteArray& aBytes, qsizetype aOffset, uint32_t aValue)
{
    for (int i = 0; i < 4; ++i)
        aBytes[aOffset + i] = char(aValue >> (8 * (3 - i)));
}

inline void PutBE24(QByteArray& aBytes, qsizetype aOffset, uint32_t aValue)
{
    aBytes[aOffset] = char(aValue >> 16);
    aBytes[aOffset + 1] = char(aValue >> 8);
    aBytes[aOffset + 2] = char(aValue);
}

// UTF-16 little-endian code units, no byte-order mark, no terminator.
inline QByteArray ToUtf16LE(const QString& aText)
{
    QByteArray bytes;
    bytes.reserve(aText.size() * 2);
    for (const QChar c : aText)
        AppendLE16(bytes, c.unicode());
    return bytes;
}

} // namespace tagbytes
