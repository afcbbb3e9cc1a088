#include "web/UrlUtils.h"

namespace UrlUtils {

TUrlParam UrlParam(const QString& aName, const QString& aValue)
{
    return TUrlParam{aName, aValue};
}

QString ProcessUrlParams(const QString& aUrl, const TUrlParams& aParams)
{
    QString result = aUrl;
    for (const TUrlParam& param : aParams) {
        // An empty marker would match between every two characters.
        if (!param.Name.isEmpty())
            result.replace(param.Name, param.Value, Qt::CaseInsensitive);
    }
    return result;
}

} // namespace UrlUtils
