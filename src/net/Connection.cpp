#include "net/Connection.h"

#include "app/CodePage.h"
#include "app/MainThread.h"
#include "app/SEFormat.h"
#include "log/Format.h"
#include "log/LogManager.h"
#include "net/KeyPair.h"
#include "net/SESrvRequest.h"
#include "net/XmlUtils.h"
#include "settings/ServerSettings.h"
#include "settings/Settings.h"
#include "web/WebUtils.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <memory>

TConnection* Connection = nullptr;

const char* const ActionNames[RequestActionCount] = {
    "unknown",      "startup",        "exchangekeys",   "login",          "getmydownloads",
    "getmystat",    "filedownloaded", "deletefiles",    "getbalance",     "gettechsupport",
    "settechsupport", "orderfiles",   "catalogupdate",  "gettext",        "getregdata",
    "registeruser", "confirmation",   "sendconfirm",    "activatepincode",
};

namespace {

const QString ProjectType = QStringLiteral("SORVELINXWIN");
// SORVELIN_BALANCE=" : 18 characters, the last a double quote.
const QString BalanceMarker = QStringLiteral("SORVELIN_BALANCE=\"");

pugi::xml_node RootOf(const TSESrvRequest& aRequest)
{
    return aRequest.XmlResponse()->document_element();
}

// A store cipher text (Base64) of the root's child, decrypted with the key.
QString DecryptChild(const pugi::xml_node& aRoot, const char* aName, const QString& aKey)
{
    return AnsiToString(DecryptString(StringToAnsi(xml::ChildText(aRoot, aName)), aKey));
}

QString Encrypt(const QString& aText, const QString& aKey)
{
    return QString::fromLatin1(EncryptString(StringToAnsi(aText), aKey));
}

// Reports an error of an event handler: it must not reach the event loop.
void ReportHandlerError(const QString& aSource)
{
    try {
        HandleException(aSource);
    } catch (...) {
        // A log that cannot be written has nothing left to report to.
    }
}

} // namespace

double DateTimeToDays(const QDateTime& aDateTime)
{
    static const qint64 dayZero = QDate(1899, 12, 30).toJulianDay();
    const QDateTime local = aDateTime.toLocalTime();
    return double(local.date().toJulianDay() - dayZero) + double(local.time().msecsSinceStartOfDay()) / 86400000.0;
}

QString ExtractBalance(const QString& aPage, bool& aFound)
{
    const qsizetype start = aPage.indexOf(BalanceMarker);
    aFound = start >= 0;
    if (!aFound)
        return QString();
    const qsizetype from = start + BalanceMarker.size();
    const qsizetype end = aPage.indexOf(QLatin1Char('"'), from);
    return end < 0 ? aPage.mid(from) : aPage.mid(from, end - from);
}

TConnection::TConnection()
{
    RefreshBalanceTimer.setInterval(60000);
    RefreshDownloadsTimer.setInterval(60000);
    connect(&RefreshBalanceTimer, &QTimer::timeout, this, [this] { RefreshBalanceTimerTimer(); });
    connect(&RefreshDownloadsTimer, &QTimer::timeout, this, [this] { RefreshDownloadsTimerTimer(); });
}

TConnection::~TConnection()
{
    RefreshBalanceTimer.stop();
    RefreshDownloadsTimer.stop();
    // Destroying a request stops it and drops its queued completion. Without
    // the manager they are gone already: it destroys every request it keeps.
    if (HttpManager) {
        for (THttpRequest* request : FOwnedRequests)
            delete request;
        delete FBasketRequest;
    }
    FOwnedRequests.clear();
    FBasketRequest = nullptr;
}

QString TConnection::BuildActionUrl(TRequestAction aAction) const
{
    const int index = int(aAction);
    const char* word = index >= 0 && index < RequestActionCount ? ActionNames[index] : ActionNames[0];
    return Format(QStringLiteral("http://%s:%d/sorvelin/interface.html?r=%d&action=%s"),
                  {Settings().Host, int(Settings().Port), int(QRandomGenerator::global()->bounded(2147483647)), word});
}

TSESrvRequest* TConnection::CreateActionRequest(TRequestAction aAction, TRequestCallback aCallbackProc)
{
    auto request = std::make_unique<TSESrvRequest>(std::move(aCallbackProc));
    request->SetURL(BuildActionUrl(aAction));
    request->SetCompress(true);
    request->Post().append(QStringLiteral("ProjectType=") + ProjectType);
    if (!FSessionID.isEmpty())
        request->Post().append(QStringLiteral("SessionID=") + FSessionID);
    return request.release();
}

// ---------------------------------------------------------------- sign-in

void TConnection::Connect(const QString& aLogin, const QString& aPassword)
{
    DoExchangeSecurityKeys();
    DoLogin(aLogin, aPassword);
    DoStartup();
    const WebUtils::TUrlParams session{WebUtils::UrlPrm(QStringLiteral("SESSION"), FExplorerID)};
    FBalanceUrl = WebUtils::ReplaceUrlParams(ServerSettings().BalanceURL, session);
    FSupportUrl = WebUtils::ReplaceUrlParams(ServerSettings().SupportURL, session);
}

