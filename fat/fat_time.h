// FAT dates and times as file times. A FAT volume stores its writer's wall clock, local time
// of no stated zone: it is read in the user's zone, as the systems and mtools read it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ratio>

#include "driver/entry_record.h"
#include "fat/layout.h"
#include "platform/platform.h"

namespace chkmend {

// The wall clock the fields state, counted as if it ran on UTC; 0 when they make no valid
// calendar time. `hundredths` (0-199) refines the two-second steps of `time`.
constexpr FileTime fatWallClock(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths) {
    using namespace std::chrono;
    using Ticks = duration<std::int64_t, std::ratio<1, 10'000'000>>;
    const year_month_day calendarDay{year{fattime::BaseYear + (date >> fattime::YearShift)},
                                     month{(date >> fattime::MonthShift) & fattime::MonthMask},
                                     day{date & fattime::DayMask}};
    const unsigned hour = time >> fattime::HourShift;
    const unsigned minute = (time >> fattime::MinuteShift) & fattime::MinuteMask;
    const unsigned second = (time & fattime::TwoSecondsMask) * 2u + hundredths / 100u;
    if (!calendarDay.ok() || hour > 23 || minute > 59 || second > 59) return 0;
    constexpr sys_days FileTimeOrigin = year{1601} / January / 1;
    const auto sinceOrigin = sys_days{calendarDay} - FileTimeOrigin + hours{hour} +
                             minutes{minute} + seconds{second} +
                             milliseconds{hundredths % 100u * 10u};
    return static_cast<FileTime>(duration_cast<Ticks>(sinceOrigin).count());
}

static_assert(fatWallClock(0x0021, 0, 0) == 119600064000000000);         // 1980-01-01
static_assert(fatWallClock(0x285D, 0x645C, 178) == 125963012977800000);  // 2000-02-29 12:34:57.78
static_assert(fatWallClock(0x585D, 0, 0) == 133536384000000000);         // 2024-02-29
static_assert(fatWallClock(0xFF9F, 0xBF7D, 0) ==
              159992927980000000);                      // 2107-12-31 23:59:58, the last
static_assert(fatWallClock(0xF05D, 0, 0) == 0);         // 2100-02-29: no leap day
static_assert(fatWallClock(0x0021, 0x001E, 0) == 0);    // second 60
static_assert(fatWallClock(0x0021, 0x001D, 200) == 0);  // 58 s and two more
static_assert(fatWallClock(0x0000, 0, 0) == 0);         // day and month 0

// The file time of the fields in the user's time zone; 0 when they make no valid time.
inline FileTime fatTimeToFileTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths) {
    const FileTime wallClock = fatWallClock(date, time, hundredths);
    return wallClock == 0 ? 0 : platform::localToFileTime(wallClock);
}

}  // namespace chkmend
