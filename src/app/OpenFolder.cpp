#include "app/OpenFolder.h"

#include "log/Exception.h"
#include "log/Format.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

void OpenFolder(const QString& aFolderPath)
{
    const QUrl url = QDir::isAbsolutePath(aFolderPath) ? QUrl::fromLocalFile(aFolderPath)
                                                       : QUrl::fromUserInput(aFolderPath);
    if (!QDesktopServices::openUrl(url))
        throw EOSError(Format(QStringLiteral("Cannot open \"%s\""), {aFolderPath}));
}
