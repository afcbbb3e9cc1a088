#include "SessionTestSupport.h"

#include "app/MainThread.h"
#include "common/TestUtils.h"
#include "net/XmlUtils.h"
#include "settings/Settings.h"

void TRecordingListener::BalanceUpdated(const QString& aBalance)
{
    AllOnMainThread = AllOnMainThread && IsMainThread();
    Balances.append(aBalance);
}

void TRecordingListener::NotifyAppVersion(int aRelease, const QString& aVersion, const QString& aUrl)
{
    AllOnMainThread = AllOnMainThread && IsMainThread();
    Versions.push_back({aRelease, aVersion, aUrl});
}

void TRecordingListener::BasketUpdated(const pugi::xml_document& aXmlDoc)
{
    AllOnMainThread = AllOnMainThread && IsMainThread();
    Baskets.append(xml::ToXmlText(aXmlDoc));
}

void TSessionTest::SetUp()
{
    TNetTest::SetUp();
    Settings().Host = QStringLiteral("127.0.0.1");
    Settings().Port = uint16_t(Store().Port());
    NewConnection();
}

void TSessionTest::TearDown()
{
    // The session goes before the HTTP manager, as at shutdown.
    FConnection.reset();
    TNetTest::TearDown();
}

void TSessionTest::NewConnection()
{
    FConnection.reset();
    FConnection = std::make_unique<TConnection>();
    FConnection->SetListener(&FListener);
    FConnection->SetCatalogVersionSource([this] { return FCatalogVersion; });
}

void TSessionTest::SignIn(const QString& aLogin, const QString& aPassword)
{
    FConnection->Connect(aLogin, aPassword);
}

QJsonArray TSessionTest::ActionRequests(const QString& aAction)
{
    QJsonArray result;
    for (const QJsonValue& v : Store().Requests())
        if (v.toObject().value(QStringLiteral("action")).toString() == aAction)
            result.append(v);
    return result;
}

QStringList TSessionTest::FieldNames(const QJsonValue& aRequest)
{
    QStringList names;
    for (const auto& field : FieldsOf(aRequest))
        names.append(field.first);
    return names;
}

QString TSessionTest::FieldValue(const QJsonValue& aRequest, const QString& aName)
{
    for (const auto& field : FieldsOf(aRequest))
        if (field.first == aName)
            return field.second;
    return QStringLiteral("<missing>");
}

bool TSessionTest::WaitForRequestsDone(int aKeep, int aTimeoutMs)
{
    return testutil::WaitFor([&] { return HttpManager->RequestCount() <= aKeep; }, aTimeoutMs);
}
