#include "log/Format.h"

#include "log/Exception.h"

#include <QLocale>
#include <cmath>

namespace {

[[noreturn]] void FormatError(const QString& aFormat)
{
    throw EConvertError(QStringLiteral("Format '%1' invalid or incompatible with argument").arg(aFormat));
}

QString Pad(const QString& aText, int aWidth, bool aLeftAlign)
{
    if (aWidth <= aText.size())
        return aText;
    const QString fill(aWidth - aText.size(), QLatin1Char(' '));
    return aLeftAlign ? aText + fill : fill + aText;
}

// Thousands separators with "," and "." as decimal point, as the run-time's %n does
// with the fixed number format.
QString WithThousands(const QString& aFixed)
{
    QString intPart = aFixed;
    QString rest;
    const int dot = aFixed.indexOf(QLatin1Char('.'));
    if (dot >= 0) {
        intPart = aFixed.left(dot);
        rest = aFixed.mid(dot);
    }
    QString sign;
    if (intPart.startsWith(QLatin1Char('-'))) {
        sign = QStringLiteral("-");
        intPart.remove(0, 1);
    }
    for (int i = intPart.size() - 3; i > 0; i -= 3)
        intPart.insert(i, QLatin1Char(','));
    return sign + intPart + rest;
}

} // namespace

QString Format(const QString& aFormat, std::initializer_list<FormatArg> aArgs)
{
    const std::vector<FormatArg> args(aArgs);
    QString out;
    out.reserve(aFormat.size() + 16);
    size_t next = 0;
    const int n = aFormat.size();
    int i = 0;
    while (i < n) {
        const QChar c = aFormat[i];
        if (c != QLatin1Char('%')) {
            out += c;
            ++i;
            continue;
        }
        ++i;
        if (i >= n)
            FormatError(aFormat);
        if (aFormat[i] == QLatin1Char('%')) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        // [index:]
        int j = i;
        while (j < n && aFormat[j].isDigit())
            ++j;
        if (j < n && j > i && aFormat[j] == QLatin1Char(':')) {
            next = size_t(aFormat.mid(i, j - i).toInt());
            i = j + 1;
        }
        bool left = false;
        if (i < n && aFormat[i] == QLatin1Char('-')) {
            left = true;
            ++i;
        }
        int width = -1;
        j = i;
        while (j < n && aFormat[j].isDigit())
            ++j;
        if (j > i) {
            width = aFormat.mid(i, j - i).toInt();
            i = j;
        }
        int prec = -1;
        if (i < n && aFormat[i] == QLatin1Char('.')) {
            ++i;
            j = i;
            while (j < n && aFormat[j].isDigit())
                ++j;
            prec = j > i ? aFormat.mid(i, j - i).toInt() : 0;
            i = j;
        }
        if (i >= n)
            FormatError(aFormat);
        const char type = aFormat[i].toLower().toLatin1();
        ++i;
        if (next >= args.size())
            FormatError(aFormat);
        const FormatArg::Value& v = args[next++].value();
        QString text;
        switch (type) {
        case 'd':
        case 'u': {
            QString digits;
            bool negative = false;
            if (const auto* s = std::get_if<int64_t>(&v)) {
                if (type == 'u' && *s < 0)
                    digits = QString::number(uint64_t(*s));
                else {
                    negative = *s < 0;
                    digits = QString::number(negative ? -(uint64_t(*s)) : uint64_t(*s));
                }
            } else if (const auto* u = std::get_if<uint64_t>(&v)) {
                digits = QString::number(*u);
            } else {
                FormatError(aFormat);
            }
            if (prec > digits.size())
                digits = QString(prec - digits.size(), QLatin1Char('0')) + digits;
            text = negative ? QStringLiteral("-") + digits : digits;
            break;
        }
        case 'x': {
            uint64_t value = 0;
            if (const auto* s = std::get_if<int64_t>(&v))
                value = uint64_t(*s);
            else if (const auto* u = std::get_if<uint64_t>(&v))
                value = *u;
            else if (const auto* p = std::get_if<const void*>(&v))
                value = uint64_t(reinterpret_cast<uintptr_t>(*p));
            else
                FormatError(aFormat);
            text = QString::number(value, 16);
            text = text.toUpper(); // upper-case digits for %x and %X alike
            if (prec > text.size())
                text = QString(prec - text.size(), QLatin1Char('0')) + text;
            break;
        }
        case 'f':
        case 'e':
        case 'g':
        case 'n': {
            double value = 0;
            if (const auto* d = std::get_if<double>(&v))
                value = *d;
            else if (const auto* s = std::get_if<int64_t>(&v))
                value = double(*s);
            else if (const auto* u = std::get_if<uint64_t>(&v))
                value = double(*u);
            else
                FormatError(aFormat);
            const QLocale c = QLocale::c();
            if (type == 'f')
                text = c.toString(value, 'f', prec < 0 ? 2 : prec);
            else if (type == 'n')
                text = WithThousands(c.toString(value, 'f', prec < 0 ? 2 : prec));
            else if (type == 'e')
                text = c.toString(value, 'e', prec < 0 ? 15 : std::max(prec - 1, 0)).toUpper();
            else
                text = c.toString(value, 'g', prec < 0 ? 15 : prec).toUpper();
            break;
        }
        case 's': {
            const auto* s = std::get_if<QString>(&v);
            if (!s)
                FormatError(aFormat);
            text = prec >= 0 ? s->left(prec) : *s;
            break;
        }
        case 'p': {
            const auto* p = std::get_if<const void*>(&v);
            if (!p)
                FormatError(aFormat);
            text = QString::number(uint64_t(reinterpret_cast<uintptr_t>(*p)), 16).toUpper().rightJustified(8, QLatin1Char('0'));
            break;
        }
        default:
            FormatError(aFormat);
        }
        out += Pad(text, width, left);
    }
    return out;
}
