#include "app/AppUtils.h"
#include "app/Modules.h"
#include "common/TestUtils.h"
#include "log/LogManager.h"
#include "net/Connection.h"
#include "net/HttpRequest.h"
#include "settings/ServerSettings.h"
#include "settings/Settings.h"
#include "web/WebUtils.h"

#include <gtest/gtest.h>

TEST(Modules, StartReadsTheSettingsAndStopReleasesThem)
{
    testutil::WriteFile(LocalAppDataFolder() + QStringLiteral("/SorvelinX/settings.txt"), "Port=8123\r\n");
    StartModules();
    ASSERT_TRUE(SettingsExist());
    EXPECT_EQ(Settings().Port, 8123);
    EXPECT_EQ(DefaultDownloadFileMask, QStringLiteral("%G/%A (%Y)/%T - %S"));
    ASSERT_TRUE(ServerSettingsExist());
    EXPECT_TRUE(ServerSettings().NewsUrl.isEmpty());
    ASSERT_NE(HttpManager, nullptr);
    // A request still alive at shutdown is destroyed with the manager.
    HttpManager->CreateRequest(QStringLiteral("http://127.0.0.1:1/"), false, {});
    EXPECT_EQ(HttpManager->RequestCount(), 1);
    CreateDataObjects();
    // The session is created with the data objects; the address templates
    // take its explorer identifier.
    ASSERT_NE(Connection, nullptr);
    EXPECT_TRUE(Connection->SessionID().isEmpty());
    EXPECT_EQ(WebUtils::ReplaceUrlCatalogParams(QStringLiteral("s=%SESSION%&g=%GROUP%"), 5, 0, 0),
              QStringLiteral("s=&g=5"));
    FreeDataObjects();
    EXPECT_EQ(Connection, nullptr);
    StopModules();
    EXPECT_FALSE(SettingsExist());
    EXPECT_FALSE(ServerSettingsExist());
    EXPECT_EQ(HttpManager, nullptr);
    EXPECT_FALSE(LogMngr::CleanerRunning());
}
