#include "downloads/Files.h"

#include "app/AppUtils.h"
#include "app/MainThread.h"
#include "app/SEFormat.h"
#include "app/TextUtils.h"
#include "downloads/FileNaming.h"
#include "downloads/PrefixedError.h"
#include "downloads/UserData.h"
#include "log/Exception.h"
#include "log/Format.h"
#include "log/LogManager.h"
#include "net/XmlUtils.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStringList>

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

const char* const WrongResponseFormat = "Wrong response format!";
const char* const BasketErrorPrefix = "Error at update user basket: ";
const char* const BasketErrorSource = "Downloads refreshing";
const char* const UpdateFilesSource = "TFiles.UpdateFiles";

// Logs the error being handled with the basket error prefix.
void LogBasketError()
{
    HandleExceptionPrefixed(QLatin1String(BasketErrorSource), QLatin1String(BasketErrorPrefix));
}

// A decimal integer (optional sign, digits, blanks around) within [aMin, aMax].
bool TryStrToInt(const QString& aText, int64_t aMin, int64_t aMax, int64_t& aValue)
{
    const QString text = TrimBlanks(aText);
    qsizetype i = 0;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        ++i;
    if (i == text.size())
        return false;
    for (qsizetype j = i; j < text.size(); ++j)
        if (text[j].unicode() < u'0' || text[j].unicode() > u'9')
            return false;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    if (!ok || value < aMin || value > aMax)
        return false;
    aValue = value;
    return true;
}

[[noreturn]] void WrongFormat()
{
    throw Exception(QLatin1String(WrongResponseFormat));
}

int64_t StrictInt(const QString& aText, int64_t aMin, int64_t aMax)
{
    int64_t value = 0;
    if (!TryStrToInt(aText, aMin, aMax, value))
        WrongFormat();
    return value;
}

// 0 for text that is not a 32-bit number; a number outside [aMin, aMax] is an error.
int64_t IntOrZero(const QString& aText, int64_t aMin, int64_t aMax)
{
    int64_t value = 0;
    if (!TryStrToInt(aText, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), value))
        return 0;
    if (value < aMin || value > aMax)
        WrongFormat();
    return value;
}

QString FormatPrefix(TFileType aFileType)
{
    switch (aFileType) {
    case ftOnlineEncode:
        return QStringLiteral("OE ");
    case ftMp3VIP:
    case ftVideoVip:
        return QStringLiteral("VIP ");
    case ftMp3Free:
    case ftVideoFree:
        return QStringLiteral("FREE ");
    }
    return QString();
}

