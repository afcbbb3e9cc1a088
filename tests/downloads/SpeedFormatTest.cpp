#include "downloads/SpeedFormat.h"
#include "log/Exception.h"

#include <QLocale>

#include <cmath>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Sets the user's locale for one test.
class LocaleGuard {
public:
    explicit LocaleGuard(const QLocale& aLocale) : FOld(QLocale()) { QLocale::setDefault(aLocale); }
    ~LocaleGuard() { QLocale::setDefault(FOld); }

private:
    QLocale FOld;
};

} // namespace

TEST(TickCount, DiffAndWrapAround)
{
    EXPECT_EQ(TickCountDiff(100, 250), 150u);
    EXPECT_EQ(TickCountDiff(7, 7), 0u);
    // Five below the largest value to 5.
    EXPECT_EQ(TickCountDiff(4294967295u - 5, 5), 10u);
    EXPECT_EQ(TickCountDiff(4294967295u, 0), 0u);

    const uint64_t a = GetTickCount64();
    const uint32_t b = GetTickCount32();
    EXPECT_LE(TickCountDiff(uint32_t(a), b), 1000u);
    EXPECT_GE(GetTickCount64(), a);
}

TEST(SpeedCalculator, Window)
{
    TDownloadSpeedCalculator calc(100);
    EXPECT_EQ(calc.GetSpeed(), 0);
    calc.AddAt(1000, 0);
    EXPECT_EQ(calc.GetSpeed(), 0); // a single slot
    calc.AddAt(1000, 150);
    EXPECT_EQ(calc.GetSpeed(), 10000); // 1000 bytes in 0.1 s

    // Reports within the same tenth add up in one slot.
    calc.AddAt(500, 160);
    calc.AddAt(500, 199);
    EXPECT_EQ(calc.GetSpeed(), 20000);

    calc.Reset();
    EXPECT_EQ(calc.GetSpeed(), 0);
    calc.AddAt(1000, 5000);
    EXPECT_EQ(calc.GetSpeed(), 0);
}

TEST(SpeedCalculator, RingSlidesAfterItFills)
{
    TDownloadSpeedCalculator calc(100);
    // 100 slots, one per tenth, 100 bytes each.
    for (int i = 0; i < 100; ++i)
        calc.AddAt(100, uint64_t(i) * 100);
    // Oldest slot 0 (time 0), newest slot 99 (time 99): 9900 bytes over 9.9 s.
    EXPECT_EQ(calc.GetSpeed(), 1000);
    // Slot 0 is overwritten: the window is times 1..100; a burst shows at once.
    calc.AddAt(9900, 100 * 100);
    EXPECT_EQ(calc.GetSpeed(), std::llround((9800.0 + 9900) / 9.9));
    // A gap without data gets no slots: the window spans it.
    calc.AddAt(100, 1000 * 100);
    EXPECT_EQ(calc.GetSpeed(), std::llround((9700.0 + 9900 + 100) / ((1000 - 2) / 10.0)));

    // A one-slot ring never divides by a zero span.
    TDownloadSpeedCalculator one(1);
    one.AddAt(10, 0);
    one.AddAt(10, 1000);
    EXPECT_EQ(one.GetSpeed(), 0);

    EXPECT_THROW(TDownloadSpeedCalculator(0), Exception);
}

TEST(SpeedCalculator, AddFromSeveralThreads)
{
    TDownloadSpeedCalculator calc(100);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&calc] {
            for (int i = 0; i < 2000; ++i) {
                calc.AddAt(1, 0);
                calc.GetSpeed();
            }
        });
    for (std::thread& t : threads)
        t.join();
    // Everything landed in the one slot of time 0: the next slot shows the total.
    calc.AddAt(0, 100);
    EXPECT_EQ(calc.GetSpeed(), 0); // no bytes after the oldest slot
    calc.AddAt(8000, 200);
    EXPECT_EQ(calc.GetSpeed(), 8000 * 10 / 2);
}

TEST(DisplayFormat, SizesCostsAndDurations)
{
    LocaleGuard c(QLocale::c());
    const std::pair<uint32_t, const char*> sizes[] = {
        {0, "0.00 KB"},          {500, "0.49 KB"},        {999, "0.98 KB"},
        {1000, "1.0 KB"},        {999999, "976.6 KB"},    {1000000, "0.95 MB"},
        {5000000, "4.77 MB"},    {999999999, "953.67 MB"}, {1000000000, "0.93 GB"},
        {3000000000u, "2.79 GB"}, {4294967295u, "4.00 GB"},
    };
    for (const auto& [size, text] : sizes)
        EXPECT_EQ(FileSizeToStr(size), QString::fromLatin1(text)) << size;

    EXPECT_EQ(FileSizeToStr(QVariant(qint64(10000))), QStringLiteral("9.8 KB"));
    EXPECT_EQ(FileSizeToStr(QVariant(500.7)), QStringLiteral("0.49 KB"));
    EXPECT_EQ(FileSizeToStr(QVariant()), QString());
    EXPECT_EQ(FileSizeToStr(QVariant(QStringLiteral("12"))), QString());

    EXPECT_EQ(FileCostToStr(TCurrency::FromDouble(0.15)), QStringLiteral("$0.15"));
    EXPECT_EQ(FileCostToStr(TCurrency::FromDouble(1234.5)), QStringLiteral("$1234.50"));
    EXPECT_EQ(FileCostToStr(TCurrency{}), QStringLiteral("$0.00"));

    const std::pair<uint32_t, const char*> durations[] = {
        {0, "0:00"}, {59, "0:59"}, {61, "1:01"}, {3599, "59:59"}, {3600, "1:00:00"}, {3725, "1:02:05"},
        {360000, "100:00:00"},
    };
    for (const auto& [seconds, text] : durations)
        EXPECT_EQ(SecondsToStr(seconds), QString::fromLatin1(text)) << seconds;
}

TEST(DisplayFormat, UsesTheUsersDecimalSeparator)
{
    LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FileSizeToStr(500u), QStringLiteral("0,49 KB"));
    EXPECT_EQ(FileSizeToStr(999999u), QStringLiteral("976,6 KB"));
    EXPECT_EQ(FileCostToStr(TCurrency::FromDouble(1234.5)), QStringLiteral("$1234,50"));
}
