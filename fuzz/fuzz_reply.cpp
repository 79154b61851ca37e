// Feeds arbitrary bytes as a server's control-connection output through reply
// reading and plain line reading, in every line-limit setting and segment
// size, and checks what must hold for any input.
#include "FuzzIOHandler.h"
#include "IdException.h"
#include "IdGlobal.h"
#include "IdTCPConnection.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int32_t kMaxLengths[] = {16384, 0, 1, 3, 4, 5, 80};

// Every reply read consumes at least one line, so the loop ends with the data.
void ReadReplies(TIdTCPConnection& AConnection, TFuzzIOHandler& AHandler, bool ACheckCodes) {
    try {
        for (;;) {
            const size_t before = AHandler.Consumed() - AConnection.ReceivedData().Size();
            if (ACheckCodes) {
                const int16_t code = AConnection.GetReply({});
                Check(code == static_cast<int16_t>(AConnection.LastReply().NumericCode()));
                try {
                    AConnection.GetReply({code == 220 ? int16_t(221) : int16_t(220)});
                } catch (const EIdProtocolReplyError& e) {
                    Check(e.ReplyCode == AConnection.LastReply().NumericCode());
                    // The message is a C string: a NUL byte in the reply ends it.
                    const std::string text = AConnection.LastReply().TextWithLineEnds();
                    Check(std::string(e.what()) == text.substr(0, text.find('\0')));
                }
            } else {
                AConnection.ReadReply();
            }
            const TIdRFCReply& reply = AConnection.LastReply();
            Check(!reply.Text().empty());
            Check(reply.TextCode().size() <= 4);
            Check(AHandler.Consumed() - AConnection.ReceivedData().Size() > before);
        }
    } catch (const EIdException&) {
        // Closed, over-long line or refused code: the ways a reply read may end.
    }
}

void ReadLines(TIdTCPConnection& AConnection, TFuzzIOHandler& AHandler, size_t AInputSize) {
    size_t returned = 0;
    try {
        for (;;) {
            const std::string line = AConnection.ReadLine();
            Check(line.find('\n') == std::string::npos);
            if (AConnection.MaxLineLength > 0) {
                Check(line.size() <= static_cast<size_t>(AConnection.MaxLineLength));
            }
            if (AConnection.LineIncomplete) {
                Check(line.empty());
            }
            returned += line.size();
            Check(returned <= AInputSize);
            Check(AHandler.Consumed() <= AInputSize);
        }
    } catch (const EIdException&) {
    }
}

// Any bytes, cut into lines, as the continuation lines of one multi-line
// reply: short, blank, other codes and the code repeated with a hyphen all
// belong to it. Only lines that close it by the protocol's rule are left
// out. The reply behind it must then be read whole: the connection stays in
// step whatever a banner or FEAT list contains.
void StaysInStep(const std::string& AInput, uint8_t AChoice) {
    const std::string code = std::to_string(100 + AChoice % 500);
    std::string raw = code + "-first\r\n";
    size_t from = 0;
    while (from <= AInput.size()) {
        const size_t end = std::min(AInput.find('\n', from), AInput.size());
        const std::string line = AInput.substr(from, end - from);
        const std::string trimmed = TrimControl(line);
        const bool closes =
            trimmed.compare(0, 3, code) == 0 && (trimmed.size() == 3 || trimmed[3] == ' ');
        if (!closes) {
            raw += line + "\r\n";
        }
        from = end + 1;
    }
    raw += code + " last\r\n250 next\r\n";
    TFuzzIOHandler handler(raw, FuzzChunkSize(AChoice));
    TIdTCPConnection connection;
    connection.SetIOHandler(&handler);
    connection.MaxLineLength = 0;
    connection.ReadReply();
    Check(connection.LastReply().TextCode() == code);
    Check(connection.LastReply().Text().back() == "last");
    connection.ReadReply();
    Check(connection.LastReply().NumericCode() == 250);
    Check(connection.LastReply().Text() == std::vector<std::string>{"next"});
    Check(connection.ReceivedData().Size() == 0 && handler.Consumed() == raw.size());
    connection.CloseConnection();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2) {
        return 0;
    }
    const uint8_t mode = AData[0];
    const std::string input(reinterpret_cast<const char*>(AData + 2), ASize - 2);

    TFuzzIOHandler handler(input, FuzzChunkSize(AData[1]));
    TIdTCPConnection connection;
    connection.SetIOHandler(&handler);
    connection.MaxLineAction = (mode & 1) ? maSplit : maException;
    connection.MaxLineLength = kMaxLengths[(mode >> 1) % (sizeof kMaxLengths / sizeof(int32_t))];
    connection.RecvBufferSize = (mode & 0x40) ? 1024 : 32768;

    StaysInStep(input, AData[1]);
    if (mode & 0x80) {
        ReadLines(connection, handler, input.size());
    } else {
        ReadReplies(connection, handler, (mode & 0x20) != 0);
    }
    // Whatever came in, the connection must end in a state that closes cleanly.
    connection.CloseConnection();
    Check(!connection.IsConnected());
    return 0;
}
