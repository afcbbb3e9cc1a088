#include "app/AppUtils.h"
#include "app/Modules.h"
#include "common/TestUtils.h"
#include "log/LogManager.h"
#include "settings/Settings.h"

#include <gtest/gtest.h>

TEST(Modules, StartReadsTheSettingsAndStopReleasesThem)
{
    testutil::WriteFile(LocalAppDataFolder() + QStringLiteral("/SorvelinX/settings.txt"), "Port=8123\r\n");
    StartModules();
    ASSERT_TRUE(SettingsExist());
    EXPECT_EQ(Settings().Port, 8123);
    EXPECT_EQ(DefaultDownloadFileMask, QStringLiteral("%G/%A (%Y)/%T - %S"));
    CreateDataObjects();
    FreeDataObjects();
    StopModules();
    EXPECT_FALSE(SettingsExist());
    EXPECT_FALSE(LogMngr::CleanerRunning());
}
