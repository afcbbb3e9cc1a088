#include "app/SEFormat.h"
#include "common/CommaLocale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

namespace {

void ExpectNumbers()
{
    const std::pair<const char*, std::optional<double>> reads[] = {
        {"0.15", 0.15},     {"45000.5", 45000.5}, {"-2.5", -2.5},   {"+7", 7.0},      {" 12 ", 12.0},
        {".5", 0.5},        {"5.", 5.0},          {"1e3", 1000.0},  {"1.5E-2", 0.015}, {"0", 0.0},
        {"0,15", {}},       {"1,000.5", {}},      {"", {}},         {" ", {}},        {"abc", {}},
        {"1.2.3", {}},      {"inf", {}},          {"nan", {}},      {"0x10", {}},     {"1e", {}},
        {"1e400", {}},      {"--1", {}},          {".", {}},        {"12a", {}},
    };
    for (const auto& [text, expected] : reads) {
        SCOPED_TRACE(text);
        double value = -99;
        const bool ok = SETryStrToFloat(QString::fromLatin1(text), value);
        ASSERT_EQ(ok, expected.has_value());
        if (ok)
            EXPECT_DOUBLE_EQ(value, *expected);
        else
            EXPECT_THROW(SEStrToFloat(QString::fromLatin1(text)), EConvertError);
    }
    EXPECT_EQ(SEStrToFloat(QStringLiteral("45000.25")), 45000.25);

    const std::pair<double, const char*> writes[] = {
        {0.0, "0"},          {45000.5, "45000.5"}, {0.15, "0.15"},       {-2.5, "-2.5"},
        {100.0, "100"},      {1e20, "1E20"},       {1.5e-6, "1.5E-6"},   {0.00001, "0.00001"},
        {123456789012345.0, "123456789012345"},    {1e15, "1E15"},       {1.0 / 3.0, "0.333333333333333"},
        {45678.123456789, "45678.123456789"},
    };
    for (const auto& [value, text] : writes) {
        EXPECT_EQ(SEFloatToStr(value), QString::fromLatin1(text)) << text;
        double back = 0;
        EXPECT_TRUE(SETryStrToFloat(SEFloatToStr(value), back)) << text;
    }
}

TEST(SEFormat, ReadsAndWritesWithAFullStop)
{
    EXPECT_EQ(SE_FormatSettings.DecimalSeparator, u'.');
    EXPECT_EQ(SE_FormatSettings.ThousandSeparator, u',');
    ExpectNumbers();
}

TEST(SEFormat, SameUnderACommaLocale)
{
    filestest::CommaLocale comma;
    if (!comma.CLocaleSet())
        std::printf("note: no C library locale with a decimal comma; Qt's default locale only\n");
    ExpectNumbers();
}

} // namespace