void TConnection::DoExchangeSecurityKeys()
{
    std::unique_ptr<TSESrvRequest> request(CreateActionRequest(TRequestAction::ExchangeKey));
    QString publicKey;
    QString privateKey;
    if (!GenerateKeys(publicKey, privateKey))
        throw ELogMngrException(QStringLiteral("DoExchangeSecurityKeys"), QStringLiteral("GENERATE_KEYS_ERROR"));
    FDecryptKey = privateKey;
    request->Post().append(QStringLiteral("UserPublicKey=") + publicKey);
    request->Perform();
    request->CheckSuccessful();
    ParseServerKeys(*request);
}

void TConnection::ParseServerKeys(const TSESrvRequest& aRequest)
{
    const pugi::xml_node root = RootOf(aRequest);
    FSessionID = DecryptChild(root, "session_id", FDecryptKey);
    FExplorerID = DecryptChild(root, "explorer_id", FDecryptKey);
    FEncryptKey = DecryptChild(root, "public_key", FDecryptKey);
    FTrafficKey = DecryptChild(root, "traffic_key", FDecryptKey);
}

void TConnection::DoLogin(const QString& aLogin, const QString& aPassword)
{
    std::unique_ptr<TSESrvRequest> request(CreateActionRequest(TRequestAction::Login));
    request->AddPostParam(QStringLiteral("username"), Encrypt(aLogin, FEncryptKey));
    request->AddPostParam(QStringLiteral("password"), Encrypt(aPassword, FEncryptKey));
    request->AddPostParam(QStringLiteral("Key"), FEncryptKey);
    request->Perform();
    request->CheckSuccessful();
    const pugi::xml_node root = RootOf(*request);
    FRequireConfirmation = xml::ChildText(root, "confirmation") == QLatin1String("yes");
    FHaveSupportMessage = xml::ChildText(root, "have_messages") == QLatin1String("1");
    FLogin = aLogin;
}

void TConnection::DoStartup()
{
    std::unique_ptr<TSESrvRequest> request(CreateActionRequest(TRequestAction::Startup));
    const uint32_t catalogVersion = FCatalogVersionSource ? FCatalogVersionSource() : 0;
    request->Post().append(QStringLiteral("Build=999"));
    request->Post().append(QStringLiteral("CatalogVersion=") + QString::number(catalogVersion));
    request->Post().append(QStringLiteral("LanguageVersion=999"));
    request->Perform();
    request->CheckSuccessful();
    ServerSettings().LoadFromXml(*request->XmlResponse());
}

// ---------------------------------------------------------------- refreshes

void TConnection::StartRefreshing()
{
    RefreshBalanceTimer.start();
    RefreshBalance();
    RefreshDownloadsTimer.start();
    RefreshDownloads();
}

void TConnection::RefreshBalanceTimerTimer()
{
    try {
        StartRefreshBalance();
    } catch (...) {
        ReportHandlerError(QStringLiteral("TConnection.RefreshBalanceTimerTimer"));
    }
}

void TConnection::RefreshDownloadsTimerTimer()
{
    try {
        StartRefreshDownloads();
    } catch (...) {
        ReportHandlerError(QStringLiteral("TConnection.RefreshDownloadsTimerTimer"));
    }
}

void TConnection::RefreshBalance()
{
    if (IsMainThread()) {
        StartRefreshBalance();
        return;
    }
    // Requests with a completion belong to the main thread, like the
    // session's list of them.
    QueueMainThreadCall([this] { RefreshBalanceTimerTimer(); }, this);
}

void TConnection::RefreshDownloads()
{
    if (IsMainThread()) {
        StartRefreshDownloads();
        return;
    }
    QueueMainThreadCall([this] { RefreshDownloadsTimerTimer(); }, this);
}

void TConnection::StartOwned(THttpRequest* aRequest)
{
    FOwnedRequests.insert(aRequest);
    try {
        aRequest->Start();
    } catch (...) {
        FOwnedRequests.erase(aRequest);
        delete aRequest;
        throw;
    }
}

void TConnection::ReleaseOwned(THttpRequest* aRequest)
{
    FOwnedRequests.erase(aRequest);
    delete aRequest;
}

void TConnection::StartRefreshBalance()
{
    // A refresh neither waits for nor checks an earlier one.
    StartOwned(HttpManager->CreateRequest(FBalanceUrl, false,
                                          [this](THttpRequest* aRequest) { BalanceRequestComplete(aRequest); }));
}

void TConnection::BalanceRequestComplete(THttpRequest* aRequest)
{
    try {
        aRequest->CheckSuccessful();
        bool found = false;
        const QString balance = ExtractBalance(aRequest->ResponseAsString(), found);
        if (found && balance != FBalance) {
            FBalance = balance;
            if (FListener)
                FListener->BalanceUpdated(FBalance);
        }
    } catch (...) {
        ReportHandlerError(QStringLiteral("TConnection.BalanceRequestComplete"));
    }
    ReleaseOwned(aRequest);
}

