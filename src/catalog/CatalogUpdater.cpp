#include "catalog/CatalogUpdater.h"

#include "catalog/CatalogData.h"
#include "log/Exception.h"
#include "log/Format.h"
#include "log/LogManager.h"
#include "net/Connection.h"
#include "net/SESrvRequest.h"
#include "net/XmlUtils.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <pugixml.hpp>
#include <zip.h>

#include <algorithm>
#include <cstring>

namespace {

const QString UpdateCaption = QStringLiteral("SorvelinX catalog update");
const QString FullUpdateCaption = QStringLiteral("SorvelinX catalog full update");
const QString PartialUpdateCaption = QStringLiteral("SorvelinX catalog partial update");

// A version or size attribute: a 32-bit unsigned decimal number.
uint32_t UIntAttribute(const pugi::xml_node& aNode, const char* aName)
{
    const QString text = xml::Attr(aNode, aName);
    bool ok = false;
    const uint32_t value = text.trimmed().toUInt(&ok, 10);
    if (!ok)
        throw EConvertError(Format(QStringLiteral("'%s' is not a valid integer value"), {text}));
    return value;
}

TUpdateInfo ReadEntry(const pugi::xml_node& aNode, bool aIsFullUpdate)
{
    TUpdateInfo info;
    info.IsFullUpdate = aIsFullUpdate;
    info.Version = UIntAttribute(aNode, "version");
    info.Size = UIntAttribute(aNode, "size");
    info.URL = xml::Text(aNode).trimmed();
    return info;
}

QString ZipErrorText(int aCode)
{
    zip_error_t error;
    zip_error_init_with_code(&error, aCode);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

struct TZipCloser {
    void operator()(zip_t* aArchive) const { zip_discard(aArchive); }
};
struct TZipFileCloser {
    void operator()(zip_file_t* aFile) const { zip_fclose(aFile); }
};

// The last part of an entry name: an archive made elsewhere may use either
// separator, and its folders (or "..") must never lead out of our folder.
QString EntryBaseName(const QString& aEntryName)
{
    const qsizetype slash = std::max(aEntryName.lastIndexOf(QLatin1Char('/')), aEntryName.lastIndexOf(QLatin1Char('\\')));
    return aEntryName.mid(slash + 1);
}

} // namespace

QString ExtractUrlFileName(const QString& aUrl)
{
    return aUrl.mid(aUrl.lastIndexOf(QLatin1Char('/')) + 1);
}

QString ExtractUrlFilePath(const QString& aUrl)
{
    return aUrl.left(aUrl.lastIndexOf(QLatin1Char('/')) + 1);
}

TCatalogUpdater::TCatalogUpdater(TCatalogData* aCatalog, TConnection* aConnection)
    : FCatalog(aCatalog ? aCatalog : CatalogData),
      FConnection(aConnection ? aConnection : Connection),
      FProgressText(QStringLiteral("Initializing...")),
      FCaption(UpdateCaption),
      FTempFolder(QDir::tempPath())
{
    StartTimer.setInterval(100);
    connect(&StartTimer, &QTimer::timeout, this, [this] { StartTimerTimer(); });
    FFinishTimer.setSingleShot(true);
    connect(&FFinishTimer, &QTimer::timeout, this, [this] { SetState(cusFinished); });
}

TCatalogUpdater::~TCatalogUpdater()
{
    StartTimer.stop();
    FFinishTimer.stop();
    StopRequests();
}

void TCatalogUpdater::Start()
{
    if (FState != cusIdle)
        throw Exception(QStringLiteral("The catalog update has already run"));
    SetState(cusWaiting);
    StartTimer.start();
}

void TCatalogUpdater::Cancel()
{
    if (Done())
        return;
    StartTimer.stop();
    FFinishTimer.stop();
    StopRequests();
    SetState(cusCanceled);
}

bool TCatalogUpdater::Execute()
{
    Start();
    if (!Done()) {
        QEventLoop loop;
        FLoop = &loop;
        loop.exec();
        FLoop = nullptr;
    }
    return Succeeded();
}

void TCatalogUpdater::StopRequests()
{
    // Destroying a request stops its worker; the file request deletes its file.
    FCatalogRequest.reset();
    FDownloadRequest.reset();
}

void TCatalogUpdater::SetState(TCatalogUpdateState aState)
{
    FState = aState;
    Changed();
}

void TCatalogUpdater::Changed()
{
    if (FOnChange)
        FOnChange();
    if (FLoop && Done())
        FLoop->quit();
}

QString TCatalogUpdater::WorkFolder()
{
    // A private folder of our own: an archive's entry can clash with nothing
    // else in the shared temporary folder.
    if (!FWorkFolder) {
        QDir().mkpath(FTempFolder);
        auto folder = std::make_unique<QTemporaryDir>(FTempFolder + QStringLiteral("/sorvelinx-catalog-XXXXXX"));
        if (!folder->isValid())
            throw EOSError(Format(QStringLiteral("Cannot create a temporary folder in \"%s\". %s"),
                                  {FTempFolder, folder->errorString()}));
        FWorkFolder = std::move(folder);
    }
    return FWorkFolder->path();
}

void TCatalogUpdater::StartTimerTimer()
{
    StartTimer.stop();
    try {
        if (!CheckCatalogRequest() && !CheckDownloadRequest())
            RetrieveCatalogUpdateInfo();
        if (FState == cusWaiting || FState == cusRetrieving || FState == cusDownloading)
            StartTimer.start();
    } catch (const std::exception& e) {
        try {
            HandleException(QStringLiteral("TCatalogUpdateForm.StartTimerTimer"));
        } catch (...) {
            // The error is still reported to the driver below.
        }
        const auto* error = dynamic_cast<const Exception*>(&e);
        FErrorMessage = error ? error->Message() : QString::fromUtf8(e.what());
        StopRequests();
        SetState(cusFailed);
    }
}

void TCatalogUpdater::RetrieveCatalogUpdateInfo()
{
    SaveMessage(QStringLiteral("RetrieveCatalogUpdateInfo"), QStringLiteral("Retrieving catalog info"));
    UpdateProgress(QStringLiteral("Retrieving info"), true);
    if (!FConnection)
        throw Exception(QStringLiteral("The session is not created"));
    std::unique_ptr<TSESrvRequest> request(FConnection->CreateActionRequest(TRequestAction::CalogUpdate));
    const uint32_t version = FCatalog && FCatalog->Connected() ? FCatalog->DataVersion() : 0;
    request->Post().append(QStringLiteral("CatalogVersion=") + QString::number(version));
    request->Start();
    FCatalogRequest = std::move(request);
    SetState(cusRetrieving);
}

bool TCatalogUpdater::CheckCatalogRequest()
{
    if (!FCatalogRequest)
        return false;
    if (FCatalogRequest->IsInProgress())
        return true;
    // Forgotten in every case once it is over.
    const std::unique_ptr<TSESrvRequest> request = std::move(FCatalogRequest);
    request->CheckSuccessful();
    ParseResponse(*request->XmlResponse());
    return true;
}

void TCatalogUpdater::ParseResponse(const pugi::xml_document& aXmlDoc)
{
    const pugi::xml_node catalog = aXmlDoc.document_element().child("catalog");
    if (!catalog)
        throw Exception(QStringLiteral("Unexpected format"));
    if (std::strcmp(catalog.attribute("updated").value(), "yes") != 0)
        throw Exception(QStringLiteral("Update not found"));
    const char* type = catalog.attribute("updatetype").value();
    if (std::strcmp(type, "full") == 0)
        DoFullUpdate(catalog);
    else if (std::strcmp(type, "partial") == 0)
        DoPartialUpdate(catalog);
    else
        throw Exception(QStringLiteral("Update type not found"));
}

void TCatalogUpdater::DoFullUpdate(const pugi::xml_node& aCatalog)
{
    FCaption = FullUpdateCaption;
    Changed();
    const pugi::xml_node file = aCatalog.child("file_full");
    if (!file)
        throw Exception(QStringLiteral("Full file node not found"));
    FUpdateList.append(ReadEntry(file, true));
    DownloadUpdate(0);
}

void TCatalogUpdater::DoPartialUpdate(const pugi::xml_node& aCatalog)
{
    FCaption = PartialUpdateCaption;
    Changed();
    for (pugi::xml_node child = aCatalog.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || std::strcmp(child.name(), "file_update") != 0)
            continue;
        FUpdateList.append(ReadEntry(child, false));
    }
    if (FUpdateList.isEmpty())
        throw Exception(QStringLiteral("Update list empty"));
    DownloadUpdate(0);
}

