#include "app/Modules.h"

#include "catalog/CatalogData.h"
#include "downloads/UserData.h"
#include "log/LogManager.h"
#include "net/Connection.h"
#include "net/HttpRequest.h"
#include "net/KeyPair.h"
#include "settings/Settings.h"
#include "web/WebUtils.h"

void StartModules()
{
    // 1. Log manager: its locks; nothing is written yet.
    LogMngr::StartModule();
    // 2. Key pair and string ciphers.
    KeyPairModule::Start();
    // 3. Settings: the default mask, Settings (file read at once), ServerSettings empty.
    SettingsModule::Start();
    // 4. HTTP request manager.
    HttpModule::Start();
}

void StopModules()
{
    // 4. HTTP request manager: destroys the requests still alive.
    HttpModule::Stop();
    // 3. ServerSettings and Settings; the settings are not written at shutdown.
    SettingsModule::Stop();
    // 2. Key pair module.
    KeyPairModule::Stop();
    // 1. Log manager last: stops its cleaner thread.
    LogMngr::StopModule();
}

void CreateDataObjects()
{
    // CatalogData, UserData, Connection, CoverData, in this order.
    // The catalog creates the database folder and opens svxc.s3db if it is there.
    CatalogData = new TCatalogData();
    // UserData: opened later by Init, after sign-in.
    UserData = new TUserData;
    // The session: it sends the catalog's version at start-up, and the
    // address templates take its explorer identifier.
    Connection = new TConnection;
    Connection->SetCatalogVersionSource([] { return CatalogData ? CatalogData->DataVersion() : 0u; });
    WebUtils::SetExplorerIDSource([] { return Connection ? Connection->ExplorerID() : QString(); });
}

void FreeDataObjects()
{
    // CoverData, Connection, UserData, CatalogData: the reverse order.
    WebUtils::SetExplorerIDSource({});
    delete Connection;
    Connection = nullptr;
    delete UserData;
    UserData = nullptr;
    delete CatalogData;
    CatalogData = nullptr;
}
