#include "tags/TagMP4.h"

#include "log/Format.h"
#include "tags/TagBytes.h"

#include <QList>

#include <limits>
#include <optional>

using namespace tagbytes;

namespace {

constexpr int64_t AtomHeaderSize = 8;
constexpr int64_t MaxAtomSize = std::numeric_limits<uint32_t>::max();

[[noreturn]] void RaiseNotMP4()
{
    throw ETagException(QStringLiteral("Wrong File Format (not MP4)"));
}

[[noreturn]] void RaiseInvalid(const QString& aWhy)
{
    throw ETagException(Format(QStringLiteral("Invalid MP4 file: %s"), {aWhy}));
}

struct TAtom {
    int64_t Start = 0;
    int64_t Size = 0;
    QByteArray Type;

    int64_t Content() const { return Start + AtomHeaderSize; }
    int64_t End() const { return Start + Size; }
};

// The atom at aStart, which must end by aLimit (its parent's end). Only a
// top-level atom may have size 0, "up to the end of the file".
TAtom ReadAtom(TTagStream& aStream, int64_t aStart, int64_t aLimit, bool aTopLevel)
{
    if (aStart + AtomHeaderSize > aLimit)
        RaiseInvalid(Format(QStringLiteral("the atom at %d is cut off"), {aStart}));
    aStream.Seek(aStart);
    const QByteArray header = aStream.ReadBytes(AtomHeaderSize);
    TAtom atom;
    atom.Start = aStart;
    atom.Size = GetBE32(header, 0);
    atom.Type = header.mid(4, 4);
    if (atom.Size == 1)
        throw ETagException(Format(QStringLiteral("MP4 atoms with 64-bit sizes are not supported (\"%s\" at %d)"),
                                   {QString::fromLatin1(atom.Type), aStart}));
    if (atom.Size == 0 && aTopLevel)
        atom.Size = aLimit - aStart;
    if (atom.Size < AtomHeaderSize || atom.End() > aLimit)
        RaiseInvalid(Format(QStringLiteral("the atom \"%s\" at %d has the size %d, which does not fit"),
                            {QString::fromLatin1(atom.Type), aStart, atom.Size}));
    return atom;
}

// The child atoms of aParent. Up to 7 bytes after the last child (a zero
// terminator some writers put into udta) are left alone.
QList<TAtom> Children(TTagStream& aStream, const TAtom& aParent)
{
    QList<TAtom> children;
    int64_t position = aParent.Content();
    while (position + AtomHeaderSize <= aParent.End()) {
        children.append(ReadAtom(aStream, position, aParent.End(), false));
        position = children.last().End();
    }
    return children;
}

std::optional<TAtom> FindChild(const QList<TAtom>& aChildren, const char* aType)
{
    for (const TAtom& atom : aChildren)
        if (atom.Type == aType)
            return atom;
    return std::nullopt;
}

std::optional<TAtom> FindChild(TTagStream& aStream, const std::optional<TAtom>& aParent, const char* aType)
{
    if (!aParent)
        return std::nullopt;
    return FindChild(Children(aStream, *aParent), aType);
}

// A text item: its size, type, then a "data" atom of type UTF-8 text.
void addTagAtom(QByteArray& aList, const char* aTitle, const QString& aValue)
{
    const QByteArray value = aValue.toUtf8();
    AppendBE32(aList, uint32_t(value.size() + 24));
    aList.append(aTitle, 4);
    AppendBE32(aList, uint32_t(value.size() + 16));
    aList.append("data");
    AppendBE32(aList, 1);
    AppendBE32(aList, 0);
    aList.append(value);
}

// A number item ("trkn"): the number as a 32-bit big-endian integer, then 4 zero bytes.
void addTagAtomInt(QByteArray& aList, const char* aTitle, uint16_t aValue)
{
    AppendBE32(aList, 32);
    aList.append(aTitle, 4);
    AppendBE32(aList, 24);
    aList.append("data");
    AppendBE32(aList, 0);
    AppendBE32(aList, 0);
    AppendBE32(aList, aValue);
    AppendBE32(aList, 0);
}

// The "stco" tables of every track, the chunk offsets that move with the data.
QList<TAtom> ChunkOffsetTables(TTagStream& aStream, const QList<TAtom>& aMoovChildren)
{
    QList<TAtom> tables;
    for (const TAtom& trak : aMoovChildren) {
        if (trak.Type != "trak")
            continue;
        const std::optional<TAtom> stbl =
            FindChild(aStream, FindChild(aStream, FindChild(aStream, trak, "mdia"), "minf"), "stbl");
        if (!stbl)
            continue;
        const QList<TAtom> stblChildren = Children(aStream, *stbl);
        if (FindChild(stblChildren, "co64"))
            throw ETagException(QStringLiteral("MP4 files with 64-bit chunk offsets (co64) are not supported"));
        if (const std::optional<TAtom> stco = FindChild(stblChildren, "stco"))
            tables.append(*stco);
    }
    return tables;
}

// Moves every chunk offset at or behind aFrom by aChange, in the copy aHead
// of the file's start (which holds the whole moov atom).
void changeOffsetAtoms(QByteArray& aHead, const QList<TAtom>& aTables, int64_t aFrom, int64_t aChange)
{
    for (const TAtom& stco : aTables) {
        if (stco.Size < 16)
            RaiseInvalid(Format(QStringLiteral("the stco atom at %d is too short"), {stco.Start}));
        const int64_t count = GetBE32(aHead, qsizetype(stco.Start + 12));
        if (count > (stco.Size - 16) / 4)
            RaiseInvalid(Format(QStringLiteral("the stco atom at %d lists %d offsets in %d bytes"),
                                {stco.Start, count, stco.Size}));
        for (int64_t i = 0; i < count; ++i) {
            const qsizetype at = qsizetype(stco.Start + 16 + 4 * i);
            const int64_t offset = GetBE32(aHead, at);
            if (offset < aFrom)
                continue;
            const int64_t moved = offset + aChange;
            if (moved < 0 || moved > MaxAtomSize)
                throw ETagException(
                    Format(QStringLiteral("The MP4 chunk offset %d cannot move by %d bytes"), {offset, aChange}));
            PutBE32(aHead, at, uint32_t(moved));
        }
    }
}

} // namespace

