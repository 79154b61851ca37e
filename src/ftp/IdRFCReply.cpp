#include "IdRFCReply.h"

#include "IdGlobal.h"

void TIdRFCReply::SetNumericCode(int32_t AValue) {
    FNumericCode = AValue;
    if (AValue > 0) {
        FTextCode = std::to_string(AValue);
    }
}

void TIdRFCReply::SetTextCode(const std::string& AValue) {
    FTextCode = AValue;
    if (!AValue.empty()) {
        int32_t code = 0;
        FNumericCode = TryStrToInt(AValue, code) ? code : 0;
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
