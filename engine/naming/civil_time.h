#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvid {

// A date and time of day in the proleptic Gregorian calendar, read as UTC.
struct CivilTime {
  int Year = 1970;
  int Month = 1;  // 1..12
  int Day = 1;    // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
};

// Seconds since 1970-01-01 00:00:00 UTC, or none for a date or time out of range (a day past
// the month's end, hour 24, ...).
std::optional<int64_t> SecondsSinceEpoch(const CivilTime& time);

// "2026-12-08T15:00:00Z" for seconds since 1970 UTC.
std::string IsoUtcText(int64_t seconds);

}  // namespace korvid
