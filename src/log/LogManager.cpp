#include "log/LogManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cxxabi.h>
#include <memory>
#include <mutex>
#include <thread>

const char* const MessageTypeNames[4] = {"DEBUG", "INFO", "WARNING", "ERROR"};

TLogMessageType LogMsgLevel = lmtInfo;
TMessageOptions DefaultMessageOptions = moShowMsg;
uint16_t MaxStoreDayCount = 7;

namespace LogMngr {

int CleanerFirstInterval = 10000;

namespace {

constexpr int CleanerLaterInterval = 43200000; // 12 hours

TLogFileType LogFileType = lftSingle;
QString LogFilePathMask;
QString LogFilePathValue;

std::mutex LogFileCS;
std::recursive_mutex MsgHandlerCS; // the handler may report messages itself
TObjMessageHandler ObjMessageHandler;

// Clean-up thread: waits on a manual-reset event, first 10 s, then every 12 h.
class TAutoLogCleanerThread {
public:
    TAutoLogCleanerThread() : FWaitInterval(CleanerFirstInterval), FThread([this] { Execute(); }) {}
    ~TAutoLogCleanerThread()
    {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FTerminated = true;
            FEvent = true;
        }
        FCond.notify_all();
        FThread.join();
    }

private:
    void Execute()
    {
        try {
            std::unique_lock<std::mutex> lock(FMutex);
            while (!FTerminated) {
                const bool signalled = FCond.wait_for(lock, std::chrono::milliseconds(FWaitInterval),
                                                      [this] { return FEvent; });
                if (signalled)
                    continue;
                if (FWaitInterval == CleanerFirstInterval)
                    FWaitInterval = CleanerLaterInterval;
                lock.unlock();
                ClearExpiredLogFiles();
                lock.lock();
            }
        } catch (...) {
            HandleException(QStringLiteral("TAutoLogCleanerThread.Execute"), 0);
        }
    }

    std::mutex FMutex;
    std::condition_variable FCond;
    bool FEvent = false;
    bool FTerminated = false;
    int FWaitInterval;
    std::thread FThread;
};

std::mutex CleanerLock;
std::unique_ptr<TAutoLogCleanerThread> AutoLogCleanerThread;

QString WithSeparator(const QString& aPath)
{
    if (aPath.isEmpty() || aPath.endsWith(QLatin1Char('/')))
        return aPath;
    return aPath + QLatin1Char('/');
}

QString FolderPart(const QString& aPath)
{
    const int sep = aPath.lastIndexOf(QLatin1Char('/'));
    return sep < 0 ? QString() : aPath.left(sep + 1);
}

QString ExecutablePath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

} // namespace

void StartModule()
{
    // The locks are static; nothing else exists until Initialize.
}

void StopModule()
{
    {
        std::lock_guard<std::mutex> lock(LogFileCS);
        LogFileType = lftSingle;
        LogFilePathMask.clear();
        LogFilePathValue.clear();
    }
    std::unique_ptr<TAutoLogCleanerThread> cleaner;
    {
        std::lock_guard<std::mutex> lock(CleanerLock);
        cleaner = std::move(AutoLogCleanerThread);
    }
    cleaner.reset();
    SetObjMessageHandler(nullptr);
}

bool CleanerRunning()
{
    std::lock_guard<std::mutex> lock(CleanerLock);
    return AutoLogCleanerThread != nullptr;
}

void Initialize(const QString& aPath)
{
    const QString folder = WithSeparator(aPath);
    if (!SetLogFileOptions(lftByDay, folder + QStringLiteral("'at'yyyyMMdd'.log'"), true, false))
        Abort();
}

bool SetLogFileOptions(TLogFileType aLogFileType, const QString& aLogFilePathMask, bool aAutoCleanLogFiles,
                       bool aSkipPathCheck)
{
    QString mask = aLogFilePathMask.trimmed();
    if (mask.isEmpty()) {
        if (aLogFileType == lftByDay)
            mask = QStringLiteral("Logs/yyyy_MM_dd'.log'");
        else {
            const QString exe = ExecutablePath();
            const QFileInfo info(exe);
            mask = info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".log");
        }
    }
    QString folder = FolderPart(mask);
    if (aLogFileType == lftByDay)
        mask = mask.mid(folder.size());
    {
        std::lock_guard<std::mutex> lock(LogFileCS);
        LogFileType = aLogFileType;
        LogFilePathMask = mask;
        LogFilePathValue = folder;
    }
    if (!aSkipPathCheck)
        EnsureDirectoryExists(folder);

    std::unique_ptr<TAutoLogCleanerThread> old;
    {
        std::lock_guard<std::mutex> lock(CleanerLock);
        if (aAutoCleanLogFiles) {
            if (!AutoLogCleanerThread)
                AutoLogCleanerThread = std::make_unique<TAutoLogCleanerThread>();
        } else {
            old = std::move(AutoLogCleanerThread);
        }
    }
    old.reset(); // joined outside the lock
    return true;
}

