#include "common/TestUtils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/time.h>

namespace testutil {

QString SourceDir()
{
    const QString dir = qEnvironmentVariable("SX_SOURCE_DIR");
    return dir.isEmpty() ? QDir::currentPath() : dir;
}

QString BinaryDir()
{
    const QString dir = qEnvironmentVariable("SX_BINARY_DIR");
    return dir.isEmpty() ? QDir::currentPath() : dir;
}

QString Python()
{
    const QString py = qEnvironmentVariable("SX_PYTHON");
    return py.isEmpty() ? QStringLiteral("/usr/bin/python3") : py;
}

QString HomeDir()
{
    return qEnvironmentVariable("HOME");
}

QByteArray ReadFile(const QString& aPath)
{
    QFile f(aPath);
    if (!f.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << aPath.toStdString();
        return {};
    }
    return f.readAll();
}

void WriteFile(const QString& aPath, const QByteArray& aBytes)
{
    QDir().mkpath(QFileInfo(aPath).path());
    QFile f(aPath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        ADD_FAILURE() << "cannot write " << aPath.toStdString();
        return;
    }
    f.write(aBytes);
}

bool WaitFor(const std::function<bool()>& aDone, int aTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!aDone()) {
        if (timer.elapsed() > aTimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

ProcessResult Run(const QString& aProgram, const QStringList& aArgs, int aTimeoutMs)
{
    QProcess p;
    p.start(aProgram, aArgs);
    ProcessResult r;
    if (!p.waitForStarted(10000)) {
        r.err = "failed to start " + aProgram.toUtf8();
        return r;
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(aTimeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = "timed out";
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err += p.readAllStandardError();
    return r;
}

void SetFileAge(const QString& aPath, double aSecondsAgo)
{
    SetFileTime(aPath, QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch() - qint64(aSecondsAgo * 1000)));
}

void SetFileTime(const QString& aPath, const QDateTime& aTime)
{
    const double when = double(aTime.toMSecsSinceEpoch()) / 1000.0;
    struct timeval times[2];
    times[0].tv_sec = time_t(when);
    times[0].tv_usec = suseconds_t((when - double(times[0].tv_sec)) * 1e6);
    times[1] = times[0];
    ASSERT_EQ(::utimes(QFile::encodeName(aPath).constData(), times), 0);
}

} // namespace testutil
