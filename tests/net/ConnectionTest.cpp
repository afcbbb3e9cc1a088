#include "SessionTestSupport.h"

#include "app/SEFormat.h"
#include "common/TestUtils.h"
#include "log/LogManager.h"
#include "net/HttpClient.h"
#include "net/SESrvRequest.h"
#include "settings/ServerSettings.h"
#include "settings/Settings.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QThread>

#include <pugixml.hpp>

#include <mutex>

using testutil::WaitFor;

namespace {

const QStringList EnvelopeFields{QStringLiteral("ProtocolVersion"), QStringLiteral("Language"),
                                 QStringLiteral("Compress")};

QStringList Fields(std::initializer_list<const char*> aNames)
{
    QStringList names;
    for (const char* name : aNames)
        names.append(QString::fromLatin1(name));
    return names + EnvelopeFields;
}

// Log messages of the test, as "source: message".
class TLogCapture {
public:
    TLogCapture()
    {
        LogMngr::SetObjMessageHandler([this](const TMessageRec& aMsg) {
            std::lock_guard<std::mutex> lock(FLock);
            FMessages.append(aMsg.Source + QStringLiteral(": ") + aMsg.Message);
        });
    }
    ~TLogCapture() { LogMngr::SetObjMessageHandler(nullptr); }
    QStringList Messages()
    {
        std::lock_guard<std::mutex> lock(FLock);
        return FMessages;
    }

private:
    std::mutex FLock;
    QStringList FMessages;
};

class ConnectionTest : public TSessionTest {};

} // namespace

TEST_F(ConnectionTest, ActionUrlsAndRequests)
{
    static const QRegularExpression url(
        QStringLiteral("^http://127\\.0\\.0\\.1:(\\d+)/sorvelin/interface\\.html\\?r=(\\d+)&action=([a-z]+)$"));
    const char* const words[] = {"unknown",        "startup",        "exchangekeys", "login",       "getmydownloads",
                                 "getmystat",      "filedownloaded", "deletefiles",  "getbalance",  "gettechsupport",
                                 "settechsupport", "orderfiles",     "catalogupdate", "gettext",    "getregdata",
                                 "registeruser",   "confirmation",   "sendconfirm",  "activatepincode"};
    for (int i = 0; i < RequestActionCount; ++i) {
        const QRegularExpressionMatch m = url.match(FConnection->BuildActionUrl(TRequestAction(i)));
        ASSERT_TRUE(m.hasMatch()) << i;
        EXPECT_EQ(m.captured(1).toInt(), Store().Port());
        EXPECT_LE(m.captured(2).toLongLong(), 2147483646LL);
        EXPECT_EQ(m.captured(3), QLatin1String(words[i]));
    }
    // A fresh random number for each request.
    QSet<QString> numbers;
    for (int i = 0; i < 3; ++i)
        numbers.insert(url.match(FConnection->BuildActionUrl(TRequestAction::Login)).captured(2));
    EXPECT_GT(numbers.size(), 1);

    // Before the sign-in there is no SessionID to send.
    std::unique_ptr<TSESrvRequest> request(FConnection->CreateActionRequest(TRequestAction::GetText));
    EXPECT_TRUE(request->Compress());
    EXPECT_EQ(request->Post(), QStringList{QStringLiteral("ProjectType=SORVELINXWIN")});
    EXPECT_TRUE(request->URL().endsWith(QStringLiteral("&action=gettext")));
}

