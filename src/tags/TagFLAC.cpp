#include "tags/TagFLAC.h"

#include "log/Format.h"
#include "tags/TagBytes.h"
#include "tags/TagOgg.h"

#include <QList>

using namespace tagbytes;

namespace {

constexpr int64_t FlacBlockHeaderSize = 4;
constexpr uint8_t FlacLastBlock = 0x80;
constexpr int64_t FlacMaxBlockLength = 0xFFFFFF;

struct TFlacBlock {
    int64_t Start = 0;
    uint8_t Flags = 0; // last-block flag and type
    int64_t Length = 0;

    int Type() const { return Flags & 0x7F; }
    bool Last() const { return (Flags & FlacLastBlock) != 0; }
    int64_t End() const { return Start + FlacBlockHeaderSize + Length; }
};

const QString InvalidFlac = QStringLiteral("Invalid FLAC file");

} // namespace

void AddFLACTag(TTagStream& aStream, const TTagData& aTagData, bool ClearTag)
{
    const int64_t fileSize = aStream.Size();
    aStream.Seek(0);
    char magic[4];
    if (aStream.Read(magic, 4) != 4 || QByteArray::fromRawData(magic, 4) != "fLaC")
        throw ETagException(QStringLiteral("WrongFile (\"fLaC\" not found)"));

    // The metadata blocks up to the comment block or the last one, each
    // checked to lie inside the file before anything is changed.
    QList<TFlacBlock> blocks;
    int64_t position = 4;
    for (;;) {
        const QByteArray header = ReadTagBytes(aStream, position, FlacBlockHeaderSize, InvalidFlac);
        TFlacBlock block;
        block.Start = position;
        block.Flags = At(header, 0);
        block.Length = GetBE24(header, 1);
        if (block.End() > fileSize)
            throw ETagException(Format(QStringLiteral("Invalid FLAC file: the metadata block at %d reaches past the end "
                                                      "of the file"),
                                       {position}));
        blocks.append(block);
        if (block.Type() == FlacBlockVorbisComment || block.Last())
            break;
        position = block.End();
    }

    const TFlacBlock& found = blocks.last();
    int64_t tagStart;
    int64_t tagEnd;
    QByteArray block;
    bool singleBlock = false;
    if (found.Type() == FlacBlockVorbisComment) {
        tagStart = found.Start;
        tagEnd = found.End();
        aStream.Seek(found.Start);
        const QByteArray old = aStream.ReadBytes(FlacBlockHeaderSize + found.Length);
        const QByteArray vendor = ReadVorbisVendor(old, FlacBlockHeaderSize, old.size(),
                                                   QStringLiteral("Invalid FLAC Vorbis comment block"));
        block = old.left(1) + QByteArray(3, '\0');
        block += BuildVorbisCommentList(vendor, ClearTag ? QList<QByteArray>() : VorbisComments(aTagData));
    } else {
        // The new block goes before the last one; but the stream information
        // block must stay first, so when it is the only one the new block
        // follows it and takes over the last-block flag.
        singleBlock = blocks.size() == 1;
        tagStart = singleBlock ? found.End() : found.Start;
        tagEnd = tagStart;
        block = QByteArray(1, char(FlacBlockVorbisComment | (singleBlock ? FlacLastBlock : 0)))
                + QByteArray(3, '\0');
        block += BuildVorbisCommentList(QByteArray(" "), ClearTag ? QList<QByteArray>() : VorbisComments(aTagData));
    }
    const int64_t length = block.size() - FlacBlockHeaderSize;
    if (length > FlacMaxBlockLength)
        throw ETagException(
            Format(QStringLiteral("FLAC Vorbis comment block of %d bytes is too large"), {length}));
    PutBE24(block, 1, uint32_t(length));

    aStream.Seek(0);
    QByteArray image = aStream.ReadBytes(tagStart);
    if (singleBlock)
        image[qsizetype(found.Start)] = char(found.Flags & ~FlacLastBlock);
    image += block;
    ExtendStream(aStream, image.size() - tagEnd);
    aStream.Seek(0);
    aStream.Write(image);
}