void SetObjMessageHandler(TObjMessageHandler aHandler)
{
    std::lock_guard<std::recursive_mutex> lock(MsgHandlerCS);
    ObjMessageHandler = std::move(aHandler);
}

void EnsureDirectoryExists(const QString& aDir)
{
    if (aDir.isEmpty() || QFileInfo(aDir).isDir())
        return;
    if (!QDir().mkpath(aDir))
        throw Exception(Format(QStringLiteral("Can't create \"%s\" directory!"), {aDir}));
}

namespace {

QString CurrentLogFilePathLocked()
{
    if (LogFileType == lftByDay)
        return LogFilePathValue + QDateTime::currentDateTime().toString(LogFilePathMask);
    return LogFilePathMask;
}

} // namespace

QString GetCurrentLogFilePath()
{
    std::lock_guard<std::mutex> lock(LogFileCS);
    return CurrentLogFilePathLocked();
}

QString LogFilePath()
{
    std::lock_guard<std::mutex> lock(LogFileCS);
    return LogFilePathValue;
}

void SaveText(const QString& aText)
{
    const QString line = aText + QStringLiteral("\r\n");
    // UTF-16 little-endian without a byte-order mark.
    QByteArray bytes;
    bytes.resize(line.size() * 2);
    char* p = bytes.data();
    for (QChar ch : line) {
        const char16_t u = ch.unicode();
        *p++ = char(u & 0xFF);
        *p++ = char(u >> 8);
    }

    std::lock_guard<std::mutex> lock(LogFileCS);
    // Before the log is set up there is no file to write to; the handler
    // still sees the message.
    if (LogFilePathMask.isEmpty())
        return;
    const QString path = CurrentLogFilePathLocked();
    EnsureDirectoryExists(LogFilePathValue);
    // Open, append, close for every record: the file stays whole if the process dies.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"), {path, file.errorString()}));
    if (file.write(bytes) != bytes.size())
        throw EOSError(Format(QStringLiteral("Cannot write file \"%s\". %s"), {path, file.errorString()}));
    file.close();
}

void ClearExpiredLogFiles()
{
    ClearExpiredLogFiles(QDateTime::currentDateTime());
}

void ClearExpiredLogFiles(const QDateTime& aNow)
{
    QString folder;
    {
        std::lock_guard<std::mutex> lock(LogFileCS);
        if (LogFileType != lftByDay)
            return;
        folder = LogFilePathValue;
    }
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (!entry.isFile() || entry.isHidden())
            continue;
        const double ageDays = double(entry.lastModified().msecsTo(aNow)) / 86400000.0;
        if (ageDays <= double(MaxStoreDayCount))
            continue;
        if (entry.fileName().compare(QStringLiteral("MsgID.txt"), Qt::CaseInsensitive) == 0)
            continue;
        if (::remove(QFile::encodeName(entry.absoluteFilePath()).constData()) != 0) {
            const int err = errno;
            HandleMessageFmt(lmtWarning, QStringLiteral("ClearExpiredLogFiles"),
                             QStringLiteral("File \"%s\" delete error: %s"),
                             {entry.absoluteFilePath(), SysErrorMessage(err)}, QString());
        }
    }
}

} // namespace LogMngr

