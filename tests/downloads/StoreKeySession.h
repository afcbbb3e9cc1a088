// A stand-in for the store session in the engine's tests: a fixed session
// identifier, and file keys asked from the demo store's file server
// (GET /fileserver/key/<id>) the way the real session asks "filedownloaded".
#pragma once

#include "common/DemoStore.h"
#include "downloads/DownloadSession.h"
#include "log/LogManager.h"

#include <QString>

#include <atomic>

class TStoreKeySession : public TDownloadSession {
public:
    // aBaseUrl: "http://127.0.0.1:<port>".
    TStoreKeySession(const QString& aBaseUrl, const QString& aSessionID)
        : FBaseUrl(aBaseUrl), FSessionID(aSessionID) {}

    QString SessionID() const override { return FSessionID; }

    QString FinalizeFile(int32_t aID, bool aIsOE) override
    {
        ++FinalizeCalls;
        if (Fail.load())
            throw ELogMngrException(QStringLiteral("TConnection.FinalizeFile"), QStringLiteral("INVALID_RESPONSE_FORMAT"));
        int status = 0;
        const QByteArray key =
            testutil::FetchUrl(FBaseUrl + QStringLiteral("/fileserver/key/%1").arg(aID), {}, false, &status);
        if (status != 200 || key.size() != 64)
            throw ELogMngrException(QStringLiteral("TConnection.FinalizeFile"), QStringLiteral("INVALID_RESPONSE_FORMAT"),
                                    QString::fromLatin1(key));
        return QString::fromLatin1(key);
    }

    void RefreshBalance() override { ++RefreshCalls; }

    std::atomic<int> FinalizeCalls{0};
    std::atomic<int> RefreshCalls{0};
    // Every FinalizeFile fails while set.
    std::atomic<bool> Fail{false};

private:
    QString FBaseUrl;
    QString FSessionID;
};
