#include "formats/UtcTime.h"

#include <chrono>
#include <cstdio>

UtcTime utcTime(SystemClock::time_point time) {
    constexpr long long kMillisecondsPerDay = 86400000;
    long long milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    long long days = milliseconds / kMillisecondsPerDay - (milliseconds % kMillisecondsPerDay < 0);
    int ofDay = static_cast<int>(milliseconds - days * kMillisecondsPerDay);
    // The proleptic Gregorian date of a day count from 1970-01-01 (Howard Hinnant's civil_from_days): in
    // 400-year eras of 146097 days, with years starting on 1 March so that the leap day comes last.
    long long shifted = days + 719468;
    long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    long long dayOfEra = shifted - era * 146097;
    long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    return {static_cast<int>(yearOfEra + era * 400 + (month <= 2)),
            month,
            static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1),
            ofDay / 3600000,
            ofDay / 60000 % 60,
            ofDay / 1000 % 60,
            ofDay % 1000,
            static_cast<int>((days % 7 + 11) % 7)};  // 1970-01-01 was a Thursday
}

std::string utcTimestamp(SystemClock::time_point time) {
    UtcTime utc = utcTime(time);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.year, utc.month, utc.day, utc.hour,
                  utc.minute, utc.second, utc.millisecond);
    return buffer;
}

std::string httpDate(SystemClock::time_point time) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    UtcTime utc = utcTime(time);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.weekday], utc.day,
                  kMonths[utc.month - 1], utc.year, utc.hour, utc.minute, utc.second);
    return buffer;
}
