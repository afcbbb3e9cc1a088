// What the download engine needs of the store session. The session
// (TConnection) implements it; tests use a stand-in.
#pragma once

#include <QString>
#include <cstdint>

class TDownloadSession {
public:
    virtual ~TDownloadSession() = default;

    // The session identifier sent in every block URL. Called on the worker
    // threads for every block; it must not change while the engine runs.
    virtual QString SessionID() const = 0;

    // The key of a downloaded file (the store's "filedownloaded" action),
    // performed synchronously on the calling worker thread. Raises on any
    // failure, also when the key is not exactly 64 characters long.
    virtual QString FinalizeFile(int32_t aID, bool aIsOE) = 0;

    // Refreshes the balance after a file has been finished. Called on the
    // main thread, after the finished state has been saved, possibly after
    // the engine has been stopped: the session must outlive the download list.
    virtual void RefreshBalance() = 0;
};
