#include "web/UrlUtils.h"
#include "web/WebUtils.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace WebUtils;

TEST(WebUtils, FillsPlaceholdersWithoutRegardToCase)
{
    struct Case {
        const char* url;
        TUrlParams params;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h/c?g=%GROUP%", {UrlPrm("GROUP", 17)}, "http://h/c?g=17"},
        {"http://h/c?g=%group%&h=%Group%", {UrlPrm("GROUP", 17)}, "http://h/c?g=17&h=17"},
        {"%GROUP%/%GROUP%", {UrlPrm("group", QStringLiteral("x"))}, "x/x"},
        // An empty value writes nothing; a placeholder without a parameter stays.
        {"a=%A%&b=%B%", {UrlPrm("A", QVariant())}, "a=&b=%B%"},
        // Without a SESSION parameter the placeholder is removed.
        {"p?s=%SESSION%&t=%Session%", {}, "p?s=&t="},
        {"p?s=%SESSION%", {UrlPrm("SESSION", QStringLiteral("ex1"))}, "p?s=ex1"},
        // Sequential: text put in by an earlier parameter is filled by a later one.
        {"p?x=%FIRST%", {UrlPrm("FIRST", QStringLiteral("%SECOND%")), UrlPrm("SECOND", 5)}, "p?x=5"},
        // ... but never by an earlier one.
        {"p?x=%SECOND%", {UrlPrm("FIRST", 1), UrlPrm("SECOND", QStringLiteral("%FIRST%"))}, "p?x=%FIRST%"},
        // Nothing is encoded.
        {"p?n=%NAME%", {UrlPrm("NAME", QStringLiteral("Rock & Roll Ärger/ä"))}, "p?n=Rock & Roll Ärger/ä"},
        {"%N%", {UrlPrm("N", qint64(-5000000000LL))}, "-5000000000"},
        {"%N%", {UrlPrm("N", 2.5)}, "2.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(ReplaceUrlParams(QString::fromUtf8(c.url), c.params), QString::fromUtf8(c.expected));
    }
}

TEST(WebUtils, RandomIsOneNumberPerCall)
{
    static const QRegularExpression pattern(QStringLiteral("^a=(\\d+)&b=(\\d+)$"));
    const QRegularExpressionMatch first = pattern.match(ReplaceUrlParams(QStringLiteral("a=%RANDOM%&b=%random%"), {}));
    ASSERT_TRUE(first.hasMatch());
    EXPECT_EQ(first.captured(1), first.captured(2));
    EXPECT_LE(first.captured(1).toLongLong(), 2147483646LL);
    // Two calls: different numbers (a clash of three calls in a row is not a fault).
    QSet<QString> numbers;
    for (int i = 0; i < 3; ++i)
        numbers.insert(pattern.match(ReplaceUrlParams(QStringLiteral("a=%RANDOM%&b=%RANDOM%"), {})).captured(1));
    EXPECT_GT(numbers.size(), 1);
}

TEST(WebUtils, CatalogParams)
{
    const QString url = QStringLiteral("c?s=%SESSION%&g=%GROUP%&album=%ALBUM%&song=%SONG%");
    EXPECT_EQ(ReplaceUrlCatalogParams(url, QStringLiteral("ex"), 12, 0, 0), QStringLiteral("c?s=ex&g=12&album=&song="));
    EXPECT_EQ(ReplaceUrlCatalogParams(url, QStringLiteral("ex"), 12, 3, 4), QStringLiteral("c?s=ex&g=12&album=3&song=4"));
    EXPECT_EQ(ReplaceUrlCatalogParams(url, QString(), 0, 0, 0), QStringLiteral("c?s=&g=0&album=&song="));

    // The four-argument form takes the session's identifier from its source.
    EXPECT_EQ(ReplaceUrlCatalogParams(url, 1, 2, 0), QStringLiteral("c?s=&g=1&album=2&song="));
    SetExplorerIDSource([] { return QStringLiteral("E42"); });
    EXPECT_EQ(ReplaceUrlCatalogParams(url, 1, 2, 0), QStringLiteral("c?s=E42&g=1&album=2&song="));
    SetExplorerIDSource({});
    EXPECT_EQ(SessionExplorerID(), QString());
}

TEST(UrlUtils, ReplacesLiteralMarkersOnly)
{
    using UrlUtils::ProcessUrlParams;
    using UrlUtils::UrlParam;
    struct Case {
        const char* url;
        UrlUtils::TUrlParams params;
        const char* expected;
    };
    const Case cases[] = {
        {"o?g=%GROUP%&a=%album%", {UrlParam("%GROUP%", "17"), UrlParam("%ALBUM%", "3")}, "o?g=17&a=3"},
        // No fixed placeholders of its own: SESSION and RANDOM stay.
        {"o?s=%SESSION%&r=%RANDOM%", {}, "o?s=%SESSION%&r=%RANDOM%"},
        // Any literal text is a marker.
        {"o?ids=IDS", {UrlParam("ids", "1,2,3")}, "o?1,2,3=1,2,3"},
        {"o?x=%A%", {UrlParam("%A%", "%B%"), UrlParam("%B%", "done")}, "o?x=done"},
        {"o?x=%A%", {UrlParam("%A%", "a b&c=ü")}, "o?x=a b&c=ü"},
        {"o?x=%A%", {UrlParam("", "boom")}, "o?x=%A%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(ProcessUrlParams(QString::fromUtf8(c.url), c.params), QString::fromUtf8(c.expected));
    }
}
