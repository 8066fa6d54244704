#include "rows/calendar.hpp"

#include <cmath>

namespace korvane::rows {

namespace {

bool leap(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(std::int64_t y, int m) noexcept {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to y-m-d (the civil calendar's day count, shifted
// so that years begin in March and the leap day ends them).
std::int64_t days_from_civil(std::int64_t y, int m, int d) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

std::int64_t timestamp_us(double year, double month, double day, double hour, double minute,
                          double second) noexcept {
    // NaN fails every comparison below.
    if (!(year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day < 32 && hour >= 0 && hour < 24 &&
          minute >= 0 && minute < 60 && second >= 0 && second < 60))
        return kNoTime;
    const auto y = static_cast<std::int64_t>(year);
    const auto m = static_cast<int>(month);
    const auto d = static_cast<std::int64_t>(day);
    if (d > days_in_month(y, m)) return kNoTime;
    const std::int64_t micro = static_cast<std::int64_t>(second * 1e6) % 1'000'000;
    return ((days_from_civil(y, m, static_cast<int>(d)) * 24 + static_cast<std::int64_t>(hour)) * 60 +
            static_cast<std::int64_t>(minute)) * 60'000'000 +
           static_cast<std::int64_t>(second) * 1'000'000 + micro;
}

}  // namespace korvane::rows
