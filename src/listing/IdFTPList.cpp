#include "IdFTPList.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace {

template <typename T> T DecimalOr(std::string_view AText, T ADefault) {
    T value{};
    return TryStrToInt(AText, value) ? value : ADefault;
}

std::string Copy(std::string_view AText, size_t AFrom1, size_t ACount) {
    if (AFrom1 < 1 || AFrom1 > AText.size()) {
        return {};
    }
    return std::string(AText.substr(AFrom1 - 1, ACount));
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

std::string WithoutCommas(std::string AText) {
    AText.erase(std::remove(AText.begin(), AText.end(), ','), AText.end());
    return AText;
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
    FItems.push_back(std::make_unique<TIdFTPListItem>());
    return *FItems.back();
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
    ItemAt(AIndex);
    FItems.erase(FItems.begin() + AIndex);
}

void TIdFTPListItems::Clear() {
    FItems.clear();
}

void TIdFTPListItems::Remove(const TIdFTPListItem* AItem) {
    // Searched by identity: a custom parser may have added or removed entries meanwhile.
    for (auto it = FItems.rbegin(); it != FItems.rend(); ++it) {
        if (it->get() == AItem) {
            FItems.erase(std::next(it).base());
            return;
        }
    }
}

void TIdFTPListItems::LoadLines(const std::vector<std::string>& ALines) {
    Clear();
    const TIdFTPListFormat format = FListingFormat;
    // Unix servers open a long listing with a block count, which is no entry.
    const size_t skip =
        format == flfUnix && !ALines.empty() && TextPos("TOTAL", UpperCaseAscii(ALines[0])) == 1
            ? 1
            : 0;
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
            ParseLine(format, item);
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

    if (U.size() >= 10 && (U[0] == '-' || U[0] == 'D' || U[0] == 'L') &&
        std::all_of(U.begin() + 1, U.begin() + 10,
                    [](char c) { return c == '-' || c == 'R' || c == 'W' || c == 'X'; })) {
        return flfUnix;
    }
    if (U.starts_with("TOTAL")) {
        return flfUnix;
    }
    if (TextPos("DSK:", U) > 0) {
        return flfVax;
    }

    if (U.size() < 6 || (U[2] != '-' && U[2] != '/') || (U[5] != '-' && U[5] != '/')) {
        return flfUnknown;
    }
    const std::string D = TrimControl(Copy(U, 25, 6));
    if (D == "<DIR>") {
        return flfDos;
    }
    const std::string S = WithoutCommas(TrimControl(Copy(U, 31, 8)));
    if (D.empty() && DecimalOr<int64_t>(S, -1) != -1) {
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
    switch (AFormat) {
    case flfNone:
        break;
    case flfDos:
        ParseDosLine(AItem, Now());
        break;
    case flfUnix:
    case flfVax:
        ParseUnixLine(AItem, Now());
        break;
    case flfNoDetails:
        AItem.Name = TrimControl(AItem.RawLine);
        break;
    case flfCustom:
        ParseCustomLine(AItem);
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
    const std::string line = TrimControlRight(AItem.RawLine);
    TIdColumns columns;
    SplitColumns(line, columns, " ");

    // Some servers leave out the group column; their size column then holds
    // the date's month name.
    if (columns.size() == 8 && !columns[4].Text.empty() && IsAsciiLetter(columns[4].Text[0])) {
        columns.insert(columns.begin() + 2, TIdColumn{});
    }
    if (columns.size() < 8) {
        RaiseUnknownFormat();
    }
    auto column = [&columns](size_t AIndex) -> const std::string& { return columns[AIndex].Text; };

    const std::string& mode = column(0);
    const char type = mode.empty() ? ' ' : UpperCaseAscii(mode.substr(0, 1))[0];
    const std::string ownerRights = Copy(mode, 2, 3);
    const std::string groupRights = Copy(mode, 5, 3);
    const std::string otherRights = Copy(mode, 8, 3);
    const int32_t linkCount = DecimalOr<int32_t>(column(1), 0);

    const int32_t month = MonthFromName(column(5));
    const int32_t day = DecimalOr<int32_t>(column(6), ANow.Day);
    int32_t year = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    const std::string& timeOrYear = column(7);
    const size_t colon = timeOrYear.find(':');
    if (colon != std::string::npos) {
        // Entries younger than about six months show a time instead of a year;
        // a month later than this one can then only be last year's.
        year = ANow.Month < month ? ANow.Year - 1 : ANow.Year;
        hour = DecimalOr<int32_t>(std::string_view(timeOrYear).substr(0, colon), 0);
        minute = DecimalOr<int32_t>(std::string_view(timeOrYear).substr(colon + 1), 0);
    } else {
        year = DecimalOr<int32_t>(timeOrYear, ANow.Year);
    }

    // The name runs from its first column to the end of the line, so blank
    // runs inside it stay exactly as the server listed them.
    std::string name;
    if (columns.size() > 8) {
        size_t from = static_cast<size_t>(columns[8].Position - 1);
        while (from < line.size() && IsControlOrBlank(line[from])) {
            ++from;
        }
        name = line.substr(std::min(from, line.size()));
    }

    const TIdListItemKind kind = type == 'D'   ? likDirectory
                                 : type == 'L' ? likSymbolicLink
                                               : likFile;
    AItem.Kind = kind;
    AItem.OwnerRights = ownerRights;
    AItem.GroupRights = groupRights;
    AItem.OtherRights = otherRights;
    AItem.LinkCount = linkCount;
    AItem.Owner = column(2);
    AItem.Group = column(3);
    AItem.FileSize = DecimalOr<int64_t>(column(4), 0);
    // The seconds are not listed; 999 ms marks the time as rounded down.
    AItem.Modified = TIdDateTime::Encode(year, month, day, hour, minute, 0, 999);

    if (kind == likSymbolicLink) {
        const int32_t p = TextPos(" -> ", name);
        // A link listed without its target keeps its whole text as the name.
        if (p > 0) {
            AItem.LinkTarget = name.substr(static_cast<size_t>(p - 1) + 4);
            name.resize(static_cast<size_t>(p - 1));
        }
    }
    AItem.Name = name;
}

void ParseDosLine(TIdFTPListItem& AItem) {
    ParseDosLine(AItem, LocalNow());
}

void ParseDosLine(TIdFTPListItem& AItem, const TIdDateTime& ANow) {
    const std::string& raw = AItem.RawLine;
    // The separators in columns 3 and 6 vary between servers ("-" or "/").
    std::string dateText = Copy(raw, 1, 2) + "/" + Copy(raw, 4, 2) + "/" + Copy(raw, 7, 2) + " ";
    std::string rest = TrimControl(Copy(raw, 9, std::string::npos));
    dateText += CutToken(rest, " ", true, true);

    rest = TrimControl(rest);
    const std::string token = WithoutCommas(CutToken(rest, " ", true, true));
    const bool directory = UpperCaseAscii(token) == "<DIR>";
    const std::string sizeText = directory ? std::string() : token;

    AItem.Name = TrimControl(rest);
    AItem.Kind = directory ? likDirectory : likFile;
    AItem.FileSize = DecimalOr<int64_t>(sizeText, 0);
    TIdDateTime modified;
    if (!TryParseDosDateTime(dateText, ANow.Year, modified)) {
        modified = TIdDateTime{};
    }
    AItem.Modified = modified;
}
