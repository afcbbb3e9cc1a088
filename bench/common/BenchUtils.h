// Helpers shared by the benchmarks: timing, medians, a large file of
// incompressible content.
#pragma once

#include <QFile>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point aStart)
{
    return std::chrono::duration<double>(Clock::now() - aStart).count();
}

inline double Median(std::vector<double> aValues)
{
    std::sort(aValues.begin(), aValues.end());
    return aValues[aValues.size() / 2];
}

// aSize bytes of pseudo-random content (xorshift), written in 1 MiB pieces.
// The first byte is 0xFF so the file never starts like a tag ("ID3").
inline bool MakeRandomFile(const QString& aPath, int64_t aSize)
{
    QFile f(aPath);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    uint32_t x = 2463534242u;
    for (int64_t done = 0; done < aSize; done += block.size()) {
        for (char& c : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = char(x);
        }
        if (done == 0)
            block[0] = char(0xFF);
        if (f.write(block.constData(), std::min<int64_t>(block.size(), aSize - done)) < 0)
            return false;
    }
    return true;
}

} // namespace bench
