#include "catalog/CatalogTypes.h"

#include "app/TextUtils.h"
#include "log/Exception.h"
#include "log/Format.h"

#include <charconv>
#include <cmath>

namespace {

// Day 0 of the store's day numbers.
const QDate CatalogDayZero(1899, 12, 30);
// 1 January of the year 1 and 31 December 9999.
constexpr int64_t MinCatalogDay = -693593;
constexpr int64_t MaxCatalogDay = 2958465;

[[noreturn]] void RaiseNotANumber(std::string_view aValue)
{
    throw EConvertError(Format(QStringLiteral("'%s' is not a valid floating point value"),
                               {QString::fromUtf8(aValue.data(), qsizetype(aValue.size()))}));
}

} // namespace

QString GetAlbumKindName(TAlbumKind aKind)
{
    switch (aKind) {
    case TAlbumKind::Album:
        return QStringLiteral("Album");
    case TAlbumKind::Compilation:
        return QStringLiteral("Compilation");
    case TAlbumKind::SingleAlbum:
        return QStringLiteral("Single");
    case TAlbumKind::Remix:
        return QStringLiteral("Remix");
    case TAlbumKind::LiveShow:
        return QStringLiteral("Live show");
    }
    return QStringLiteral("Unknown");
}

TAlbumKind GetAlbumKindFixed(int64_t aValue)
{
    if (aValue >= int64_t(TAlbumKind::Album) && aValue <= int64_t(TAlbumKind::LiveShow))
        return TAlbumKind(aValue);
    return TAlbumKind::Album;
}

QString AlbumUID(int32_t aGroupID, int32_t aAlbumID)
{
    return QString::number(aGroupID) + QLatin1Char('.') + QString::number(aAlbumID);
}

QDate CatalogDayToDate(int64_t aDay)
{
    if (aDay < MinCatalogDay || aDay > MaxCatalogDay)
        return QDate();
    return CatalogDayZero.addDays(aDay);
}

int64_t DateToCatalogDay(const QDate& aDate)
{
    return CatalogDayZero.daysTo(aDate);
}

QDate StrToCatalogDate(std::string_view aValue)
{
    // from_chars reads the C format whatever the locale: a full stop, no
    // group separators. It takes no plus sign, so one is skipped here.
    std::string_view text = TrimBlanks(aValue);
    if (!text.empty() && text.front() == '+' && text.size() > 1 && text[1] != '-')
        text.remove_prefix(1);
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value))
        RaiseNotANumber(aValue);
    const double day = std::trunc(value);
    if (day < double(MinCatalogDay) || day > double(MaxCatalogDay))
        throw EConvertError(Format(QStringLiteral("'%s' is not a valid date"),
                                   {QString::fromUtf8(aValue.data(), qsizetype(aValue.size()))}));
    return CatalogDayToDate(int64_t(day));
}

QDate StrToCatalogDate(const QString& aValue)
{
    const QByteArray bytes = aValue.toUtf8();
    return StrToCatalogDate(std::string_view(bytes.constData(), size_t(bytes.size())));
}

TAlbumType ConvertToAlbumType(int64_t aValue)
{
    switch (aValue) {
    case 5:
        return atOE;
    case 6:
        return atOEEX;
    default:
        return atVIP;
    }
}
