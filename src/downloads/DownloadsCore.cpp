#include "downloads/DownloadsCore.h"

#include "net/Connection.h"

QString TConnectionDownloadSession::SessionID() const
{
    return FConnection.SessionID();
}

QString TConnectionDownloadSession::FinalizeFile(int32_t aID, bool aIsOE)
{
    return FConnection.FinalizeFile(aID, aIsOE);
}

void TConnectionDownloadSession::RefreshBalance()
{
    FConnection.RefreshBalance();
}

TDownloadsCore::TDownloadsCore(TUserData& aUserData, TConnection& aConnection, const TDownloadOptions& aOptions)
    : FConnection(aConnection), FSession(aConnection), FFiles(std::make_unique<TFiles>(aUserData))
{
    FFiles->SetDeleteFilesHook([this](const QString& aFileInfo) { FConnection.PerformDeleteFiles(aFileInfo); });
    FFiles->Load();
    FManager = std::make_unique<TDownloadManager>(*FFiles, FSession, aOptions);
}

TDownloadsCore::~TDownloadsCore()
{
    FManager.reset();
    FFiles.reset();
}

bool TDownloadsCore::BasketUpdated(const pugi::xml_document& aXmlDoc)
{
    double lastRequestDate = 0;
    return FFiles->UpdateFiles(aXmlDoc, lastRequestDate);
}

void TDownloadsCore::RefreshBasket()
{
    FConnection.RefreshDownloads();
}
