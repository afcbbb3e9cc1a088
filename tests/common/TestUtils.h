// Helpers shared by the tests.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

namespace testutil {

// The repository root and the build folder (from the test's environment).
QString SourceDir();
QString BinaryDir();
// Debian's python3 (the one with mutagen).
QString Python();
// The per-process home folder that TestMain created.
QString HomeDir();

QByteArray ReadFile(const QString& aPath);
void WriteFile(const QString& aPath, const QByteArray& aBytes);

// Runs the Qt event loop until aDone returns true or aTimeoutMs passes.
bool WaitFor(const std::function<bool()>& aDone, int aTimeoutMs = 10000);

struct ProcessResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
// Runs a program to its end.
ProcessResult Run(const QString& aProgram, const QStringList& aArgs, int aTimeoutMs = 120000);

// Sets a file's last-write time.
void SetFileTime(const QString& aPath, const QDateTime& aTime);
// Sets a file's last-write time to now minus aSecondsAgo.
void SetFileAge(const QString& aPath, double aSecondsAgo);

} // namespace testutil
