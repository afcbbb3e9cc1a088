// The fixed number format of numbers exchanged with the store: "." is the
// decimal separator and "," the thousands separator, whatever the user's
// locale. Everything here is independent of QLocale and of the C locale.
#pragma once

#include "app/TextUtils.h"
#include "log/Exception.h"
#include "log/Format.h"

#include <QString>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

struct TSEFormatSettings {
    char16_t DecimalSeparator;
    char16_t ThousandSeparator;
};

inline constexpr TSEFormatSettings SE_FormatSettings{u'.', u','};

// Reads a decimal number: optional blanks around it, an optional sign,
// digits with at most one decimal separator, an optional exponent ("E" or
// "e", optional sign, digits). Thousands separators, hexadecimal, "inf" and
// "nan" are not numbers, nor is a value out of the double range.
inline bool SETryStrToFloat(const QString& aText, double& aValue)
{
    const QString trimmed = TrimBlanks(aText);
    const qsizetype end = trimmed.size();

    std::string text;
    text.reserve(size_t(end));
    bool negative = false;
    qsizetype i = 0;
    if (i < end && (trimmed[i] == QLatin1Char('+') || trimmed[i] == QLatin1Char('-'))) {
        negative = trimmed[i] == QLatin1Char('-');
        ++i;
    }
    bool digits = false;
    bool separator = false;
    for (; i < end; ++i) {
        const char16_t ch = trimmed[i].unicode();
        if (ch >= u'0' && ch <= u'9') {
            digits = true;
            text += char(ch);
        } else if (ch == SE_FormatSettings.DecimalSeparator && !separator) {
            separator = true;
            text += '.';
        } else {
            break;
        }
    }
    if (!digits)
        return false;
    if (i < end && (trimmed[i] == QLatin1Char('e') || trimmed[i] == QLatin1Char('E'))) {
        text += 'e';
        ++i;
        if (i < end && (trimmed[i] == QLatin1Char('+') || trimmed[i] == QLatin1Char('-')))
            text += char(trimmed[i++].unicode());
        bool expDigits = false;
        for (; i < end && trimmed[i].unicode() >= u'0' && trimmed[i].unicode() <= u'9'; ++i) {
            expDigits = true;
            text += char(trimmed[i].unicode());
        }
        if (!expDigits)
            return false;
    }
    if (i != end)
        return false;

    double value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const std::from_chars_result res = std::from_chars(first, last, value, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != last || !std::isfinite(value))
        return false;
    aValue = negative ? -value : value;
    return true;
}

// The same, raising EConvertError for text that is not a number.
inline double SEStrToFloat(const QString& aText)
{
    double value = 0;
    if (!SETryStrToFloat(aText, value))
        throw EConvertError(Format(QStringLiteral("'%s' is not a valid floating point value"), {aText}));
    return value;
}

// General format with up to 15 significant digits, no thousands separators:
// "0", "45000.5", "0.15", "-2.5"; an exponent ("1E20", "1.5E-6") only for
// values of 1E15 and more or below 1E-5.
inline QString SEFloatToStr(double aValue)
{
    if (std::isnan(aValue))
        return QStringLiteral("NAN");
    if (std::isinf(aValue))
        return aValue < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (aValue == 0)
        return QStringLiteral("0");

    // 15 significant digits in scientific form: d.ddddddddddddddde±x
    char buf[64];
    const std::to_chars_result res =
        std::to_chars(buf, buf + sizeof(buf), std::fabs(aValue), std::chars_format::scientific, 14);
    const std::string sci(buf, res.ptr);
    const size_t ePos = sci.find('e');
    std::string digits = sci.substr(0, 1) + sci.substr(2, ePos - 2);
    const int exponent = std::atoi(sci.c_str() + ePos + 1);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    std::string out = aValue < 0 ? "-" : "";
    if (exponent >= 15 || exponent < -5) {
        out += digits[0];
        if (digits.size() > 1)
            out += '.' + digits.substr(1);
        out += 'E' + std::to_string(exponent);
    } else if (exponent < 0) {
        out += "0." + std::string(size_t(-exponent - 1), '0') + digits;
    } else {
        const size_t intLen = size_t(exponent) + 1;
        if (digits.size() <= intLen) {
            out += digits + std::string(intLen - digits.size(), '0');
        } else {
            out += digits.substr(0, intLen) + '.' + digits.substr(intLen);
        }
    }
    return QString::fromLatin1(out.c_str());
}
