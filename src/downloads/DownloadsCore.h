// The downloads as the desktop window's downloads tab and the headless
// command both run them: the download list loaded from the user database,
// the engine working on it, the session's basket answers applied to it and
// its deletions reported through the session. Main thread only.
#pragma once

#include "downloads/DownloadManager.h"
#include "downloads/DownloadSession.h"
#include "downloads/Files.h"

#include <memory>

class TConnection;
class TUserData;

namespace pugi {
class xml_document;
}

// The engine's view of the session: identifiers, file keys, the balance.
class TConnectionDownloadSession : public TDownloadSession {
public:
    explicit TConnectionDownloadSession(TConnection& aConnection) : FConnection(aConnection) {}
    QString SessionID() const override;
    QString FinalizeFile(int32_t aID, bool aIsOE) override;
    void RefreshBalance() override;

private:
    TConnection& FConnection;
};

class TDownloadsCore {
public:
    // Creates the list on the user database and loads it; the engine is
    // created but not started.
    TDownloadsCore(TUserData& aUserData, TConnection& aConnection, const TDownloadOptions& aOptions = {});
    // Stops the engine first (waiting for its workers), then releases the list.
    ~TDownloadsCore();
    TDownloadsCore(const TDownloadsCore&) = delete;
    TDownloadsCore& operator=(const TDownloadsCore&) = delete;

    void StartDownloads() { FManager->StartDownloads(); }
    void StopDownloads() { FManager->StopDownloads(); }

    // A basket answer from the session: applied to the list. True when it
    // carried changes that were applied.
    bool BasketUpdated(const pugi::xml_document& aXmlDoc);
    // Asks the session for a basket refresh now.
    void RefreshBasket();

    TFiles& Files() { return *FFiles; }
    TDownloadManager& Manager() { return *FManager; }
    void SetObserver(TFilesObserver* aObserver) { FFiles->SetObserver(aObserver); }

private:
    TConnection& FConnection;
    TConnectionDownloadSession FSession;
    std::unique_ptr<TFiles> FFiles;
    std::unique_ptr<TDownloadManager> FManager;
};
