// Feeds arbitrary bytes as the server's side of a session that asks for TLS
// (greeting, answers to AUTH, and whatever a handshake then reads) and checks
// that nothing of the sign-in ever goes out in clear when TLS was required,
// nor after the server accepted AUTH.
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
    const bool required = AData[0] & 1;
    std::string input(reinterpret_cast<const char*>(AData + 1), ASize - 1);
    TFuzzIOHandler handler(input, FuzzChunkSize(AData[0] >> 1));
    TIdFTP ftp;
    ftp.SetIOHandler(&handler);
    ftp.SetHost("ftp.example");
    ftp.Username = "fuzz-user";
    ftp.Password = "fuzz-secret";
    ftp.TlsSettings.Mode =
        required ? TIdFtpTlsMode::tmExplicitRequired : TIdFtpTlsMode::tmExplicitIfAvailable;
    bool opened = false;
    try {
        ftp.OpenSession();
        opened = true;
    } catch (const EIdException&) {
    }
    // The fuzzer's bytes can never complete a handshake with a verified
    // certificate, so a session that opened did so in clear.
    Check(!opened || !ftp.Encrypted());
    Check(!(opened && required));
    const std::string& sent = handler.Sent;
    // Plain sign-in only follows a refused AUTH: a 234 (or 334) reply is
    // followed by a handshake or nothing.
    const std::string::size_type user = sent.find("USER ");
    if (user != std::string::npos) {
        Check(!required);
        Check(sent.find("\x16\x03") == std::string::npos);
    }
    return 0;
}
