#include "IdGlobal.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

const std::thread::id gMainThreadId = std::this_thread::get_id();

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimmedView(std::string_view S) {
    while (!S.empty() && IsControlOrBlank(S.front())) {
        S.remove_prefix(1);
    }
    while (!S.empty() && IsControlOrBlank(S.back())) {
        S.remove_suffix(1);
    }
    return S;
}

// Byte search with a first-byte test; Start is 0-based.
int32_t FindFrom(std::string_view Sub, std::string_view Text, size_t Start) {
    if (Sub.empty() || Text.size() < Sub.size() || Start > Text.size() - Sub.size()) {
        return 0;
    }
    const char first = Sub.front();
    const size_t last = Text.size() - Sub.size();
    for (size_t i = Start; i <= last; ++i) {
        const void* hit = std::memchr(Text.data() + i, first, last - i + 1);
        if (!hit) {
            return 0;
        }
        i = static_cast<size_t>(static_cast<const char*>(hit) - Text.data());
        if (std::memcmp(Text.data() + i + 1, Sub.data() + 1, Sub.size() - 1) == 0) {
            return static_cast<int32_t>(i + 1);
        }
    }
    return 0;
}

} // namespace

std::string CutToken(std::string& Input, std::string_view Delim, bool Delete, bool CaseSensitive) {
    int32_t p;
    if (Delim.size() == 1 && Delim[0] == '\0') {
        p = SingleBytePos(Delim, Input);
    } else if (CaseSensitive) {
        p = TextPos(Delim, Input);
    } else {
        p = TextPos(UpperCaseAscii(Delim), UpperCaseAscii(Input));
    }
    std::string token;
    if (p > 0) {
        token = Input.substr(0, static_cast<size_t>(p - 1));
        if (Delete) {
            Input.erase(0, static_cast<size_t>(p - 1) + Delim.size());
        }
    } else {
        token = Input;
        if (Delete) {
            Input.clear();
        }
    }
    return token;
}

int32_t ReversePos(std::string_view Sub, std::string_view Text, int32_t Start) {
    const int32_t L = static_cast<int32_t>(Sub.size());
    const int32_t N = static_cast<int32_t>(Text.size());
    if (Start == -1 || Start >= N - L + 1) {
        Start = N - L + 1;
    }
    for (int32_t p = Start; p >= 1; --p) {
        bool equal = true;
        for (int32_t k = 0; k < L; ++k) {
            if (UpperAscii(Text[static_cast<size_t>(p - 1 + k)]) !=
                UpperAscii(Sub[static_cast<size_t>(k)])) {
                equal = false;
                break;
            }
        }
        if (equal) {
            return p;
        }
    }
    return 0;
}

int32_t IndexInStrings(std::string_view S, const std::vector<std::string>& Items,
                       bool CaseSensitive) {
    for (size_t i = 0; i < Items.size(); ++i) {
        if (CaseSensitive ? Items[i] == S : SameTextAscii(Items[i], S)) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

int32_t SingleBytePos(std::string_view Sub, std::string_view Text) { return FindFrom(Sub, Text, 0); }

int32_t TextPos(std::string_view Sub, std::string_view Text) { return SingleBytePos(Sub, Text); }

int32_t PosFrom(std::string_view Sub, std::string_view Text, int32_t Start) {
    if (Start < 1) {
        Start = 1;
    }
    return FindFrom(Sub, Text, static_cast<size_t>(Start - 1));
}

int32_t BufferPos(std::string_view Sub, const char* Buffer, int64_t Size) {
    if (Sub.empty() || Size < static_cast<int64_t>(Sub.size())) {
        return 0;
    }
    return FindFrom(Sub, std::string_view(Buffer, static_cast<size_t>(Size)), 0);
}

int32_t MonthFromName(std::string_view Name) {
    static const std::array<const char*, 12> months = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const std::string upper = UpperCaseAscii(Name);
    for (size_t i = 0; i < months.size(); ++i) {
        if (upper == months[i]) {
            return static_cast<int32_t>(i + 1);
        }
    }
    return 0;
}

void SplitColumns(std::string_view Line, TIdColumns& Columns, std::string_view Delim) {
    Columns.clear();
    const std::string_view T = TrimmedView(Line);
    if (T.empty()) {
        return;
    }
    const auto lead = static_cast<int32_t>(T.data() - Line.data());
    int32_t F = 1;
    int32_t p = SingleBytePos(Delim, T);
    while (p > 0) {
        const std::string_view piece = T.substr(static_cast<size_t>(F - 1), static_cast<size_t>(p - F));
        if (!piece.empty()) {
            Columns.push_back({TrimControl(piece), lead + F});
        }
        F = p + static_cast<int32_t>(Delim.size());
        p = PosFrom(Delim, T, F);
    }
    if (F <= static_cast<int32_t>(T.size())) {
        Columns.push_back({TrimControl(T.substr(static_cast<size_t>(F - 1))), lead + F});
    }
}

bool IsBlankLine(std::string_view S) {
    return std::all_of(S.begin(), S.end(), [](char c) { return c == ' ' || c == '\t'; });
}

int32_t MinOf(int32_t A, int32_t B) { return B < A ? B : A; }

void PauseMs(uint32_t Milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

bool IsMainThread() { return std::this_thread::get_id() == gMainThreadId; }

std::string TrimControl(std::string_view S) {
    return std::string(TrimmedView(S));
}

std::string UpperCaseAscii(std::string_view S) {
    std::string result(S);
    std::transform(result.begin(), result.end(), result.begin(), UpperAscii);
    return result;
}

std::string LowerCaseAscii(std::string_view S) {
    std::string result(S);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return result;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
    return A.size() == B.size() &&
           std::equal(A.begin(), A.end(), B.begin(),
                      [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}

bool StartsWithText(std::string_view S, std::string_view Prefix) {
    return S.size() >= Prefix.size() && SameTextAscii(S.substr(0, Prefix.size()), Prefix);
}

std::string EscapeControl(std::string_view S) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(S.size());
    for (const char c : S) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

std::string UnsafeNameReason(std::string_view AName) {
    if (AName.empty()) {
        return "an empty name";
    }
    if (AName == "." || AName == "..") {
        return "the name '" + std::string(AName) + "' is no entry of the folder";
    }
    if (AName.find('/') != std::string_view::npos || AName.find('\\') != std::string_view::npos) {
        return "a name with a path separator";
    }
    if (AName.find('\0') != std::string_view::npos) {
        return "a name with a NUL byte";
    }
    if (AName.find_first_of("\r\n") != std::string_view::npos) {
        return "a name with a line break, which no command can carry";
    }
    return std::string();
}
