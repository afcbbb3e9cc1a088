// Tests of the session and of what runs on it: one demo store per test
// program (TNetTest), a session pointed at it, and a listener that records
// the session's notifications.
#pragma once

#include "NetTestSupport.h"
#include "net/Connection.h"

#include <QStringList>

#include <memory>
#include <thread>
#include <vector>

class TRecordingListener : public TConnectionListener {
public:
    void BalanceUpdated(const QString& aBalance) override;
    void NotifyAppVersion(int aRelease, const QString& aVersion, const QString& aUrl) override;
    void BasketUpdated(const pugi::xml_document& aXmlDoc) override;

    QStringList Balances;
    struct TVersion {
        int Release;
        QString Version;
        QString Url;
    };
    std::vector<TVersion> Versions;
    // The basket documents as XML text.
    QStringList Baskets;
    // False once a notification came on another thread than the main one.
    bool AllOnMainThread = true;
};

class TSessionTest : public TNetTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new session on the store (the old one is destroyed first).
    void NewConnection();
    // Signs in as the store's demo account.
    void SignIn(const QString& aLogin = QStringLiteral("demo"), const QString& aPassword = QStringLiteral("demo"));

    // The recorded store actions with that word, in the order received.
    QJsonArray ActionRequests(const QString& aAction);
    // The names of a recorded request's fields, in order.
    static QStringList FieldNames(const QJsonValue& aRequest);
    // A recorded request's field value.
    static QString FieldValue(const QJsonValue& aRequest, const QString& aName);
    // Runs the event loop until no request of the HTTP manager is alive
    // beyond aKeep (per-call requests are destroyed by their handlers).
    bool WaitForRequestsDone(int aKeep = 0, int aTimeoutMs = 10000);

    std::unique_ptr<TConnection> FConnection;
    TRecordingListener FListener;
    // The catalog version the session reports at start-up.
    uint32_t FCatalogVersion = 0;
};
