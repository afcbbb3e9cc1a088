#include "common/DemoStore.h"

#include "common/TestUtils.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace testutil {

namespace {

size_t AppendBody(char* aData, size_t aSize, size_t aCount, void* aUser)
{
    static_cast<QByteArray*>(aUser)->append(aData, qsizetype(aSize * aCount));
    return aSize * aCount;
}

constexpr int StartTimeoutMs = 20000;

} // namespace

QByteArray FetchUrl(const QString& aUrl, const QByteArray& aPostBody, bool aPost, int* aStatus)
{
    static const bool initialized = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)initialized;
    QByteArray body;
    CURL* curl = curl_easy_init();
    const QByteArray url = aUrl.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_slist* headers = nullptr;
    if (aPost) {
        headers = curl_slist_append(headers, "Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(aPostBody.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, aPostBody.constData());
    }
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    if (rc == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (aStatus)
        *aStatus = int(status);
    return body;
}

TDemoStore::TDemoStore(const QStringList& aArgs)
{
    const QString script = SourceDir() + QStringLiteral("/tools/demo-store/demo_store.py");
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start(Python(), QStringList{script, QStringLiteral("--port"), QStringLiteral("0"),
                                         QStringLiteral("--exit-on-stdin-eof")} + aArgs);
    if (!FProcess.waitForStarted(StartTimeoutMs)) {
        ADD_FAILURE() << "demo store did not start: " << FProcess.errorString().toStdString();
        return;
    }
    QElapsedTimer timer;
    timer.start();
    QByteArray out;
    while (timer.elapsed() < StartTimeoutMs && FProcess.state() == QProcess::Running) {
        if (FProcess.canReadLine() || FProcess.waitForReadyRead(200)) {
            while (FProcess.canReadLine()) {
                const QByteArray line = FProcess.readLine().trimmed();
                if (line.startsWith("PORT ")) {
                    FPort = line.mid(5).toInt();
                    return;
                }
                out += line + '\n';
            }
        }
    }
    ADD_FAILURE() << "demo store did not report its port; output: " << out.toStdString();
    Stop();
}

TDemoStore::~TDemoStore()
{
    Stop();
}

void TDemoStore::Stop()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    // End of standard input stops the store; a kill if it does not.
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(3000)) {
        FProcess.kill();
        FProcess.waitForFinished(3000);
    }
    FPort = 0;
}

bool TDemoStore::IsRunning() const
{
    return FProcess.state() == QProcess::Running && FPort > 0;
}

qint64 TDemoStore::ProcessId() const
{
    return FProcess.state() == QProcess::NotRunning ? 0 : FProcess.processId();
}

QString TDemoStore::Url(const QString& aPath) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(FPort).arg(aPath);
}

QString TDemoStore::ActionUrl(const QString& aAction) const
{
    return Url(QStringLiteral("/sorvelin/interface.html?r=%1&action=%2")
                   .arg(QRandomGenerator::global()->bounded(2147483647))
                   .arg(aAction));
}

QByteArray TDemoStore::ControlRequest(const QString& aPath, const QByteArray& aBody, bool aPost)
{
    int status = 0;
    const QByteArray answer = FetchUrl(Url(aPath), aBody, aPost, &status);
    if (status != 200)
        ADD_FAILURE() << "demo store control " << aPath.toStdString() << " failed with status " << status;
    return answer;
}

QJsonObject TDemoStore::Control(const QByteArray& aJson)
{
    return QJsonDocument::fromJson(ControlRequest(QStringLiteral("/_control/config"), aJson, true)).object();
}

QJsonObject TDemoStore::Control(const QJsonObject& aJson)
{
    return Control(QJsonDocument(aJson).toJson(QJsonDocument::Compact));
}

QJsonArray TDemoStore::Requests()
{
    return QJsonDocument::fromJson(ControlRequest(QStringLiteral("/_control/requests"), {}, false)).array();
}

void TDemoStore::Reset()
{
    ControlRequest(QStringLiteral("/_control/reset"), "{}", true);
}

} // namespace testutil
