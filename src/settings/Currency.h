// A money amount as the store's currency type: fixed point with four
// decimal places, held as an integer count of ten-thousandths.
#pragma once

#include <cmath>
#include <cstdint>

struct TCurrency {
    int64_t Scaled = 0; // value × 10000

    static constexpr int64_t Scale = 10000;
    static TCurrency FromScaled(int64_t aScaled) { return TCurrency{aScaled}; }
    // Rounded to four decimal places, halves to even.
    static TCurrency FromDouble(double aValue) { return TCurrency{int64_t(std::nearbyint(aValue * double(Scale)))}; }
    double ToDouble() const { return double(Scaled) / double(Scale); }

    friend bool operator==(TCurrency a, TCurrency b) { return a.Scaled == b.Scaled; }
};
