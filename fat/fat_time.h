// FAT dates and times as file times. A FAT volume stores its writer's wall clock, and that is
// what the rebuilt files carry, on every build alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <ratio>

#include "driver/entry_record.h"
#include "fat/layout.h"

namespace chkmend {

// 0 when the fields make no valid calendar time. `hundredths` (0-199) refines the two-second
// steps of `time`.
constexpr FileTime fatTimeToFileTime(std::uint16_t date, std::uint16_t time,
                                     std::uint8_t hundredths) {
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

static_assert(fatTimeToFileTime(0x0021, 0, 0) == 119600064000000000);  // 1980-01-01
static_assert(fatTimeToFileTime(0x285D, 0x645C, 178) ==
              125963012977800000);                                     // 2000-02-29 12:34:57.78
static_assert(fatTimeToFileTime(0x585D, 0, 0) == 133536384000000000);  // 2024-02-29
static_assert(fatTimeToFileTime(0xFF9F, 0xBF7D, 0) ==
              159992927980000000);                           // 2107-12-31 23:59:58, the last
static_assert(fatTimeToFileTime(0xF05D, 0, 0) == 0);         // 2100-02-29: no leap day
static_assert(fatTimeToFileTime(0x0021, 0x001E, 0) == 0);    // second 60
static_assert(fatTimeToFileTime(0x0021, 0x001D, 200) == 0);  // 58 s and two more
static_assert(fatTimeToFileTime(0x0000, 0, 0) == 0);         // day and month 0

}  // namespace chkmend