void TCatalogUpdater::DownloadUpdate(int aIndex)
{
    if (aIndex < 0 || aIndex >= FUpdateList.size())
        throw Exception(QStringLiteral("Invalid index"));
    FUpdateIndex = aIndex;
    // The store lists packages under their older name; ours lies beside it.
    const QString& url = FUpdateList[aIndex].URL;
    DownloadFile(ExtractUrlFilePath(url) + ExtractUrlFileName(url).replace(QStringLiteral("svc"), QStringLiteral("svxc")));
}

void TCatalogUpdater::DownloadFile(const QString& aUrl)
{
    SaveMessage(QStringLiteral("DownloadFile"), QStringLiteral("Downloading file from ") + aUrl);
    UpdateProgress(QStringLiteral("Downloading"), true);

    QTemporaryFile file(WorkFolder() + QStringLiteral("/package-XXXXXX.zip"));
    file.setAutoRemove(false);
    if (!file.open())
        throw EOSError(Format(QStringLiteral("Cannot create a temporary file in \"%s\". %s"),
                              {WorkFolder(), file.errorString()}));
    const QString path = file.fileName();
    file.close();

    auto request = std::make_unique<TFileRequest>();
    request->SetURL(aUrl);
    request->SetFilePath(path);
    request->Start();
    FDownloadRequest = std::move(request);
    SetState(cusDownloading);
}

