#include "app/AppUtils.h"

#include "log/Exception.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStringList>

#include <cerrno>
#include <sys/stat.h>

#ifndef SX_APP_VERSION
#define SX_APP_VERSION ""
#endif

namespace {

// The four numbers of a version record, or false when there is none.
bool ParseRecord(const QString& aRecord, int aParts[4])
{
    const QStringList parts = aRecord.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const int v = parts[i].toInt(&ok);
        if (!ok || v < 0 || v > 0xFFFF)
            return false;
        aParts[i] = v;
    }
    return true;
}

} // namespace

QString VersionFromRecord(const QString& aRecord)
{
    int p[4];
    if (!ParseRecord(aRecord, p))
        return QString();
    return QStringLiteral("%1.%2.%3").arg(p[0]).arg(p[1]).arg(p[2]);
}

int ReleaseFromRecord(const QString& aRecord)
{
    int p[4];
    return ParseRecord(aRecord, p) ? p[2] : 0;
}

QString GetAppVersion()
{
    return VersionFromRecord(QStringLiteral(SX_APP_VERSION));
}

int GetAppRelease()
{
    return ReleaseFromRecord(QStringLiteral(SX_APP_VERSION));
}

int64_t GetFileSize(const QString& aPath)
{
    struct stat st;
    if (::stat(QFile::encodeName(aPath).constData(), &st) != 0)
        RaiseLastOSError(errno);
    return int64_t(st.st_size);
}

QString LocalAppDataFolder()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(base);
}

QString MusicFolder()
{
    QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (music.isEmpty())
        music = QDir::homePath() + QStringLiteral("/Music");
    return QDir::cleanPath(music);
}

QString PathJoin(const QString& aFolder, const QString& aName)
{
    if (aFolder.isEmpty())
        return aName;
    if (aFolder.endsWith(PathDelim))
        return aFolder + aName;
    return aFolder + QChar(PathDelim) + aName;
}

QString SaveStateFilePath()
{
    return PathJoin(PathJoin(LocalAppDataFolder(), QStringLiteral("SorvelinX")), QStringLiteral("form_state.dat"));
}
