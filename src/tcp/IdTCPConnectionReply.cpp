#include "IdTCPConnection.h"

#include "IdException.h"
#include "IdGlobal.h"
#include "IdResourceStrings.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

void TIdTCPConnection::ReadReply() {
    constexpr int32_t Attempts = std::numeric_limits<int32_t>::max();
    std::vector<std::string> lines;
    lines.push_back(ReadNonEmptyLine(Attempts));
    const std::string& first = lines.front();
    if (first.size() > 3 && first[3] == '-') {
        // Only the reply's own code ends it: followed by a blank, or alone on
        // its line. Servers list three-letter features (" CCC") and put short
        // lines ("--", "  *") in banners; ending at those would leave the rest
        // to be read as the answers to the commands that follow.
        const std::string code = first.substr(0, 3);
        for (;;) {
            lines.push_back(ReadNonEmptyLine(Attempts));
            const std::string_view line = lines.back();
            if (SameTextAscii(line.substr(0, 3), code) && (line.size() == 3 || line[3] == ' ')) {
                break;
            }
        }
    }
    FLastReply.ParseLines(lines);
    FLastReplyLines = std::move(lines);
}

int16_t TIdTCPConnection::GetReply(const TIdReplyCodes& AAllowed) {
    ReadReply();
    return CheckReplyCode(static_cast<int16_t>(FLastReply.NumericCode()), AAllowed);
}

int16_t TIdTCPConnection::CheckReplyCode(int16_t ACode, const TIdReplyCodes& AAllowed) {
    if (AAllowed.empty() || std::find(AAllowed.begin(), AAllowed.end(), ACode) != AAllowed.end()) {
        return ACode;
    }
    RaiseReplyError();
    // Reached only through an override that chose not to raise.
    return ACode;
}

void TIdTCPConnection::RaiseReplyError() {
    throw EIdProtocolReplyError(FLastReply.NumericCode(), FLastReply.TextWithLineEnds());
}

void TIdTCPConnection::RaiseReplyError(TIdExceptionClass AClass) {
    const std::string message = FLastReply.TextWithLineEnds();
    if (AClass) {
        AClass(message);
    }
    // Only reached with a class routine that failed to raise.
    throw EIdException(message);
}

void TIdTCPConnection::CheckCommandText(const std::string& ACommand) {
    if (ACommand.find_first_of("\r\n") != std::string::npos) {
        throw EIdException(IdResourceStrings::RSCommandHasLineBreak);
    }
}

int16_t TIdTCPConnection::SendCommand(const std::string& ACommand, const TIdReplyCodes& AAllowed) {
    CheckCommandText(ACommand);
    WriteLine(ACommand);
    return GetReply(AAllowed);
}

int16_t TIdTCPConnection::SendCommand(const std::string& ACommand, int16_t AResponse) {
    if (AResponse == -1) {
        return SendCommand(ACommand, TIdReplyCodes());
    }
    return SendCommand(ACommand, TIdReplyCodes{AResponse});
}