// The items of a comma-separated list as the run-time's CommaText reads them:
// items end at commas and at blanks, a double-quoted part stays whole ("" is
// a quote in it), a comma at the very end adds an empty item.
QStringList ParseCommaText(const QString& aText)
{
    QStringList items;
    qsizetype n = aText.indexOf(QChar(0));
    if (n < 0)
        n = aText.size();
    const auto blank = [&](qsizetype i) { return i < n && aText[i].unicode() <= u' '; };
    qsizetype p = 0;
    while (blank(p))
        ++p;
    while (p < n) {
        QString item;
        if (aText[p] == QLatin1Char('"')) {
            ++p;
            while (p < n) {
                if (aText[p] == QLatin1Char('"')) {
                    if (p + 1 < n && aText[p + 1] == QLatin1Char('"')) {
                        item += QLatin1Char('"');
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += aText[p++];
            }
        } else {
            const qsizetype begin = p;
            while (p < n && aText[p].unicode() > u' ' && aText[p] != QLatin1Char(','))
                ++p;
            item = aText.mid(begin, p - begin);
        }
        items << item;
        while (blank(p))
            ++p;
        if (p < n && aText[p] == QLatin1Char(',')) {
            if (p + 1 == n)
                items << QString();
            do {
                ++p;
            } while (blank(p));
        }
    }
    return items;
}

bool IsElement(const pugi::xml_node& aNode, const char* aName)
{
    return aNode.type() == pugi::node_element && std::strcmp(aNode.name(), aName) == 0;
}

} // namespace

QString ReplaceApostrophe(const QString& aText)
{
    QString text = aText;
    return text.replace(QLatin1Char('`'), QLatin1Char('\''));
}

TFileRec XmlToFileRec(const pugi::xml_node& aNode)
{
    constexpr int64_t Int32Min = std::numeric_limits<int32_t>::min();
    constexpr int64_t Int32Max = std::numeric_limits<int32_t>::max();
    constexpr int64_t UInt32Max = std::numeric_limits<uint32_t>::max();
    // The range of the fixed-point money type.
    constexpr double MaxCost = 922337203685477.0;

    TFileRec rec;
    rec.UniqID = int32_t(StrictInt(xml::Attr(aNode, "uniqid"), Int32Min, Int32Max));
    rec.FileType = TFileType(StrictInt(xml::Attr(aNode, "filetype"), 0, 255));
    rec.GroupName = ReplaceApostrophe(xml::Attr(aNode, "groupname"));
    rec.AlbumName = ReplaceApostrophe(xml::Attr(aNode, "albumname"));
    rec.SongName = ReplaceApostrophe(xml::Attr(aNode, "songname"));
    rec.TrackNum = uint16_t(IntOrZero(xml::Attr(aNode, "tracknum"), 0, 65535));
    rec.AlbumYear = uint32_t(IntOrZero(xml::Attr(aNode, "albumyear"), 0, Int32Max));
    rec.Format = FormatPrefix(rec.FileType) + xml::Attr(aNode, "format");
    rec.FileExtension = TrimBlanks(xml::Attr(aNode, "fileext"));
    if (!rec.FileExtension.isEmpty() && !rec.FileExtension.startsWith(QLatin1Char('.')))
        rec.FileExtension.prepend(QLatin1Char('.'));
    rec.FileSize = uint32_t(StrictInt(xml::Attr(aNode, "filesize"), 0, UInt32Max));
    double cost = 0;
    if (!SETryStrToFloat(xml::Attr(aNode, "filecost"), cost) || std::fabs(cost) > MaxCost)
        WrongFormat();
    rec.FileCost = TCurrency::FromDouble(cost);
    rec.Duration = uint16_t(StrictInt(xml::Attr(aNode, "duration"), 0, 65535));
    rec.IPPort = xml::Attr(aNode, "ipport");
    return rec;
}

int32_t XmlToUniqID(const pugi::xml_node& aNode)
{
    return int32_t(StrictInt(xml::Attr(aNode, "uniqid"), std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max()));
}

QString BuildDeleteFilesBody(const std::vector<TFileRec>& aFiles)
{
    QString pairs;
    int index = 0;
    for (const TFileRec& rec : aFiles) {
        pairs += Format(QStringLiteral("FileID%0:d=%1:d\r\nFileOE%0:d=%2:d\r\n"),
                        {index, rec.UniqID, rec.FileType == ftOnlineEncode ? 1 : 0});
        ++index;
    }
    return Format(QStringLiteral("FileCount=%d\r\n%s"), {index, pairs});
}

QString ShortFormatOf(const QString& aFormat)
{
    const QStringList items = ParseCommaText(aFormat);
    if (items.size() < 3)
        return aFormat;
    return items[1] + QLatin1Char(' ') + items.last();
}

// ---------------------------------------------------------------------------
// TFileItem

TFileItem::TFileItem(TFiles& aFiles, int aID, const TFileRec& aFileRec)
    : FFiles(aFiles), FID(aID), FFileRec(aFileRec)
{
}

TFileItem::~TFileItem() = default;

TFileRec TFileItem::FileRec() const
{
    std::lock_guard<std::mutex> lock(FDataLock);
    return FFileRec;
}

int32_t TFileItem::UniqID() const
{
    std::lock_guard<std::mutex> lock(FDataLock);
    return FFileRec.UniqID;
}

QString TFileItem::FilePath() const
{
    std::lock_guard<std::mutex> lock(FDataLock);
    return FFilePath;
}

void TFileItem::SetFilePath(const QString& aValue)
{
    std::lock_guard<std::mutex> lock(FDataLock);
    FFilePath = aValue;
}

QString TFileItem::FileKey() const
{
    std::lock_guard<std::mutex> lock(FDataLock);
    return FFileKey;
}

void TFileItem::SetFileKey(const QString& aValue)
{
    std::lock_guard<std::mutex> lock(FDataLock);
    FFileKey = aValue;
}

void TFileItem::Queue()
{
    if (!CanDownload())
        return;
    SetFileState(fsQueued);
    SetDownloadErrorOccured(false);
    SaveSafe();
    HandleMessageFmt(lmtInfo, QStringLiteral("TFileItem.Queue"), QStringLiteral("%s added to queue"),
                     {FileRec().SongName});
}

void TFileItem::Pause()
{
    if (!CanCancelDownload())
        return;
    SetFileState(fsPaused);
    SaveSafe();
}

void TFileItem::Save()
{
    // The user database has one connection, used on the main thread only.
    if (!IsMainThread())
        throw Exception(QStringLiteral("Downloads are saved on the main thread only!"));
    std::lock_guard<TFiles> lock(FFiles);
    TFileRec rec;
    QString path;
    QString key;
    {
        std::lock_guard<std::mutex> data(FDataLock);
        rec = FFileRec;
        path = FFilePath;
        key = FFileKey;
    }
    FFiles.FUserData.SaveDownload(rec, FileState(), path, key, StoredBlockMap());
}

void TFileItem::SaveSafe()
{
    FFiles.SaveItemSafe(this);
}

void TFileItem::SaveSafe(std::function<void(bool aSaved)> aAfter)
{
    FFiles.SaveItemSafe(this, std::move(aAfter));
}

void TFileItem::Cleanup()
{
    const QString path = FilePath();
    if (!path.isEmpty() && !Finished() && path.endsWith(QLatin1String(DownloadingExtension), Qt::CaseInsensitive)) {
        if (QFileInfo(path).isFile())
            QFile::remove(path);
        const QString temp = TargetPath() + QLatin1String(FinalizingExtension);
        if (QFileInfo(temp).isFile())
            QFile::remove(temp);
    }
    std::lock_guard<TFiles> lock(FFiles);
    FFiles.FUserData.DeleteDownload(UniqID());
}

void TFileItem::BeginJob()
{
    std::lock_guard<TFiles> lock(FFiles);
    if (Removed())
        throw Exception(QStringLiteral("Unexpected state!"));
    if (FJobCount.load() == 0) {
        if (FBlockMap.Count() == 0)
            FBlockMap.Reset(FileRec().FileSize);
        // A failure leaves the job uncounted, so the item never keeps a job
        // that no worker will end.
        PrepareFile();
        FStartTime.store(GetTickCount32());
        FDwnldSpeedCalc.Reset();
    }
    ++FJobCount;
}

void TFileItem::EndJob(bool aSuccess)
{
    std::lock_guard<TFiles> lock(FFiles);
    if (FJobCount.load() <= 0)
        throw Exception(QStringLiteral("Unexpected state!"));
    SaveSafe();
    if (--FJobCount == 0 && Removed())
        FFiles.JobsEnded(this);
}

void TFileItem::BlockDownloaded(int32_t aBlock)
{
    FBlockMap.DoneBlock(aBlock);
    SaveSafe();
}

void TFileItem::BlockWritten(int32_t aBlock)
{
    std::lock_guard<std::mutex> lock(FSyncLock);
    // Only the worker that holds the busy block gets here with it.
    if (FBlockMap.Blocks(aBlock) != bsBusy)
        return;
    FUnsyncedBlocks.push_back(aBlock);
    FBlockMap.DoneBlock(aBlock);
}

bool TFileItem::SyncBlocks(const std::function<void()>& aSync, bool aForce, uint32_t aIntervalMs)
{
    std::unique_lock<std::mutex> run(FSyncRunLock, std::defer_lock);
    if (aForce)
        run.lock();
    else if (!run.try_lock())
        return false; // another worker of the file is syncing right now
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(FSyncLock);
        count = FUnsyncedBlocks.size();
        if (count == 0 || (!aForce && GetTickCount64() - FLastSyncTick < aIntervalMs))
            return false;
    }
    // Blocks written after the count was taken may miss this sync; they stay
    // for the next one.
    aSync();
    {
        std::lock_guard<std::mutex> lock(FSyncLock);
        FUnsyncedBlocks.erase(FUnsyncedBlocks.begin(), FUnsyncedBlocks.begin() + ptrdiff_t(count));
        FLastSyncTick = GetTickCount64();
    }
    SaveSafe();
    return true;
}

