#include "formats/Nmea.h"

#include <charconv>
#include <cmath>

#include "formats/Direction.h"
#include "formats/Units.h"
#include "formats/UtcTime.h"

namespace {

// Beyond this the altitude is left out. With it and the ceiling on the speed, no sentence can grow past
// kMaxSentenceLength.
constexpr double kHighestAltitude = 1e6;        // metres
constexpr long long kUnitsPerDegree = 6000000;  // positions are written to 1/100000 of a minute

// Sentences written one after the other into a fixed buffer: fields, then the checksum and CR LF.
class Sentences {
public:
    void begin(const char *address) {
        start = at;
        put('$');
        text(address);
    }
    void end() {
        static const char kHex[] = "0123456789ABCDEF";
        unsigned sum = 0;  // the exclusive or of everything between '$' and '*'
        for (const char *c = start + 1; c < at; ++c) sum ^= static_cast<unsigned char>(*c);
        put('*');
        put(kHex[sum >> 4 & 15]);
        put(kHex[sum & 15]);
        text("\r\n");
    }
    std::string take() const { return std::string(buffer, static_cast<std::size_t>(at - buffer)); }

    void put(char c) { *at++ = c; }
    void text(const char *text) {
        while (*text) *at++ = *text++;
    }
    // `value`, which must be below 10^width, as `width` digits with leading zeros.
    void digits(long long value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
        at += width;
    }
    void fixed(double value, int decimals) {
        at = std::to_chars(at, buffer + sizeof buffer, value, std::chars_format::fixed, decimals).ptr;
    }
    // ",hhmmss.ss": the receipt time, the hundredths cut rather than rounded, as clocks do.
    void time(const UtcTime &utc) {
        put(',');
        digits(utc.hour, 2);
        digits(utc.minute, 2);
        digits(utc.second, 2);
        put('.');
        digits(utc.millisecond / 10, 2);
    }
    // ",ddmm.mmmmm,N" or ",dddmm.mmmmm,E", rounded to the last digit. A value that rounds to zero takes
    // the positive hemisphere.
    void angle(double degrees, int degreeDigits, char positive, char negative) {
        long long units = std::llround(std::fabs(degrees) * kUnitsPerDegree);
        put(',');
        digits(units / kUnitsPerDegree, degreeDigits);
        digits(units / 100000 % 60, 2);
        put('.');
        digits(units % 100000, 5);
        put(',');
        put(degrees < 0 && units != 0 ? negative : positive);
    }
    // A direction in degrees to a tenth, in [0, 360): 359.97 is written 0.0, not 360.0.
    void direction(double degrees) {
        long long tenths = directionTenths(degrees);
        at = std::to_chars(at, buffer + sizeof buffer, tenths / 10).ptr;
        put('.');
        digits(tenths % 10, 1);
    }

private:
    char buffer[3 * kMaxSentenceLength];
    char *at = buffer;
    char *start = buffer;
};

}  // namespace

std::string NmeaEncoder::encode(const Position &position, SystemClock::time_point received) {
    double latitude = position.value[kLatitude], longitude = position.value[kLongitude];
    bool fix = isValidPlace(latitude, longitude);
    UtcTime utc = utcTime(received);
    Sentences out;
    auto place = [&] {
        if (!fix) return out.text(",,,,");
        out.angle(latitude, 2, 'N', 'S');
        out.angle(longitude, 3, 'E', 'W');
    };

    // GGA first: gpsbabel joins each RMC to the GGA before it.
    out.begin("GPGGA");
    out.time(utc);
    place();
    // Fix quality 8 is the simulator's, and four satellites are the fewest that make a 3-D fix, without
    // which gpsd reports none.
    out.text(fix ? ",8,04,," : ",0,00,,");
    double metres = position.value[kElevation] / kFeetPerMetre;
    if (fix && std::fabs(metres) < kHighestAltitude) out.fixed(metres, 1);
    out.text(",M,,M,,");
    out.end();

    out.begin("GPRMC");
    out.time(utc);
    out.text(fix ? ",A" : ",V");
    place();
    GroundVelocity velocity = motion.next(latitude, longitude, received);
    out.put(',');
    if (velocity.known) out.fixed(velocity.knots, 1);
    out.put(',');
    if (velocity.hasCourse) out.direction(velocity.course);
    out.put(',');
    out.digits(utc.day, 2);
    out.digits(utc.month, 2);
    out.digits(utc.year % 100, 2);
    out.text(fix ? ",,,S" : ",,,N");  // mode: simulator, or not valid
    out.end();

    out.begin("HEHDT,");
    if (std::isfinite(position.value[kHeading])) out.direction(position.value[kHeading]);
    out.text(",T");
    out.end();

    return out.take();
}