bool TCatalogUpdater::CheckDownloadRequest()
{
    if (!FDownloadRequest)
        return false;
    if (FDownloadRequest->IsInProgress())
        return true;
    QString unpacked;
    {
        // Destroying the request deletes the downloaded archive, also when
        // the download or the unpacking failed.
        const std::unique_ptr<TFileRequest> request = std::move(FDownloadRequest);
        request->CheckSuccessful();
        unpacked = UnzipFile(request->FilePath());
    }
    UpdateProgress(QStringLiteral("Installing"), true);
    if (!FCatalog)
        throw Exception(QStringLiteral("Catalog is not opened"));
    if (FUpdateList[FUpdateIndex].IsFullUpdate) {
        // The install moves the file into place.
        FCatalog->InstallFullUpdate(unpacked);
    } else {
        try {
            FCatalog->InstallPartialUpdate(unpacked);
        } catch (...) {
            QFile::remove(unpacked);
            throw;
        }
        QFile::remove(unpacked);
    }
    if (FUpdateIndex < FUpdateList.size() - 1) {
        DownloadUpdate(FUpdateIndex + 1);
    } else {
        // The last progress text stays for a moment before the run ends.
        SetState(cusFinishing);
        FFinishTimer.start(FFinishDelay);
    }
    return true;
}

QString TCatalogUpdater::UnzipFile(const QString& aFilePath)
{
    const QString source = QStringLiteral("TCatalogUpdateForm.UnzipFile");
    SaveMessage(source, QStringLiteral("Decompressing file ") + aFilePath);
    UpdateProgress(QStringLiteral("Decompressing"), true);

    int errorCode = 0;
    const std::unique_ptr<zip_t, TZipCloser> archive(zip_open(QFile::encodeName(aFilePath).constData(), ZIP_RDONLY, &errorCode));
    if (!archive)
        throw Exception(Format(QStringLiteral("Cannot open archive \"%s\". %s"), {aFilePath, ZipErrorText(errorCode)}));
    if (zip_get_num_entries(archive.get(), 0) <= 0)
        throw Exception(QStringLiteral("Zip is empty"));

    const char* rawName = zip_get_name(archive.get(), 0, ZIP_FL_ENC_GUESS);
    const QString entryName = rawName ? QString::fromUtf8(rawName) : QString();
    const QString baseName = EntryBaseName(entryName);
    const QString folder = QFileInfo(aFilePath).absolutePath();
    const QString result = folder + QLatin1Char('/') + baseName;
    if (baseName.isEmpty() || baseName == QLatin1String(".") || baseName == QLatin1String("..") ||
        QFileInfo(result).absoluteFilePath() == QFileInfo(aFilePath).absoluteFilePath())
        throw Exception(Format(QStringLiteral("Invalid archive entry name \"%s\""), {entryName}));

    SaveMessage(source, QStringLiteral("Extracting file ") + aFilePath);
    const std::unique_ptr<zip_file_t, TZipFileCloser> entry(zip_fopen_index(archive.get(), 0, 0));
    if (!entry)
        throw Exception(Format(QStringLiteral("Cannot read \"%s\" from archive \"%s\". %s"),
                               {entryName, aFilePath, QString::fromUtf8(zip_strerror(archive.get()))}));
    // Never through a link or into an older file of that name.
    QFile::remove(result);
    QFile target(result);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw EOSError(Format(QStringLiteral("Cannot create file \"%s\". %s"), {result, target.errorString()}));
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const zip_int64_t n = zip_fread(entry.get(), buffer.data(), zip_uint64_t(buffer.size()));
        if (n < 0) {
            const QString reason = QString::fromUtf8(zip_file_strerror(entry.get()));
            target.close();
            QFile::remove(result);
            throw Exception(Format(QStringLiteral("Cannot read \"%s\" from archive \"%s\". %s"), {entryName, aFilePath, reason}));
        }
        if (n == 0)
            break;
        if (target.write(buffer.constData(), n) != n) {
            const QString reason = target.errorString();
            target.close();
            QFile::remove(result);
            throw EOSError(Format(QStringLiteral("Cannot write file \"%s\". %s"), {result, reason}));
        }
    }
    if (!target.flush()) {
        const QString reason = target.errorString();
        target.close();
        QFile::remove(result);
        throw EOSError(Format(QStringLiteral("Cannot write file \"%s\". %s"), {result, reason}));
    }
    target.close();
    SaveMessage(source, QStringLiteral("Extracted successfully"));
    return result;
}

void TCatalogUpdater::UpdateProgress(const QString& aText, bool aDots)
{
    QString text = aText;
    if (FUpdateList.size() > 1)
        text += Format(QStringLiteral(" %d of %d"), {FUpdateIndex + 1, int(FUpdateList.size())});
    if (aDots)
        text += QStringLiteral("...");
    FProgressText = text;
    Changed();
}
