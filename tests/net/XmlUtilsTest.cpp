#include "net/XmlUtils.h"

#include <QStringEncoder>

#include <gtest/gtest.h>

namespace {

QByteArray Encode(const QString& aText, const char* aEncoding)
{
    QStringEncoder encoder(aEncoding);
    return encoder.encode(aText);
}

const QString Cyrillic = QStringLiteral("Съешь же ещё этих мягких булок");

} // namespace

TEST(XmlUtils, DocumentsComeOutAsUnicodeWhateverTheirDeclaredEncoding)
{
    struct TCase {
        const char* Name;
        QByteArray Bytes;
    };
    const QString doc = QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>\n<r a=\"%2\">%2</r>");
    const QString single = QStringLiteral("<?xml version='1.0' encoding='%1' standalone='yes'?><r a='%2'>%2</r>");
    const TCase cases[] = {
        {"utf-8", doc.arg(QStringLiteral("utf-8"), Cyrillic).toUtf8()},
        {"windows-1251", Encode(doc.arg(QStringLiteral("windows-1251"), Cyrillic), "windows-1251")},
        {"WINDOWS-1251 in single quotes", Encode(single.arg(QStringLiteral("WINDOWS-1251"), Cyrillic), "windows-1251")},
        {"koi8-r", Encode(doc.arg(QStringLiteral("koi8-r"), Cyrillic), "koi8-r")},
        {"no declaration", (QStringLiteral("<r a=\"%1\">%1</r>").arg(Cyrillic)).toUtf8()},
        {"UTF-8 byte-order mark wins", QByteArray("\xEF\xBB\xBF") + doc.arg(QStringLiteral("windows-1251"), Cyrillic).toUtf8()},
        {"UTF-16 with byte-order mark", Encode(QChar(0xFEFF) + doc.arg(QStringLiteral("utf-16"), Cyrillic), "utf-16le")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto parsed = xml::LoadXmlDocument(c.Bytes);
        const pugi::xml_node root = parsed->document_element();
        EXPECT_EQ(xml::Text(root), Cyrillic);
        EXPECT_EQ(xml::Attr(root, "a"), Cyrillic);
    }
    EXPECT_EQ(xml::DeclaredEncoding("<?xml version=\"1.0\" encoding=\"windows-1251\"?><r/>"), QStringLiteral("windows-1251"));
    EXPECT_EQ(xml::DeclaredEncoding("<r/>"), QString());
}

TEST(XmlUtils, BadDocumentsRaise)
{
    EXPECT_THROW(xml::LoadXmlDocument("<?xml version=\"1.0\" encoding=\"x-no-such\"?><r/>"), EXmlError);
    EXPECT_THROW(xml::LoadXmlDocument("<r><unclosed></r>"), EXmlError);
    EXPECT_THROW(xml::LoadXmlDocument(""), EXmlError);
    try {
        xml::LoadXmlDocument("not xml");
        ADD_FAILURE() << "parsed";
    } catch (const EXmlError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("XML parse error"))) << e.Message().toStdString();
    }
}

TEST(XmlUtils, AccessorsGiveEmptyTextForWhatIsMissing)
{
    const auto doc = xml::LoadXmlDocument("<r><a x=\"1\">text</a><b/><c><![CDATA[cdata]]></c></r>");
    const pugi::xml_node root = doc->document_element();
    EXPECT_EQ(xml::ChildText(root, "a"), QStringLiteral("text"));
    EXPECT_EQ(xml::ChildText(root, "b"), QString());
    EXPECT_EQ(xml::ChildText(root, "c"), QStringLiteral("cdata"));
    EXPECT_EQ(xml::ChildText(root, "missing"), QString());
    EXPECT_EQ(xml::Attr(root.child("a"), "x"), QStringLiteral("1"));
    EXPECT_EQ(xml::Attr(root.child("a"), "y"), QString());
    EXPECT_EQ(xml::ToXmlText(root.child("a")), QStringLiteral("<a x=\"1\">text</a>"));
}
