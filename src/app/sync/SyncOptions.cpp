#include "app/sync/SyncOptions.h"

bool ParseSyncOptions(const QStringList& aArgs, TSyncOptions& aOptions, QString& aError)
{
    aOptions = TSyncOptions();
    for (int i = 0; i < aArgs.size(); ++i) {
        QString arg = aArgs[i];
        QString value;
        bool hasValue = false;
        // "--name=value" and "--name value" both work.
        const int eq = arg.indexOf(QLatin1Char('='));
        if (arg.startsWith(QStringLiteral("--")) && eq > 0) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
            hasValue = true;
        }
        auto takeValue = [&](QString& aOut) {
            if (!hasValue) {
                if (i + 1 >= aArgs.size()) {
                    aError = QStringLiteral("%1 needs a value").arg(arg);
                    return false;
                }
                value = aArgs[++i];
            }
            aOut = value;
            return true;
        };
        auto noValue = [&]() {
            if (hasValue) {
                aError = QStringLiteral("%1 takes no value").arg(arg);
                return false;
            }
            return true;
        };

        QString text;
        if (arg == QLatin1String("--login")) {
            if (!takeValue(text))
                return false;
            aOptions.Login = text;
        } else if (arg == QLatin1String("--password")) {
            if (!takeValue(text))
                return false;
            aOptions.Password = text;
        } else if (arg == QLatin1String("--host")) {
            if (!takeValue(text))
                return false;
            if (text.trimmed().isEmpty()) {
                aError = QStringLiteral("--host needs a host name");
                return false;
            }
            aOptions.Host = text.trimmed();
        } else if (arg == QLatin1String("--port")) {
            if (!takeValue(text))
                return false;
            bool ok = false;
            const uint port = text.toUInt(&ok);
            if (!ok || port == 0 || port > 65535) {
                aError = QStringLiteral("--port needs a number from 1 to 65535, not \"%1\"").arg(text);
                return false;
            }
            aOptions.Port = uint16_t(port);
        } else if (arg == QLatin1String("--download-folder")) {
            if (!takeValue(text))
                return false;
            if (text.isEmpty()) {
                aError = QStringLiteral("--download-folder needs a folder");
                return false;
            }
            aOptions.DownloadFolder = text;
        } else if (arg == QLatin1String("--debug")) {
            if (!noValue())
                return false;
            aOptions.Debug = true;
        } else if (arg == QLatin1String("--no-progress")) {
            if (!noValue())
                return false;
            aOptions.NoProgress = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            aOptions.Help = true;
        } else {
            aError = QStringLiteral("unknown argument \"%1\"").arg(aArgs[i]);
            return false;
        }
    }
    return true;
}

QString SyncUsage()
{
    return QStringLiteral(
        "Usage: sorvelinx-sync [--login NAME] [--password TEXT] [--host HOST] [--port N]\n"
        "                      [--download-folder DIR] [--debug] [--no-progress] [--help]\n"
        "\n"
        "Signs in to the store, brings the catalog up to date, and downloads every\n"
        "bought file that is queued, then exits.\n"
        "\n"
        "  --login NAME            the account (default: the stored credentials)\n"
        "  --password TEXT         its password (default: the stored credentials)\n"
        "  --host HOST, --port N   the store server, for this run only\n"
        "  --download-folder DIR   where finished files go, for this run only\n"
        "  --debug                 write debug messages to the log\n"
        "  --no-progress           print no progress\n"
        "\n"
        "Exit codes: 0 every queued file finished, 1 some file failed, 2 sign-in failed,\n"
        "3 catalog update failed, 64 usage error, 130 interrupted.\n");
}