bool TConnection::IsRefreshingDownloads() const
{
    return FBasketRequest && FBasketRequest->IsInProgress();
}

void TConnection::StartRefreshDownloads()
{
    if (!FBasketRequest)
        FBasketRequest = CreateActionRequest(TRequestAction::ReadMyDownloads,
                                             [this](THttpRequest* aRequest) { DownloadsRequestComplete(aRequest); });
    if (FBasketRequest->IsInProgress())
        return;
    FBasketRequest->AddPostParam(QStringLiteral("lastrequest"), SEFloatToStr(FLastDownloadsUpdateDate));
    FBasketRequest->Start();
}

void TConnection::DownloadsRequestComplete(THttpRequest* aRequest)
{
    // The request stays for the next refresh.
    auto* request = static_cast<TSESrvRequest*>(aRequest);
    try {
        request->CheckSuccessful();
        if (FListener)
            FListener->BasketUpdated(*request->XmlResponse());
        FLastDownloadsUpdateDate = DateTimeToDays(QDateTime::currentDateTime());
    } catch (...) {
        ReportHandlerError(QStringLiteral("TConnection.DownloadsRequestComplete"));
    }
}

void TConnection::CheckAppVersion()
{
    StartOwned(HttpManager->CreateRequest(ServerSettings().AppVersionUrl, false,
                                          [this](THttpRequest* aRequest) { AppVersionRequestComplete(aRequest); }));
}

void TConnection::AppVersionRequestComplete(THttpRequest* aRequest)
{
    try {
        aRequest->CheckSuccessful();
        static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
        QString version;
        QString release;
        QString url;
        bool haveVersion = false;
        bool haveRelease = false;
        bool haveUrl = false;
        // name=value lines; the first line of a name counts, names compared
        // without regard to case.
        for (const QString& line : aRequest->ResponseAsString().split(lineBreak)) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq <= 0)
                continue;
            const QString name = line.left(eq);
            const QString value = line.mid(eq + 1);
            if (!haveVersion && name.compare(QLatin1String("version"), Qt::CaseInsensitive) == 0) {
                version = value;
                haveVersion = true;
            } else if (!haveRelease && name.compare(QLatin1String("release"), Qt::CaseInsensitive) == 0) {
                release = value;
                haveRelease = true;
            } else if (!haveUrl && name.compare(QLatin1String("url"), Qt::CaseInsensitive) == 0) {
                url = value;
                haveUrl = true;
            }
        }
        bool ok = false;
        int releaseNumber = release.trimmed().toInt(&ok);
        if (!ok)
            releaseNumber = 0;
        if (FListener)
            FListener->NotifyAppVersion(releaseNumber, version, url);
    } catch (...) {
        ReportHandlerError(QStringLiteral("TConnection.AppVersionRequestComplete"));
    }
    ReleaseOwned(aRequest);
}

// ---------------------------------------------------------------- files

QString TConnection::FinalizeFile(int32_t aID, bool aIsOE)
{
    std::unique_ptr<TSESrvRequest> request(CreateActionRequest(TRequestAction::FinalizeFile));
    request->Post().append(QStringLiteral("UnicID=") + QString::number(aID));
    request->Post().append(QStringLiteral("OE=") + QLatin1String(aIsOE ? "1" : "0"));
    request->Post().append(QStringLiteral("Application=") + ProjectType);
    request->Perform();
    request->CheckSuccessful();
    const QString key = xml::ChildText(RootOf(*request), "filekey");
    // The file is decoded in 64-byte stretches with the key's 8-bit text:
    // a key whose text is not 64 bytes would decode it wrongly.
    if (key.size() != 64 || StringToAnsi(key).size() != 64)
        throw ELogMngrException(QStringLiteral("TConnection.FinalizeFile"), QStringLiteral("INVALID_RESPONSE_FORMAT"),
                                request->ResponseAsString());
    return key;
}

void TConnection::PerformDeleteFiles(const QString& aFileInfo)
{
    std::unique_ptr<TSESrvRequest> request(CreateActionRequest(TRequestAction::DeleteFiles));
    request->SetPostAsString(request->PostAsString() + QStringLiteral("\r\n") + aFileInfo);
    request->Perform();
    request->CheckSuccessful();

    // ParseDeleteFilesResponse
    const pugi::xml_node result = RootOf(*request).child("result");
    if (!result)
        throw ELogMngrException(QStringLiteral("ParseDeleteFilesResponse"), QStringLiteral("INVALID_RESPONSE"));
    if (xml::Text(result).trimmed().compare(QLatin1String("ok"), Qt::CaseInsensitive) != 0)
        throw ELogMngrException(QStringLiteral("ParseDeleteFilesResponse"), QStringLiteral("INVALID_RESPONSE_FORMAT"),
                                xml::ToXmlText(*request->XmlResponse()));
}