int TFileItem::UnsyncedBlockCount() const
{
    std::lock_guard<std::mutex> lock(FSyncLock);
    return int(FUnsyncedBlocks.size());
}

QString TFileItem::StoredBlockMap() const
{
    std::lock_guard<std::mutex> lock(FSyncLock);
    QString text = FBlockMap.AsString();
    for (int32_t block : FUnsyncedBlocks)
        if (block >= 0 && block < text.size())
            text[block] = QChar(BLOCK_STATE_FREE);
    return text;
}

QString TFileItem::TargetPath() const
{
    const QString path = FilePath();
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < path.lastIndexOf(QChar(PathDelim)))
        return path;
    return path.left(dot);
}

void TFileItem::RemoveLeftovers()
{
    const QString path = FilePath();
    if (path.isEmpty())
        return;
    QString target;
    if (Finished()) {
        // The working file of a finished file: the process ended between
        // saving the finished state and deleting it.
        target = path;
        const QString working = path + QLatin1String(DownloadingExtension);
        if (QFileInfo(working).isFile())
            QFile::remove(working);
    } else if (path.endsWith(QLatin1String(DownloadingExtension), Qt::CaseInsensitive)) {
        target = TargetPath();
    } else {
        return;
    }
    const QString temp = target + QLatin1String(FinalizingExtension);
    if (QFileInfo(temp).isFile())
        QFile::remove(temp);
}

