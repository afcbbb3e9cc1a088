// A small download client for the crash tests: it does what the program does
// with its downloads (load the list, apply the basket, run the engine until
// every file is finished) in a process of its own, so a test can kill it at
// any moment (or make it die at a crash point, SX_CRASH_AT) and run it again.
//
//   sx_download_runner --store URL --session ID --user NAME --folder DIR
//                      --basket FILE [--threads N] [--timeout-ms MS]
//
// Exit code 0 when every item is finished (or still being encoded by the
// store), 3 on time-out, 2 on bad arguments. The last line on standard output
// is "FINISHED <finished> <count> <errors>".
#include "StoreKeySession.h"

#include "downloads/DownloadManager.h"
#include "downloads/Files.h"
#include "downloads/UserData.h"
#include "log/LogManager.h"
#include "net/XmlUtils.h"
#include "settings/Settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption store(QStringLiteral("store"), QStringLiteral("store base URL"), QStringLiteral("url"));
    const QCommandLineOption session(QStringLiteral("session"), QStringLiteral("session id"), QStringLiteral("id"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("user name"), QStringLiteral("name"));
    const QCommandLineOption folder(QStringLiteral("folder"), QStringLiteral("download folder"), QStringLiteral("dir"));
    const QCommandLineOption basket(QStringLiteral("basket"), QStringLiteral("basket answer"), QStringLiteral("file"));
    const QCommandLineOption threads(QStringLiteral("threads"), QStringLiteral("workers"), QStringLiteral("n"),
                                     QString::number(DownloadThreadCount));
    const QCommandLineOption timeout(QStringLiteral("timeout-ms"), QStringLiteral("time-out"), QStringLiteral("ms"),
                                     QStringLiteral("60000"));
    parser.addOptions({store, session, user, folder, basket, threads, timeout});
    parser.process(app);
    if (!parser.isSet(store) || !parser.isSet(user) || !parser.isSet(folder) || !parser.isSet(basket))
        return 2;

    LogMngr::StartModule();
    SettingsModule::Start();
    LogMngr::SetObjMessageHandler([](const TMessageRec& aRec) {
        if (aRec.MsgType >= lmtWarning)
            std::fprintf(stderr, "%s: %s\n", qPrintable(aRec.Source), qPrintable(aRec.Message));
    });
    Settings().DownloadFolder = parser.value(folder) + QLatin1Char('/');
    Settings().DownloadFileNameMask = QStringLiteral("%G/%A (%Y)/%T - %S");
    Settings().AutoDownloading = true;

    int result = 3;
    {
        // The session outlives the list, whose last saves may call it.
        TStoreKeySession keys(parser.value(store), parser.value(session));
        TUserData userData;
        userData.Init(parser.value(user));
        TFiles files(userData);
        files.Load();

        // The basket refresh of every start.
        QFile basketFile(parser.value(basket));
        if (!basketFile.open(QIODevice::ReadOnly))
            return 2;
        const std::unique_ptr<pugi::xml_document> doc = xml::LoadXmlDocument(basketFile.readAll());
        double date = 0;
        files.UpdateFiles(*doc, date);

        TDownloadOptions options;
        options.ThreadCount = parser.value(threads).toInt();
        options.IdleSleepMs = 100;
        options.RetryPauseMs = 50;
        options.MaxRetryPauseMs = 1000;
        options.ErrorPauseMs = 200;
        TDownloadManager manager(files, keys, options);
        manager.StartDownloads();

        const int timeoutMs = parser.value(timeout).toInt();
        QElapsedTimer elapsed;
        elapsed.start();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            bool all = true;
            for (int i = 0; i < files.Count(); ++i)
                all = all && (files.Items(i)->Finished() || files.Items(i)->Encoding());
            if (all) {
                result = 0;
                app.quit();
            } else if (elapsed.elapsed() > timeoutMs) {
                app.quit();
            }
        });
        poll.start(20);
        app.exec();
        manager.StopDownloads();
        files.FlushPendingSaves();

        int finished = 0;
        int errors = 0;
        for (int i = 0; i < files.Count(); ++i) {
            finished += files.Items(i)->Finished() ? 1 : 0;
            errors += files.Items(i)->DownloadErrorOccured() ? 1 : 0;
        }
        std::printf("FINISHED %d %d %d\n", finished, files.Count(), errors);
        std::fflush(stdout);
    }
    SettingsModule::Stop();
    LogMngr::StopModule();
    return result;
}
