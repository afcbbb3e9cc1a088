#include "net/Streams.h"

#include "log/Exception.h"
#include "log/Format.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray TStream::ReadAllFromStart()
{
    Seek(0);
    QByteArray result;
    result.resize(qsizetype(Size()));
    int64_t done = 0;
    while (done < result.size()) {
        const int64_t n = Read(result.data() + done, result.size() - done);
        if (n <= 0)
            break;
        done += n;
    }
    result.resize(qsizetype(done));
    return result;
}

void TMemoryStream::Write(const char* aData, int64_t aSize)
{
    if (aSize <= 0)
        return;
    const int64_t end = FPosition + aSize;
    if (end > FData.size())
        FData.resize(qsizetype(end));
    std::memcpy(FData.data() + FPosition, aData, size_t(aSize));
    FPosition = end;
}

int64_t TMemoryStream::Read(char* aData, int64_t aMax)
{
    const int64_t n = std::min<int64_t>(aMax, FData.size() - FPosition);
    if (n <= 0)
        return 0;
    std::memcpy(aData, FData.constData() + FPosition, size_t(n));
    FPosition += n;
    return n;
}

void TMemoryStream::Seek(int64_t aPosition)
{
    FPosition = std::max<int64_t>(0, aPosition);
}

void TMemoryStream::Clear()
{
    FData.clear();
    FPosition = 0;
}

TFileStream::TFileStream(const QString& aPath, TMode aMode) : FPath(aPath)
{
    int flags = O_CLOEXEC;
    switch (aMode) {
    case fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case fmOpenRead: flags |= O_RDONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    }
    const QByteArray name = QFile::encodeName(aPath);
    // Lock before truncating, so a file another stream holds is left alone.
    FHandle = ::open(name.constData(), flags & ~O_TRUNC, 0644);
    if (FHandle < 0) {
        const int err = errno;
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"), {aPath, SysErrorMessage(err)}));
    }
    if (::flock(FHandle, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(FHandle);
        FHandle = -1;
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"), {aPath, SysErrorMessage(err)}));
    }
    if ((flags & O_TRUNC) && ::ftruncate(FHandle, 0) != 0) {
        const int err = errno;
        ::close(FHandle);
        FHandle = -1;
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"), {aPath, SysErrorMessage(err)}));
    }
}

TFileStream::~TFileStream()
{
    Close();
}

void TFileStream::Close()
{
    if (FHandle < 0)
        return;
    ApplyPinnedTime();
    ::close(FHandle);
    FHandle = -1;
}

void TFileStream::Write(const char* aData, int64_t aSize)
{
    if (FHandle < 0)
        throw Exception(QStringLiteral("Stream is closed"));
    while (aSize > 0) {
        const ssize_t n = ::pwrite(FHandle, aData, size_t(aSize), off_t(FPosition));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseLastOSError();
        }
        aData += n;
        aSize -= n;
        FPosition += n;
    }
}

int64_t TFileStream::Read(char* aData, int64_t aMax)
{
    if (FHandle < 0)
        throw Exception(QStringLiteral("Stream is closed"));
    for (;;) {
        const ssize_t n = ::pread(FHandle, aData, size_t(aMax), off_t(FPosition));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseLastOSError();
        }
        FPosition += n;
        return n;
    }
}

void TFileStream::Seek(int64_t aPosition)
{
    FPosition = std::max<int64_t>(0, aPosition);
}

int64_t TFileStream::Size() const
{
    struct stat st {};
    if (FHandle < 0 || ::fstat(FHandle, &st) != 0)
        return 0;
    return st.st_size;
}

void TFileStream::PinModificationTime(const QDateTime& aTime)
{
    FPinnedTime = aTime;
    ApplyPinnedTime();
}

void TFileStream::ApplyPinnedTime()
{
    if (FHandle < 0 || !FPinnedTime.isValid())
        return;
    const qint64 ms = FPinnedTime.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(ms / 1000);
    times[1].tv_nsec = long((ms % 1000) * 1000000);
    ::futimens(FHandle, times);
}

QDateTime FileModificationTime(const QString& aPath)
{
    struct stat st {};
    if (::stat(QFile::encodeName(aPath).constData(), &st) != 0)
        return {};
    return QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, Qt::UTC);
}
