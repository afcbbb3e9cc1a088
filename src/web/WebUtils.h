// Address templates from the server settings: placeholders written between
// percent signs (%GROUP%, %SESSION%, ...) are filled from named values, then
// %SESSION% left over is removed and every %RANDOM% gets one random number.
// Nothing is escaped or encoded: values go into the address unchanged.
#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>

namespace WebUtils {

struct TUrlParam {
    TUrlParam() = default;
    TUrlParam(const QString& aName, const QVariant& aValue) : Name(aName), Value(aValue) {}
    static TUrlParam Create(const QString& aName, const QVariant& aValue) { return TUrlParam(aName, aValue); }

    // The placeholder name without percent signs, for example GROUP.
    QString Name;
    // A number (written in decimal) or a text; an empty value writes nothing.
    QVariant Value;
};

using TUrlParams = QList<TUrlParam>;

TUrlParam UrlPrm(const QString& aName, const QVariant& aValue);

// The text a parameter value puts into an address.
QString UrlParamText(const QVariant& aValue);

// Fills %Name% of each parameter in list order (names compared without
// regard to case; text put in by an earlier parameter is searched again by
// the later ones), then removes %SESSION% and fills every %RANDOM% with the
// same random number from 0 to 2147483646.
QString ReplaceUrlParams(const QString& aUrl, const TUrlParams& aParams);

// ReplaceUrlParams with SESSION (the session's explorer identifier), GROUP,
// ALBUM (empty for 0) and SONG (empty for 0).
QString ReplaceUrlCatalogParams(const QString& aUrl, int32_t aGroupID, int32_t aAlbumID, int32_t aSongID);
// The same with the explorer identifier given.
QString ReplaceUrlCatalogParams(const QString& aUrl, const QString& aExplorerID, int32_t aGroupID, int32_t aAlbumID,
                                int32_t aSongID);

// Where ReplaceUrlCatalogParams takes the session's explorer identifier
// from. The session registers itself here when it is created (the address
// templates must not depend on the network library); without a source the
// identifier is empty.
void SetExplorerIDSource(std::function<QString()> aSource);
QString SessionExplorerID();

} // namespace WebUtils
