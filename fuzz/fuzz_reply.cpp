// Feeds arbitrary bytes as a server's control-connection output through reply
// reading and plain line reading, in every line-limit setting and segment
// size, and checks what must hold for any input.
#include "FuzzIOHandler.h"
#include "IdException.h"
#include "IdTCPConnection.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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
