// Feeds arbitrary bytes as a SOCKS proxy's answers to the 4, 4A and 5
// negotiations and checks that every outcome is success or one of the
// connection layer's own exceptions, and that the requests stay well formed.
#include "FuzzIOHandler.h"
#include "IdException.h"
#include "IdSocks.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2) {
        return 0;
    }
    const uint8_t mode = AData[0];
    const std::string input(reinterpret_cast<const char*>(AData + 2), ASize - 2);
    TFuzzIOHandler handler(input, FuzzChunkSize(AData[1]));
    TIdSocksInfo socks;
    socks.SetHandler(&handler);
    static constexpr TSocksVersion kVersions[] = {svSocks4, svSocks4A, svSocks5, svSocks5};
    socks.Version = kVersions[mode & 3];
    socks.Authentication = (mode & 4) ? saUsernamePassword : saNoAuthentication;
    socks.Username = (mode & 8) ? "user" : "";
    socks.Password = "secret";
    // SOCKS 4 resolves the target locally; a dotted quad keeps it off the network.
    const std::string host = socks.Version == svSocks4 ? "127.0.0.1" : "ftp.example.org";
    bool granted = false;
    try {
        socks.Negotiate(host, 2121);
        granted = true;
    } catch (const EIdException&) {
    }
    Check(!handler.Sent.empty());
    if (socks.Version == svSocks5) {
        Check(handler.Sent.compare(0, 2, "\x05\x01") == 0);
    } else {
        Check(handler.Sent.compare(0, 2, "\x04\x01") == 0);
        if (granted) {
            Check(input.size() >= 8 && static_cast<uint8_t>(input[1]) == 90);
        }
    }
    Check(handler.Consumed() <= input.size());
    return 0;
}
