#include "downloads/SpeedFormat.h"

#include "log/Exception.h"
#include "log/Format.h"

#include <QLocale>
#include <chrono>
#include <cmath>

uint64_t GetTickCount64()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t GetTickCount32()
{
    return uint32_t(GetTickCount64());
}

uint32_t TickCountDiff(uint32_t aStart, uint32_t aEnd)
{
    if (aEnd >= aStart)
        return aEnd - aStart;
    return 4294967295u - aStart + aEnd;
}

TDownloadSpeedCalculator::TDownloadSpeedCalculator(uint32_t aCount)
    : FCount(aCount)
{
    if (aCount == 0)
        throw Exception(QStringLiteral("The speed estimator needs at least one slot!"));
    FHistory.resize(aCount);
}

int32_t TDownloadSpeedCalculator::CalcNextIndex() const
{
    if (FIndex == -1 || uint32_t(FIndex) == FCount - 1)
        return 0;
    return FIndex + 1;
}

void TDownloadSpeedCalculator::Add(int64_t aBlockSize)
{
    AddAt(aBlockSize, GetTickCount64());
}

void TDownloadSpeedCalculator::AddAt(int64_t aBlockSize, uint64_t aTickCount)
{
    const int64_t time = int64_t(aTickCount / 100);
    std::lock_guard<std::mutex> lock(FLock);
    if (FIndex != -1 && FHistory[size_t(FIndex)].Time == time) {
        FHistory[size_t(FIndex)].Value += aBlockSize;
        return;
    }
    const int64_t previous = FIndex == -1 ? 0 : FHistory[size_t(FIndex)].Value;
    FIndex = CalcNextIndex();
    FHistory[size_t(FIndex)] = TDownloadHistroyRec{time, previous + aBlockSize};
    if (uint32_t(FIndex) == FCount - 1)
        FFilled = true;
}

int64_t TDownloadSpeedCalculator::GetSpeed() const
{
    std::lock_guard<std::mutex> lock(FLock);
    if (FIndex == -1 || (FIndex == 0 && !FFilled))
        return 0;
    const TDownloadHistroyRec& newest = FHistory[size_t(FIndex)];
    const TDownloadHistroyRec& oldest = FHistory[FFilled ? size_t(CalcNextIndex()) : 0];
    // Slots only ever move forward in time; a window without a positive span
    // (a single slot after a wrap of the ring) has no speed.
    const int64_t span = newest.Time - oldest.Time;
    if (span <= 0)
        return 0;
    return int64_t(std::nearbyint(double(newest.Value - oldest.Value) / (double(span) / 10.0)));
}

void TDownloadSpeedCalculator::Reset()
{
    std::lock_guard<std::mutex> lock(FLock);
    FIndex = -1;
    FFilled = false;
}

namespace {

// "%.Nf" with the user's decimal separator (no thousands separators).
QString LocalFixed(double aValue, int aDecimals)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(aValue, 'f', aDecimals);
}

} // namespace

QString FileSizeToStr(uint32_t aSize)
{
    const double size = aSize;
    if (aSize < 1000)
        return LocalFixed(size / 1024.0, 2) + QStringLiteral(" KB");
    if (aSize < 1000000)
        return LocalFixed(size / 1024.0, 1) + QStringLiteral(" KB");
    if (aSize < 1000000000)
        return LocalFixed(size / (1024.0 * 1024.0), 2) + QStringLiteral(" MB");
    return LocalFixed(size / (1024.0 * 1024.0 * 1024.0), 2) + QStringLiteral(" GB");
}

QString FileSizeToStr(const QVariant& aSize)
{
    switch (aSize.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return FileSizeToStr(uint32_t(int32_t(aSize.toLongLong())));
    case QMetaType::Double:
    case QMetaType::Float: {
        const double value = std::trunc(aSize.toDouble());
        if (!std::isfinite(value) || std::fabs(value) > 9.0e18)
            return QString();
        return FileSizeToStr(uint32_t(int32_t(int64_t(value))));
    }
    default:
        return QString();
    }
}

QString FileCostToStr(TCurrency aCost)
{
    return QStringLiteral("$") + LocalFixed(aCost.ToDouble(), 2);
}

QString SecondsToStr(uint32_t Value)
{
    const uint32_t h = Value / 3600;
    const uint32_t m = (Value % 3600) / 60;
    const uint32_t s = Value % 60;
    if (h > 0)
        return Format(QStringLiteral("%d:%.2d:%.2d"), {h, m, s});
    return Format(QStringLiteral("%d:%.2d"), {m, s});
}
