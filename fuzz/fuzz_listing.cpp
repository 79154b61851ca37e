// Feeds arbitrary bytes as a directory listing through format detection and
// through LoadLines in every format, and checks what must hold for any input.
#include "IdFTPList.h"
#include "IdGlobal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::string> SplitLines(const std::string& AText) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= AText.size()) {
        size_t end = AText.find('\n', start);
        if (end == std::string::npos) {
            end = AText.size();
        }
        std::string line = AText.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

void Check(bool ACondition) {
    if (!ACondition) {
        std::abort();
    }
}

bool IsReal(const TIdDateTime& AValue) {
    TIdDateTime check;
    return TIdDateTime::TryEncode(AValue.Year, AValue.Month, AValue.Day, AValue.Hour, AValue.Minute,
                                  AValue.Second, AValue.Millisecond, check) &&
           check == AValue;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 3) {
        return 0;
    }
    // The first bytes pick "today", so the year rules see every month and a wide
    // range of years.
    const TIdDateTime today{
        1900 + AData[0] % 200, 1 + AData[1] % 12, 1 + AData[2] % 28, 12, 0, 0, 0};
    const std::string text(reinterpret_cast<const char*>(AData + 3), ASize - 3);
    const std::vector<std::string> lines = SplitLines(text);
    size_t nonBlank = 0;
    for (const std::string& line : lines) {
        nonBlank += IsBlankLine(line) ? 0 : 1;
    }

    TIdFTPListItems items([today] { return today; });
    items.OnParseCustomListFormat = [](TIdFTPListItem& AItem) {
        if (AItem.RawLine.size() % 2) {
            throw std::runtime_error("odd");
        }
        AItem.Name = AItem.RawLine;
    };

    // The client judges a listing by its first entry, past blank and total lines.
    const std::string& first = TIdFTPListItems::FirstEntryLine(lines);
    const TIdFTPListFormat detected = items.DetectFormat(first, true);
    Check(detected <= flfMlsd && detected != flfNone && detected != flfNoDetails &&
          detected != flfCustom);
    Check(items.DetectFormat(first, false) == flfNoDetails);

    for (const TIdFTPListFormat format : {detected, flfNone, flfDos, flfUnix, flfVax, flfNoDetails,
                                          flfUnknown, flfCustom, flfMlsd}) {
        items.SetListingFormat(format);
        items.LoadLines(lines);
        Check(static_cast<size_t>(items.Count()) <= nonBlank);
        if (format == flfNone || format == flfNoDetails || format == flfDos) {
            // These never refuse a line, and only a leading total line is ever skipped.
            Check(static_cast<size_t>(items.Count()) == nonBlank);
        }
        if (format == flfUnknown) {
            Check(items.Count() == 0);
        }
        for (int32_t i = 0; i < items.Count(); ++i) {
            const TIdFTPListItem& item = items.ItemAt(i);
            Check(!IsBlankLine(item.RawLine));
            Check(item.Kind <= likSymbolicLink);
            Check(item.Modified.IsZero() || IsReal(item.Modified));
            Check(item.Name.size() <= item.RawLine.size());
        }
    }

    TIdDateTime parsed;
    if (TryParseDosDateTime(text, today.Year, parsed)) {
        Check(IsReal(parsed));
    }
    return 0;
}
