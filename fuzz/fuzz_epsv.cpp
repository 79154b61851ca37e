// Feeds arbitrary bytes as the server's answers to EPSV and checks that the
// client either refuses them with its own exceptions or yields a port that is
// a port, and that the parser alone agrees with what went over the wire.
#include "FuzzIOHandler.h"
#include "IdException.h"
#include "IdFTP.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1) {
        return 0;
    }
    std::string input(reinterpret_cast<const char*>(AData + 1), ASize - 1);
    try {
        const int32_t port = TIdFTP::ExtendedPassivePort(input);
        Check(port >= 1 && port <= 65535);
    } catch (const EIdException&) {
    }
    // Most inputs should reach the parser, so the fuzzer need not find the code.
    if (AData[0] & 1) {
        input = "229 " + input;
    }
    TFuzzIOHandler handler(input, FuzzChunkSize(AData[0] >> 1));
    TIdFTP ftp;
    ftp.SetIOHandler(&handler);
    try {
        for (int i = 0; i < 64; ++i) {
            int32_t port = -1;
            if (ftp.RequestExtendedPassive(port)) {
                Check(ftp.LastReply().NumericCode() == 229);
                Check(port >= 1 && port <= 65535);
            } else {
                const int code = ftp.LastReply().NumericCode();
                Check(code == 500 || code == 501 || code == 502);
            }
        }
    } catch (const EIdException&) {
    }
    // Only EPSV lines were ever sent.
    for (size_t at = 0; at < handler.Sent.size(); at += 6) {
        Check(handler.Sent.compare(at, 6, "EPSV\r\n") == 0);
    }
    return 0;
}
