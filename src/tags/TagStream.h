// The stream the tag writers work on: a whole audio file, open for reading
// and writing, changed in place. The caller keeps the file open; a writer
// only moves the stream's own position, so one stream belongs to one thread.
#pragma once

#include "log/Exception.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

// A read, write, seek or resize of a tag stream failed.
SX_DECLARE_EXCEPTION(ETagStreamError, Exception)

enum TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class TTagStream {
public:
    virtual ~TTagStream() = default;
    TTagStream(const TTagStream&) = delete;
    TTagStream& operator=(const TTagStream&) = delete;

    virtual int64_t Size() = 0;
    // Cuts the stream or extends it with zero bytes; the position is kept.
    virtual void SetSize(int64_t aSize) = 0;

    int64_t Position() const { return FPosition; }
    // Moves the position (it may lie past the end); returns the new position.
    int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin = soBeginning);

    // Reads up to aCount bytes at the position; fewer only at the end of the stream.
    int64_t Read(void* aBuffer, int64_t aCount);
    // Reads exactly aCount bytes or raises ETagStreamError.
    void ReadBuffer(void* aBuffer, int64_t aCount);
    QByteArray ReadBytes(int64_t aCount);
    // Writes all bytes at the position (a gap past the end reads as zeros) or raises.
    void Write(const void* aBuffer, int64_t aCount);
    void Write(const QByteArray& aBytes) { Write(aBytes.constData(), aBytes.size()); }

protected:
    TTagStream() = default;
    virtual int64_t DoRead(int64_t aOffset, void* aBuffer, int64_t aCount) = 0;
    virtual void DoWrite(int64_t aOffset, const void* aBuffer, int64_t aCount) = 0;

private:
    int64_t FPosition = 0;
};

// A file on disk, by descriptor. Reads and writes are positional, so the
// descriptor's own offset is neither used nor changed.
class TFileTagStream : public TTagStream {
public:
    // Uses a descriptor the caller opened for reading and writing and keeps open.
    explicit TFileTagStream(int aHandle);
    // Opens an existing file for reading and writing; closed with the stream.
    explicit TFileTagStream(const QString& aFileName);
    ~TFileTagStream() override;

    int Handle() const { return FHandle; }
    int64_t Size() override;
    void SetSize(int64_t aSize) override;

protected:
    int64_t DoRead(int64_t aOffset, void* aBuffer, int64_t aCount) override;
    void DoWrite(int64_t aOffset, const void* aBuffer, int64_t aCount) override;

private:
    int FHandle = -1;
    bool FOwnsHandle = false;
};

// Bytes in memory, for building and checking tags without a file.
class TMemoryTagStream : public TTagStream {
public:
    TMemoryTagStream() = default;
    explicit TMemoryTagStream(const QByteArray& aData) : FData(aData) {}

    const QByteArray& Data() const { return FData; }
    int64_t Size() override { return FData.size(); }
    void SetSize(int64_t aSize) override;

protected:
    int64_t DoRead(int64_t aOffset, void* aBuffer, int64_t aCount) override;
    void DoWrite(int64_t aOffset, const void* aBuffer, int64_t aCount) override;

private:
    QByteArray FData;
};
