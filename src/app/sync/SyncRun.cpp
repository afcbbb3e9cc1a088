#include "app/sync/SyncRun.h"

#include "app/AppUtils.h"
#include "app/MainThread.h"
#include "app/Modules.h"
#include "app/sync/SyncProgress.h"
#include "catalog/CatalogUpdater.h"
#include "downloads/DownloadsCore.h"
#include "downloads/UserData.h"
#include "log/LogManager.h"
#include "net/Connection.h"
#include "settings/ServerSettings.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QString SyncSource = QStringLiteral("sorvelinx-sync");

// Ctrl-C: before the downloads start nothing needs saving and the process
// ends at once; while they run the flag asks for a clean stop.
std::atomic<bool> Interrupted{false};
std::atomic<bool> Downloading{false};

void OnInterrupt(int)
{
    if (!Downloading.load()) {
        static const char text[] = "\nInterrupted\n";
        (void)!::write(STDERR_FILENO, text, sizeof text - 1);
        ::_exit(secInterrupted);
    }
    Interrupted.store(true);
}

void InstallInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void PrintError(const QString& aText)
{
    const QByteArray bytes = (aText + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString ErrorText(std::exception_ptr aError)
{
    try {
        std::rethrow_exception(aError);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

// The session's notifications for a run without a window: basket answers go
// to the downloads; the balance and version are only logged.
class TSyncListener : public TConnectionListener {
public:
    void BalanceUpdated(const QString& aBalance) override
    {
        HandleMessageFmt(lmtInfo, SyncSource, QStringLiteral("Balance: %s"), {aBalance});
    }
    void NotifyAppVersion(int aRelease, const QString& aVersion, const QString& aUrl) override {}
    void BasketUpdated(const pugi::xml_document& aXmlDoc) override
    {
        ++BasketAnswers;
        if (Downloads)
            Downloads->BasketUpdated(aXmlDoc);
    }

    TDownloadsCore* Downloads = nullptr;
    int BasketAnswers = 0;
};

// Errors and warnings reported anywhere reach stderr too; the log has them all.
void InstallErrorEcho(TProgressPrinter* aPrinter)
{
    LogMngr::SetObjMessageHandler([aPrinter](const TMessageRec& aMsg) {
        if (aMsg.MsgType < lmtWarning)
            return;
        QString text = aMsg.MsgType == lmtError ? QStringLiteral("error: ") : QStringLiteral("warning: ");
        if (!aMsg.Source.isEmpty())
            text += aMsg.Source + QStringLiteral(": ");
        text += aMsg.Message;
        // The handler may run on a worker thread: print from the main thread.
        QueueMainThreadCall([aPrinter, text] {
            if (aPrinter)
                aPrinter->Message(text);
            else
                PrintError(text);
        });
    });
}

bool ItemFailed(const TFileItem& aItem)
{
    if (aItem.Finished())
        return false;
    if (aItem.DownloadErrorOccured())
        return true;
    return aItem.Queued() && aItem.SerialFailures() >= SyncGiveUpFailures;
}

// True while some file can still make progress.
bool WorkLeft(TFiles& aFiles)
{
    for (int i = 0; i < aFiles.Count(); ++i) {
        TFileItem& item = *aFiles.Items(i);
        if (item.JobCount() > 0)
            return true;
        if (item.Queued() && !ItemFailed(item))
            return true;
    }
    return aFiles.PendingSaveCount() > 0;
}

void ShowProgress(TFiles& aFiles, TProgressPrinter& aPrinter, bool aForce)
{
    std::vector<TSyncFileProgress> active;
    TSyncTotals totals;
    for (int i = 0; i < aFiles.Count(); ++i) {
        TFileItem& item = *aFiles.Items(i);
        if (item.Finished()) {
            ++totals.Files;
            ++totals.Finished;
            continue;
        }
        if (ItemFailed(item)) {
            ++totals.Files;
            ++totals.Failed;
            continue;
        }
        if (!item.Queued())
            continue;
        ++totals.Files;
        if (!item.Downloading())
            continue;
        TSyncFileProgress file;
        file.Name = item.GetDisplayName();
        file.Percent = item.DownloadProgress();
        file.Speed = item.DownloadSpeed();
        if (const auto left = item.DownloadEstimatedTime())
            file.Estimated = uint32_t(*left * 86400.0 + 0.5);
        totals.Speed += file.Speed.value_or(0);
        active.push_back(file);
    }
    aPrinter.Show(RenderProgress(active, totals, StdoutIsTerminal() ? TerminalWidth() : 0), aForce);
}

void WaitUntil(const std::function<bool()>& aDone)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (aDone())
            loop.quit();
    });
    poll.start(100);
    if (!aDone())
        loop.exec();
}

class TRunGuard {
public:
    TRunGuard()
    {
        StartModules();
    }
    ~TRunGuard()
    {
        LogMngr::SetObjMessageHandler(nullptr);
        if (FObjects)
            FreeDataObjects();
        StopModules();
    }
    void CreateObjects()
    {
        CreateDataObjects();
        FObjects = true;
    }

private:
    bool FObjects = false;
};

} // namespace

