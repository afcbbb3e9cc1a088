#include "log/Exception.h"
#include "log/Format.h"

#include <gtest/gtest.h>

TEST(Format, PlaceholdersAndErrors)
{
    struct Case {
        QString format;
        std::initializer_list<FormatArg> args;
        QString expected;
    };
    const Case cases[] = {
        {QStringLiteral("File \"%s\" delete error: %s"), {"a.log", "denied"}, QStringLiteral("File \"a.log\" delete error: denied")},
        {QStringLiteral("%d|%5d|%-5d|%.3d"), {7, 42, 42, 5}, QStringLiteral("7|   42|42   |005")},
        {QStringLiteral("%x %.8X"), {255, 48879}, QStringLiteral("FF 0000BEEF")},
        {QStringLiteral("%.2f %n"), {1.005, 1234567.891}, QStringLiteral("1.00 1,234,567.89")},
        {QStringLiteral("100%% %s"), {"done"}, QStringLiteral("100% done")},
        {QStringLiteral("%1:s %0:s"), {"a", "b"}, QStringLiteral("b a")},
        {QStringLiteral("%d"), {int64_t(-9000000000LL)}, QStringLiteral("-9000000000")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Format(c.format, c.args), c.expected) << c.format.toStdString();

    // User text never reads past the arguments.
    EXPECT_THROW(Format(QStringLiteral("%s %s"), {"one"}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("%d"), {"text"}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("%s"), {5}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("%q"), {5}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("trailing %"), {}), EConvertError);
}
