#include "NetTestSupport.h"

#include "common/TestUtils.h"

#include <QThread>

bool TNetTest::WaitForRequestTo(const QString& aPrefix, int aTimeoutMs)
{
    return testutil::WaitFor([&] { return !RequestsTo(aPrefix).isEmpty(); }, aTimeoutMs);
}

QList<QPair<QString, QString>> FieldsOf(const QJsonValue& aRequest)
{
    QList<QPair<QString, QString>> fields;
    for (const QJsonValue& pair : aRequest.toObject().value(QStringLiteral("fields")).toArray())
        fields.append({pair.toArray().at(0).toString(), pair.toArray().at(1).toString()});
    return fields;
}
