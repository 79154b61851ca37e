#include "IdFTPList.h"

#include "IdException.h"
#include "IdFTPListMlsd.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

namespace {

template <typename T> T DecimalOr(std::string_view AText, T ADefault) {
    T value{};
    return TryStrToInt(AText, value) ? value : ADefault;
}

// Characters AFrom0 .. AFrom0 + ACount - 1, as far as they exist.
std::string_view Sub(std::string_view AText, size_t AFrom0,
                     size_t ACount = std::string_view::npos) {
    return AFrom0 < AText.size() ? AText.substr(AFrom0, ACount) : std::string_view();
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view TrimmedRight(std::string_view AText) {
    while (!AText.empty() && IsControlOrBlank(AText.back())) {
        AText.remove_suffix(1);
    }
    return AText;
}

std::string_view Trimmed(std::string_view AText) {
    while (!AText.empty() && IsControlOrBlank(AText.front())) {
        AText.remove_prefix(1);
    }
    return TrimmedRight(AText);
}

bool SameUpper(std::string_view AText, std::string_view AUpper) {
    return AText.size() == AUpper.size() &&
           std::equal(AText.begin(), AText.end(), AUpper.begin(),
                      [](char a, char b) { return UpperAscii(a) == b; });
}

bool StartsWithUpper(std::string_view AText, std::string_view AUpper) {
    return SameUpper(AText.substr(0, AUpper.size()), AUpper);
}

// The text before the first of ADelims (all of it when there is none); AText
// keeps what follows the delimiter.
std::string_view CutAt(std::string_view& AText, std::string_view ADelims) {
    const size_t at = AText.find_first_of(ADelims);
    const std::string_view token = AText.substr(0, at);
    AText = at == std::string_view::npos ? std::string_view() : AText.substr(at + 1);
    return token;
}

size_t DigitRun(std::string_view AText, size_t AFrom) {
    size_t end = AFrom;
    while (end < AText.size() && IsDigit(AText[end])) {
        ++end;
    }
    return end - AFrom;
}

// "10-15-98", "1/2/2024": month, day and a year of two or four digits, at "-" or "/".
bool IsDosDate(std::string_view AText) {
    size_t at = 0;
    for (int part = 0; part < 2; ++part) {
        const size_t digits = DigitRun(AText, at);
        at += digits;
        if (digits < 1 || digits > 2 || at >= AText.size() ||
            (AText[at] != '-' && AText[at] != '/')) {
            return false;
        }
        ++at;
    }
    const size_t year = DigitRun(AText, at);
    return (year == 2 || year == 4) && at + year == AText.size();
}

// "10:30AM", "23:59", "11:59:30pm".
bool IsDosTime(std::string_view AText) {
    const size_t hour = DigitRun(AText, 0);
    size_t at = hour;
    int parts = 0;
    for (; parts < 2 && at < AText.size() && AText[at] == ':'; ++parts) {
        if (DigitRun(AText, at + 1) != 2) {
            return false;
        }
        at += 3;
    }
    const std::string_view marker = AText.substr(at);
    return hour >= 1 && hour <= 2 && parts > 0 &&
           (marker.empty() || SameUpper(marker, "AM") || SameUpper(marker, "PM"));
}

// A size in any width, with or without thousands separators.
bool IsDosSize(std::string_view AText) {
    return !AText.empty() && IsDigit(AText.front()) && IsDigit(AText.back()) &&
           std::all_of(AText.begin(), AText.end(), [](char c) { return IsDigit(c) || c == ','; });
}

// Blanks, and the tabs some servers put between columns.
bool IsColumnBreak(char c) {
    return IsControlOrBlank(c);
}

// The first columns of a line, split at runs of blanks and tabs. Only the
// first few matter to the parsers; Count() stops there.
class TLineColumns {
public:
    static constexpr size_t kLimit = 12;

    explicit TLineColumns(std::string_view ALine) {
        size_t at = 0;
        while (FCount < kLimit) {
            while (at < ALine.size() && IsColumnBreak(ALine[at])) {
                ++at;
            }
            if (at == ALine.size()) {
                break;
            }
            const size_t begin = at;
            while (at < ALine.size() && !IsColumnBreak(ALine[at])) {
                ++at;
            }
            FItems[FCount++] = ALine.substr(begin, at - begin);
        }
    }

    // At most kLimit: a line with more columns counts as kLimit.
    size_t Count() const { return FCount; }
    std::string_view operator[](size_t AIndex) const { return FItems[AIndex]; }

    void Insert(size_t AIndex, std::string_view AText) {
        const size_t last = FCount < kLimit ? FCount : kLimit - 1;
        for (size_t i = last; i > AIndex; --i) {
            FItems[i] = FItems[i - 1];
        }
        FItems[AIndex] = AText;
        FCount = last + 1;
    }

    void Erase(size_t AIndex) {
        for (size_t i = AIndex; i + 1 < FCount; ++i) {
            FItems[i] = FItems[i + 1];
        }
        --FCount;
    }

private:
    std::array<std::string_view, kLimit> FItems;
    size_t FCount = 0;
};

int32_t MonthOf(std::string_view AText) {
    static constexpr std::string_view months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (AText.size() == 3) {
        for (size_t i = 0; i < 12; ++i) {
            if (SameUpper(AText, months[i])) {
                return static_cast<int32_t>(i + 1);
            }
        }
    }
    return 0;
}

// DOS servers write sizes with thousands separators, which do not count.
std::string WithoutCommas(std::string_view AText) {
    std::string result(AText);
    result.erase(std::remove(result.begin(), result.end(), ','), result.end());
    return result;
}

int64_t SizeOr(std::string_view AText, int64_t ADefault) {
    if (AText.find(',') == std::string_view::npos) {
        return DecimalOr<int64_t>(AText, ADefault);
    }
    return DecimalOr<int64_t>(WithoutCommas(AText), ADefault);
}

[[noreturn]] void RaiseUnknownFormat() {
    throw EIdInvalidFTPListingFormat(IdResourceStrings::RSInvalidFTPListingFormat);
}

} // namespace

TIdFTPListItems::TIdFTPListItems(TIdClock AClock) : FClock(std::move(AClock)) {}

TIdFTPListItems::~TIdFTPListItems() = default;

void TIdFTPListItems::SetClock(TIdClock AClock) {
    FClock = std::move(AClock);
}

TIdDateTime TIdFTPListItems::Now() const {
    return FClock ? FClock() : LocalNow();
}

TIdFTPListItem& TIdFTPListItems::AddItem() {
    if (FBlocks.empty() || FBlocks.back().Used == FBlocks.back().Size) {
        // Blocks stay well below the size the C library maps fresh from the
        // system, so that the next listing reuses the pages of the last.
        const size_t size = std::clamp<size_t>(FItems.size(), 16, 128);
        FBlocks.push_back(TBlock{std::make_unique<TIdFTPListItem[]>(size), size, 0});
    }
    TBlock& block = FBlocks.back();
    TIdFTPListItem* item = &block.Items[block.Used++];
    FItems.push_back(item);
    return *item;
}

TIdFTPListItem& TIdFTPListItems::ItemAt(int32_t AIndex) {
    if (AIndex < 0 || AIndex >= Count()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(AIndex) + ")");
    }
    return *FItems[static_cast<size_t>(AIndex)];
}

