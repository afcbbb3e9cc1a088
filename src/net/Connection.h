// The session with the store server: signing in (key exchange, log-in,
// start-up), the session's identifiers and keys, every store action request,
// the balance and basket refreshes on their one-minute timers, the version
// check, the file keys of finished downloads and the report of deleted
// files. One process-wide object, Connection, created with the data objects.
//
// Main thread, except FinalizeFile and RefreshBalance, which the download
// workers call too: they only read the session's fields, which do not change
// after Connect.
#pragma once

#include "net/ConnectionListener.h"
#include "net/HttpRequest.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <set>

class TSESrvRequest;

// The store actions and the word each puts into the action URL (ActionNames).
enum class TRequestAction : uint8_t {
    Unknown = 0,
    Startup = 1,
    ExchangeKey = 2,
    Login = 3,
    ReadMyDownloads = 4,
    ReadMyStat = 5,
    FinalizeFile = 6,
    DeleteFiles = 7,
    GetBalance = 8,
    ReadTechSupport = 9,
    SendTechSupportMsg = 10,
    OrderFiles = 11,
    CalogUpdate = 12,
    GetText = 13,
    GetRegistrionData = 14,
    RegisterUser = 15,
    Confirmation = 16,
    SendConfirmation = 17,
    ActivePinCode = 18,
};

inline constexpr int RequestActionCount = 19;
extern const char* const ActionNames[RequestActionCount];

// The text between the balance page's marker (SORVELIN_BALANCE=") and the
// next double quote, or to the end without one; aFound false without a marker.
QString ExtractBalance(const QString& aPage, bool& aFound);

class TConnection : public QObject {
public:
    TConnection();
    // Stops the timers and the requests still under way (their completions
    // never run). Must go before the HTTP manager.
    ~TConnection() override;
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    // Key exchange, log-in and start-up, each performed synchronously; the
    // start-up answer fills ServerSettings(), then the balance and support
    // addresses are filled with the explorer identifier. Raises the first
    // error met; the fields set before it stay, and the next attempt starts
    // again at the key exchange (with the SessionID left from this one).
    void Connect(const QString& aLogin, const QString& aPassword);

    // "http://<Host>:<Port>/sorvelin/interface.html?r=<random>&action=<word>".
    QString BuildActionUrl(TRequestAction aAction) const;
    // A new envelope request for the action: URL, compression asked for,
    // ProjectType and (once there is one) SessionID. The caller adds the
    // action's fields, performs or starts it and destroys it. Any thread.
    TSESrvRequest* CreateActionRequest(TRequestAction aAction, TRequestCallback aCallbackProc = {});

    // Both timers on, each refresh at once (balance first).
    void StartRefreshing();
    // Starts a balance page request; from a worker thread it is started on
    // the main thread. BalanceUpdated follows when the balance text changed.
    void RefreshBalance();
    // Starts the basket request unless it is still running; BasketUpdated
    // follows with the answer. From a worker thread it is started on the
    // main thread.
    void RefreshDownloads();
    // Starts the version text request; NotifyAppVersion follows.
    void CheckAppVersion();
    // The 64-character key of a downloaded file ("filedownloaded"),
    // performed on the calling thread; raises ELogMngrException
    // "INVALID_RESPONSE_FORMAT" for a key of another length.
    QString FinalizeFile(int32_t aID, bool aIsOE);
    // Reports deleted files ("deletefiles"); aFileInfo holds the lines
    // FileCount=n, FileID<i>=..., FileOE<i>=... Raises ELogMngrException
    // "INVALID_RESPONSE" (no result) or "INVALID_RESPONSE_FORMAT" (not ok).
    void PerformDeleteFiles(const QString& aFileInfo);

    // The timers' handlers: the refreshes, with their errors logged.
    void RefreshBalanceTimerTimer();
    void RefreshDownloadsTimerTimer();

    // Who hears BalanceUpdated, NotifyAppVersion and BasketUpdated (may be
    // none). Not owned.
    void SetListener(TConnectionListener* aListener) { FListener = aListener; }
    TConnectionListener* Listener() const { return FListener; }
    // The catalog's data version sent with the start-up action (the catalog
    // lives in a library above this one); 0 without a source.
    void SetCatalogVersionSource(std::function<uint32_t()> aSource) { FCatalogVersionSource = std::move(aSource); }

    const QString& SessionID() const { return FSessionID; }
    const QString& ExplorerID() const { return FExplorerID; }
    const QString& Login() const { return FLogin; }
    const QString& TrafficKey() const { return FTrafficKey; }
    const QString& BalanceUrl() const { return FBalanceUrl; }
    const QString& SupportUrl() const { return FSupportUrl; }
    const QString& Balance() const { return FBalance; }
    bool RequireConfirmation() const { return FRequireConfirmation; }
    bool HaveSupportMessage() const { return FHaveSupportMessage; }
    // Local date-time of the last successful basket refresh as days since
    // 30 December 1899; 0 before the first.
    double LastDownloadsUpdateDate() const { return FLastDownloadsUpdateDate; }
    // The basket request is running.
    bool IsRefreshingDownloads() const;

    // 60000 ms each, off until StartRefreshing.
    QTimer RefreshBalanceTimer;
    QTimer RefreshDownloadsTimer;

private:
    void DoExchangeSecurityKeys();
    void ParseServerKeys(const TSESrvRequest& aRequest);
    void DoLogin(const QString& aLogin, const QString& aPassword);
    void DoStartup();
    void StartRefreshBalance();
    void StartRefreshDownloads();
    void BalanceRequestComplete(THttpRequest* aRequest);
    void DownloadsRequestComplete(THttpRequest* aRequest);
    void AppVersionRequestComplete(THttpRequest* aRequest);
    // Starts a per-call request; it is destroyed by its handler or with the session.
    void StartOwned(THttpRequest* aRequest);
    void ReleaseOwned(THttpRequest* aRequest);

    QString FSessionID;
    QString FEncryptKey;
    QString FDecryptKey;
    QString FTrafficKey;
    QString FLogin;
    bool FRequireConfirmation = false;
    bool FHaveSupportMessage = false;
    QString FExplorerID;
    QString FBalance;
    QString FBalanceUrl;
    QString FSupportUrl;
    double FLastDownloadsUpdateDate = 0;
    TSESrvRequest* FBasketRequest = nullptr;

    TConnectionListener* FListener = nullptr;
    std::function<uint32_t()> FCatalogVersionSource;
    // Balance and version requests under way (main thread only).
    std::set<THttpRequest*> FOwnedRequests;
};

// The process-wide session (created third among the data objects).
extern TConnection* Connection;

// Local date-time as days since 30 December 1899, the day fraction for the time.
double DateTimeToDays(const QDateTime& aDateTime);
