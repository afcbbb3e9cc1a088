// A safe printf-like formatter: the argument list is typed, so a format
// string from user input can never read past its arguments.
//
// Supported: %[index:][-][width][.prec]type with type one of
//   d u x X (integers), f e g n (numbers), s (text), p (pointer), %% (a percent sign).
// A mismatch between a placeholder and its argument raises EConvertError.
#pragma once

#include <QString>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>

class FormatArg {
public:
    FormatArg(int v) : FValue(int64_t(v)) {}
    FormatArg(long v) : FValue(int64_t(v)) {}
    FormatArg(long long v) : FValue(int64_t(v)) {}
    FormatArg(unsigned v) : FValue(uint64_t(v)) {}
    FormatArg(unsigned long v) : FValue(uint64_t(v)) {}
    FormatArg(unsigned long long v) : FValue(uint64_t(v)) {}
    FormatArg(double v) : FValue(v) {}
    FormatArg(const QString& v) : FValue(v) {}
    FormatArg(const char* v) : FValue(QString::fromUtf8(v)) {}
    FormatArg(const std::string& v) : FValue(QString::fromStdString(v)) {}
    FormatArg(const void* v) : FValue(v) {}

    using Value = std::variant<int64_t, uint64_t, double, QString, const void*>;
    const Value& value() const { return FValue; }

private:
    Value FValue;
};

QString Format(const QString& aFormat, std::initializer_list<FormatArg> aArgs);
