// The log manager: every subsystem reports what happens through these free
// functions, from any thread. A message is appended to the day's log file and
// handed to the one registered handler (the log view).
#pragma once

#include "log/Exception.h"
#include "log/Format.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>

enum TLogMessageType : uint8_t { lmtDebug = 0, lmtInfo = 1, lmtWarning = 2, lmtError = 3 };

extern const char* const MessageTypeNames[4];

enum TMessageOption : uint8_t { moFatalError = 1 << 0, moShowMsg = 1 << 1, moSendMail = 1 << 2 };
using TMessageOptions = uint8_t; // a set of TMessageOption bits

struct TMessageRec {
    TLogMessageType MsgType = lmtInfo;
    QDateTime MsgTime;
    QString Source;
    QString Message;
    QString SystemData;
    QString ExtraData;
    TMessageOptions Options = 0;
};

enum TLogFileType : uint8_t { lftSingle = 0, lftByDay = 1 };

// An error that carries where it came from and data to log with it
// (for example a server response).
class ELogMngrException : public Exception {
public:
    [[gnu::noinline]] ELogMngrException(const QString& aSource, const QString& aMessage,
                                        const QString& aExtraData = QString())
        : Exception(aMessage, __builtin_return_address(0)), FSource(aSource), FExtraData(aExtraData) {}
    const char* ClassName() const override { return "ELogMngrException"; }
    const QString& Source() const { return FSource; }
    const QString& ExtraData() const { return FExtraData; }

private:
    QString FSource;
    QString FExtraData;
};

using TObjMessageHandler = std::function<void(const TMessageRec&)>;

// Module state that callers may set.
extern TLogMessageType LogMsgLevel;            // lower types are dropped
extern TMessageOptions DefaultMessageOptions;  // [moShowMsg]
extern uint16_t MaxStoreDayCount;              // days a log file is kept

// The date-time text of a message: the user's short date, a blank, the long time.
QString LogDateTimeToStr(const QDateTime& aTime);

// Reporting: the usual entry points.
void HandleMessage(const TMessageRec& aMsgRec);
void HandleMessage(TLogMessageType aMsgType, const QString& aSource, const QString& aMessage,
                   const QString& aExtraData = QString(), TMessageOptions aOptions = DefaultMessageOptions);
void HandleMessageFmt(TLogMessageType aMsgType, const QString& aSource, const QString& aMessage,
                      std::initializer_list<FormatArg> aArgs, const QString& aExtraData = QString());
void HandleMessageFmt(TLogMessageType aMsgType, const QString& aSource, const QString& aMessage,
                      std::initializer_list<FormatArg> aArgs, const QString& aExtraData,
                      TMessageOptions aOptions);

// Reports an exception; an EAbort is never reported. Always returns 0.
int HandleException(const QString& aSource, const std::exception& aExceptObj, const void* aExceptAddr,
                     TMessageOptions aOptions);
// The same for the exception being handled now (call it inside a catch block).
int HandleException(const QString& aSource, TMessageOptions aOptions);
int HandleException(const QString& aSource);

// Writes to the log file only; the handler does not see it. Returns 0.
int SaveMessage(const TMessageRec& aMsg);
int SaveMessage(const QString& aSource, const QString& aMessage);

namespace LogMngr {

// Module life: the locks exist from start-up; shutdown stops the cleaner.
void StartModule();
void StopModule();

// Daily files "at"yyyymmdd".log" in aPath, with the cleaner thread.
void Initialize(const QString& aPath);
bool SetLogFileOptions(TLogFileType aLogFileType, const QString& aLogFilePathMask,
                       bool aAutoCleanLogFiles, bool aSkipPathCheck);
void SetObjMessageHandler(TObjMessageHandler aHandler);
void EnsureDirectoryExists(const QString& aDir);
QString GetCurrentLogFilePath();
QString LogFilePath();
void SaveText(const QString& aText);
void ClearExpiredLogFiles();
// The same as seen at aNow (tests fix the clock).
void ClearExpiredLogFiles(const QDateTime& aNow);

// First wait of the cleaner thread in milliseconds (10 s in the product).
extern int CleanerFirstInterval;
// True while a cleaner thread exists.
bool CleanerRunning();

} // namespace LogMngr