QByteArray BuildMPEG4Udta(const TTagData& aTagData)
{
    QByteArray udta;
    AppendBE32(udta, 0);
    udta.append("udta");
    AppendBE32(udta, 0);
    udta.append("meta");
    AppendBE32(udta, 0); // version and flags
    AppendBE32(udta, 34);
    udta.append("hdlr");
    udta.append(8, '\0');
    udta.append("mdirappl");
    udta.append(10, '\0');
    AppendBE32(udta, 0);
    udta.append("ilst");
    addTagAtom(udta, "\xA9" "ART", aTagData.Artist);
    addTagAtom(udta, "\xA9" "alb", aTagData.Album);
    addTagAtom(udta, "\xA9" "nam", aTagData.Title);
    addTagAtom(udta, "\xA9" "cmt", aTagData.Comment);
    if (aTagData.Track != 0)
        addTagAtomInt(udta, "trkn", aTagData.Track);
    if (aTagData.Year != 0)
        addTagAtom(udta, "\xA9" "day", QString::number(aTagData.Year));

    if (udta.size() > MaxAtomSize)
        throw ETagException(Format(QStringLiteral("MP4 udta atom of %d bytes is too large"), {int64_t(udta.size())}));
    PutBE32(udta, 0, uint32_t(udta.size()));
    PutBE32(udta, 8, uint32_t(udta.size() - 8));
    PutBE32(udta, 54, uint32_t(udta.size() - 54));
    return udta;
}

void AddMPEG4Tag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag)
{
    // The whole structure is read and checked, and the new start of the file
    // built in memory, before the file changes.
    const int64_t fileSize = aStream.Size();
    aStream.Seek(0);
    char start[12];
    if (aStream.Read(start, sizeof start) != sizeof start)
        RaiseNotMP4();
    const int64_t ftypSize = GetBE32(QByteArray::fromRawData(start, sizeof start), 0);
    // The atom type "ftyp" and a major brand beginning with "mp4", in any case.
    if (ftypSize < 12 || ftypSize > fileSize || !QByteArray(start + 4, 7).toLower().startsWith("ftypmp4"))
        RaiseNotMP4();

    // moov must come before the media data.
    TAtom moov;
    for (int64_t position = ftypSize; moov.Type.isEmpty();) {
        if (position + AtomHeaderSize > fileSize)
            RaiseNotMP4();
        const TAtom atom = ReadAtom(aStream, position, fileSize, true);
        if (atom.Type == "mdat")
            RaiseNotMP4();
        if (atom.Type == "moov")
            moov = atom;
        position = atom.End();
    }

    const QList<TAtom> moovChildren = Children(aStream, moov);
    // moov holds at most one udta; with two, replacing one would leave the
    // other's items for readers to find.
    TAtom udta;
    for (const TAtom& atom : moovChildren) {
        if (atom.Type != "udta")
            continue;
        if (!udta.Type.isEmpty())
            RaiseInvalid(Format(QStringLiteral("moov holds a second udta atom at %d"), {atom.Start}));
        udta = atom;
    }
    // Without one the new udta becomes moov's last child: inserted after the
    // last child (before a few stray bytes, if moov ends with any), not where
    // the media data starts, so an atom between moov and mdat (ffmpeg puts a
    // "free" there) stays outside moov.
    const int64_t childrenEnd = moovChildren.isEmpty() ? moov.Content() : moovChildren.last().End();
    const int64_t insertAt = udta.Type.isEmpty() ? childrenEnd : udta.Start;
    const int64_t oldSize = udta.Type.isEmpty() ? 0 : udta.Size;
    const QList<TAtom> tables = ChunkOffsetTables(aStream, moovChildren);

    const QByteArray newUdta = ClearTag ? QByteArray() : BuildMPEG4Udta(aTagData);
    if (oldSize == 0 && newUdta.isEmpty())
        return; // nothing to remove
    const int64_t change = newUdta.size() - oldSize;
    if (moov.Size + change > MaxAtomSize)
        throw ETagException(Format(QStringLiteral("MP4 moov atom of %d bytes is too large"), {moov.Size + change}));

    aStream.Seek(0);
    QByteArray head = aStream.ReadBytes(moov.End());
    PutBE32(head, qsizetype(moov.Start), uint32_t(moov.Size + change));
    changeOffsetAtoms(head, tables, insertAt, change);
    const QByteArray image = head.left(qsizetype(insertAt)) + newUdta + head.mid(qsizetype(insertAt + oldSize));

    ExtendStream(aStream, change);
    aStream.Seek(0);
    aStream.Write(image);
}
