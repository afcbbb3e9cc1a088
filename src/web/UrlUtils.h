// Literal markers in an address (the order page's %GROUP%, %FILES%, ...)
// replaced by values. Unlike WebUtils the marker is given whole, percent
// signs included, and nothing else is touched: a marker without a parameter
// stays in the address. Nothing is encoded.
#pragma once

#include <QList>
#include <QString>

namespace UrlUtils {

struct TUrlParam {
    // The complete marker, for example %GROUP%.
    QString Name;
    QString Value;
};

using TUrlParams = QList<TUrlParam>;

TUrlParam UrlParam(const QString& aName, const QString& aValue);

// Replaces every occurrence of each marker in list order, letters compared
// without regard to case; text put in by an earlier parameter is searched
// again by the later ones.
QString ProcessUrlParams(const QString& aUrl, const TUrlParams& aParams);

} // namespace UrlUtils
