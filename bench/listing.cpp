// Parses a generated 200,000-line Unix listing and a 200,000-line DOS listing
// and prints lines per second. Beside each figure it prints the rate of a plain
// split of the same text into lines, measured in the same run, as a reference
// for the machine's speed at the time, and the heap allocations per entry.
#include "IdFTPList.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {
std::atomic<uint64_t> gAllocations{0};
}

void* operator new(std::size_t ASize) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(ASize == 0 ? 1 : ASize)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* APointer) noexcept {
    std::free(APointer);
}

void operator delete(void* APointer, std::size_t) noexcept {
    std::free(APointer);
}

namespace {

constexpr int kLines = 200000;
constexpr int kRounds = 3;

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string UnixListing() {
    std::string text = "total 123456\r\n";
    char line[160];
    for (int i = 0; i < kLines; ++i) {
        const char type = i % 10 == 0 ? 'd' : (i % 17 == 0 ? 'l' : '-');
        const char* mode = type == 'd' ? "rwxr-xr-x" : "rw-r--r--";
        const int month = i % 12;
        const int day = 1 + i % 28;
        if (i % 2) {
            std::snprintf(line, sizeof line,
                          "%c%s %3d user%-4d staff %10lld %s %2d %02d:%02d %s%d%s\r\n", type, mode,
                          1 + i % 5, i % 100, static_cast<long long>(i) * 1237, kMonths[month], day,
                          i % 24, i % 60, "file name ", i, type == 'l' ? " -> target" : ".dat");
        } else {
            std::snprintf(line, sizeof line,
                          "%c%s %3d user%-4d staff %10lld %s %2d  %4d %s%d%s\r\n", type, mode,
                          1 + i % 5, i % 100, static_cast<long long>(i) * 1237, kMonths[month], day,
                          1995 + i % 30, "report_", i, type == 'l' ? " -> target" : ".txt");
        }
        text += line;
    }
    return text;
}

std::string DosListing() {
    std::string text;
    char line[160];
    for (int i = 0; i < kLines; ++i) {
        const int hour = 1 + i % 12;
        const char* ampm = i % 2 ? "PM" : "AM";
        if (i % 10 == 0) {
            std::snprintf(line, sizeof line,
                          "%02d-%02d-%02d  %02d:%02d%s       <DIR>          folder %d\r\n",
                          1 + i % 12, 1 + i % 28, i % 100, hour, i % 60, ampm, i);
        } else {
            const long long size = static_cast<long long>(i) * 7919;
            std::snprintf(line, sizeof line,
                          "%02d-%02d-%02d  %02d:%02d%s %20lld some file %d.bin\r\n", 1 + i % 12,
                          1 + i % 28, i % 100, hour, i % 60, ampm, size, i);
        }
        text += line;
    }
    return text;
}

// How the FTP client splits the received text: CR LF, LF or CR ends a line.
std::vector<std::string> SplitLines(const std::string& AText) {
    std::vector<std::string> lines;
    size_t start = 0;
    const size_t size = AText.size();
    while (start < size) {
        size_t end = start;
        while (end < size && AText[end] != '\r' && AText[end] != '\n') {
            ++end;
        }
        lines.emplace_back(AText, start, end - start);
        if (end < size && AText[end] == '\r' && end + 1 < size && AText[end + 1] == '\n') {
            ++end;
        }
        start = end + 1;
    }
    return lines;
}

template <typename F> double BestSeconds(F&& AWork) {
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        const auto begin = std::chrono::steady_clock::now();
        AWork();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        best = took.count() < best ? took.count() : best;
    }
    return best;
}

void Run(const char* ALabel, const std::string& AText, TIdFTPListFormat AFormat) {
    std::vector<std::string> lines;
    const double splitSeconds = BestSeconds([&] { lines = SplitLines(AText); });

    TIdFTPListItems items([] { return TIdDateTime{2026, 6, 15, 12, 0, 0, 0}; });
    items.SetListingFormat(AFormat);
    const double parseSeconds = BestSeconds([&] { items.LoadLines(lines); });
    // Entries of the last round are freed first, so only this load's own
    // allocations count.
    items.Clear();
    const uint64_t before = gAllocations.load();
    items.LoadLines(lines);
    const double allocations = static_cast<double>(gAllocations.load() - before);

    const double count = static_cast<double>(lines.size());
    std::printf("%-5s %zu lines (%d entries): parse %12.0f lines/s (%.3f s)   "
                "reference split %12.0f lines/s (%.3f s)   %.2f allocations per entry\n",
                ALabel, lines.size(), items.Count(), count / parseSeconds, parseSeconds,
                count / splitSeconds, splitSeconds, allocations / items.Count());
}

} // namespace

int main() {
    Run("Unix", UnixListing(), flfUnix);
    Run("DOS", DosListing(), flfDos);
    return 0;
}
