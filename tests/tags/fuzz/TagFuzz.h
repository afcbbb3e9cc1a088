// The harness of the tag writer's fuzz targets: a malformed file goes through
// AddTagToFile in writing and in clearing mode, on a memory stream.
//
// Besides crashes and sanitizer reports, two promises are checked:
// - a file the writer refuses is left exactly as it was;
// - a file it wrote is read back by the next write, which changes nothing.
#pragma once

#include "log/Exception.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tagfuzz {

[[noreturn]] inline void Fail(const char* aWhat)
{
    std::fprintf(stderr, "tag fuzz: %s\n", aWhat);
    std::abort();
}

// Values long enough that an APE tag covers the last 128 bytes of the file:
// otherwise audio bytes that spell "TAG" there would pass for an ID3v1 tag
// on the second write.
inline const TTagData& FuzzData()
{
    static const TTagData data = TagData(QStringLiteral("Иван Петров и друзья"), QStringLiteral("Façade à la Carte"),
                                         QStringLiteral("Crème Brûlée Über Straße, part one"), 7, 2001,
                                         QStringLiteral("Комментарий"));
    return data;
}

// aClearTwice: whether clearing twice must change nothing more. Not for APE:
// clearing cuts the tags at the end, and the bytes before them may look like
// another tag.
inline int Run(const uint8_t* aData, size_t aSize, TFileFormat aFormat, TTagType aType, bool aClearTwice)
{
    const QByteArray input(reinterpret_cast<const char*>(aData), qsizetype(aSize));
    for (const TTagType type : {aType, ttNone}) {
        TMemoryTagStream stream(input);
        try {
            AddTagToFile(stream, aFormat, type, FuzzData(), false);
        } catch (const Exception&) {
            if (stream.Data() != input)
                Fail("a refused file was changed");
            continue;
        }
        if (type == ttNone && !aClearTwice)
            continue;
        const QByteArray once = stream.Data();
        try {
            AddTagToFile(stream, aFormat, type, FuzzData(), false);
        } catch (const Exception& e) {
            std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
            Fail("the writer refused its own result");
        }
        if (stream.Data() != once)
            Fail("a second write with the same values changed the file");
    }
    return 0;
}

} // namespace tagfuzz