int RunSync(const TSyncOptions& aOptions)
{
    // Outlives the modules: messages of the shutdown may still be echoed.
    TProgressPrinter printer(StdoutIsTerminal());
    TRunGuard run;
    TSettings& settings = Settings();

    try {
        LogMngr::Initialize(PathJoin(settings.AppFolder(), QStringLiteral("logs")));
    } catch (...) {
        PrintError(QStringLiteral("Cannot start the log: ") + ErrorText(std::current_exception()));
        return secFileFailed;
    }
    if (aOptions.Debug)
        LogMsgLevel = lmtDebug;

    // This run's overrides; the settings file is never written.
    if (aOptions.Host)
        settings.Host = *aOptions.Host;
    if (aOptions.Port)
        settings.Port = *aOptions.Port;
    if (aOptions.DownloadFolder) {
        QString folder = QDir(*aOptions.DownloadFolder).absolutePath();
        if (!folder.endsWith(PathDelim))
            folder += QChar(PathDelim);
        settings.DownloadFolder = folder;
    }

    const bool showProgress = !aOptions.NoProgress;
    InstallErrorEcho(showProgress ? &printer : nullptr);
    InstallInterruptHandler();

    const QString login = (aOptions.Login ? *aOptions.Login : settings.Login).trimmed();
    const QString password = aOptions.Password ? *aOptions.Password : settings.Password;
    if (login.isEmpty()) {
        PrintError(QStringLiteral("Sign-in failed: no login given and no stored credentials (use --login)"));
        return secSignInFailed;
    }

    run.CreateObjects();
    TSyncListener listener;
    Connection->SetListener(&listener);

    try {
        Connection->Connect(login, password);
    } catch (...) {
        HandleException(QStringLiteral("TConnection.Connect"), 0);
        PrintError(QStringLiteral("Sign-in failed: ") + ErrorText(std::current_exception()));
        return secSignInFailed;
    }
    if (showProgress)
        printer.Message(QStringLiteral("Signed in as %1 at %2:%3").arg(Connection->Login(), settings.Host).arg(settings.Port));

    try {
        UserData->Init(Connection->Login());
    } catch (...) {
        HandleException(QStringLiteral("TUserData.Init"), 0);
        PrintError(QStringLiteral("Cannot open the user database: ") + ErrorText(std::current_exception()));
        return secFileFailed;
    }

    if (ServerSettings().CatalogUpdated) {
        TCatalogUpdater updater;
        QString shown;
        updater.SetOnChange([&] {
            const QString text = updater.ProgressText();
            if (showProgress && !text.isEmpty() && text != shown) {
                shown = text;
                printer.Message(QStringLiteral("Catalog: ") + text);
            }
        });
        if (!updater.Execute()) {
            PrintError(QStringLiteral("Catalog update failed: ") + updater.ErrorMessage());
            return secCatalogFailed;
        }
    }

    std::unique_ptr<TDownloadsCore> downloads;
    try {
        downloads = std::make_unique<TDownloadsCore>(*UserData, *Connection);
    } catch (...) {
        HandleException(QStringLiteral("TFiles.Load"), 0);
        PrintError(QStringLiteral("Cannot load the download list: ") + ErrorText(std::current_exception()));
        return secFileFailed;
    }
    listener.Downloads = downloads.get();

    // One basket answer before the downloads start.
    Connection->RefreshDownloads();
    WaitUntil([&] { return listener.BasketAnswers > 0 || !Connection->IsRefreshingDownloads(); });
    if (listener.BasketAnswers == 0)
        PrintError(QStringLiteral("The basket could not be refreshed; downloading the saved list"));

    Downloading.store(true);
    downloads->StartDownloads();
    WaitUntil([&] {
        if (showProgress)
            ShowProgress(downloads->Files(), printer, false);
        return Interrupted.load() || !WorkLeft(downloads->Files());
    });
    downloads->StopDownloads();
    Downloading.store(false);
    // The saves the workers posted last.
    QCoreApplication::sendPostedEvents();
    downloads->Files().FlushPendingSaves();
    if (showProgress) {
        ShowProgress(downloads->Files(), printer, true);
        printer.Finish();
    }

    int failed = 0;
    TFiles& files = downloads->Files();
    for (int i = 0; i < files.Count(); ++i) {
        const TFileItem& item = *files.Items(i);
        if (item.Finished() || item.Encoding() || (item.Paused() && !item.DownloadErrorOccured()))
            continue;
        ++failed;
        if (!Interrupted.load())
            PrintError(QStringLiteral("Not downloaded: ") + item.GetDisplayName());
    }
    listener.Downloads = nullptr;
    Connection->SetListener(nullptr);
    downloads.reset();

    if (Interrupted.load()) {
        PrintError(QStringLiteral("Interrupted; the blocks downloaded so far are kept"));
        return secInterrupted;
    }
    return failed == 0 ? secSuccess : secFileFailed;
}
