#include "IdFTPListMlsd.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <algorithm>

namespace {

[[noreturn]] void RaiseUnreadable() {
    throw EIdInvalidFTPListingFormat(IdResourceStrings::RSInvalidFTPListingFormat);
}

bool IsDigits(std::string_view AText) {
    return !AText.empty() &&
           std::all_of(AText.begin(), AText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int32_t Digits(std::string_view AText, size_t AFrom, size_t ACount) {
    int32_t value = 0;
    for (size_t i = AFrom; i < AFrom + ACount; ++i) {
        value = value * 10 + (AText[i] - '0');
    }
    return value;
}

// "YYYYMMDDHHMMSS" with an optional fraction of a second ".s", ".sss", ...
bool TryParseModify(std::string_view AText, TIdDateTime& AResult) {
    const std::string_view whole = AText.substr(0, 14);
    if (whole.size() != 14 || !IsDigits(whole)) {
        return false;
    }
    int32_t millisecond = 0;
    if (AText.size() > 14) {
        const std::string_view fraction = AText.substr(15);
        if (AText[14] != '.' || !IsDigits(fraction)) {
            return false;
        }
        for (size_t i = 0; i < 3; ++i) {
            millisecond = millisecond * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
        }
    }
    TIdDateTime utc;
    if (!TIdDateTime::TryEncode(Digits(AText, 0, 4), Digits(AText, 4, 2), Digits(AText, 6, 2),
                                Digits(AText, 8, 2), Digits(AText, 10, 2), Digits(AText, 12, 2),
                                millisecond, utc)) {
        return false;
    }
    AResult = UtcToLocal(utc);
    return true;
}

// "0755", "100644": the permission bits as ls shows them, with the
// set-user, set-group and sticky letters in the execute places.
void ApplyUnixMode(std::string_view AText, TIdFTPListItem& AItem) {
    if (AText.empty() || AText.size() > 12 ||
        !std::all_of(AText.begin(), AText.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        return;
    }
    uint32_t mode = 0;
    for (const char c : AText) {
        mode = mode * 8 + static_cast<uint32_t>(c - '0');
    }
    const auto triple = [mode](int AShift, uint32_t ASpecial, char ASet, char AUnset) {
        std::string rights = "---";
        const uint32_t bits = (mode >> AShift) & 7;
        rights[0] = (bits & 4) ? 'r' : '-';
        rights[1] = (bits & 2) ? 'w' : '-';
        const bool execute = (bits & 1) != 0;
        rights[2] = (mode & ASpecial) ? (execute ? ASet : AUnset) : (execute ? 'x' : '-');
        return rights;
    };
    AItem.OwnerRights = triple(6, 04000, 's', 'S');
    AItem.GroupRights = triple(3, 02000, 's', 'S');
    AItem.OtherRights = triple(0, 01000, 't', 'T');
}

} // namespace

bool IsMlsdLine(std::string_view ALine) {
    const size_t blank = ALine.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank + 1 == ALine.size() ||
        ALine[blank - 1] != ';') {
        return false;
    }
    std::string_view facts = ALine.substr(0, blank - 1);
    while (true) {
        const size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        const size_t equals = fact.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        facts.remove_prefix(end + 1);
    }
}

void ParseMlsdLine(TIdFTPListItem& AItem) {
    const std::string_view line = AItem.RawLine;
    // The facts end at the first blank; the name is the rest, whatever it holds.
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 == line.size()) {
        RaiseUnreadable();
    }
    std::string_view facts = line.substr(0, blank);
    TIdListItemKind kind = likFile;
    std::string_view linkTarget;
    std::string_view size;
    std::string_view dirSize;
    std::string_view perm;
    std::string_view unique;
    std::string_view mode;
    TIdDateTime modified;
    while (!facts.empty()) {
        const size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        facts.remove_prefix(end == std::string_view::npos ? facts.size() : end + 1);
        if (fact.empty()) {
            continue;
        }
        const size_t equals = fact.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            RaiseUnreadable();
        }
        const std::string_view name = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (SameTextAscii(name, "type")) {
            if (SameTextAscii(value, "cdir") || SameTextAscii(value, "pdir")) {
                RaiseUnreadable();
            }
            // A repeated type fact replaces the earlier one, target and all.
            linkTarget = std::string_view();
            if (SameTextAscii(value, "dir")) {
                kind = likDirectory;
            } else if (StartsWithText(value, "os.unix=slink") ||
                       StartsWithText(value, "os.unix=symlink")) {
                kind = likSymbolicLink;
                const size_t colon = value.find(':');
                linkTarget =
                    colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);
            } else {
                // Files, and what a server names in its own terms (devices,
                // pipes), which LIST shows as files too.
                kind = likFile;
            }
        } else if (SameTextAscii(name, "size")) {
            size = value;
        } else if (SameTextAscii(name, "sizd")) {
            dirSize = value;
        } else if (SameTextAscii(name, "modify")) {
            // A date that does not read leaves the entry undated, as DOS lines do.
            if (!TryParseModify(value, modified)) {
                modified = TIdDateTime{};
            }
        } else if (SameTextAscii(name, "perm")) {
            perm = value;
        } else if (SameTextAscii(name, "unique")) {
            unique = value;
        } else if (SameTextAscii(name, "unix.mode")) {
            mode = value;
        }
    }
    if (kind == likDirectory && !dirSize.empty()) {
        size = dirSize;
    }
    int64_t fileSize = 0;
    if (!size.empty() && (!IsDigits(size) || !TryStrToInt(size, fileSize))) {
        RaiseUnreadable();
    }

    AItem.Kind = kind;
    AItem.FileSize = fileSize;
    AItem.Modified = modified;
    AItem.Perm = perm;
    AItem.Unique = unique;
    AItem.LinkTarget = linkTarget;
    ApplyUnixMode(mode, AItem);
    AItem.Name = line.substr(blank + 1);
}
