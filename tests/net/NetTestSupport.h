// Shared set-up of the network tests: the settings and the HTTP manager for
// each test, and one demo store for the whole test program.
#pragma once

#include "common/DemoStore.h"
#include "net/HttpRequest.h"
#include "settings/Settings.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>
#include <memory>

class TNetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FStore = std::make_unique<testutil::TDemoStore>(); }
    static void TearDownTestSuite() { FStore.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(FStore && FStore->IsRunning());
        FStore->Reset();
        SettingsModule::Start();
        HttpModule::Start();
    }

    void TearDown() override
    {
        HttpModule::Stop();
        SettingsModule::Stop();
    }

    testutil::TDemoStore& Store() { return *FStore; }

    // The recorded requests whose path starts with aPrefix.
    QJsonArray RequestsTo(const QString& aPrefix)
    {
        QJsonArray result;
        for (const QJsonValue& v : Store().Requests())
            if (v.toObject().value(QStringLiteral("path")).toString().startsWith(aPrefix))
                result.append(v);
        return result;
    }

    // Waits until the store has seen a request to aPrefix.
    bool WaitForRequestTo(const QString& aPrefix, int aTimeoutMs = 10000);

    static inline std::unique_ptr<testutil::TDemoStore> FStore;
};

// [[name, value], ...] of a recorded request's form fields.
QList<QPair<QString, QString>> FieldsOf(const QJsonValue& aRequest);
