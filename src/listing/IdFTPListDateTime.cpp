#include "IdFTPListDateTime.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {

// A cursor over the date-time text; every element may be preceded by blanks.
class TScanner {
public:
    explicit TScanner(std::string_view AText) : FText(AText) {}

    void SkipBlanks() {
        while (FPos < FText.size() && FText[FPos] == ' ') {
            ++FPos;
        }
    }

    bool AtEnd() {
        SkipBlanks();
        return FPos >= FText.size();
    }

    // An unsigned decimal number of 1 to 4 digits; ADigits tells how many were written.
    bool Number(int32_t& AValue, int32_t& ADigits) {
        SkipBlanks();
        AValue = 0;
        ADigits = 0;
        while (FPos < FText.size() && ADigits < 4 && FText[FPos] >= '0' && FText[FPos] <= '9') {
            AValue = AValue * 10 + (FText[FPos] - '0');
            ++ADigits;
            ++FPos;
        }
        return ADigits > 0;
    }

    bool Number(int32_t& AValue) {
        int32_t digits = 0;
        return Number(AValue, digits);
    }

    bool Char(char AChar) {
        SkipBlanks();
        if (FPos < FText.size() && FText[FPos] == AChar) {
            ++FPos;
            return true;
        }
        return false;
    }

    // 0 for none, 1 for "AM", 2 for "PM", in any letter case.
    int32_t Marker() {
        SkipBlanks();
        if (FPos + 2 > FText.size()) {
            return 0;
        }
        const char first = static_cast<char>(FText[FPos] & ~0x20);
        const char second = static_cast<char>(FText[FPos + 1] & ~0x20);
        if (second != 'M' || (first != 'A' && first != 'P')) {
            return 0;
        }
        FPos += 2;
        return first == 'A' ? 1 : 2;
    }

private:
    std::string_view FText;
    size_t FPos = 0;
};

} // namespace

std::string TIdDateTime::ToString() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Year, Month, Day,
                  Hour, Minute, Second, Millisecond);
    return buffer;
}

bool IsLeapYear(int32_t AYear) {
    return AYear % 4 == 0 && (AYear % 100 != 0 || AYear % 400 == 0);
}

int32_t DaysInMonth(int32_t AYear, int32_t AMonth) {
    static const int32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (AMonth < 1 || AMonth > 12) {
        return 0;
    }
    return AMonth == 2 && IsLeapYear(AYear) ? 29 : days[AMonth - 1];
}

bool TIdDateTime::TryEncode(int32_t AYear, int32_t AMonth, int32_t ADay, int32_t AHour,
                            int32_t AMinute, int32_t ASecond, int32_t AMillisecond,
                            TIdDateTime& AResult) {
    if (AYear < 1 || AYear > 9999 || ADay < 1 || ADay > DaysInMonth(AYear, AMonth) || AHour < 0 ||
        AHour > 23 || AMinute < 0 || AMinute > 59 || ASecond < 0 || ASecond > 59 ||
        AMillisecond < 0 || AMillisecond > 999) {
        return false;
    }
    AResult = TIdDateTime{AYear, AMonth, ADay, AHour, AMinute, ASecond, AMillisecond};
    return true;
}

TIdDateTime TIdDateTime::Encode(int32_t AYear, int32_t AMonth, int32_t ADay, int32_t AHour,
                                int32_t AMinute, int32_t ASecond, int32_t AMillisecond) {
    TIdDateTime result;
    if (!TryEncode(AYear, AMonth, ADay, AHour, AMinute, ASecond, AMillisecond, result)) {
        const TIdDateTime wrong{AYear, AMonth, ADay, AHour, AMinute, ASecond, AMillisecond};
        throw std::invalid_argument("Invalid date or time: " + wrong.ToString());
    }
    return result;
}

TIdDateTime LocalNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return TIdDateTime{local.tm_year + 1900,
                       local.tm_mon + 1,
                       local.tm_mday,
                       local.tm_hour,
                       local.tm_min,
                       local.tm_sec < 60 ? local.tm_sec : 59,
                       static_cast<int32_t>(millis)};
}

TIdDateTime UtcToLocal(const TIdDateTime& AUtc) {
    std::tm utc{};
    utc.tm_year = AUtc.Year - 1900;
    utc.tm_mon = AUtc.Month - 1;
    utc.tm_mday = AUtc.Day;
    utc.tm_hour = AUtc.Hour;
    utc.tm_min = AUtc.Minute;
    utc.tm_sec = AUtc.Second;
    const std::time_t seconds = timegm(&utc);
    std::tm local{};
    TIdDateTime result;
    if (seconds == static_cast<std::time_t>(-1) || localtime_r(&seconds, &local) == nullptr ||
        !TIdDateTime::TryEncode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec < 60 ? local.tm_sec : 59,
                                AUtc.Millisecond, result)) {
        return AUtc;
    }
    return result;
}

bool TryParseDosDateTime(std::string_view AText, int32_t ACurrentYear, TIdDateTime& AResult) {
    TScanner scan(AText);
    int32_t month = 0;
    int32_t day = 0;
    int32_t year = 0;
    int32_t yearDigits = 0;
    if (!scan.Number(month) || !scan.Char('/') || !scan.Number(day) || !scan.Char('/') ||
        !scan.Number(year, yearDigits)) {
        return false;
    }
    scan.Char('/');
    if (yearDigits <= 2) {
        const int32_t pivot = ACurrentYear - 50;
        year += pivot / 100 * 100;
        if (year < pivot) {
            year += 100;
        }
    }

    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    int32_t millisecond = 0;
    if (!scan.AtEnd()) {
        int32_t marker = scan.Marker();
        const bool markerFirst = marker != 0;
        if (!scan.Number(hour)) {
            return false;
        }
        if (scan.Char(':')) {
            if (!scan.Number(minute)) {
                return false;
            }
            if (scan.Char(':')) {
                if (!scan.Number(second)) {
                    return false;
                }
                if (scan.Char('.') && !scan.Number(millisecond)) {
                    return false;
                }
            }
        }
        if (!markerFirst) {
            marker = scan.Marker();
        }
        if (marker != 0) {
            if (hour < 1 || hour > 12) {
                return false;
            }
            if (hour == 12) {
                hour = 0;
            }
            if (marker == 2) {
                hour += 12;
            }
        }
    }
    return TIdDateTime::TryEncode(year, month, day, hour, minute, second, millisecond, AResult);
}
