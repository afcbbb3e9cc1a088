#include "common/DemoStore.h"
#include "common/TestUtils.h"

#include <QFileInfo>

#include <gtest/gtest.h>
#include <signal.h>

using testutil::FetchUrl;
using testutil::TDemoStore;

TEST(DemoStore, RecordsRequestsAndTakesConfigurationAtRunTime)
{
    TDemoStore store;
    ASSERT_TRUE(store.IsRunning());
    int status = 0;
    FetchUrl(store.Url(QStringLiteral("/_test/text?size=3")), {}, false, &status);
    EXPECT_EQ(status, 200);

    const QJsonObject config = store.Control(QByteArray(R"({"envelope": {"bad_md5": true}, "x": {"y": 1}})"));
    EXPECT_TRUE(config.value(QStringLiteral("envelope")).toObject().value(QStringLiteral("bad_md5")).toBool());
    const QJsonObject merged = store.Control(QByteArray(R"({"x": {"z": 2}, "envelope": null})"));
    EXPECT_FALSE(merged.contains(QStringLiteral("envelope")));
    EXPECT_EQ(merged.value(QStringLiteral("x")).toObject().size(), 2);

    const QJsonArray requests = store.Requests();
    ASSERT_EQ(requests.size(), 1); // the control interface is not recorded
    EXPECT_EQ(requests[0].toObject().value(QStringLiteral("path")).toString(), QStringLiteral("/_test/text"));

    store.Reset();
    EXPECT_TRUE(store.Requests().isEmpty());
    EXPECT_TRUE(store.Control(QByteArray("{}")).isEmpty());
}

TEST(DemoStore, StartsWithDataAndStopsWithItsFixture)
{
    const QString data = testutil::HomeDir() + QStringLiteral("/store.json");
    testutil::WriteFile(data, R"({"files": {"f": {"size": 7}}})");
    qint64 pid = 0;
    {
        TDemoStore store({QStringLiteral("--data"), data});
        ASSERT_TRUE(store.IsRunning());
        pid = store.ProcessId();
        int status = 0;
        EXPECT_EQ(FetchUrl(store.Url(QStringLiteral("/_test/file/f")), {}, false, &status).size(), 7);
        EXPECT_EQ(status, 200);
        store.Reset(); // back to the data file, not to nothing
        EXPECT_EQ(FetchUrl(store.Url(QStringLiteral("/_test/file/f")), {}, false, &status).size(), 7);
    }
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
}
