#include "IdRFCReply.h"

#include "IdGlobal.h"

#include <charconv>

namespace {

// Whole-text integer conversion: anything but an optional sign and digits is not a number.
int32_t TextToCode(const std::string& AText) {
    int32_t value = 0;
    const char* begin = AText.data();
    const char* end = begin + AText.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    return (ec == std::errc() && ptr == end && begin != end) ? value : 0;
}

} // namespace

void TIdRFCReply::SetNumericCode(int32_t AValue) {
    FNumericCode = AValue;
    if (AValue > 0) {
        FTextCode = std::to_string(AValue);
    }
}

void TIdRFCReply::SetTextCode(const std::string& AValue) {
    FTextCode = AValue;
    if (!AValue.empty()) {
        FNumericCode = TextToCode(AValue);
    }
}

void TIdRFCReply::Reset() {
    FNumericCode = 0;
    FText.clear();
    FTextCode.clear();
}

void TIdRFCReply::CopyFrom(const TIdRFCReply& ASource) {
    if (&ASource == this) {
        return;
    }
    Reset();
    FNumericCode = ASource.FNumericCode;
    FText = ASource.FText;
    FTextCode = ASource.FTextCode;
}

void TIdRFCReply::ParseLines(const std::vector<std::string>& ALines) {
    Reset();
    if (ALines.empty()) {
        return;
    }
    std::string code = TrimControl(ALines.front().substr(0, 4));
    if (code.size() == 4 && code[3] == '-') {
        code.resize(3);
    }
    SetTextCode(code);
    // Continuation lines lose their first four characters too, code or not.
    for (const std::string& line : ALines) {
        FText.push_back(line.size() > 4 ? line.substr(4) : std::string());
    }
}

std::string TIdRFCReply::TextWithLineEnds() const {
    std::string message;
    for (const std::string& line : FText) {
        message += line;
        message += "\r\n";
    }
    return message;
}