QString LogDateTimeToStr(const QDateTime& aTime)
{
    const QLocale locale = QLocale::system();
    // The long time format without the time zone, as the user sees times elsewhere.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    QString cleaned;
    bool quoted = false;
    for (QChar ch : timeFormat) {
        if (ch == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && ch == QLatin1Char('t'))
            continue;
        cleaned += ch;
    }
    return locale.toString(aTime.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(aTime.time(), cleaned.trimmed());
}

int SaveMessage(const TMessageRec& aMsg)
{
    if (aMsg.MsgType < LogMsgLevel)
        return 0;
    QString text = QString::fromLatin1(MessageTypeNames[aMsg.MsgType]) + QLatin1Char('\t') +
                   LogDateTimeToStr(aMsg.MsgTime) + QLatin1Char('\t') + aMsg.Source + QLatin1Char('\t') +
                   aMsg.Message + QLatin1Char('\t') + aMsg.SystemData;
    if (!aMsg.ExtraData.isEmpty())
        text += QStringLiteral("\r\n") + aMsg.ExtraData;
    LogMngr::SaveText(text);
    return 0;
}

int SaveMessage(const QString& aSource, const QString& aMessage)
{
    TMessageRec rec;
    rec.MsgType = lmtInfo;
    rec.MsgTime = QDateTime::currentDateTime();
    rec.Source = aSource;
    rec.Message = aMessage;
    return SaveMessage(rec);
}

void HandleMessage(const TMessageRec& aMsgRec)
{
    SaveMessage(aMsgRec);
    std::lock_guard<std::recursive_mutex> lock(LogMngr::MsgHandlerCS);
    if (LogMngr::ObjMessageHandler)
        LogMngr::ObjMessageHandler(aMsgRec);
}

void HandleMessage(TLogMessageType aMsgType, const QString& aSource, const QString& aMessage,
                   const QString& aExtraData, TMessageOptions aOptions)
{
    TMessageRec rec;
    rec.MsgType = aMsgType;
    rec.MsgTime = QDateTime::currentDateTime();
    rec.Source = aSource;
    rec.Message = aMessage;
    rec.ExtraData = aExtraData;
    rec.Options = aOptions;
    HandleMessage(rec);
}

void HandleMessageFmt(TLogMessageType aMsgType, const QString& aSource, const QString& aMessage,
                      std::initializer_list<FormatArg> aArgs, const QString& aExtraData, TMessageOptions aOptions)
{
    HandleMessage(aMsgType, aSource, Format(aMessage, aArgs), aExtraData, aOptions);
}

void HandleMessageFmt(TLogMessageType aMsgType, const QString& aSource, const QString& aMessage,
                      std::initializer_list<FormatArg> aArgs, const QString& aExtraData)
{
    HandleMessageFmt(aMsgType, aSource, aMessage, aArgs, aExtraData, DefaultMessageOptions);
}

namespace {

QString DemangledName(const std::exception& e)
{
    const char* mangled = typeid(e).name();
    int status = 0;
    char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    QString name = QString::fromLatin1(status == 0 && plain ? plain : mangled);
    std::free(plain);
    return name;
}

QString AddressText(const void* aAddress)
{
    return QString::number(quint64(reinterpret_cast<uintptr_t>(aAddress)), 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

} // namespace

int HandleException(const QString& aSource, const std::exception& aExceptObj, const void* aExceptAddr,
                    TMessageOptions aOptions)
{
    if (dynamic_cast<const EAbort*>(&aExceptObj))
        return 0;
    TMessageRec rec;
    rec.MsgType = lmtError;
    rec.MsgTime = QDateTime::currentDateTime();
    rec.Source = aSource;
    const auto* own = dynamic_cast<const Exception*>(&aExceptObj);
    rec.Message = own ? own->Message() : QString::fromLocal8Bit(aExceptObj.what());
    const QString className = own ? QString::fromLatin1(own->ClassName()) : DemangledName(aExceptObj);
    rec.SystemData = Format(QStringLiteral("%s at $%s"), {className, AddressText(aExceptAddr)});
    if (const auto* logged = dynamic_cast<const ELogMngrException*>(&aExceptObj))
        rec.ExtraData = logged->ExtraData() + QStringLiteral("\r\n");
    rec.Options = aOptions;
    HandleMessage(rec);
    return 0;
}

int HandleException(const QString& aSource, TMessageOptions aOptions)
{
    std::exception_ptr current = std::current_exception();
    if (!current)
        return 0;
    try {
        std::rethrow_exception(current);
    } catch (const Exception& e) {
        return HandleException(aSource, e, e.Address(), aOptions);
    } catch (const std::exception& e) {
        return HandleException(aSource, e, nullptr, aOptions);
    } catch (...) {
        TMessageRec rec;
        rec.MsgType = lmtError;
        rec.MsgTime = QDateTime::currentDateTime();
        rec.Source = aSource;
        rec.Message = QStringLiteral("Unknown exception");
        rec.SystemData = QStringLiteral("unknown at $00000000");
        rec.Options = aOptions;
        HandleMessage(rec);
    }
    return 0;
}

int HandleException(const QString& aSource)
{
    return HandleException(aSource, DefaultMessageOptions);
}
