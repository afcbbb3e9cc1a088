// Exception classes shared by every subsystem.
// Failures travel as exceptions carrying a message text; the log manager
// reports them with their class name and the address they were raised at.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

class Exception : public std::exception {
public:
    [[gnu::noinline]] explicit Exception(const QString& aMessage)
        : Exception(aMessage, __builtin_return_address(0)) {}
    ~Exception() override = default;

    const QString& Message() const { return FMessage; }
    const char* what() const noexcept override { return FWhat.constData(); }
    virtual const char* ClassName() const { return "Exception"; }
    // Code address of the raise (the caller of the constructor).
    const void* Address() const { return FAddress; }

protected:
    Exception(const QString& aMessage, const void* aAddress)
        : FMessage(aMessage), FWhat(aMessage.toUtf8()), FAddress(aAddress) {}

private:
    QString FMessage;
    QByteArray FWhat;
    const void* FAddress;
};

// Declares an exception class with a message-only constructor.
#define SX_DECLARE_EXCEPTION(Name, Base)                                          \
    class Name : public Base {                                                    \
    public:                                                                       \
        [[gnu::noinline]] explicit Name(const QString& aMessage)                  \
            : Base(aMessage, __builtin_return_address(0)) {}                      \
        const char* ClassName() const override { return #Name; }                  \
                                                                                  \
    protected:                                                                    \
        Name(const QString& aMessage, const void* aAddress) : Base(aMessage, aAddress) {} \
    };

// A silent cancellation: never logged, never shown.
SX_DECLARE_EXCEPTION(EAbort, Exception)
// A value that does not convert (number text, format string, date).
SX_DECLARE_EXCEPTION(EConvertError, Exception)
// An operating-system call failed; the message is the system's error text.
SX_DECLARE_EXCEPTION(EOSError, Exception)

// Raises EAbort: ends an operation without any report.
[[noreturn]] void Abort();

// The system's text for an errno value.
QString SysErrorMessage(int aErrorCode);
// Raises EOSError for errno (or the given code).
[[noreturn]] void RaiseLastOSError(int aErrorCode = -1);