TEST_F(ConnectionTest, SignInSendsEachActionsFieldsInOrder)
{
    FCatalogVersion = 2;
    SignIn();

    const QJsonArray requests = Store().Requests();
    ASSERT_EQ(requests.size(), 3);
    const QJsonValue exchange = requests[0];
    const QJsonValue login = requests[1];
    const QJsonValue startup = requests[2];
    EXPECT_EQ(exchange[QStringLiteral("action")].toString(), QStringLiteral("exchangekeys"));
    EXPECT_EQ(login[QStringLiteral("action")].toString(), QStringLiteral("login"));
    EXPECT_EQ(startup[QStringLiteral("action")].toString(), QStringLiteral("startup"));

    EXPECT_EQ(FieldNames(exchange), Fields({"ProjectType", "UserPublicKey"}));
    EXPECT_EQ(FieldNames(login), Fields({"ProjectType", "SessionID", "username", "password", "Key"}));
    EXPECT_EQ(FieldNames(startup),
              Fields({"ProjectType", "SessionID", "Build", "CatalogVersion", "LanguageVersion"}));
    for (const QJsonValue& r : requests) {
        EXPECT_EQ(FieldValue(r, QStringLiteral("ProjectType")), QStringLiteral("SORVELINXWIN"));
        EXPECT_EQ(FieldValue(r, QStringLiteral("ProtocolVersion")), QStringLiteral("2.0"));
        EXPECT_EQ(FieldValue(r, QStringLiteral("Language")), QStringLiteral("EN"));
        EXPECT_EQ(FieldValue(r, QStringLiteral("Compress")), QStringLiteral("1"));
    }
    EXPECT_TRUE(FieldValue(exchange, QStringLiteral("UserPublicKey")).contains(QLatin1Char('#')));
    EXPECT_EQ(FieldValue(login, QStringLiteral("SessionID")), FConnection->SessionID());
    // The store's public key is sent back as it was decrypted; the store
    // accepted the encrypted user name and password.
    EXPECT_TRUE(FieldValue(login, QStringLiteral("Key")).contains(QLatin1Char('#')));
    EXPECT_NE(FieldValue(login, QStringLiteral("username")), QStringLiteral("demo"));
    EXPECT_EQ(FieldValue(startup, QStringLiteral("Build")), QStringLiteral("999"));
    EXPECT_EQ(FieldValue(startup, QStringLiteral("CatalogVersion")), QStringLiteral("2"));
    EXPECT_EQ(FieldValue(startup, QStringLiteral("LanguageVersion")), QStringLiteral("999"));

    EXPECT_TRUE(FConnection->SessionID().startsWith(QLatin1Char('S')));
    EXPECT_TRUE(FConnection->ExplorerID().startsWith(QLatin1Char('E')));
    EXPECT_FALSE(FConnection->TrafficKey().isEmpty());
    EXPECT_EQ(FConnection->Login(), QStringLiteral("demo"));
    EXPECT_FALSE(FConnection->RequireConfirmation());
    EXPECT_FALSE(FConnection->HaveSupportMessage());
    // The server settings came from the start-up answer, and the session's
    // two pages carry the explorer identifier.
    EXPECT_TRUE(ServerSettings().CatalogUpdated);
    EXPECT_EQ(ServerSettings().AppVersionUrl, Store().Url(QStringLiteral("/version.txt")));
    EXPECT_EQ(FConnection->BalanceUrl(),
              Store().Url(QStringLiteral("/pages/balance?session=")) + FConnection->ExplorerID());
    EXPECT_EQ(FConnection->SupportUrl(),
              Store().Url(QStringLiteral("/pages/support?session=")) + FConnection->ExplorerID());
}

TEST_F(ConnectionTest, LogInAnswerAndCatalogState)
{
    // The store's version is 4: a client at 4 is not told of an update.
    Store().Control(QByteArray(R"({"login": {"confirmation": "yes", "have_messages": "1"}})"));
    FCatalogVersion = 4;
    SignIn();
    EXPECT_TRUE(FConnection->RequireConfirmation());
    EXPECT_TRUE(FConnection->HaveSupportMessage());
    EXPECT_FALSE(ServerSettings().CatalogUpdated);

    // Compared exactly.
    Store().Control(QByteArray(R"({"login": {"confirmation": "Yes", "have_messages": "01"}})"));
    NewConnection();
    SignIn();
    EXPECT_FALSE(FConnection->RequireConfirmation());
    EXPECT_FALSE(FConnection->HaveSupportMessage());
}

