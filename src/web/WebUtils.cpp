#include "web/WebUtils.h"

#include <QRandomGenerator>

#include <mutex>

namespace WebUtils {

namespace {

std::mutex SourceLock;
std::function<QString()> ExplorerIDSource;

QString Placeholder(const QString& aName)
{
    return QLatin1Char('%') + aName + QLatin1Char('%');
}

} // namespace

TUrlParam UrlPrm(const QString& aName, const QVariant& aValue)
{
    return TUrlParam(aName, aValue);
}

QString UrlParamText(const QVariant& aValue)
{
    if (!aValue.isValid() || aValue.isNull())
        return QString();
    switch (aValue.typeId()) {
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
        return QString::number(aValue.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return QString::number(aValue.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        // Locale-independent, "." as the decimal point.
        return QString::number(aValue.toDouble(), 'g', 15);
    default:
        return aValue.toString();
    }
}

QString ReplaceUrlParams(const QString& aUrl, const TUrlParams& aParams)
{
    QString result = aUrl;
    for (const TUrlParam& param : aParams)
        result.replace(Placeholder(param.Name), UrlParamText(param.Value), Qt::CaseInsensitive);
    result.replace(QStringLiteral("%session%"), QString(), Qt::CaseInsensitive);
    if (result.contains(QStringLiteral("%random%"), Qt::CaseInsensitive)) {
        const QString random = QString::number(QRandomGenerator::global()->bounded(2147483647));
        result.replace(QStringLiteral("%random%"), random, Qt::CaseInsensitive);
    }
    return result;
}

QString ReplaceUrlCatalogParams(const QString& aUrl, const QString& aExplorerID, int32_t aGroupID, int32_t aAlbumID,
                                int32_t aSongID)
{
    return ReplaceUrlParams(aUrl, {UrlPrm(QStringLiteral("SESSION"), aExplorerID),
                                   UrlPrm(QStringLiteral("GROUP"), aGroupID),
                                   UrlPrm(QStringLiteral("ALBUM"), aAlbumID == 0 ? QVariant() : QVariant(aAlbumID)),
                                   UrlPrm(QStringLiteral("SONG"), aSongID == 0 ? QVariant() : QVariant(aSongID))});
}

QString ReplaceUrlCatalogParams(const QString& aUrl, int32_t aGroupID, int32_t aAlbumID, int32_t aSongID)
{
    return ReplaceUrlCatalogParams(aUrl, SessionExplorerID(), aGroupID, aAlbumID, aSongID);
}

void SetExplorerIDSource(std::function<QString()> aSource)
{
    std::lock_guard<std::mutex> lock(SourceLock);
    ExplorerIDSource = std::move(aSource);
}

QString SessionExplorerID()
{
    std::function<QString()> source;
    {
        std::lock_guard<std::mutex> lock(SourceLock);
        source = ExplorerIDSource;
    }
    return source ? source() : QString();
}

} // namespace WebUtils
