// Feeds arbitrary bytes as the server's answers to PASV and checks that the
// client either refuses them with its own exceptions or yields a host text and
// a port, whatever the fields hold.
#include "FuzzIOHandler.h"
#include "IdException.h"
#include "IdFTP.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1) {
        return 0;
    }
    std::string input(reinterpret_cast<const char*>(AData + 1), ASize - 1);
    // Most inputs should reach the parser, so the fuzzer need not find the code.
    if (AData[0] & 1) {
        input = "227 " + input;
    }
    TFuzzIOHandler handler(input, FuzzChunkSize(AData[0] >> 1));
    TIdFTP ftp;
    ftp.SetIOHandler(&handler);
    try {
        for (int i = 0; i < 64; ++i) {
            std::string host;
            int32_t port = -1;
            ftp.RequestPassive(host, port);
            Check(ftp.LastReply().NumericCode() == 227);
            Check(host.size() <= input.size() + 3);
            Check(host.find('\n') == std::string::npos);
        }
    } catch (const EIdException&) {
    }
    // Only PASV lines were ever sent.
    for (size_t at = 0; at < handler.Sent.size(); at += 6) {
        Check(handler.Sent.compare(at, 6, "PASV\r\n") == 0);
    }
    return 0;
}
