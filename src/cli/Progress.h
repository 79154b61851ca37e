#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// The self-updating line on a terminal while a transfer runs: bytes done,
// the total when known, percentage, speed and time left.
class TProgress {
public:
    // Writes to AOut only when it is enabled; qvftp enables it when stderr
    // is a terminal and -q was not given.
    TProgress(std::FILE* AOut, bool AEnabled) : FOut(AOut), FEnabled(AEnabled) {}

    // ATotal < 0 when unknown; AOffset counts bytes that were there before
    // (a resumed download), so speed covers only what moves now.
    void Begin(int64_t ATotal, int64_t AOffset);
    void Update(int64_t AMoved);
    // A tree transfer: "12/200 files" leads the line.
    void SetFiles(int64_t ADone, int64_t ATotal);
    // Leaves the last state on its own line.
    void End();
    bool Running() const { return FRunning; }
    bool Enabled() const { return FEnabled; }

    // "1.5 MiB" and the like.
    static std::string FormatBytes(double ABytes);
    // The line for these figures; public so that its layout can be checked.
    static std::string Line(int64_t ADone, int64_t ATotal, double ABytesPerSecond);

private:
    void Paint(bool AForce);

    using Clock = std::chrono::steady_clock;
    std::FILE* FOut;
    bool FEnabled;
    bool FRunning = false;
    int64_t FTotal = -1;
    int64_t FOffset = 0;
    int64_t FMoved = 0;
    std::string FFiles;
    Clock::time_point FStart;
    Clock::time_point FLastPaint;
};