const TIdFTPListItem& TIdFTPListItems::ItemAt(int32_t AIndex) const {
    return const_cast<TIdFTPListItems*>(this)->ItemAt(AIndex);
}

void TIdFTPListItems::Delete(int32_t AIndex) {
    // The slot stays in its block until Clear; only its texts go now.
    ItemAt(AIndex) = TIdFTPListItem{};
    FItems.erase(FItems.begin() + AIndex);
}

void TIdFTPListItems::Clear() {
    FItems.clear();
    FBlocks.clear();
}

void TIdFTPListItems::Remove(const TIdFTPListItem* AItem) {
    // Searched by identity: a custom parser may have added or removed entries meanwhile.
    for (auto it = FItems.rbegin(); it != FItems.rend(); ++it) {
        if (*it == AItem) {
            **it = TIdFTPListItem{};
            FItems.erase(std::next(it).base());
            return;
        }
    }
}

const std::string& TIdFTPListItems::FirstEntryLine(const std::vector<std::string>& ALines) {
    for (const std::string& line : ALines) {
        if (!IsBlankLine(line) && !StartsWithUpper(line, "TOTAL")) {
            return line;
        }
    }
    return ALines.at(0);
}

void TIdFTPListItems::LoadLines(const std::vector<std::string>& ALines) {
    Clear();
    const TIdFTPListFormat format = FListingFormat;
    // Unix servers open a long listing with a block count, which is no entry.
    const size_t skip =
        format == flfUnix && !ALines.empty() && StartsWithUpper(ALines[0], "TOTAL") ? 1 : 0;
    // One "now" for the whole listing: every entry then follows the same year rule.
    const bool dated = format == flfUnix || format == flfVax || format == flfDos;
    const TIdDateTime now = dated && ALines.size() > skip ? Now() : TIdDateTime{};
    FItems.reserve(ALines.size() - skip);
    for (size_t i = skip; i < ALines.size(); ++i) {
        const std::string& line = ALines[i];
        if (IsBlankLine(line)) {
            continue;
        }
        TIdFTPListItem& item = AddItem();
        item.RawLine = line;
        if (format == flfNone) {
            continue;
        }
        try {
            ParseLine(format, item, now);
        } catch (...) {
            // One unreadable line must not cost the user the rest of the directory.
            Remove(&item);
        }
    }
}