TEST_F(ConnectionTest, WrongPasswordFailsAndTheNextAttemptKeepsTheSession)
{
    try {
        SignIn(QStringLiteral("demo"), QStringLiteral("wrong"));
        FAIL() << "signed in with a wrong password";
    } catch (const EHttpProtocolError& e) {
        EXPECT_EQ(e.ErrorCode(), 403);
        EXPECT_TRUE(e.Message().contains(QStringLiteral("Invalid login or password"))) << e.what();
    }
    EXPECT_TRUE(FConnection->Login().isEmpty());
    const QString firstSession = FConnection->SessionID();
    ASSERT_FALSE(firstSession.isEmpty());
    EXPECT_EQ(ActionRequests(QStringLiteral("startup")).size(), 0);

    SignIn(QStringLiteral("demo"), QStringLiteral("demo"));
    const QJsonArray exchanges = ActionRequests(QStringLiteral("exchangekeys"));
    ASSERT_EQ(exchanges.size(), 2);
    EXPECT_EQ(FieldNames(exchanges[0]), Fields({"ProjectType", "UserPublicKey"}));
    EXPECT_EQ(FieldNames(exchanges[1]), Fields({"ProjectType", "SessionID", "UserPublicKey"}));
    EXPECT_EQ(FieldValue(exchanges[1], QStringLiteral("SessionID")), firstSession);
    // A new key pair for the new attempt.
    EXPECT_NE(FieldValue(exchanges[1], QStringLiteral("UserPublicKey")),
              FieldValue(exchanges[0], QStringLiteral("UserPublicKey")));
    EXPECT_EQ(FConnection->Login(), QStringLiteral("demo"));
}

TEST_F(ConnectionTest, SignInFailuresOfTheOtherSteps)
{
    // An unknown user and a broken envelope fail as clearly as a wrong password.
    EXPECT_THROW(SignIn(QStringLiteral("nobody"), QStringLiteral("demo")), EHttpProtocolError);
    Store().Control(QByteArray(R"({"envelope": {"bad_md5": true}})"));
    try {
        SignIn();
        FAIL() << "signed in through a broken envelope";
    } catch (const ELogMngrException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("INVALID_MD5"));
    }
    // A start-up answer without the url names fails the sign-in.
    Store().Control(QByteArray(R"({"envelope": null, "urls": {"HelpUrl": false}})"));
    NewConnection();
    try {
        SignIn();
        FAIL() << "signed in without HelpUrl";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("URL node \"HelpUrl\" not found"));
    }
}

TEST_F(ConnectionTest, BalanceMarker)
{
    SignIn();
    const auto refresh = [this] {
        const int before = RequestsTo(QStringLiteral("/pages/balance")).size();
        FConnection->RefreshBalance();
        ASSERT_TRUE(WaitFor([&] { return RequestsTo(QStringLiteral("/pages/balance")).size() == before + 1; }));
        ASSERT_TRUE(WaitForRequestsDone());
    };

    refresh();
    EXPECT_EQ(FListener.Balances, QStringList{QStringLiteral("12.50")});
    EXPECT_EQ(FConnection->Balance(), QStringLiteral("12.50"));
    // The same page a minute later: nothing new.
    refresh();
    EXPECT_EQ(FListener.Balances.size(), 1);
    // A page without the marker changes nothing.
    Store().Control(QByteArray(R"({"balance_page": "<html>maintenance</html>"})"));
    refresh();
    EXPECT_EQ(FListener.Balances.size(), 1);
    EXPECT_EQ(FConnection->Balance(), QStringLiteral("12.50"));
    // Without a closing quote the rest of the text is the balance.
    Store().Control(QByteArray(R"({"balance_page": "x SORVELIN_BALANCE=\"7.25 left"})"));
    refresh();
    EXPECT_EQ(FListener.Balances, (QStringList{QStringLiteral("12.50"), QStringLiteral("7.25 left")}));

    // A download worker asks for a refresh: it runs on the main thread.
    Store().Control(QByteArray(R"({"balance_page": null, "balance": "3.00"})"));
    std::thread worker([this] { FConnection->RefreshBalance(); });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return FListener.Balances.size() == 3; }));
    EXPECT_EQ(FListener.Balances.last(), QStringLiteral("3.00"));
    EXPECT_TRUE(FListener.AllOnMainThread);
}