void TFileItem::PrepareFile()
{
    if (FilePath().isEmpty()) {
        BuildFilePath();
        SaveSafe();
    }
    const QString path = FilePath();
    const QString target = CreateFilePath();
    if (QFileInfo::exists(target)) {
        // Only finalization creates the target, and only after every block is
        // on disk and stored as done; so with all blocks done and the working
        // file still there, the target is this item's own output of that
        // working file. A target found in any other case was there before the
        // download (or was put there by someone else) and is never replaced.
        const bool ownOutput = FBlockMap.Finished() && target == TargetPath() &&
                               path.endsWith(QLatin1String(DownloadingExtension), Qt::CaseInsensitive) &&
                               QFileInfo(path).isFile();
        if (!ownOutput)
            throw Exception(QStringLiteral("This file already exists!"));
    }

    EnsureDirectoryExists(QFileInfo(path).path());
    const uint32_t fileSize = FileRec().FileSize;
    if (QFileInfo::exists(path)) {
        // The resume: file and block map stay as they are.
        if (GetFileSize(path) != int64_t(fileSize))
            throw Exception(QStringLiteral("Existing file have unexpected size!"));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(FSyncLock);
        FUnsyncedBlocks.clear();
        FBlockMap.Clear();
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw EOSError(Format(QStringLiteral("Cannot create file \"%s\": %s"), {path, file.errorString()}));
    if (!file.resize(qint64(fileSize))) {
        const QString error = file.errorString();
        file.close();
        QFile::remove(path);
        throw EOSError(Format(QStringLiteral("Cannot set the size of \"%s\": %s"), {path, error}));
    }
    file.close();
}

void TFileItem::BuildFilePath()
{
    QString path = CreateFilePath();
    if (!path.isEmpty())
        path += QLatin1String(DownloadingExtension);
    SetFilePath(path);
}

QString TFileItem::CreateFilePath() const
{
    const TFileRec rec = FileRec();
    if (rec.FileType == ftVideoVip || rec.FileType == ftVideoFree)
        throw Exception(QStringLiteral("Video is not supported!"));
    const TSettings& settings = Settings();
    return settings.DownloadFolder + FormatFileNameByMask(settings.DownloadFileNameMask, rec.GroupName,
                                                          rec.AlbumName, rec.SongName, rec.FileExtension,
                                                          rec.TrackNum, rec.AlbumYear,
                                                          settings.DownloadFileReplaceSpaces);
}

void TFileItem::UpdateInfo(const TFileRec& aFileRec)
{
    {
        std::lock_guard<std::mutex> lock(FDataLock);
        FFileRec = aFileRec;
    }
    FMark = true;
    // The cached short format follows a changed format.
    FShortFormatDone = false;
}

void TFileItem::UpdateFileState()
{
    if (FileRec().FileSize == 0) {
        SetFileState(fsEncoding);
        return;
    }
    uint8_t expected = fsEncoding;
    FFileState.compare_exchange_strong(expected, Settings().AutoDownloading ? fsQueued : fsPaused);
}

QString TFileItem::GetFullFileName() const
{
    const TFileRec rec = FileRec();
    if (rec.FileType == ftVideoVip || rec.FileType == ftVideoFree)
        return Format(QStringLiteral("%s \\ %s"), {rec.GroupName, rec.SongName});
    return Format(QStringLiteral("%s \\ %s \\ %d - %s"), {rec.GroupName, rec.AlbumName, rec.TrackNum, rec.SongName});
}

const QString& TFileItem::ShortFormat()
{
    if (!FShortFormatDone) {
        FShortFormat = ShortFormatOf(FileRec().Format);
        FShortFormatDone = true;
    }
    return FShortFormat;
}

int TFileItem::ImageIndex() const
{
    if (DownloadErrorOccured())
        return IMAGE_ERROR;
    switch (FileState()) {
    case fsEncoding:
        return IMAGE_WAIT_ENCODING;
    case fsPaused:
        return IMAGE_FILE_PAUSED;
    case fsQueued:
        return JobCount() > 0 ? IMAGE_FILE_DOWNLOADING : IMAGE_FILE_QUEUED;
    case fsFinished:
        return IMAGE_FINISHED;
    }
    return IMAGE_ERROR;
}

int TFileItem::DownloadProgress() const
{
    if (Finished())
        return 0;
    return FBlockMap.ProgressPercent();
}

void TFileItem::RefreshDownloadVars()
{
    RefreshDownloadVars(GetTickCount32());
}

void TFileItem::RefreshDownloadVars(uint32_t aTickCount)
{
    if (!Downloading())
        return;
    if (TickCountDiff(FPrevTickCount, aTickCount) <= 100)
        return;
    FPrevTickCount = aTickCount;
    FDownloadSpeed = FDwnldSpeedCalc.GetSpeed();
    const int64_t missing = int64_t(FileRec().FileSize) - int64_t(FBlockMap.GetDoneSize());
    FEstimatedTime = FDownloadSpeed > 0 && missing > 0 ? int32_t(missing / FDownloadSpeed) : 0;
}

std::optional<int64_t> TFileItem::DownloadSpeed()
{
    if (!Downloading())
        return std::nullopt;
    RefreshDownloadVars();
    return FDownloadSpeed;
}

std::optional<double> TFileItem::DownloadElapsedTime() const
{
    if (!Downloading())
        return std::nullopt;
    const uint32_t seconds = TickCountDiff(FStartTime.load(), GetTickCount32()) / 1000;
    return double(seconds) / 86400.0;
}

std::optional<double> TFileItem::DownloadEstimatedTime()
{
    if (!Downloading())
        return std::nullopt;
    RefreshDownloadVars();
    return double(FEstimatedTime) / 86400.0;
}

// ---------------------------------------------------------------------------
// TFiles

TFiles::TFiles(TUserData& aUserData)
    : FUserData(aUserData), FQueueContext(std::make_unique<QObject>())
{
}

TFiles::~TFiles()
{
    // The engine has stopped: what its workers posted last is written now;
    // anything left dies with the context.
    if (IsMainThread())
        FlushPendingSaves();
    FQueueContext.reset();
    std::lock_guard<TFiles> lock(*this);
    FItems.clear();
    FRemovedItems.clear();
}

void TFiles::Load()
{
    FLastRequestDate = FUserData.DownloadsUpdateTime();
    std::unique_ptr<SQLite::Statement> rows = FUserData.GetDownloads(byOrderNo);
    while (rows->executeStep()) {
        try {
            CreateFromDB(TUserData::ReadDownloadRow(*rows));
        } catch (...) {
            HandleException(QStringLiteral("Loading saved downloads"));
        }
    }
}

void TFiles::CreateFromDB(const TDownloadRow& aRow)
{
    std::unique_ptr<TFileItem> item(new TFileItem(*this, FNextID, aRow.FileRec));
    item->FFilePath = aRow.FilePath;
    item->FFileKey = aRow.FileKey;
    item->FBlockMap.Reset(aRow.FileRec.FileSize);
    item->FBlockMap.SetAsString(aRow.BlockMap);
    item->SetFileState(aRow.FileState);
    item->UpdateFileState();
    item->RemoveLeftovers();
    std::lock_guard<TFiles> lock(*this);
    ++FNextID;
    FItems.push_back(std::move(item));
}

TFileItem* TFiles::AddItem(const TFileRec& aFileRec)
{
    std::lock_guard<TFiles> lock(*this);
    std::unique_ptr<TFileItem> item(new TFileItem(*this, FNextID++, aFileRec));
    item->FMark = true;
    item->FBlockMap.Reset(aFileRec.FileSize);
    FItems.push_back(std::move(item));
    return FItems.back().get();
}

bool TFiles::UpdateFiles(const pugi::xml_document& aXmlDoc, double& aLastRequestDate)
{
    bool result = false;
    try {
        result = ApplyBasket(aXmlDoc, aLastRequestDate);
    } catch (...) {
        NotifyListChanged();
        throw;
    }
    NotifyListChanged();
    return result;
}

bool TFiles::ApplyBasket(const pugi::xml_document& aXmlDoc, double& aLastRequestDate)
{
    const pugi::xml_node downloads = aXmlDoc.document_element().child("mydownloads");
    if (!downloads)
        throw ELogMngrException(QLatin1String(UpdateFilesSource), QStringLiteral("INVALID_RESPONSE_FORMAT"));
    if (xml::Attr(downloads, "updated").compare(QLatin1String("yes"), Qt::CaseInsensitive) != 0)
        return false;

    try {
        aLastRequestDate = SEStrToFloat(xml::Attr(downloads, "lastupdatedate"));
        const QString updateType = xml::Attr(downloads, "updatetype");
        bool full = false;
        if (updateType.compare(QLatin1String("full"), Qt::CaseInsensitive) == 0)
            full = true;
        else if (updateType.compare(QLatin1String("partial"), Qt::CaseInsensitive) != 0)
            throw ELogMngrException(QLatin1String(UpdateFilesSource), QStringLiteral("IDENT_INVALID_RESPONSE_FORMAT"));

        if (full)
            ClearMarks();
        else
            SetMarks();
        for (const pugi::xml_node& child : downloads.children())
            if (IsElement(child, "updated"))
                ApplyFile(XmlToFileRec(child));
        for (const pugi::xml_node& child : downloads.children())
            if (IsElement(child, "deleted"))
                MarkFile(XmlToUniqID(child), false);
        // Last, so an answer that fails half-way never removes anything.
        RemoveUnMarkedItems();
        FLastRequestDate = aLastRequestDate;
        return true;
    } catch (...) {
        LogBasketError();
        return false;
    }
}

void TFiles::ApplyFile(const TFileRec& aFileRec)
{
    TFileItem* item = FindByUniqID(aFileRec.UniqID);
    if (item)
        item->UpdateInfo(aFileRec);
    else
        item = AddItem(aFileRec);
    item->UpdateFileState();
    item->SaveSafe();
}

void TFiles::MarkFile(int32_t aUniqID, bool aMark)
{
    if (TFileItem* item = FindByUniqID(aUniqID))
        item->SetMark(aMark);
}

void TFiles::ClearMarks()
{
    for (const auto& item : FItems)
        item->SetMark(false);
}

void TFiles::SetMarks()
{
    for (const auto& item : FItems)
        item->SetMark(true);
}

void TFiles::RemoveUnMarkedItems()
{
    for (int i = Count() - 1; i >= 0; --i) {
        TFileItem* item = FItems[size_t(i)].get();
        if (item->Mark() || item->Finished() || item->BlockMap().Finished())
            continue;
        HandleMessage(lmtInfo, item->FileRec().SongName, QStringLiteral("File was deleted from basket."));
        item->Cleanup();
        DestroyItem(item);
    }
}

void TFiles::DeleteFile(int aIndex)
{
    DeleteFiles({Items(aIndex)});
}

void TFiles::DeleteFinished()
{
    std::vector<TFileItem*> finished;
    for (const auto& item : FItems)
        if (item->Finished())
            finished.push_back(item.get());
    DeleteFiles(finished);
}

void TFiles::DeleteFiles(const std::vector<TFileItem*>& aList)
{
    // Only items of this list, each once; nothing else is dereferenced.
    std::vector<TFileItem*> items;
    for (TFileItem* item : aList)
        if (IndexOf(item) >= 0 && std::find(items.begin(), items.end(), item) == items.end())
            items.push_back(item);

    std::vector<TFileRec> reported; // finished files are removed locally only
    for (TFileItem* item : items)
        if (!item->Finished())
            reported.push_back(item->FileRec());

    try {
        for (TFileItem* item : items) {
            item->Cleanup();
            DestroyItem(item);
        }
        if (!reported.empty()) {
            const QString body = BuildDeleteFilesBody(reported);
            if (!FDeleteFilesHook)
                throw Exception(QStringLiteral("Deleted files cannot be reported: there is no store session!"));
            FDeleteFilesHook(body);
        }
    } catch (...) {
        NotifyDownloadInfo();
        throw;
    }
    NotifyDownloadInfo();
}

void TFiles::DestroyItem(TFileItem* aItem)
{
    std::lock_guard<TFiles> lock(*this);
    const auto it = std::find_if(FItems.begin(), FItems.end(), [aItem](const auto& p) { return p.get() == aItem; });
    if (it == FItems.end())
        return;
    std::unique_ptr<TFileItem> item = std::move(*it);
    FItems.erase(it);
    item->FRemoved.store(true);
    // Job counts change only under the lock: a count of 0 here stays 0.
    if (item->JobCount() > 0)
        FRemovedItems.push_back(std::move(item));
}

void TFiles::JobsEnded(TFileItem* aItem)
{
    // Called from EndJob: the worker still runs inside it, so the item goes later.
    QueueMainThreadCall([this] { PurgeRemovedItems(); }, FQueueContext.get());
}

void TFiles::PurgeRemovedItems()
{
    std::lock_guard<TFiles> lock(*this);
    FRemovedItems.erase(std::remove_if(FRemovedItems.begin(), FRemovedItems.end(),
                                       [](const auto& item) { return item->JobCount() == 0; }),
                        FRemovedItems.end());
}

int TFiles::RemovedPendingCount()
{
    std::lock_guard<TFiles> lock(*this);
    return int(FRemovedItems.size());
}

TFileItem* TFiles::FindWaitingItem()
{
    std::lock_guard<TFiles> lock(*this);
    const uint64_t now = GetTickCount64();
    for (const auto& p : FItems) {
        TFileItem* item = p.get();
        if (item->FileState() != fsQueued || item->RetryAfter() > now)
            continue;
        const int jobs = item->JobCount();
        if (jobs >= FileJobCount)
            continue;
        // An item without jobs is taken even with no free block, so a fully
        // downloaded file gets finalized.
        if (jobs == 0 || item->BlockMap().HaveFree())
            return item;
    }
    return nullptr;
}

void TFiles::SaveItemSafe(TFileItem* aFileItem, std::function<void(bool aSaved)> aAfter)
{
    if (!aFileItem || aFileItem->Removed()) {
        if (aAfter)
            aAfter(false);
        return;
    }
    if (aFileItem->FSavePending.exchange(true) && !aAfter)
        return;
    const int id = aFileItem->ID();
    ++FPendingSaves;
    QueueMainThreadCall(
        [this, id, after = std::move(aAfter)] {
            --FPendingSaves;
            bool saved = false;
            try {
                saved = SaveItem(id);
            } catch (...) {
                HandleException(QStringLiteral("TFiles.SaveItem"));
            }
            if (after) {
                try {
                    after(saved);
                } catch (...) {
                    HandleException(QStringLiteral("TFiles.SaveItem"));
                }
            }
        },
        FQueueContext.get());
}

void TFiles::FlushPendingSaves()
{
    QCoreApplication::sendPostedEvents(FQueueContext.get(), QEvent::MetaCall);
}

bool TFiles::SaveItem(int aID)
{
    std::lock_guard<TFiles> lock(*this);
    TFileItem* item = FindByID(aID);
    if (!item)
        return false;
    // Changes from now on need a save of their own.
    item->FSavePending.store(false);
    item->Save();
    return true;
}

TFileItem* TFiles::Items(int aIndex) const
{
    if (aIndex < 0 || aIndex >= Count())
        throw Exception(Format(QStringLiteral("List index out of bounds (%d)"), {aIndex}));
    return FItems[size_t(aIndex)].get();
}

int TFiles::IndexOf(const TFileItem* aItem) const
{
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i].get() == aItem)
            return int(i);
    return -1;
}

TFileItem* TFiles::FindByID(int aID) const
{
    for (const auto& item : FItems)
        if (item->ID() == aID)
            return item.get();
    return nullptr;
}

TFileItem* TFiles::FindByUniqID(int32_t aUniqID) const
{
    for (const auto& item : FItems)
        if (item->UniqID() == aUniqID)
            return item.get();
    return nullptr;
}

int TFiles::QueuedCount() const
{
    return int(std::count_if(FItems.begin(), FItems.end(), [](const auto& item) { return item->Queued(); }));
}

bool TFiles::CanDeleteFinished() const
{
    return std::any_of(FItems.begin(), FItems.end(), [](const auto& item) { return item->Finished(); });
}

void TFiles::NotifyListChanged()
{
    if (FObserver) {
        FObserver->CreateFilesListItems();
        FObserver->UpdateDownloadInfo();
    }
}

void TFiles::NotifyDownloadInfo()
{
    if (FObserver)
        FObserver->UpdateDownloadInfo();
}