TIdFTPListFormat TIdFTPListItems::DetectFormat(const std::string& ALine, bool ADetails) const {
    if (!ADetails) {
        return flfNoDetails;
    }
    const std::string U = UpperCaseAscii(ALine);

    // Type letters: file, directory, link, block and character device, pipe,
    // socket. Setuid, setgid and sticky show as S or T in the permissions.
    constexpr std::string_view kTypes = "-DLBCPS";
    constexpr std::string_view kRights = "-RWXST";
    if (U.size() >= 10 && kTypes.find(U[0]) != std::string_view::npos &&
        std::all_of(U.begin() + 1, U.begin() + 10,
                    [&](char c) { return kRights.find(c) != std::string_view::npos; })) {
        return flfUnix;
    }
    if (U.starts_with("TOTAL")) {
        return flfUnix;
    }
    if (IsMlsdLine(ALine)) {
        return flfMlsd;
    }
    if (TextPos("DSK:", U) > 0) {
        return flfVax;
    }

    // DOS servers differ in column widths, year digits, clock and separators,
    // so the columns are judged by their shapes.
    TLineColumns columns(U);
    if (columns.Count() >= 3 && IsDosDate(columns[0]) && IsDosTime(columns[1]) &&
        (columns[2] == "<DIR>" || IsDosSize(columns[2]))) {
        return flfDos;
    }
    // The fixed columns of the classic layout.
    if (U.size() < 6 || (U[2] != '-' && U[2] != '/') || (U[5] != '-' && U[5] != '/')) {
        return flfUnknown;
    }
    const std::string D = TrimControl(Sub(U, 24, 6));
    if (D == "<DIR>") {
        return flfDos;
    }
    if (D.empty() && SizeOr(TrimControl(Sub(U, 30, 8)), -1) != -1) {
        return flfDos;
    }
    return flfUnknown;
}

void TIdFTPListItems::ParseCustomLine(TIdFTPListItem& AItem) {
    if (!OnParseCustomListFormat) {
        RaiseUnknownFormat();
    }
    OnParseCustomListFormat(AItem);
}

void TIdFTPListItems::ParseLine(TIdFTPListFormat AFormat, TIdFTPListItem& AItem) {
    const bool dated = AFormat == flfUnix || AFormat == flfVax || AFormat == flfDos;
    ParseLine(AFormat, AItem, dated ? Now() : TIdDateTime{});
}

void TIdFTPListItems::ParseLine(TIdFTPListFormat AFormat, TIdFTPListItem& AItem,
                                const TIdDateTime& ANow) {
    switch (AFormat) {
    case flfNone:
        break;
    case flfDos:
        ParseDosLine(AItem, ANow);
        break;
    case flfUnix:
    case flfVax:
        ParseUnixLine(AItem, ANow);
        break;
    case flfNoDetails:
        AItem.Name = Trimmed(AItem.RawLine);
        break;
    case flfCustom:
        ParseCustomLine(AItem);
        break;
    case flfMlsd:
        ParseMlsdLine(AItem);
        break;
    case flfUnknown:
    default:
        RaiseUnknownFormat();
    }
}

void ParseUnixLine(TIdFTPListItem& AItem) {
    ParseUnixLine(AItem, LocalNow());
}

