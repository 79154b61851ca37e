#pragma once

#include "IdFTPList.h"

#include <ostream>

// Lets failing expectations show dates readably.
inline void PrintTo(const TIdDateTime& AValue, std::ostream* AOut) {
    *AOut << AValue.ToString();
}

inline TIdDateTime At(int32_t AYear, int32_t AMonth, int32_t ADay, int32_t AHour = 0,
                      int32_t AMinute = 0, int32_t ASecond = 0, int32_t AMillisecond = 0) {
    return TIdDateTime{AYear, AMonth, ADay, AHour, AMinute, ASecond, AMillisecond};
}

// The "today" most tests run on: mid-year, so both year rules can be seen.
inline const TIdDateTime kMidJune2026 = At(2026, 6, 15, 12, 0, 0, 0);
