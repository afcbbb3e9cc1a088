#include "net/XmlUtils.h"

#include "log/Format.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <sstream>

namespace xml {

namespace {

bool IsUnicodeEncoding(const QString& aName)
{
    const QString name = aName.toLower();
    return name.isEmpty() || name == QLatin1String("utf-8") || name == QLatin1String("utf8") ||
           name.startsWith(QLatin1String("utf-16")) || name.startsWith(QLatin1String("utf-32")) ||
           name == QLatin1String("ucs-2") || name == QLatin1String("ucs-4");
}

bool HasUnicodeBom(const QByteArray& aBytes)
{
    return aBytes.startsWith("\xEF\xBB\xBF") || aBytes.startsWith("\xFF\xFE") || aBytes.startsWith("\xFE\xFF");
}

} // namespace

QString DeclaredEncoding(const QByteArray& aBytes)
{
    // The declaration is ASCII in every 8-bit encoding; look only at its line.
    if (!aBytes.startsWith("<?xml"))
        return {};
    const int end = aBytes.indexOf("?>");
    if (end < 0)
        return {};
    const QString decl = QString::fromLatin1(aBytes.left(end));
    static const QRegularExpression re(QStringLiteral("encoding\\s*=\\s*([\"'])([A-Za-z0-9._:-]+)\\1"));
    const QRegularExpressionMatch m = re.match(decl);
    return m.hasMatch() ? m.captured(2) : QString();
}

pugi::xml_encoding LoadXml(pugi::xml_document& aDoc, const QByteArray& aBytes, unsigned aOptions)
{
    QByteArray utf8;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    const QString declared = HasUnicodeBom(aBytes) ? QString() : DeclaredEncoding(aBytes);
    if (!IsUnicodeEncoding(declared)) {
        QStringDecoder decoder(declared.toLatin1().constData());
        if (!decoder.isValid())
            throw EXmlError(Format(QStringLiteral("Unsupported XML encoding \"%s\""), {declared}));
        const QString text = decoder.decode(aBytes);
        if (decoder.hasError())
            throw EXmlError(Format(QStringLiteral("Invalid %s text in XML document"), {declared}));
        utf8 = text.toUtf8();
        encoding = pugi::encoding_utf8;
    }
    const QByteArray& data = utf8.isNull() ? aBytes : utf8;
    const pugi::xml_parse_result result =
        aDoc.load_buffer(data.constData(), size_t(data.size()), aOptions, encoding);
    if (!result)
        throw EXmlError(Format(QStringLiteral("XML parse error: %s at offset %d"),
                               {QString::fromUtf8(result.description()), qint64(result.offset)}));
    return result.encoding;
}

std::unique_ptr<pugi::xml_document> LoadXmlDocument(const QByteArray& aBytes)
{
    auto doc = std::make_unique<pugi::xml_document>();
    LoadXml(*doc, aBytes);
    return doc;
}

QString Text(const pugi::xml_node& aNode)
{
    return QString::fromUtf8(aNode.text().get());
}

QString Attr(const pugi::xml_node& aNode, const char* aName)
{
    return QString::fromUtf8(aNode.attribute(aName).value());
}

QString ChildText(const pugi::xml_node& aNode, const char* aName)
{
    return Text(aNode.child(aName));
}

QString ToXmlText(const pugi::xml_node& aNode)
{
    std::ostringstream out;
    aNode.print(out, "", pugi::format_raw);
    return QString::fromStdString(out.str());
}

} // namespace xml