TEST(Balance, ExtractBalance)
{
    struct Case {
        const char* page;
        bool found;
        const char* balance;
    };
    const Case cases[] = {
        {"var SORVELIN_BALANCE=\"12.50\";", true, "12.50"},
        {"SORVELIN_BALANCE=\"\"", true, ""},
        {"a SORVELIN_BALANCE=\"1\" b SORVELIN_BALANCE=\"2\"", true, "1"},
        {"SORVELIN_BALANCE=\"9 to the end", true, "9 to the end"},
        {"SORVELIN_BALANCE=12.50", false, ""},
        {"sorvelin_balance=\"12.50\"", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        bool found = !c.found;
        EXPECT_EQ(ExtractBalance(QString::fromUtf8(c.page), found), QString::fromUtf8(c.balance)) << c.page;
        EXPECT_EQ(found, c.found) << c.page;
    }
}

TEST_F(ConnectionTest, FailedBalanceRequestIsLoggedAndForgotten)
{
    TLogCapture log;
    Store().Control(QByteArray(R"({"urls": {"BalanceURL": "http://127.0.0.1:1/balance"}})"));
    SignIn();
    FConnection->RefreshBalance();
    ASSERT_TRUE(WaitForRequestsDone());
    EXPECT_TRUE(FListener.Balances.isEmpty());
    EXPECT_EQ(log.Messages().filter(QStringLiteral("TConnection.BalanceRequestComplete")).size(), 1)
        << log.Messages().join(QLatin1Char('\n')).toStdString();
}

TEST_F(ConnectionTest, BasketSendsTheTimeOfTheLastSuccess)
{
    SignIn();
    FConnection->RefreshDownloads();
    ASSERT_TRUE(WaitFor([&] { return FListener.Baskets.size() == 1; }));
    QJsonArray requests = ActionRequests(QStringLiteral("getmydownloads"));
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(FieldNames(requests[0]), Fields({"ProjectType", "SessionID", "lastrequest"}));
    EXPECT_EQ(FieldValue(requests[0], QStringLiteral("lastrequest")), QStringLiteral("0"));
    EXPECT_TRUE(FListener.Baskets[0].contains(QStringLiteral("updatetype=\"full\"")));
    EXPECT_TRUE(FListener.Baskets[0].contains(QStringLiteral("uniqid=\"1003\"")));

    // The time of that success, as local days since 30 December 1899.
    const double first = FConnection->LastDownloadsUpdateDate();
    const double now = DateTimeToDays(QDateTime::currentDateTime());
    EXPECT_GT(first, 40000.0);
    EXPECT_LE(first, now);
    EXPECT_GT(first, now - 1.0 / 24);

    // The basket changes at the store; the next refresh gets only the change.
    Store().Control(QByteArray(R"({"basket": {"files": [{"id": 7, "filetype": 1, "filesize": 10, "songname": "New"}]}})"));
    FConnection->RefreshDownloads();
    ASSERT_TRUE(WaitFor([&] { return FListener.Baskets.size() == 2; }));
    requests = ActionRequests(QStringLiteral("getmydownloads"));
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(FieldValue(requests[1], QStringLiteral("lastrequest")), SEFloatToStr(first));
    EXPECT_TRUE(FieldValue(requests[1], QStringLiteral("lastrequest")).contains(QLatin1Char('.')));
    EXPECT_TRUE(FListener.Baskets[1].contains(QStringLiteral("updatetype=\"partial\"")));
    EXPECT_TRUE(FListener.Baskets[1].contains(QStringLiteral("<updated uniqid=\"7\"")));
    EXPECT_TRUE(FListener.Baskets[1].contains(QStringLiteral("<deleted uniqid=\"1001\"")));
    EXPECT_GT(FConnection->LastDownloadsUpdateDate(), first);
    EXPECT_TRUE(FListener.AllOnMainThread);
}

TEST_F(ConnectionTest, BasketTickWhileRunningSendsNothing)
{
    SignIn();
    Store().Control(QByteArray(R"({"delay": {"getmydownloads": 1.0}})"));
    FConnection->RefreshDownloads();
    ASSERT_TRUE(FConnection->IsRefreshingDownloads());
    FConnection->RefreshDownloadsTimerTimer();
    FConnection->RefreshDownloads();
    ASSERT_TRUE(WaitFor([&] { return FListener.Baskets.size() == 1; }));
    // Give a second request the time to arrive, were there one.
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(ActionRequests(QStringLiteral("getmydownloads")).size(), 1);
    EXPECT_EQ(FListener.Baskets.size(), 1);

    // A failed refresh keeps the old date, so nothing is missed.
    Store().Control(QByteArray(R"({"delay": null, "envelope": {"bad_md5": true}})"));
    const double date = FConnection->LastDownloadsUpdateDate();
    TLogCapture log;
    FConnection->RefreshDownloads();
    ASSERT_TRUE(WaitFor([&] { return !log.Messages().filter(QStringLiteral("DownloadsRequestComplete")).isEmpty(); }));
    EXPECT_EQ(FConnection->LastDownloadsUpdateDate(), date);
    EXPECT_EQ(FListener.Baskets.size(), 1);
}

TEST_F(ConnectionTest, StartRefreshingRunsBothRefreshesAndTheirTimers)
{
    SignIn();
    EXPECT_FALSE(FConnection->RefreshBalanceTimer.isActive());
    EXPECT_FALSE(FConnection->RefreshDownloadsTimer.isActive());
    FConnection->StartRefreshing();
    EXPECT_TRUE(FConnection->RefreshBalanceTimer.isActive());
    EXPECT_TRUE(FConnection->RefreshDownloadsTimer.isActive());
    EXPECT_EQ(FConnection->RefreshBalanceTimer.interval(), 60000);
    EXPECT_EQ(FConnection->RefreshDownloadsTimer.interval(), 60000);
    ASSERT_TRUE(WaitFor([&] { return FListener.Balances.size() == 1 && FListener.Baskets.size() == 1; }));
}

TEST_F(ConnectionTest, VersionText)
{
    SignIn();
    struct Case {
        const char* text;
        int release;
        const char* version;
        const char* url;
    };
    const Case cases[] = {
        {"version=1.0.7\r\nrelease=7\r\nurl=http://x/get\r\n", 7, "1.0.7", "http://x/get"},
        {"version=2.0 beta\nrelease=beta\nurl=u", 0, "2.0 beta", "u"},
        {"version=2.1\nurl=u\n", 0, "2.1", "u"},
        {"Release=12\nVERSION=3.0\nrelease=13", 12, "3.0", ""},
        {"", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Store().Control(QJsonObject{{QStringLiteral("app_version_text"), QString::fromUtf8(c.text)}});
        const size_t before = FListener.Versions.size();
        FConnection->CheckAppVersion();
        ASSERT_TRUE(WaitFor([&] { return FListener.Versions.size() == before + 1; }));
        const auto& v = FListener.Versions.back();
        EXPECT_EQ(v.Release, c.release);
        EXPECT_EQ(v.Version, QString::fromUtf8(c.version));
        EXPECT_EQ(v.Url, QString::fromUtf8(c.url));
    }
    EXPECT_TRUE(FListener.AllOnMainThread);
    ASSERT_TRUE(WaitForRequestsDone());
}

TEST_F(ConnectionTest, FinalizeFileNeedsA64CharacterKey)
{
    SignIn();
    const QString key64 = QString(64, QLatin1Char('k'));
    Store().Control(QJsonObject{{QStringLiteral("basket"), QJsonObject{{QStringLiteral("files"), QJsonArray{
        QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("key"), key64}},
        QJsonObject{{QStringLiteral("id"), 2}, {QStringLiteral("key"), QString(63, QLatin1Char('k'))}},
        QJsonObject{{QStringLiteral("id"), 3}, {QStringLiteral("key"), QString(65, QLatin1Char('k'))}},
        // 64 characters, but more than 64 bytes of 8-bit text.
        QJsonObject{{QStringLiteral("id"), 4}, {QStringLiteral("key"), QString(63, QLatin1Char('k')) + QChar(0x0416)}},
    }}}}});

    EXPECT_EQ(FConnection->FinalizeFile(1, true), key64);
    const QJsonArray requests = ActionRequests(QStringLiteral("filedownloaded"));
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(FieldNames(requests[0]), Fields({"ProjectType", "SessionID", "UnicID", "OE", "Application"}));
    EXPECT_EQ(FieldValue(requests[0], QStringLiteral("UnicID")), QStringLiteral("1"));
    EXPECT_EQ(FieldValue(requests[0], QStringLiteral("OE")), QStringLiteral("1"));
    EXPECT_EQ(FieldValue(requests[0], QStringLiteral("Application")), QStringLiteral("SORVELINXWIN"));

    for (int id : {2, 3, 4, 99}) {
        SCOPED_TRACE(id);
        try {
            FConnection->FinalizeFile(id, false);
            ADD_FAILURE() << "finalized";
        } catch (const ELogMngrException& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("INVALID_RESPONSE_FORMAT"));
            EXPECT_EQ(e.Source(), QStringLiteral("TConnection.FinalizeFile"));
            EXPECT_TRUE(e.ExtraData().startsWith(QStringLiteral("Sorvelin v1")));
        }
    }
    EXPECT_EQ(FieldValue(ActionRequests(QStringLiteral("filedownloaded")).last(), QStringLiteral("OE")),
              QStringLiteral("0"));

    // The download engine asks from its worker threads.
    QString fromWorker;
    std::thread worker([&] { fromWorker = FConnection->FinalizeFile(1, false); });
    worker.join();
    EXPECT_EQ(fromWorker, key64);
}

TEST_F(ConnectionTest, DeleteFilesAnswers)
{
    SignIn();
    const QString info = QStringLiteral("FileCount=2\r\nFileID0=17\r\nFileOE0=1\r\nFileID1=42\r\nFileOE1=0\r\n");
    struct Case {
        QJsonValue result;
        const char* message; // empty: passes
    };
    const Case cases[] = {
        {QStringLiteral("ok"), ""},
        {QStringLiteral(" OK "), ""},
        {QStringLiteral("failed"), "INVALID_RESPONSE_FORMAT"},
        {QStringLiteral(""), "INVALID_RESPONSE_FORMAT"},
        {false, "INVALID_RESPONSE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Store().Control(QJsonObject{{QStringLiteral("basket"), QJsonObject{{QStringLiteral("delete_result"), c.result}}}});
        try {
            FConnection->PerformDeleteFiles(info);
            EXPECT_STREQ(c.message, "");
        } catch (const ELogMngrException& e) {
            EXPECT_EQ(e.Message(), QString::fromUtf8(c.message));
            EXPECT_EQ(e.Source(), QStringLiteral("ParseDeleteFilesResponse"));
            if (e.Message() == QLatin1String("INVALID_RESPONSE_FORMAT"))
                EXPECT_TRUE(e.ExtraData().contains(QStringLiteral("<response>"))) << e.ExtraData().toStdString();
            else
                EXPECT_TRUE(e.ExtraData().isEmpty());
        }
    }
    const QJsonArray requests = ActionRequests(QStringLiteral("deletefiles"));
    ASSERT_EQ(requests.size(), 5);
    EXPECT_EQ(FieldNames(requests[0]),
              Fields({"ProjectType", "SessionID", "FileCount", "FileID0", "FileOE0", "FileID1", "FileOE1"}));
    EXPECT_EQ(FieldValue(requests[0], QStringLiteral("FileID1")), QStringLiteral("42"));
    EXPECT_EQ(FieldValue(requests[0], QStringLiteral("FileOE0")), QStringLiteral("1"));
}

TEST_F(ConnectionTest, DestroyedWhileRefreshing)
{
    SignIn();
    Store().Control(QByteArray(R"({"delay": {"getmydownloads": 0.5}})"));
    FConnection->RefreshDownloads();
    FConnection->RefreshBalance();
    FConnection->CheckAppVersion();
    FConnection.reset();
    EXPECT_EQ(HttpManager->RequestCount(), 0);
    WaitFor([] { return false; }, 700);
    EXPECT_TRUE(FListener.Baskets.isEmpty());
    EXPECT_TRUE(FListener.Balances.isEmpty());
    EXPECT_TRUE(FListener.Versions.empty());
}
