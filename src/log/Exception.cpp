#include "log/Exception.h"

#include <cerrno>
#include <cstring>

void Abort()
{
    throw EAbort(QStringLiteral("Operation aborted"));
}

QString SysErrorMessage(int aErrorCode)
{
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be buf.
    const char* text = strerror_r(aErrorCode, buf, sizeof buf);
    return QString::fromLocal8Bit(text);
}

void RaiseLastOSError(int aErrorCode)
{
    const int code = aErrorCode < 0 ? errno : aErrorCode;
    throw EOSError(SysErrorMessage(code));
}
