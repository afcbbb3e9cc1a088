#include "tags/TagStream.h"

#include "log/Format.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void RaiseStreamError(const char* aWhat, int aErrorCode)
{
    throw ETagStreamError(Format(QStringLiteral("%s (%s)"), {aWhat, SysErrorMessage(aErrorCode)}));
}

// QByteArray sizes are qsizetype; larger memory streams are refused rather than wrapped.
qsizetype MemorySize(int64_t aSize)
{
    if (aSize < 0 || aSize > int64_t(std::numeric_limits<int>::max()))
        throw ETagStreamError(Format(QStringLiteral("Invalid stream size %d"), {aSize}));
    return qsizetype(aSize);
}

} // namespace

int64_t TTagStream::Seek(int64_t aOffset, TSeekOrigin aOrigin)
{
    int64_t base = 0;
    if (aOrigin == soCurrent)
        base = FPosition;
    else if (aOrigin == soEnd)
        base = Size();
    int64_t target = 0;
    if (__builtin_add_overflow(base, aOffset, &target) || target < 0)
        throw ETagStreamError(Format(QStringLiteral("Invalid stream position %d"), {aOffset}));
    FPosition = target;
    return FPosition;
}

int64_t TTagStream::Read(void* aBuffer, int64_t aCount)
{
    if (aCount <= 0)
        return 0;
    const int64_t done = DoRead(FPosition, aBuffer, aCount);
    FPosition += done;
    return done;
}

void TTagStream::ReadBuffer(void* aBuffer, int64_t aCount)
{
    if (Read(aBuffer, aCount) != std::max<int64_t>(aCount, 0))
        throw ETagStreamError(QStringLiteral("Stream read error"));
}

QByteArray TTagStream::ReadBytes(int64_t aCount)
{
    QByteArray bytes(MemorySize(aCount), Qt::Uninitialized);
    ReadBuffer(bytes.data(), bytes.size());
    return bytes;
}

void TTagStream::Write(const void* aBuffer, int64_t aCount)
{
    if (aCount <= 0)
        return;
    DoWrite(FPosition, aBuffer, aCount);
    FPosition += aCount;
}

// ---------------------------------------------------------------------------

TFileTagStream::TFileTagStream(int aHandle) : FHandle(aHandle) {}

TFileTagStream::TFileTagStream(const QString& aFileName)
{
    const QByteArray name = QFile::encodeName(aFileName);
    do {
        FHandle = ::open(name.constData(), O_RDWR | O_CLOEXEC);
    } while (FHandle < 0 && errno == EINTR);
    if (FHandle < 0)
        throw ETagStreamError(Format(QStringLiteral("Cannot open file \"%s\" (%s)"), {aFileName, SysErrorMessage(errno)}));
    FOwnsHandle = true;
}

TFileTagStream::~TFileTagStream()
{
    if (FOwnsHandle)
        ::close(FHandle);
}

int64_t TFileTagStream::Size()
{
    struct stat st;
    if (::fstat(FHandle, &st) != 0)
        RaiseStreamError("Stream size error", errno);
    return st.st_size;
}

void TFileTagStream::SetSize(int64_t aSize)
{
    const int64_t old = Size();
    if (aSize > old) {
        // Reserve the new room first, so a full disk fails here, before a
        // shift has moved anything, and not halfway through it.
        const int error = ::posix_fallocate(FHandle, off_t(old), off_t(aSize - old));
        if (error == 0)
            return;
        if (error != EOPNOTSUPP && error != EINVAL)
            RaiseStreamError("Stream size error", error);
    }
    int rc;
    do {
        rc = ::ftruncate(FHandle, off_t(aSize));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        RaiseStreamError("Stream size error", errno);
}

int64_t TFileTagStream::DoRead(int64_t aOffset, void* aBuffer, int64_t aCount)
{
    char* p = static_cast<char*>(aBuffer);
    int64_t done = 0;
    while (done < aCount) {
        const ssize_t n = ::pread(FHandle, p + done, size_t(aCount - done), off_t(aOffset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseStreamError("Stream read error", errno);
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

void TFileTagStream::DoWrite(int64_t aOffset, const void* aBuffer, int64_t aCount)
{
    const char* p = static_cast<const char*>(aBuffer);
    int64_t done = 0;
    while (done < aCount) {
        const ssize_t n = ::pwrite(FHandle, p + done, size_t(aCount - done), off_t(aOffset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseStreamError("Stream write error", errno);
        }
        if (n == 0)
            RaiseStreamError("Stream write error", EIO);
        done += n;
    }
}

// ---------------------------------------------------------------------------

void TMemoryTagStream::SetSize(int64_t aSize)
{
    const qsizetype size = MemorySize(aSize);
    const qsizetype old = FData.size();
    FData.resize(size);
    if (size > old)
        std::memset(FData.data() + old, 0, size_t(size - old));
}

int64_t TMemoryTagStream::DoRead(int64_t aOffset, void* aBuffer, int64_t aCount)
{
    if (aOffset >= FData.size())
        return 0;
    const int64_t n = std::min<int64_t>(aCount, FData.size() - aOffset);
    std::memcpy(aBuffer, FData.constData() + aOffset, size_t(n));
    return n;
}

void TMemoryTagStream::DoWrite(int64_t aOffset, const void* aBuffer, int64_t aCount)
{
    int64_t end = 0;
    if (__builtin_add_overflow(aOffset, aCount, &end))
        throw ETagStreamError(QStringLiteral("Stream write error"));
    if (end > FData.size())
        SetSize(end);
    std::memcpy(FData.data() + aOffset, aBuffer, size_t(aCount));
}
