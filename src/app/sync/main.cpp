// sorvelinx-sync: the store's downloads without a window.
#include "app/sync/SyncOptions.h"
#include "app/sync/SyncRun.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvelinx-sync"));

    TSyncOptions options;
    QString error;
    if (!ParseSyncOptions(app.arguments().mid(1), options, error)) {
        std::fprintf(stderr, "sorvelinx-sync: %s\n\n%s", error.toUtf8().constData(), SyncUsage().toUtf8().constData());
        return secUsage;
    }
    if (options.Help) {
        std::fputs(SyncUsage().toUtf8().constData(), stdout);
        return secSuccess;
    }
    return RunSync(options);
}
