// The demo store (tools/demo-store) as a test fixture: started on a free port
// of 127.0.0.1 when constructed, stopped when destroyed (also when the test
// fails). Its control interface sets fault switches and data and reads the
// requests it recorded.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace testutil {

class TDemoStore {
public:
    // aArgs: extra command-line arguments (for example --data FILE).
    explicit TDemoStore(const QStringList& aArgs = {});
    ~TDemoStore();
    TDemoStore(const TDemoStore&) = delete;
    TDemoStore& operator=(const TDemoStore&) = delete;

    bool IsRunning() const;
    int Port() const { return FPort; }
    // "http://127.0.0.1:<port>" + aPath.
    QString Url(const QString& aPath) const;
    // The store action URL for an action word.
    QString ActionUrl(const QString& aAction) const;

    // POST /_control/config with aJson merged into the configuration; returns
    // the configuration. A JSON text or an object.
    QJsonObject Control(const QByteArray& aJson);
    QJsonObject Control(const QJsonObject& aJson);
    // The recorded requests (GET /_control/requests).
    QJsonArray Requests();
    // Configuration back to the start, log emptied.
    void Reset();
    // Stops the store now (the destructor does it too).
    void Stop();

    // The process id of the store (0 when not running).
    qint64 ProcessId() const;

private:
    QByteArray ControlRequest(const QString& aPath, const QByteArray& aBody, bool aPost);

    QProcess FProcess;
    int FPort = 0;
};

// A plain GET or POST with libcurl, independent of the code under test.
// Returns the body; aStatus receives the HTTP status (0 on transport error).
QByteArray FetchUrl(const QString& aUrl, const QByteArray& aPostBody, bool aPost, int* aStatus = nullptr);

} // namespace testutil
