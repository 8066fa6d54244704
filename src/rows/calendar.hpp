// Timestamps from calendar parts, for the computed datetime keys: the
// proleptic Gregorian calendar, years 1 to 9999, as microseconds since
// 1970-01-01T00:00:00.
#pragma once

#include <cstdint>
#include <limits>

namespace korvane::rows {

// The value for no timestamp (NumPy's NaT).
inline constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

// The timestamp of year, month, day, hour, minute and second, or kNoTime
// when a part is NaN or the date or time is impossible (a 30 February, a
// 24th hour). Hour and minute count by their whole part; the second keeps
// its microseconds.
std::int64_t timestamp_us(double year, double month, double day, double hour, double minute,
                          double second) noexcept;

}  // namespace korvane::rows
