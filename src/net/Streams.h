// Minimal byte streams for request bodies: memory and file. Plain C++ objects
// (no QObject), so a worker thread may create, fill and destroy them.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>

class TStream {
public:
    virtual ~TStream() = default;
    // Writes all bytes at the position; raises on failure.
    virtual void Write(const char* aData, int64_t aSize) = 0;
    // Reads up to aMax bytes at the position; returns the count (0 at the end).
    virtual int64_t Read(char* aData, int64_t aMax) = 0;
    virtual void Seek(int64_t aPosition) = 0;
    virtual int64_t Position() const = 0;
    virtual int64_t Size() const = 0;

    // Everything from the start.
    QByteArray ReadAllFromStart();
};

class TMemoryStream : public TStream {
public:
    void Write(const char* aData, int64_t aSize) override;
    int64_t Read(char* aData, int64_t aMax) override;
    void Seek(int64_t aPosition) override;
    int64_t Position() const override { return FPosition; }
    int64_t Size() const override { return FData.size(); }

    const QByteArray& Data() const { return FData; }
    void Clear();

private:
    QByteArray FData;
    int64_t FPosition = 0;
};

class TFileStream : public TStream {
public:
    enum TMode { fmCreate, fmOpenRead, fmOpenReadWrite };
    // Opens the file with an exclusive lock (another exclusive open fails).
    // fmCreate creates the file or truncates it.
    TFileStream(const QString& aPath, TMode aMode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    void Write(const char* aData, int64_t aSize) override;
    int64_t Read(char* aData, int64_t aMax) override;
    void Seek(int64_t aPosition) override;
    int64_t Position() const override { return FPosition; }
    int64_t Size() const override;

    const QString& Path() const { return FPath; }
    // Sets the file's modification time now and again when the stream is
    // closed, so later writes through this stream do not move it.
    void PinModificationTime(const QDateTime& aTime);
    void Close();

private:
    void ApplyPinnedTime();

    QString FPath;
    int FHandle = -1;
    int64_t FPosition = 0;
    QDateTime FPinnedTime;
};

// The modification time of a file at second precision (invalid when missing).
QDateTime FileModificationTime(const QString& aPath);
