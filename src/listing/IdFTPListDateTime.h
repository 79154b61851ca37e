#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A calendar date plus a time of day to the millisecond, as a listing entry
// carries it. All fields 0 is the zero date-time: "no date known". Values that
// come out of Encode always name a real day, so they never compare equal to it.
struct TIdDateTime {
    int32_t Year = 0;
    int32_t Month = 0;
    int32_t Day = 0;
    int32_t Hour = 0;
    int32_t Minute = 0;
    int32_t Second = 0;
    int32_t Millisecond = 0;

    bool IsZero() const { return *this == TIdDateTime{}; }
    // "YYYY-MM-DD hh:mm:ss.zzz"
    std::string ToString() const;

    // Fails (returns false) for a day or time that does not exist; years run
    // from 1 to 9999.
    static bool TryEncode(int32_t AYear, int32_t AMonth, int32_t ADay, int32_t AHour,
                          int32_t AMinute, int32_t ASecond, int32_t AMillisecond,
                          TIdDateTime& AResult);
    // As TryEncode, but a value that does not exist raises std::invalid_argument.
    static TIdDateTime Encode(int32_t AYear, int32_t AMonth, int32_t ADay, int32_t AHour,
                              int32_t AMinute, int32_t ASecond, int32_t AMillisecond);

    friend bool operator==(const TIdDateTime&, const TIdDateTime&) = default;
    friend auto operator<=>(const TIdDateTime&, const TIdDateTime&) = default;
};

bool IsLeapYear(int32_t AYear);
int32_t DaysInMonth(int32_t AYear, int32_t AMonth);

// The local wall-clock time now.
TIdDateTime LocalNow();

// The local wall-clock time at the moment AUtc names in UTC. Listings in
// other layouts carry local times, so machine-readable ones are brought
// into the same frame. A moment the local zone cannot express stays as given.
TIdDateTime UtcToLocal(const TIdDateTime& AUtc);

// Where the parsers get "now" from; tests pin it, production reads the local clock.
using TIdClock = std::function<TIdDateTime()>;

// Reads "month/day/year [time]" with fixed rules of its own, so that the
// result never depends on (or changes) process-wide locale settings:
// numbers of at most 4 digits; a year of 1 or 2 digits lands in the century
// window starting at ACurrentYear - 50; the time is hour[:min[:sec[.ms]]]
// with an optional AM/PM marker before or after it (hour 1 to 12 with the
// marker, 12 counting as 0). Blanks before every element are skipped and
// anything after the time is ignored. Returns false when the text does not
// name an existing date and time.
bool TryParseDosDateTime(std::string_view AText, int32_t ACurrentYear, TIdDateTime& AResult);
