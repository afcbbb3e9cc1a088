#include "downloads/FileNaming.h"

#include "app/TextUtils.h"
#include "log/Exception.h"
#include "log/Format.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The first character (a whole code point) of aText; empty for an empty text.
// It is not cleaned like the other values, but a path separator would add a
// folder level, so separators still become "-".
QString FirstLetter(const QString& aText)
{
    if (aText.isEmpty())
        return QString();
    const qsizetype len = aText.size() >= 2 && aText[0].isHighSurrogate() && aText[1].isLowSurrogate() ? 2 : 1;
    QString letter = aText.left(len);
    if (letter == QLatin1String("/") || letter == QLatin1String("\\"))
        letter = QStringLiteral("-");
    return letter;
}

int PlaceholderArg(QChar aChar)
{
    const char16_t upper = aChar.toUpper().unicode();
    for (const TAudioNameParam& param : AudioNameParams)
        if (param.SourceChar == upper)
            return param.TargetNum;
    return -1;
}

} // namespace

QString FormatFileNameByMask(const QString& aFileMask, const QString& aGroupName, const QString& aAlbumName,
                             const QString& aSongName, const QString& aFileExt, int64_t aTrackNo,
                             int64_t aAlbumYear, bool aReplaceSpaces)
{
    if (aFileExt.isEmpty())
        throw Exception(QStringLiteral("File extension missed!"));

    QString mask = TrimBlanks(aFileMask);
    if (mask.startsWith(QLatin1Char('/')))
        mask.remove(0, 1);

    const QString values[6] = {
        ReplaceInvalidFileChars(aGroupName, aReplaceSpaces),
        ReplaceInvalidFileChars(aAlbumName, aReplaceSpaces),
        Format(QStringLiteral("%.2d"), {aTrackNo}),
        ReplaceInvalidFileChars(aSongName, aReplaceSpaces),
        Format(QStringLiteral("%d"), {aAlbumYear}),
        FirstLetter(aGroupName),
    };

    // The mask is user text: it is read here placeholder by placeholder and
    // never handed to a general formatter.
    QString result;
    result.reserve(mask.size() + 64);
    const qsizetype n = mask.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = mask[i];
        if (c != QLatin1Char('%')) {
            result += c;
            continue;
        }
        const int arg = i + 1 < n ? PlaceholderArg(mask[i + 1]) : -1;
        if (i + 1 < n && mask[i + 1] == QLatin1Char('%')) {
            result += QLatin1Char('%');
        } else if (arg >= 0) {
            result += values[arg];
        } else {
            const QString sequence = mask.mid(i, i + 2 < n && mask[i + 1].isHighSurrogate() ? 3 : 2);
            throw EConvertError(Format(QStringLiteral("Invalid file name mask \"%s\": unsupported sequence \"%s\""),
                                       {aFileMask, sequence}));
        }
        ++i;
    }
    // The extension comes from the store: appended as it is, never read as a mask.
    return result + aFileExt;
}

QString ReplaceInvalidFileChars(const QString& aFileName, bool ReplaceSpaces)
{
    QString result = aFileName;
    for (QChar& c : result) {
        switch (c.unicode()) {
        case u'"':
        case u'*':
        case u'.':
        case u'/':
        case u':':
        case u'<':
        case u'>':
        case u'?':
        case u'\\':
        case u'|':
            c = QLatin1Char('-');
            break;
        case u' ':
            if (ReplaceSpaces)
                c = QLatin1Char('_');
            break;
        default:
            break;
        }
    }
    return result;
}

void EnsureDirectoryExists(const QString& aDir)
{
    if (!aDir.isEmpty() && QFileInfo(aDir).isDir())
        return;
    bool created = false;
    try {
        created = !aDir.isEmpty() && QDir().mkpath(aDir);
    } catch (...) {
        created = false;
    }
    if (!created)
        throw Exception(Format(QStringLiteral("Error creating \"%s\"  directory!"), {aDir}));
}
