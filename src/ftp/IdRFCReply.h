#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One numbered protocol reply: its code as received and as a number, and the
// text of each line with the code part removed.
class TIdRFCReply {
public:
    TIdRFCReply() { Reset(); }

    int32_t NumericCode() const { return FNumericCode; }
    // Only a positive number also rewrites TextCode.
    void SetNumericCode(int32_t AValue);

    const std::string& TextCode() const { return FTextCode; }
    // Only a non-empty text also rewrites NumericCode (0 when not a number).
    void SetTextCode(const std::string& AValue);

    const std::vector<std::string>& Text() const { return FText; }
    void SetText(const std::vector<std::string>& AValue) { FText = AValue; }

    void Reset();
    void CopyFrom(const TIdRFCReply& ASource);
    // Rebuilds the reply from the raw lines of one reply.
    void ParseLines(const std::vector<std::string>& ALines);

    // The Text lines, each followed by CR LF: the message of a reply error.
    std::string TextWithLineEnds() const;

private:
    int32_t FNumericCode = 0;
    std::string FTextCode;
    std::vector<std::string> FText;
};

// Reply codes a command exchange accepts; empty accepts every code.
using TIdReplyCodes = std::vector<int16_t>;
