// The system's 8-bit code page, which this platform fixes to UTF-8. Every
// conversion between text and 8-bit bytes (settings file, texts sent to the
// store, 8-bit tag text) goes through these two functions.
#pragma once

#include <QByteArray>
#include <QString>

inline QString AnsiToString(const QByteArray& aBytes)
{
    return QString::fromUtf8(aBytes);
}

inline QByteArray StringToAnsi(const QString& aText)
{
    return aText.toUtf8();
}
