#include "formats/UtcTime.h"

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace {

constexpr long long kMillisecondsPerDay = 86400000;

// The day count from 1970-01-01 of a proleptic Gregorian date: civil_from_days below, the other way.
long long daysFromCivil(long long year, int month, int day) {
    year -= month <= 2;
    long long era = (year >= 0 ? year : year - 399) / 400;
    long long yearOfEra = year - era * 400;
    long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int daysInMonth(long long year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

UtcTime utcTime(SystemClock::time_point time) {
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

bool parseUtcTimestamp(std::string_view text, SystemClock::time_point &time) {
    // "2026-12-07T23:14:58.123Z": digits everywhere but at these offsets.
    const std::string_view form = "0000-00-00T00:00:00.000Z";
    if (text.size() != form.size()) return false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (form[i] == '0' ? !digit : text[i] != form[i]) return false;
    }
    auto number = [&](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    int year = number(0, 4), month = number(5, 2), day = number(8, 2), hour = number(11, 2), minute = number(14, 2),
        second = number(17, 2), millisecond = number(20, 3);
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    long long milliseconds = daysFromCivil(year, month, day) * kMillisecondsPerDay +
                             ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
    time = SystemClock::time_point(std::chrono::duration_cast<SystemClock::duration>(
        std::chrono::milliseconds(milliseconds)));
    return true;
}