void ParseUnixLine(TIdFTPListItem& AItem, const TIdDateTime& ANow) {
    const std::string_view line = TrimmedRight(AItem.RawLine);
    TLineColumns columns(line);
    const char type = UpperAscii(columns.Count() > 0 ? columns[0][0] : ' ');

    // A device lists "major, minor" where others list the size; those two
    // columns make one, and the device has no size.
    bool device = false;
    if ((type == 'B' || type == 'C') && columns.Count() >= 9 && columns[4].size() > 1 &&
        columns[4].back() == ',' && IsDigit(columns[5][0])) {
        columns.Erase(5);
        device = true;
    }
    // Some servers leave out the group column; their size column then holds
    // the date's month name. With a name of several words the line has more
    // columns, and only the month in the wrong place tells.
    if (columns.Count() >= 8 && IsAsciiLetter(columns[4][0]) &&
        (columns.Count() == 8 || (MonthOf(columns[4]) != 0 && MonthOf(columns[5]) == 0))) {
        columns.Insert(2, std::string_view());
    }
    if (columns.Count() < 8) {
        RaiseUnknownFormat();
    }

    const std::string_view mode = columns[0];
    const int32_t linkCount = DecimalOr<int32_t>(columns[1], 0);
    const int32_t month = MonthOf(columns[5]);
    const int32_t day = DecimalOr<int32_t>(columns[6], ANow.Day);
    int32_t year = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    std::string_view timeOrYear = columns[7];
    if (timeOrYear.find(':') != std::string_view::npos) {
        // Entries younger than about six months show a time instead of a year;
        // a month later than this one can then only be last year's.
        year = ANow.Month < month ? ANow.Year - 1 : ANow.Year;
        hour = DecimalOr<int32_t>(CutAt(timeOrYear, ":"), 0);
        const bool seconds = timeOrYear.find(':') != std::string_view::npos;
        minute = DecimalOr<int32_t>(CutAt(timeOrYear, ":"), 0);
        second = seconds ? DecimalOr<int32_t>(timeOrYear, 0) : 0;
    } else {
        year = DecimalOr<int32_t>(timeOrYear, ANow.Year);
    }

    // The name runs from its first column to the end of the line, so blank
    // runs inside it stay exactly as the server listed them.
    std::string_view name;
    if (columns.Count() > 8) {
        name = line.substr(static_cast<size_t>(columns[8].data() - line.data()));
        while (!name.empty() && IsControlOrBlank(name.front())) {
            name.remove_prefix(1);
        }
    }

    const TIdListItemKind kind = type == 'D'   ? likDirectory
                                 : type == 'L' ? likSymbolicLink
                                               : likFile;
    AItem.Kind = kind;
    AItem.OwnerRights = Sub(mode, 1, 3);
    AItem.GroupRights = Sub(mode, 4, 3);
    AItem.OtherRights = Sub(mode, 7, 3);
    AItem.LinkCount = linkCount;
    AItem.Owner = columns[2];
    AItem.Group = columns[3];
    AItem.FileSize = device ? 0 : DecimalOr<int64_t>(columns[4], 0);
    // Without listed seconds 999 ms marks the time as rounded down.
    AItem.Modified = TIdDateTime::Encode(year, month, day, hour, minute, second, 999);

    if (kind == likSymbolicLink) {
        const size_t arrow = name.find(" -> ");
        // A link listed without its target keeps its whole text as the name.
        if (arrow != std::string_view::npos) {
            AItem.LinkTarget = name.substr(arrow + 4);
            name = name.substr(0, arrow);
        }
    }
    AItem.Name = name;
}

void ParseDosLine(TIdFTPListItem& AItem) {
    ParseDosLine(AItem, LocalNow());
}

void ParseDosLine(TIdFTPListItem& AItem, const TIdDateTime& ANow) {
    const std::string_view raw = AItem.RawLine;
    // "month/day/year time", built in place: lines are parsed by the hundred thousand.
    char buffer[64];
    size_t length = 0;
    std::string_view rest;
    const std::string_view first = raw.substr(0, raw.find_first_of(" \t"));
    if (IsDosDate(first)) {
        for (const char c : first) {
            buffer[length++] = c == '-' ? '/' : c;
        }
        rest = raw.substr(first.size());
    } else {
        // Not a date where one belongs: the classic fixed columns, whatever they hold.
        for (const size_t from : {0, 3, 6}) {
            const std::string_view part = Sub(raw, from, 2);
            std::copy(part.begin(), part.end(), buffer + length);
            length += part.size();
            buffer[length++] = '/';
        }
        --length;
        rest = Sub(raw, 8);
    }
    buffer[length++] = ' ';
    rest = Trimmed(rest);
    const std::string_view time = CutAt(rest, " \t");

    rest = Trimmed(rest);
    const std::string_view token = CutAt(rest, " \t");
    const bool directory = token.find(',') == std::string_view::npos
                               ? SameUpper(token, "<DIR>")
                               : SameUpper(WithoutCommas(token), "<DIR>");

    AItem.Name = Trimmed(rest);
    AItem.Kind = directory ? likDirectory : likFile;
    AItem.FileSize = directory ? 0 : SizeOr(token, 0);
    TIdDateTime modified;
    bool parsed = false;
    if (length + time.size() <= sizeof buffer) {
        std::copy(time.begin(), time.end(), buffer + length);
        parsed = TryParseDosDateTime(std::string_view(buffer, length + time.size()), ANow.Year,
                                     modified);
    } else {
        std::string text(buffer, length);
        text += time;
        parsed = TryParseDosDateTime(text, ANow.Year, modified);
    }
    AItem.Modified = parsed ? modified : TIdDateTime{};
}
