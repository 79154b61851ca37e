#include "Progress.h"

#include <cinttypes>
#include <cmath>

namespace {

// A terminal can take only so many repaints before the painting costs more
// than the transfer.
constexpr auto kPaintInterval = std::chrono::milliseconds(200);

std::string ClockText(double ASeconds) {
    if (!std::isfinite(ASeconds) || ASeconds < 0 || ASeconds > 359999) {
        return "--:--:--";
    }
    const auto s = static_cast<long>(ASeconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

} // namespace

std::string TProgress::FormatBytes(double ABytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (ABytes >= 1024 && unit < 4) {
        ABytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%.0f B", ABytes);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", ABytes, units[unit]);
    }
    return text;
}

std::string TProgress::Line(int64_t ADone, int64_t ATotal, double ABytesPerSecond) {
    std::string line = FormatBytes(static_cast<double>(ADone));
    if (ATotal >= 0) {
        line += " / " + FormatBytes(static_cast<double>(ATotal));
        const double share = ATotal > 0 ? 100.0 * static_cast<double>(ADone) / ATotal : 100.0;
        char percent[16];
        std::snprintf(percent, sizeof percent, "  %3.0f%%", std::min(share, 100.0));
        line += percent;
    }
    line += "  " + FormatBytes(ABytesPerSecond) + "/s";
    if (ATotal >= 0) {
        const double left =
            ABytesPerSecond > 0 ? static_cast<double>(ATotal - ADone) / ABytesPerSecond : NAN;
        line += "  " + ClockText(ADone >= ATotal ? 0 : left) + " left";
    }
    return line;
}

void TProgress::Begin(int64_t ATotal, int64_t AOffset) {
    FRunning = true;
    FTotal = ATotal;
    FOffset = AOffset;
    FMoved = 0;
    FStart = Clock::now();
    FLastPaint = FStart;
    Paint(true);
}

void TProgress::Update(int64_t AMoved) {
    FMoved = AMoved;
    if (FRunning && Clock::now() - FLastPaint >= kPaintInterval) {
        Paint(false);
    }
}

void TProgress::SetFiles(int64_t ADone, int64_t ATotal) {
    FFiles = std::to_string(ADone) + "/" + std::to_string(ATotal) + " files  ";
}

void TProgress::End() {
    if (!FRunning) {
        return;
    }
    Paint(true);
    if (FEnabled) {
        std::fputc('\n', FOut);
        std::fflush(FOut);
    }
    FRunning = false;
}

void TProgress::Paint(bool) {
    if (!FEnabled) {
        return;
    }
    FLastPaint = Clock::now();
    const double seconds = std::chrono::duration<double>(FLastPaint - FStart).count();
    const double speed = seconds > 0.05 ? static_cast<double>(FMoved) / seconds : 0;
    // Carriage return and erase-to-end keep it one line however its width changes.
    std::fprintf(FOut, "\r%s%s\033[K", FFiles.c_str(),
                 Line(FOffset + FMoved, FTotal, speed).c_str());
    std::fflush(FOut);
}
