// The catalog update run at start when the store reports a newer catalog:
// ask the store which packages to fetch ("catalogupdate"), download them
// one after the other, unpack each and install it, with one line of
// progress text. The requests run on worker threads and are polled by a
// 100 ms timer on the main thread, where the unpacking and the installs run.
//
// A driver (the update window, the headless command) calls Start, shows
// ProgressText and Caption while it polls State (or listens to OnChange),
// and reads ErrorMessage once the run failed. Execute does all of it in a
// local event loop. Main thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class QEventLoop;
class QTemporaryDir;
class TCatalogData;
class TConnection;
class TFileRequest;
class TSESrvRequest;

namespace pugi {
class xml_document;
class xml_node;
} // namespace pugi

// One package to fetch, as the store lists it.
struct TUpdateInfo {
    bool IsFullUpdate = false;
    uint32_t Version = 0;
    uint32_t Size = 0;
    QString URL;
};

// The part of aUrl after the last "/" (all of it without one).
QString ExtractUrlFileName(const QString& aUrl);
// The part of aUrl up to and including the last "/" (empty without one).
QString ExtractUrlFilePath(const QString& aUrl);

enum TCatalogUpdateState : uint8_t {
    cusIdle,        // not started
    cusWaiting,     // started, the first tick has not come yet
    cusRetrieving,  // the update information request is under way
    cusDownloading, // a package is being downloaded
    cusFinishing,   // the last package is installed; the text stays a second
    cusFinished,    // success
    cusFailed,      // an error ended the run (ErrorMessage)
    cusCanceled,    // Cancel
};

class TCatalogUpdater : public QObject {
public:
    // The catalog and the session default to CatalogData and Connection.
    explicit TCatalogUpdater(TCatalogData* aCatalog = nullptr, TConnection* aConnection = nullptr);
    // Stops the requests; removes the working folder.
    ~TCatalogUpdater() override;
    TCatalogUpdater(const TCatalogUpdater&) = delete;
    TCatalogUpdater& operator=(const TCatalogUpdater&) = delete;

    // Starts the 100 ms timer; its first tick asks for the update information.
    void Start();
    // Ends a run under way: the requests are stopped, the state is canceled.
    // Packages installed before stay installed.
    void Cancel();
    // Start, then runs a local event loop until the run is over; true on success.
    bool Execute();

    TCatalogUpdateState State() const { return FState; }
    bool Done() const { return FState == cusFinished || FState == cusFailed || FState == cusCanceled; }
    bool Succeeded() const { return FState == cusFinished; }
    // The message of the error that ended the run.
    const QString& ErrorMessage() const { return FErrorMessage; }
    // "Initializing...", "Retrieving info...", "Downloading 2 of 5...", ...
    const QString& ProgressText() const { return FProgressText; }
    // "SorvelinX catalog update", then "... full update" or "... partial update".
    const QString& Caption() const { return FCaption; }
    const QList<TUpdateInfo>& UpdateList() const { return FUpdateList; }
    int UpdateIndex() const { return FUpdateIndex; }

    // Called on every change of the progress text, the caption or the state
    // (a window repaints its label here).
    void SetOnChange(std::function<void()> aOnChange) { FOnChange = std::move(aOnChange); }
    // Where the private working folder is made (default: the user's
    // temporary folder).
    void SetTempFolder(const QString& aFolder) { FTempFolder = aFolder; }
    const QString& TempFolder() const { return FTempFolder; }
    // The pause after the last install, 1000 ms.
    void SetFinishDelay(int aMilliseconds) { FFinishDelay = aMilliseconds; }

    // 100 ms; off while its handler runs.
    QTimer StartTimer;

private:
    void StartTimerTimer();
    void RetrieveCatalogUpdateInfo();
    bool CheckCatalogRequest();
    void ParseResponse(const pugi::xml_document& aXmlDoc);
    void DoFullUpdate(const pugi::xml_node& aCatalog);
    void DoPartialUpdate(const pugi::xml_node& aCatalog);
    void DownloadUpdate(int aIndex);
    void DownloadFile(const QString& aUrl);
    bool CheckDownloadRequest();
    QString UnzipFile(const QString& aFilePath);
    void UpdateProgress(const QString& aText, bool aDots);

    QString WorkFolder();
    void StopRequests();
    void SetState(TCatalogUpdateState aState);
    void Changed();

    TCatalogData* FCatalog;
    TConnection* FConnection;
    QList<TUpdateInfo> FUpdateList;
    int FUpdateIndex = -1;
    std::unique_ptr<TFileRequest> FDownloadRequest;
    std::unique_ptr<TSESrvRequest> FCatalogRequest;

    TCatalogUpdateState FState = cusIdle;
    QString FErrorMessage;
    QString FProgressText;
    QString FCaption;
    std::function<void()> FOnChange;
    QString FTempFolder;
    std::unique_ptr<QTemporaryDir> FWorkFolder;
    int FFinishDelay = 1000;
    QTimer FFinishTimer;
    QEventLoop* FLoop = nullptr;
};
