#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Byte-string helpers shared by the socket, connection, FTP and listing code.
// Positions are 1-based; 0 means "not found".

// Splits off the text before Delim. With Delete, Input keeps what follows the
// delimiter (or becomes empty when there is none).
std::string CutToken(std::string& Input, std::string_view Delim, bool Delete = true,
                     bool CaseSensitive = true);

// Last occurrence of Sub at or before Start (-1: the end of Text), ignoring
// ASCII letter case.
int32_t ReversePos(std::string_view Sub, std::string_view Text, int32_t Start = -1);

// 0-based index of S in Items, or -1.
int32_t IndexInStrings(std::string_view S, const std::vector<std::string>& Items,
                       bool CaseSensitive);

// The process character set is treated as single-byte (wire text is bytes), so
// the text search is the plain byte search.
int32_t SingleBytePos(std::string_view Sub, std::string_view Text);
int32_t TextPos(std::string_view Sub, std::string_view Text);

// First occurrence of Sub starting at character Start (0 counts as 1).
int32_t PosFrom(std::string_view Sub, std::string_view Text, int32_t Start);

// First occurrence of Sub wholly inside the first Size bytes of Buffer.
int32_t BufferPos(std::string_view Sub, const char* Buffer, int64_t Size);

// 1..12 for "JAN".."DEC" in any letter case, else 0.
int32_t MonthFromName(std::string_view Name);

// One column of a split line and the 1-based position in the line where it starts.
struct TIdColumn {
    std::string Text;
    int32_t Position = 0;
};
using TIdColumns = std::vector<TIdColumn>;

// Splits Line at Delim; runs of delimiters give no empty columns.
void SplitColumns(std::string_view Line, TIdColumns& Columns, std::string_view Delim);

// True when S holds nothing but blanks and tabs (or nothing at all).
bool IsBlankLine(std::string_view S);

int32_t MinOf(int32_t A, int32_t B);

void PauseMs(uint32_t Milliseconds);

// The main thread is the thread that ran the program's static initialisation,
// which is the thread that calls main().
bool IsMainThread();

// Small byte-string utilities used across the library.
std::string TrimControl(std::string_view S);      // drops bytes <= 32 at both ends
std::string UpperCaseAscii(std::string_view S);
std::string LowerCaseAscii(std::string_view S);
bool SameTextAscii(std::string_view A, std::string_view B);
bool StartsWithText(std::string_view S, std::string_view Prefix); // ASCII case-insensitive

// A name as a person may see it: every byte below 0x20, 0x7F and the
// backslash written as an escape ("\x1b", "\\"), so a name a server chose
// can neither split a line of output nor send sequences to a terminal.
std::string EscapeControl(std::string_view S);

// Why a listed name cannot be one component of a local path (or the remote
// path built from it): empty, ".", "..", a "/", a "\", a NUL, or a CR or LF
// (which no command can carry). Empty when the name is usable.
std::string UnsafeNameReason(std::string_view AName);
inline bool IsSafeEntryName(std::string_view AName) {
    return UnsafeNameReason(AName).empty();
}

// A whole-text decimal integer: an optional sign, then digits only, within the
// range of T. False (and AValue untouched) for anything else.
template <typename T> bool TryStrToInt(std::string_view AText, T& AValue) {
    size_t i = 0;
    bool negative = false;
    if (i < AText.size() && (AText[i] == '+' || AText[i] == '-')) {
        negative = AText[i] == '-';
        ++i;
    }
    if (i == AText.size()) {
        return false;
    }
    // Accumulate towards the negative side so that the minimum value fits.
    int64_t value = 0;
    const int64_t lowest = negative ? static_cast<int64_t>(std::numeric_limits<T>::min())
                                    : -static_cast<int64_t>(std::numeric_limits<T>::max());
    for (; i < AText.size(); ++i) {
        const char c = AText[i];
        if (c < '0' || c > '9') {
            return false;
        }
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) {
            return false;
        }
        value = value * 10 - digit;
    }
    AValue = static_cast<T>(negative ? value : -value);
    return true;
}

// Finally-logic: runs its action when the scope ends. The success path calls
// Commit, which runs the action at once and lets its failure propagate; while
// another failure unwinds, the action still runs but its own failure is
// dropped, so that the first failure is the one the caller sees and nothing
// throws from a destructor.
template <typename F> class TIdScopeExit {
public:
    explicit TIdScopeExit(F AAction) : FAction(std::move(AAction)) {}
    ~TIdScopeExit() {
        if (!FDone) {
            try {
                FAction();
            } catch (...) {
            }
        }
    }
    TIdScopeExit(const TIdScopeExit&) = delete;
    TIdScopeExit& operator=(const TIdScopeExit&) = delete;

    void Commit() {
        if (!FDone) {
            FDone = true;
            FAction();
        }
    }

private:
    F FAction;
    bool FDone = false;
};
